"""A build that lacks a system package stops at once and names the package to install."""

import os
import pathlib
import shutil
import sysconfig

import pytest
import subprocess

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
