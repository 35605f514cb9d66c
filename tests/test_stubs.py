"""The package's type stub agrees with the runtime module and type-checks a real program.

Both checks read the stub where the imported package has it (installed, or a build used in
place).
"""

import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

import kestrix as kx

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = pathlib.Path(kx.__file__).parent

pytestmark = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


def mypy(*args, cwd):
    # MYPYPATH holds only a link to the imported package, so that no other kestrix on the path
    # (a stub-only package of an older install, say) is read instead.
    (cwd / "path").mkdir()
    (cwd / "path" / "kestrix").symlink_to(PACKAGE, target_is_directory=True)
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, timeout=300,
                          env={**os.environ, "MYPYPATH": str(cwd / "path")}, cwd=cwd)


def test_package_carries_the_stub_and_its_marker():
    assert (PACKAGE / "__init__.pyi").read_text(encoding="utf-8") == \
        (ROOT / "kestrix" / "__init__.pyi").read_text(encoding="utf-8")
    assert (PACKAGE / "py.typed").is_file()


def test_stubtest_finds_no_difference(tmp_path):
    r = mypy("mypy.stubtest", "kestrix", cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr


def test_example_program_passes_mypy_strict(tmp_path):
    r = mypy("mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
             str(ROOT / "examples" / "typed_usage.py"), cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr
