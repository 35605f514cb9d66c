"""Growth of the span-map operations with the number of segments, as ratios in one run.

to_source looks up the covered segments by binary search, so the time per call should barely
move between 10^3 and 10^5 segments; compose walks both maps once, so ten times the segments
should take about ten times as long.

    PYTHONPATH=build/dev python bench/bench_span.py
"""

from __future__ import annotations

import random
import time

import kestrix as kx


def folded_map(segments: int):
    """'abＣ' repeated: a keep and a full-width fold per unit, two segments each."""
    b = kx.SpanMapBuilder()
    for _ in range(segments // 2):
        b.keep("ab")
        b.replace("Ｃ", "c", "fold.fullwidth")
    return b.finish()


def capital_map(text: str):
    """Over 'abc' repeated: upper-cases each 'a', two segments per unit."""
    b = kx.SpanMapBuilder(text)
    for _ in range(len(text) // 3):
        b.replace("a", "A", "case.upper")
        b.keep("bc")
    return b.finish()


def best_of(runs: int, fn) -> float:
    best = float("inf")
    for _ in range(runs):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def to_source_per_call(segments: int, calls: int = 20000) -> float:
    out, m = folded_map(segments)
    rng = random.Random(7)
    n = len(out)
    spans = []
    for _ in range(calls):
        i = rng.randrange(n)
        j = min(n, i + rng.randrange(1, 14))
        spans.append(kx.Span(i, j, i, j))  # ASCII output: bytes == chars
    to_source = m.to_source

    def run():
        for s in spans:
            to_source(s)

    return best_of(5, run) / calls


def compose_time(segments: int) -> tuple[float, float]:
    mid, inner = folded_map(segments)
    _, outer = capital_map(mid)
    same = kx.SpanMap.identity(mid)
    walk = best_of(5, lambda: kx.SpanMap.compose(inner, outer))
    shortcut = best_of(5, lambda: kx.SpanMap.compose(inner, same))
    return walk, shortcut


def main() -> None:
    per_call = {k: to_source_per_call(10**k) for k in (3, 4, 5, 6)}
    small, large = per_call[3], per_call[5]
    print(f"to_source per call: 10^3 segments {small * 1e9:8.0f} ns, "
          f"10^5 segments {large * 1e9:8.0f} ns, ratio {large / small:.2f} (linear would be 100)")
    # Logarithmic growth adds about the same amount per decade (the larger maps also leave
    # the CPU caches, so each search step costs more there).
    print("  per decade: " + ", ".join(f"10^{k} {v * 1e9:.0f} ns" for k, v in per_call.items()))
    (w4, s4), (w5, s5) = compose_time(10**4), compose_time(10**5)
    print(f"compose:            10^4 segments {w4 * 1e3:8.2f} ms, "
          f"10^5 segments {w5 * 1e3:8.2f} ms, ratio {w5 / w4:.2f} (linear is 10)")
    print(f"compose with identity outer (shortcut): 10^5 segments {s5 * 1e3:.2f} ms, "
          f"{s5 / w5:.2f} of the full walk; ratio to 10^4 {s5 / s4:.2f}")


if __name__ == "__main__":
    main()
