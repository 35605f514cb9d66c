"""The type stubs agree with the runtime module and type-check a real program."""

import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


def test_stubtest_finds_no_difference(tmp_path):
    # Point mypy at the repository's stub, whatever is installed.
    stub_dir = tmp_path / "stubs"
    stub_dir.mkdir()
    (stub_dir / "kestrix.pyi").write_text((ROOT / "kestrix.pyi").read_text(encoding="utf-8"), encoding="utf-8")
    r = subprocess.run([sys.executable, "-m", "mypy.stubtest", "kestrix"],
                       capture_output=True, text=True, timeout=300,
                       env={**os.environ, "MYPYPATH": str(stub_dir)}, cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr


def test_example_program_passes_mypy_strict(tmp_path):
    stub_dir = tmp_path / "stubs"
    stub_dir.mkdir()
    (stub_dir / "kestrix.pyi").write_text((ROOT / "kestrix.pyi").read_text(encoding="utf-8"), encoding="utf-8")
    r = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
                        str(ROOT / "examples" / "typed_usage.py")],
                       capture_output=True, text=True, timeout=300,
                       env={**os.environ, "MYPYPATH": str(stub_dir)}, cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr
