"""The build's set-up: a missing system package stops CMake at once with the package to install,
and the make targets run an interpreter that takes installs."""

import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CMAKE = shutil.which("cmake", path=os.pathsep.join([sysconfig.get_path("scripts"), os.environ.get("PATH", "")]))


@pytest.mark.skipif(CMAKE is None, reason="cmake is not installed")
@pytest.mark.parametrize(
    "hide, package",
    [
        ("-DCMAKE_IGNORE_PATH=/usr/include", "rapidjson-dev"),
        ("-DCMAKE_DISABLE_FIND_PACKAGE_OpenSSL=ON", "libssl-dev"),
    ],
)
def test_configure_names_the_missing_package(hide, package, tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    r = subprocess.run([CMAKE, "-S", str(ROOT), "-B", str(tmp_path), hide], capture_output=True, text=True,
                       env=env, timeout=300)
    assert r.returncode != 0
    assert f"install the Debian package {package}\n" in r.stderr, r.stderr


def chosen_python(py, given):
    r = subprocess.run(["sh", str(ROOT / ".ci" / "python.sh")], capture_output=True, text=True, check=True,
                       env={**os.environ, "PY": py, "PY_GIVEN": "1" if given else "", "VENV": "/nowhere/.venv"})
    return r.stdout.strip()


def externally_managed(python):
    return pathlib.Path(subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_path('stdlib'))"],
                                       capture_output=True, text=True, check=True).stdout.strip(),
                        "EXTERNALLY-MANAGED").exists()


def test_make_runs_the_named_python_unless_it_refuses_installs():
    venv_python = sys.executable if sys.prefix != sys.base_prefix else None
    if venv_python:
        assert chosen_python(venv_python, given=True) == shutil.which(venv_python)
    assert chosen_python(venv_python or sys.executable, given=False) == "/nowhere/.venv/bin/python"
    if os.path.exists("/usr/bin/python3") and externally_managed("/usr/bin/python3"):
        assert chosen_python("/usr/bin/python3", given=True) == "/nowhere/.venv/bin/python"
