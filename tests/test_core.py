"""Runs the C++ tests of core paths that the Python surface cannot reach.

The make targets build them and name the binary in KESTRIX_CORE_TESTS; a run that names none
(pytest by hand) skips them.
"""

import os
import subprocess

import pytest

BINARY = os.environ.get("KESTRIX_CORE_TESTS")


@pytest.mark.skipif(not BINARY, reason="KESTRIX_CORE_TESTS names no binary: run through make")
@pytest.mark.parametrize("simd", [None, "ssse3", "sse2"])
def test_core_cases(simd):
    # Also with the vector scans capped (KESTRIX_SIMD), as the processor may be: every width.
    env = {k: v for k, v in os.environ.items() if k != "KESTRIX_SIMD"}
    if simd:
        env["KESTRIX_SIMD"] = simd
    r = subprocess.run([BINARY], capture_output=True, text=True, timeout=600, env=env)
    assert r.returncode == 0, r.stdout + r.stderr
