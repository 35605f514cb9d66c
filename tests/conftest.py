"""Shared builders for valid identifiers, and the hypothesis profiles."""

import os

from hypothesis import HealthCheck, settings

settings.register_profile("default", max_examples=200, deadline=None)
settings.register_profile(
    "asan",
    max_examples=40,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

RRN_WEIGHTS = (2, 3, 4, 5, 6, 7, 8, 9, 2, 3, 4, 5)


def rrn(first12: str, foreigner: bool = False) -> str:
    """A 13-digit resident (or foreigner) number with a valid check digit."""
    s = sum(int(d) * w for d, w in zip(first12, RRN_WEIGHTS))
    check = (11 - s % 11) % 10
    if foreigner:
        check = (check + 2) % 10
    return first12 + str(check)


def luhn(body: str) -> str:
    """body plus the Luhn check digit."""
    total = 0
    for i, d in enumerate(reversed(body)):
        v = int(d)
        if i % 2 == 0:
            v *= 2
            if v > 9:
                v -= 9
        total += v
    return body + str((10 - total % 10) % 10)


def business(first9: str) -> str:
    """A 10-digit business registration number with a valid check digit."""
    w = (1, 3, 7, 1, 3, 7, 1, 3, 5)
    d = [int(c) for c in first9]
    s = sum(a * b for a, b in zip(d, w)) + (d[8] * 5) // 10
    return first9 + str((10 - s % 10) % 10)


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "slow: heavy stress runs, left out unless selected with -m slow (make stress)")


def pytest_collection_modifyitems(config, items):
    # Heavy runs stay out of the default suite; `-m slow` (or any marker expression naming
    # slow) brings them in.
    if "slow" in (config.getoption("markexpr") or ""):
        return
    deselected = [item for item in items if item.get_closest_marker("slow")]
    if deselected:
        config.hook.pytest_deselected(items=deselected)
        items[:] = [item for item in items if not item.get_closest_marker("slow")]
