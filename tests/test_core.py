"""Runs the C++ tests of core paths that the Python surface cannot reach.

The make targets build them and name the binary in KESTRIX_CORE_TESTS; a run that names none
(pytest by hand) skips them.
"""

import os
import subprocess

import pytest

BINARY = os.environ.get("KESTRIX_CORE_TESTS")


@pytest.mark.skipif(not BINARY, reason="KESTRIX_CORE_TESTS names no binary: run through make")
def test_core_cases():
    r = subprocess.run([BINARY], capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stdout + r.stderr
