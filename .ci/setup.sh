#!/usr/bin/env bash
# Installs what building and testing kestrix needs, skipping what is already there.
set -euo pipefail
PY=${PY:-python3}

need_apt=()
command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
command -v make >/dev/null 2>&1 || need_apt+=(make)
[ -f /usr/include/openssl/hmac.h ] || need_apt+=(libssl-dev)
[ -f /usr/include/rapidjson/reader.h ] || need_apt+=(rapidjson-dev)
if [ "${WITH_FUZZ:-0}" = 1 ]; then
  # libFuzzer with a clang whose C++23 support covers std::expected.
  command -v clang++-19 >/dev/null 2>&1 || need_apt+=(clang-19)
  ls /usr/lib/llvm-19/lib/clang/19/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 \
    || ls /usr/lib/llvm-19/lib/clang/19/lib/*/libclang_rt.fuzzer*.a >/dev/null 2>&1 \
    || need_apt+=(libclang-rt-19-dev)
fi
if [ ${#need_apt[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}"
fi

need_pip=()
for mod in scikit_build_core:scikit-build-core pytest:pytest hypothesis:hypothesis cmake:cmake ninja:ninja mypy:mypy; do
  "$PY" -c "import ${mod%%:*}" >/dev/null 2>&1 || need_pip+=("${mod##*:}")
done
if [ ${#need_pip[@]} -gt 0 ]; then
  "$PY" -m pip install -q "${need_pip[@]}"
fi
