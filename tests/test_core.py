"""Runs the C++ tests of core paths that the Python surface cannot reach."""

import pathlib
import subprocess

import pytest

import kestrix

BINARY = pathlib.Path(kestrix.__file__).parent / "kestrix_core_tests"


@pytest.mark.skipif(not BINARY.exists(), reason="built only by the CMake development builds")
def test_core_cases():
    r = subprocess.run([str(BINARY)], capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stdout + r.stderr
