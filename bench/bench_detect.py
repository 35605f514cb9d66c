"""Detection throughput against two baselines measured in the same run.

    python bench/bench_detect.py [size_bytes] [profile]

Prints MB/s of kestrix.detect over generated Korean text, of text.encode() (the cost of
crossing into UTF-8, a floor) and of re.finditer(r"[0-9*Xx]{2,}", text) (a bare candidate
scan without normalization, rules or context), the ratios between them, and the per-call
time of detect on a 40-character message. Results are ratios within one run on one machine;
compare runs only on the same machine.
"""

from __future__ import annotations

import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import kestrix  # noqa: E402
from corpus import generate  # noqa: E402

DIGIT_RUN = re.compile(r"[0-9*Xx]{2,}")
MESSAGE = "고객 연락처 010-1234-5678 주민번호 900101-1******"
assert len(MESSAGE) == 40


def best_of(fn, repeat: int) -> float:
    """Smallest wall time of `repeat` calls (the least disturbed by other load)."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def main() -> None:
    size = int(sys.argv[1]) if len(sys.argv) > 1 else 4_000_000
    profile = sys.argv[2] if len(sys.argv) > 2 else "mixed"
    text = generate(profile, size)
    lines = text.split("\n")
    mb = len(text.encode()) / 1e6

    t_detect_whole = best_of(lambda: kestrix.detect(text), 3)
    t_detect_lines = best_of(lambda: [kestrix.detect(line) for line in lines], 3)
    t_encode = best_of(lambda: text.encode(), 5)
    t_regex = best_of(lambda: sum(1 for _ in DIGIT_RUN.finditer(text)), 3)

    report = kestrix.detect(text)
    print(f"corpus: {profile}, {mb:.2f} MB, {len(lines)} lines, "
          f"{len(report)} findings, {len(report.rejections)} rejections")
    rows = [
        ("detect (whole text)", t_detect_whole),
        ("detect (line by line)", t_detect_lines),
        ("text.encode()", t_encode),
        ("re.finditer digit runs", t_regex),
    ]
    for name, t in rows:
        print(f"  {name:<24} {mb / t:10.1f} MB/s")
    print(f"  time detect / encode     {t_detect_whole / t_encode:10.1f}")
    print(f"  time detect / regex scan {t_detect_whole / t_regex:10.2f}")

    n = 20_000
    t_msg = best_of(lambda: [kestrix.detect(MESSAGE) for _ in range(n)], 3) / n
    t_enc = best_of(lambda: [MESSAGE.encode() for _ in range(n)], 3) / n
    t_re = best_of(lambda: [list(DIGIT_RUN.finditer(MESSAGE)) for _ in range(n)], 3) / n
    print(f"message of {len(MESSAGE)} characters:")
    print(f"  detect                   {t_msg * 1e6:10.2f} us/call")
    print(f"  encode                   {t_enc * 1e6:10.2f} us/call")
    print(f"  re.finditer              {t_re * 1e6:10.2f} us/call")


if __name__ == "__main__":
    main()
