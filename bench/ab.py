"""Two builds of kestrix timed in one run, on the same texts: the A/B comparison of record.

    python bench/ab.py --base 48beed6                 # a git revision, built here, against
    python bench/ab.py --base 48beed6 --new build/release   # ... a build directory
    python bench/ab.py --base build/old --new build/new --profiles reviews,mixed --rounds 9
    python bench/ab.py --base main --profiles calls    # run.py's per-call rows, in microseconds

A side is a directory that holds the `kestrix` package (a CMake build of this project, or a
site-packages), or a git revision, which is built with CMake in build/ab/<revision> (release).
Without --new, the build in build/release of the working tree is used (built first).

Each round starts a fresh interpreter per side, alternating the sides, and each child times
every row once per repetition on a fresh str (see run.py), so that a slow spell of a shared
machine falls on both sides alike. The figure of a row is its best time over all rounds;
what to compare is the ratio of the two sides, printed per row.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tarfile
import io
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


def build(rev: str | None) -> Path:
    """The release build of a git revision (or of the working tree when rev is None)."""
    if rev is None:
        src, out = ROOT, ROOT / "build" / "release"
    else:
        sha = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--verify", rev + "^{commit}"],
                             check=True, capture_output=True, text=True).stdout.strip()
        src, out = ROOT / "build" / "ab" / sha[:12] / "src", ROOT / "build" / "ab" / sha[:12] / "build"
        if not (src / "CMakeLists.txt").exists():
            tar = subprocess.run(["git", "-C", str(ROOT), "archive", sha], check=True,
                                 capture_output=True).stdout
            src.mkdir(parents=True, exist_ok=True)
            with tarfile.open(fileobj=io.BytesIO(tar)) as t:
                t.extractall(src, filter="data")
    subprocess.run(["cmake", "-S", str(src), "-B", str(out), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    f"-DPython_EXECUTABLE={sys.executable}"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(out), "--target", "kestrix"], check=True,
                   stdout=subprocess.DEVNULL)
    return out


def side(spec: str | None) -> Path:
    if spec is not None and (Path(spec) / "kestrix" / "__init__.py").exists():
        return Path(spec).resolve()
    return build(spec)


def child(profile: str, size: int, repeat: int) -> None:
    """Runs with the side's kestrix first on the path: best times of every row, as JSON."""
    sys.path.insert(0, str(HERE))
    import run  # noqa: E402  (imports the kestrix found first on the path)

    kx = run.kx
    if profile == "calls":
        # run.py's per-call rows: microseconds per call on a fresh str, as "seconds" of one call.
        rows = {}
        for name, (message, found, calls) in {"40": (run.MESSAGE_40, 1, 20000),
                                              "400": (run.MESSAGE_400, 3, 5000)}.items():
            for row, us in run.per_call(message, found, calls, repeat)["us_per_call"].items():
                rows[f"{row} {name}"] = us / 1e6
        json.dump({"seconds": rows, "bytes": 0, "findings": 0, "module": kx.__file__}, sys.stdout)
        return
    text = run.corpus(profile, size)
    tokenize = kx.PolicySet(kx.Policy.tokenize())

    def roundtrip(s):
        out = kx.mask(s, tokenize)
        kx.unmask(out.text, out.restore)

    f = lambda: run.fresh(text)  # noqa: E731
    times = run.best_of_each({
        "encode": (lambda s: s.encode("utf-8"), f),
        "regex": (lambda s: sum(1 for _ in run.DIGIT_RUN.finditer(s)), f),
        "normalize": (kx.normalize, f),
        "detect": (kx.detect, f),
        "mask": (run.masked_text, f),
        "tokenize_unmask": (roundtrip, f),
    }, repeat)
    report = kx.detect(text)
    json.dump({"seconds": times, "bytes": len(text.encode("utf-8")), "findings": len(report),
               "module": kx.__file__}, sys.stdout)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--base", required=False, help="directory with a kestrix package, or a git revision")
    ap.add_argument("--new", help="the same; default: the working tree's release build")
    ap.add_argument("--profiles", default="reviews,prose,mixed,dense")
    ap.add_argument("--size", default=os.environ.get("KESTRIX_BENCH_SIZE", "10MB"))
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--repeat", type=int, default=3, help="repetitions inside each child")
    ap.add_argument("--child", nargs=3, metavar=("PROFILE", "SIZE", "REPEAT"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]), int(args.child[2]))
        return
    if not args.base:
        ap.error("--base is required")
    m = re.fullmatch(r"\s*([0-9.]+)\s*([kKmMgG]?)[bB]?\s*", args.size)
    if not m:
        ap.error(f"not a size: {args.size!r}")
    size = int(float(m.group(1)) * {"": 1, "k": 10**3, "m": 10**6, "g": 10**9}[m.group(2).lower()])
    sides = {"base": side(args.base), "new": side(args.new)}
    best: dict = {}
    for p in [p for p in args.profiles.split(",") if p]:
        for r in range(args.rounds):
            order = list(sides.items()) if r % 2 == 0 else list(reversed(sides.items()))
            for name, path in order:
                env = {**os.environ, "PYTHONPATH": str(path)}
                out = subprocess.run([sys.executable, __file__, "--child", p, str(size), str(args.repeat)],
                                     env=env, check=True, capture_output=True, text=True).stdout
                res = json.loads(out)
                slot = best.setdefault(p, {}).setdefault(name, {"bytes": res["bytes"], "findings": res["findings"],
                                                                 "seconds": {}})
                for row, t in res["seconds"].items():
                    slot["seconds"][row] = min(slot["seconds"].get(row, float("inf")), t)
        b, n = best[p]["base"], best[p]["new"]
        if p == "calls":
            print(f"\nper call (fresh str each call), load {os.getloadavg()[0]:.2f}")
            print(f"  {'':<18}{'base us':>11}{'new us':>10}{'new/base':>10}")
            for row in b["seconds"]:
                us_b, us_n = b["seconds"][row] * 1e6, n["seconds"][row] * 1e6
                print(f"  {row:<18}{us_b:>11.3f}{us_n:>10.3f}{us_n / us_b:>10.3f}")
            sys.stdout.flush()
            continue
        print(f"\n{p}: {b['bytes'] / 1e6:.1f} MB, findings base {b['findings']} new {n['findings']}, "
              f"load {os.getloadavg()[0]:.2f}")
        print(f"  {'':<18}{'base MB/s':>11}{'new MB/s':>10}{'new/base':>10}")
        for row in b["seconds"]:
            mb_b = b["bytes"] / b["seconds"][row] / 1e6
            mb_n = n["bytes"] / n["seconds"][row] / 1e6
            print(f"  {row:<18}{mb_b:>11.1f}{mb_n:>10.1f}{mb_n / mb_b:>10.3f}")
        sys.stdout.flush()
    (HERE / "ab_results.json").write_text(json.dumps({k: {s: str(v) for s, v in sides.items()} | best[k]
                                                      for k in best}, indent=1) + "\n")


if __name__ == "__main__":
    main()
