"""The wheel that `make wheel` builds travels: it needs no libssl, carries its licence, and
installs into a fresh virtual environment of every CPython >= 3.11 on this machine.

`make test` names the wheel in KESTRIX_WHEEL; a run without it skips these tests.
"""

import glob
import json
import os
import pathlib
import re
import subprocess
import sys
import zipfile

import pytest

import kestrix as kx

from test_module import CLASSES, FUNCTIONS

WHEEL = os.environ.get("KESTRIX_WHEEL")
pytestmark = pytest.mark.skipif(not WHEEL, reason="KESTRIX_WHEEL names no wheel: run through make test")

# What an interpreter reports of an installed kestrix, run from a directory without the sources.
SURFACE = """
import json, kestrix
public = sorted(n for n in dir(kestrix) if not n.startswith("_"))
print(json.dumps({
    "public": public,
    "modules": sorted({getattr(kestrix, n).__module__ for n in public}),
    "version": kestrix.__version__,
    "file": kestrix.__file__,
}))
"""


def interpreters():
    """One CPython per minor version >= 3.11, Debian's own python3 first where present."""
    found = {}
    pyenv = os.path.expanduser(os.environ.get("PYENV_ROOT", "~/.pyenv"))
    for path in ["/usr/bin/python3", *sorted(glob.glob("/usr/bin/python3.1[1-9]")),
                 *sorted(glob.glob(pyenv + "/versions/3.1[1-9]*/bin/python3")), sys.executable]:
        r = subprocess.run([path, "-c", "import sys; print(*sys.version_info[:2])"],
                           capture_output=True, text=True)
        if r.returncode == 0 and (version := tuple(map(int, r.stdout.split()))) >= (3, 11):
            found.setdefault("%d.%d" % version, path)
    return found


INTERPRETERS = interpreters()


def wheel_names():
    with zipfile.ZipFile(WHEEL) as z:
        return z.namelist()


def test_wheel_is_abi3_manylinux_and_carries_the_licence(tmp_path):
    tags = pathlib.Path(WHEEL).name.split("-")
    assert tags[2:4] == ["cp311", "abi3"] and re.fullmatch(r"manylinux_2_\d+_x86_64\.whl", tags[4]), tags
    names = wheel_names()
    assert "kestrix-0.1.0.dist-info/licenses/LICENSE" in names
    (module,) = [n for n in names if n.endswith(".abi3.so")]
    with zipfile.ZipFile(WHEEL) as z:
        z.extract(module, tmp_path)
    needed = subprocess.run(["readelf", "-d", str(tmp_path / module)], capture_output=True, text=True,
                            check=True).stdout
    assert "libcrypto" not in needed and "libssl" not in needed
    assert "NEEDED" in needed  # readelf did read the dynamic section


def test_wheel_holds_the_package_with_its_stub_once():
    names = wheel_names()
    assert {n.split("/")[0] for n in names} == {"kestrix", "kestrix-0.1.0.dist-info"}
    assert [n for n in names if n.endswith(".pyi")] == ["kestrix/__init__.pyi"]
    assert {"kestrix/__init__.py", "kestrix/__main__.py", "kestrix/cli.py", "kestrix/py.typed"} <= set(names)


@pytest.mark.parametrize("version", sorted(INTERPRETERS))
def test_wheel_installs_into_a_fresh_venv(version, tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([INTERPRETERS[version], "-m", "venv", str(venv)], check=True, timeout=300)
    python = str(venv / "bin" / "python")
    r = subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", WHEEL],
                       capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    r = subprocess.run([python, "-c", SURFACE], capture_output=True, text=True, cwd=tmp_path, env=env,
                       timeout=120)
    assert r.returncode == 0, r.stderr
    got = json.loads(r.stdout)
    assert got["file"].startswith(str(venv))
    assert got["public"] == sorted(["SpanMapError", *CLASSES, *FUNCTIONS])
    assert got["modules"] == ["kestrix"]
    assert got["version"] == kx.__version__ == "0.1.0"
    for command in ([python, "-m", "kestrix", "--version"], [str(venv / "bin" / "kestrix"), "--version"]):
        r = subprocess.run(command, capture_output=True, text=True, cwd=tmp_path, env=env, timeout=120)
        assert (r.returncode, r.stdout) == (0, "kestrix 0.1.0\n"), r.stderr
