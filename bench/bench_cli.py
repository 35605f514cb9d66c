"""The command line against the module: `kestrix mask` (and `detect`) on a many-line file next
to `kestrix.mask` (and `detect`) on the same text as one str, and `--jobs 2` next to one job.

    python bench/bench_cli.py [--size 50M] [--repeat 9] [--profiles mixed,reviews] [--detect]
                              [--before OLD_CLI.py]

--before times another version of kestrix/cli.py in the same run, e.g. the one before a change:
    git show REV:kestrix/cli.py > /tmp/cli_before.py

Every row is timed once per round, the rounds interleaved, and the best of each kept, so that a
slow spell of the shared machine falls on all rows alike; the figures that count are the ratios
within one run. The command line is timed as a whole process (interpreter start included) that
writes its output to a new file (an existing one is removed before the timer starts: replacing
it, the run would also wait for the kernel to free the old file's pages); the module call gets a fresh str each time and its result is let go.
The start-up row (the interpreter importing the command line, nothing read) is the part of every
run that more jobs cannot share; it depends on the environment (a `.pth` file of the interpreter's
site-packages runs in every start; without compiled bytecode, as under PYTHONDONTWRITEBYTECODE
with a package installed without it, compiling the command line adds about 9 ms), so run this
from the project's own virtual environment.
Targets: the command line at >= 50 % of the module's speed, --jobs 2 >= 1.7 x one job.
"""

from __future__ import annotations

import argparse
import gc
import os
import pathlib
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import kestrix as kx  # noqa: E402
from corpus import generate  # noqa: E402
from run import corpus as cached_corpus, fresh, parse_size  # noqa: E402

REVIEWS = pathlib.Path(__file__).resolve().parent.parent.parent / "shared" / "corpus" / "reviews.txt"


def many_lines(profile: str, size: int) -> str:
    """About `size` bytes of many-line text: the generated profile, or the reviews repeated."""
    if profile == "reviews":
        reviews = REVIEWS.read_text(encoding="utf-8")
        if not reviews.endswith("\n"):
            reviews += "\n"
        copies = -(-size // len(reviews.encode("utf-8")))
        return reviews * copies
    text = cached_corpus(profile, size) if size >= 10**6 else generate(profile, size)
    return text + "\n"


# The command line runs outside the checkout: `-m kestrix` from its top would import the source
# package beside it, which has no extension built in.
ELSEWHERE = tempfile.gettempdir()


def has_jobs() -> bool:
    r = subprocess.run([sys.executable, "-m", "kestrix", "mask", "--help"], capture_output=True, text=True,
                       cwd=ELSEWHERE)
    return "--jobs" in r.stdout


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--size", type=parse_size, default=parse_size("50M"))
    # Two workers' runs vary more than one job's (the scheduler puts three busy threads on two
    # cores): the same build gave --jobs 2 at 1.64 to 1.66 x one job as the best of 5 rounds,
    # 1.70 to 1.71 x as the best of 15, on mixed (runs within the same hour).
    p.add_argument("--repeat", type=int, default=9)
    p.add_argument("--profiles", default="mixed,reviews")
    p.add_argument("--detect", action="store_true", help="time detect as well")
    p.add_argument("--before", metavar="CLI_PY", help="another kestrix/cli.py to time beside this one")
    args = p.parse_args()
    jobs = has_jobs()
    commands = ["mask"] + (["detect"] if args.detect else [])
    with tempfile.TemporaryDirectory(prefix="kestrix-bench-cli-") as tmp:
        for profile in args.profiles.split(","):
            text = many_lines(profile, args.size)
            path = pathlib.Path(tmp) / f"{profile}.txt"
            path.write_text(text, encoding="utf-8")
            nbytes = path.stat().st_size
            lines = text.count("\n")
            out = pathlib.Path(tmp) / "out"
            rows: dict[str, object] = {"start-up (import only)": ("start", ["-c", "import kestrix.cli"])}
            for command in commands:
                module = kx.mask if command == "mask" else kx.detect
                rows[f"kestrix.{command}(str)"] = ("module", module)
                rows[f"kestrix {command}"] = ("cli", [command])
                if args.before:
                    rows[f"before: kestrix {command}"] = ("before", [command])
                if jobs:
                    rows[f"kestrix {command} --jobs 2"] = ("cli", [command, "--jobs", "2"])
            best = {name: float("inf") for name in rows}
            for _ in range(args.repeat):
                for name, (kind, what) in rows.items():
                    gc.collect()
                    if kind == "module":
                        s = fresh(text)
                        t0 = time.perf_counter()
                        r = what(s)
                        dt = time.perf_counter() - t0
                        del r, s
                    else:
                        if kind == "start":
                            argv = [sys.executable, *what]
                        else:
                            program = ["-m", "kestrix"] if kind == "cli" else [str(pathlib.Path(args.before).resolve())]
                            argv = [sys.executable, *program, *what, str(path), "-o", str(out)]
                            # Each run writes a new file: replacing the last run's output would
                            # have the kernel free its pages inside the timed run (about 11 ms
                            # for 50 MB, the same for any number of jobs).
                            out.unlink(missing_ok=True)
                        t0 = time.perf_counter()
                        subprocess.run(argv, check=True, stderr=subprocess.DEVNULL, cwd=ELSEWHERE)
                        dt = time.perf_counter() - t0
                    best[name] = min(best[name], dt)
            print(f"{profile}: {nbytes / 1e6:.1f} MB, {lines} lines, best of {args.repeat}")
            for name, t in best.items():
                rate = "" if rows[name][0] == "start" else f"  {nbytes / t / 1e6:8.1f} MB/s"  # type: ignore[index]
                print(f"  {name:<28} {t:8.3f} s{rate}")
            for command in commands:
                module, one = best[f"kestrix.{command}(str)"], best[f"kestrix {command}"]
                print(f"  {command}: command line at {module / one:.0%} of the module (target >= 50 %)")
                if args.before:
                    before = best[f"before: kestrix {command}"]
                    print(f"  {command}: before, the command line at {module / before:.0%} of the module; now "
                          f"{before / one:.2f} x as fast")
                if jobs:
                    two = best[f"kestrix {command} --jobs 2"]
                    start = best["start-up (import only)"]
                    print(f"  {command}: --jobs 2 at {one / two:.2f} x one job (target >= 1.7 x); "
                          f"{(one - start) / (two - start):.2f} x after the start-up")
            del text
            os.unlink(path)


if __name__ == "__main__":
    main()
