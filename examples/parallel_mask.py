"""Mask a large file on one machine with many cores.

The module keeps the interpreter lock on short texts such as these lines (it lets it go only on
texts of 2 KiB or more), so for a stream of lines processes add speed, not threads. Each worker
masks a batch of lines, one `kestrix.mask` per line, with the settings it is handed pickled
(the `PolicySet` and the `Config`, hash keys included), and returns each masked line with its
restore map (pickled back through the map's JSON form) when the policies tokenize. Tokens are
numbered per line, so a map goes with its line: `--restore-out` writes one JSON line per input
line, the line's restore map or `null` when nothing in it was tokenized. That file is personal
data itself: store it apart from the masked output.

    python examples/parallel_mask.py INPUT OUTPUT [--workers N] [--tokenize --restore-out FILE]
"""

from __future__ import annotations

import argparse
import functools
import os
import sys
from concurrent.futures import ProcessPoolExecutor
from itertools import islice
from typing import Iterable, Iterator

import kestrix as kx

BATCH_LINES = 2000


def mask_batch(lines: list[str], policies: kx.PolicySet | None = None,
               config: kx.Config | None = None) -> list[tuple[str, kx.RestoreMap | None]]:
    """Masks one batch: each line's masked text and restore map (None when none was made)."""
    return [(out.text, out.restore) for out in (kx.mask(line, policies, config) for line in lines)]


def batches(lines: Iterable[str], size: int = BATCH_LINES) -> Iterator[list[str]]:
    it = iter(lines)
    while batch := list(islice(it, size)):
        yield batch


def mask_lines(lines: Iterable[str], policies: kx.PolicySet | None = None, config: kx.Config | None = None,
               workers: int | None = None) -> Iterator[tuple[str, kx.RestoreMap | None]]:
    """(masked line, restore map) in input order; `workers` processes (default: every core)."""
    # The settings travel pickled with each batch, whichever way the pool starts its workers.
    work = functools.partial(mask_batch, policies=policies, config=config)
    with ProcessPoolExecutor(max_workers=workers or os.cpu_count()) as pool:
        # map keeps the input order and runs ahead by the pool's own buffering.
        for masked in pool.map(work, batches(lines), chunksize=1):
            yield from masked


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description="Mask a text file line by line on every core.")
    p.add_argument("input", help="UTF-8 text, one record per line")
    p.add_argument("output", help="where the masked lines go")
    p.add_argument("--workers", type=int, help="processes to use (default: every core)")
    p.add_argument("--tokenize", action="store_true", help="reversible tokens instead of labels")
    p.add_argument("--restore-out", metavar="FILE",
                   help="with --tokenize: one JSON line per input line, its restore map or null")
    args = p.parse_args(argv)
    if args.tokenize != (args.restore_out is not None):
        p.error("--tokenize and --restore-out go together: tokens cannot be undone without the maps")
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    policies = kx.PolicySet(kx.Policy.tokenize()) if args.tokenize else None
    with open(args.input, encoding="utf-8") as f, open(args.output, "w", encoding="utf-8") as out:
        restore = open(args.restore_out, "x", encoding="utf-8") if args.restore_out else None
        try:
            lines = (line.rstrip("\n") for line in f)
            for masked, table in mask_lines(lines, policies, workers=args.workers):
                out.write(masked + "\n")
                if restore is not None:
                    restore.write((table.to_json() if table is not None and len(table) else "null") + "\n")
        finally:
            if restore is not None:
                restore.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
