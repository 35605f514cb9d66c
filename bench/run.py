"""The benchmark of record: throughput, per-call time, memory and span-map growth in one run.

    python bench/run.py                      # 10 MB per profile, memory at 1, 10 and 100 MB
    python bench/run.py --size 1MB --quick   # a quick look (also KESTRIX_BENCH_SIZE=1MB)

Every figure is measured in this one run next to two baselines over the same text,
`text.encode("utf-8")` and `sum(1 for _ in re.finditer(r"[0-9*Xx]{2,}", text))`, so the ratios
are what to compare between machines and runs. Throughput is UTF-8 bytes of input per second.

Honesty rules the runner keeps:
- Every timed call gets a str object that has never crossed into kestrix. The interpreter
  caches the UTF-8 form of a str the first time an extension asks for it, so reusing one str
  would leave the conversion out of every call but the first (and would turn the encode
  baseline into a memcpy). (`detect` and `normalize` encode a long non-ASCII text into a
  buffer of their own and leave no cached form behind, so for them a reused str costs the same.)
- Times are the best of several repetitions: the least disturbed by other load on the machine.
  The load averages at start and end are recorded with the results.
- Memory is the peak resident set of a fresh process, reset right before the call, minus its
  resident set at that moment: everything the call allocates, C++ included, counts.

Results are printed as a table and written to bench/results.json (not committed).
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import platform
import re
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import kestrix as kx  # noqa: E402
from corpus import _luhn, _rrn_check, generate  # noqa: E402

PROFILES = ("reviews", "prose", "mixed", "dense")
# Real Korean user text (74,480 movie reviews, CC0): ratings, years, mixed ASCII and the syllables
# that can begin a Hangul numeral, as people write them. It is read whole, whatever --size says.
REVIEWS = HERE.parent.parent / "shared" / "corpus" / "reviews.txt"
DIGIT_RUN = re.compile(r"[0-9*Xx]{2,}")
CACHE = HERE.parent / "build" / "bench-corpus"

# A short chat message with one phone number, and a longer one with three items.
MESSAGE_40 = "고객님, 연락처 010-1234-5678 로 안내 문자를 보내드렸습니다."
_RRN = "900101" + "1" + "23456"
_RRN = _RRN + _rrn_check(_RRN)
_CARD = _luhn("4" + "123456789012" + "34")
MESSAGE_400 = (
    "[상담 기록] 안녕하세요, 고객센터 상담사 김민지입니다. 오늘 오전에 접수하신 환불 요청 건을 "
    "확인했습니다. 본인확인을 위해 말씀해 주신 주민등록번호 " + _RRN[:6] + "-" + _RRN[6:] +
    " 로 조회한 결과 회원 정보가 일치합니다. 결제하신 신용카드 " +
    "-".join(_CARD[i:i + 4] for i in range(0, 16, 4)) +
    " 로 승인 취소를 요청드렸고, 카드사 사정에 따라 영업일 기준 삼 일에서 오 일 정도 걸릴 수 "
    "있습니다. 처리가 끝나면 등록된 휴대폰 010-9876-5432 로 문자 안내를 드리겠습니다. 주문하신 상품은 "
    "반송 접수가 완료되었으니 택배 기사님이 방문하시면 포장 그대로 전달해 주시면 됩니다. 추가로 궁금하신 "
    "점이 있으시면 언제든지 채팅으로 남겨 주세요. 오늘도 저희 쇼핑몰을 이용해 주셔서 진심으로 감사합니다. 좋은 하루 되세요. 안녕히 계세요!"
)
assert len(MESSAGE_40) == 40 and len(MESSAGE_400) == 400, (len(MESSAGE_40), len(MESSAGE_400))


# ---- helpers -----------------------------------------------------------------------------------


def parse_size(s: str) -> int:
    m = re.fullmatch(r"\s*([0-9.]+)\s*([kKmMgG]?)[bB]?\s*", s)
    if not m:
        raise argparse.ArgumentTypeError(f"not a size: {s!r}")
    scale = {"": 1, "k": 10**3, "m": 10**6, "g": 10**9}[m.group(2).lower()]
    return int(float(m.group(1)) * scale)


def corpus(profile: str, size: int) -> str:
    """The generated text, cached on disk (the dense profile takes seconds to generate); the
    reviews are the real text as it is."""
    if profile == "reviews":
        return REVIEWS.read_text(encoding="utf-8")
    path = CACHE / f"{profile}-{size}-7.txt"
    if path.exists():
        return path.read_text(encoding="utf-8")
    text = generate(profile, size)
    CACHE.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(f".{os.getpid()}.tmp")
    tmp.write_text(text, encoding="utf-8")
    tmp.replace(path)
    return text


def fresh(s: str) -> str:
    """A new str object equal to s, whose UTF-8 form no one has asked for yet."""
    return s[:-1] + s[-1:] if s else "".join([s])


def best_of(fn, repeat: int, prepare=None) -> float:
    """Smallest wall time of `repeat` calls of fn(prepare()); prepare runs outside the timer."""
    return best_of_each({"_": (fn, prepare)}, repeat)["_"]


def best_of_each(runs: dict, repeat: int) -> dict:
    """Smallest wall time of each of runs {name: (fn, prepare)} over `repeat` rounds, each round
    calling every one once: a slow spell of a shared machine then falls on all of them alike,
    and the ratios between them stay true."""
    best = {name: float("inf") for name in runs}
    for _ in range(repeat):
        for name, (fn, prepare) in runs.items():
            arg = prepare() if prepare else None
            gc.collect()
            t0 = time.perf_counter()
            fn(arg)
            best[name] = min(best[name], time.perf_counter() - t0)
    return best


def vm_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        m = re.search(rf"^{field}:\s+(\d+) kB", f.read(), re.M)
    return int(m.group(1)) if m else -1


# ---- throughput --------------------------------------------------------------------------------


def throughput(profile: str, size: int, repeat: int) -> dict:
    text = corpus(profile, size)
    nbytes = len(text.encode("utf-8"))
    tokenize = kx.PolicySet(kx.Policy.tokenize())
    f = lambda: fresh(text)  # noqa: E731

    def roundtrip(s):
        out = kx.mask(s, tokenize)
        kx.unmask(out.text, out.restore)

    times = best_of_each({
        "encode": (lambda s: s.encode("utf-8"), f),
        "regex": (lambda s: sum(1 for _ in DIGIT_RUN.finditer(s)), f),
        "normalize": (kx.normalize, f),
        "detect": (kx.detect, f),
        # The masked text is made when it is first read: a mask call is timed with that read.
        "mask": (masked_text, f),
        "tokenize_unmask": (roundtrip, f),
    }, repeat)
    report = kx.detect(fresh(text))
    out = kx.mask(fresh(text), tokenize)
    assert kx.unmask(out.text, out.restore) == text
    return {
        "bytes": nbytes,
        "characters": len(text),
        "findings": len(report),
        "rejections": len(report.rejections),
        "seconds": times,
        "mb_per_s": {k: nbytes / t / 1e6 for k, t in times.items()},
    }


def masked_text(s: str) -> str:
    return kx.mask(s).text


def threads(size: int, repeat: int) -> dict:
    """mask over the mixed text cut into documents, serially and on a pool of one thread per
    core: long texts are worked on without the interpreter lock."""
    from concurrent.futures import ThreadPoolExecutor

    text = corpus("mixed", size)
    workers = os.cpu_count() or 1
    step = max(1, len(text) // (4 * workers))
    docs = [text[i:i + step] for i in range(0, len(text), step)]
    fresh_docs = lambda: [fresh(d) for d in docs]  # noqa: E731
    with ThreadPoolExecutor(workers) as pool:
        t = best_of_each({
            "serial": (lambda ds: [kx.mask(d).text for d in ds], fresh_docs),
            "pooled": (lambda ds: list(pool.map(lambda d: kx.mask(d).text, ds)), fresh_docs),
        }, repeat)
    serial, pooled = t["serial"], t["pooled"]
    return {"workers": workers, "documents": len(docs), "serial_s": serial, "threads_s": pooled,
            "speedup": serial / pooled}


# ---- per call ----------------------------------------------------------------------------------


def per_call(message: str, expect_findings: int, calls: int, repeat: int) -> dict:
    assert len(kx.detect(message)) == expect_findings, (message, kx.detect(message).findings)

    def strs():
        return [fresh(message) for _ in range(calls)]

    def loop(fn):
        def run(items):
            for s in items:
                fn(s)
        return run

    t = best_of_each({
        "detect": (loop(kx.detect), strs),
        "mask": (loop(masked_text), strs),
        "encode": (loop(lambda s: s.encode("utf-8")), strs),
        "regex": (loop(lambda s: sum(1 for _ in DIGIT_RUN.finditer(s))), strs),
    }, repeat)
    us = {name: seconds / calls * 1e6 for name, seconds in t.items()}
    return {"characters": len(message), "findings": expect_findings, "us_per_call": us}


# ---- reading results ---------------------------------------------------------------------------


def reads(repeat: int) -> dict:
    """Microseconds per read of a result's members, on a big result and on a small one: a read
    shares the result's value, so the big one should cost about what the small one does (a
    list of findings still makes one object per finding)."""
    small = "전화 010-1234-5678"
    phones = " / ".join(f"010-{1000 + i % 9000:04d}-{(i * 7919) % 10000:04d}" for i in range(10**4))
    tokenize = kx.PolicySet(kx.Policy.tokenize())
    big_n, small_n = kx.normalize("Ａ가" * (10**5 // 2)), kx.normalize(small)
    big_r, small_r = kx.detect(phones), kx.detect(small)
    big_o, small_o = kx.mask(phones, tokenize), kx.mask(small, tokenize)
    dst = kx.Span.from_char_range(big_n.text, 10, 20)
    held = big_n.map

    def per_read(fn, n):
        def run(_):
            for _ in range(n):
                fn()  # each result dropped at once, as a loop over reads would
        return best_of(run, repeat) / n * 1e6

    return {
        "segments": len(big_n.map), "findings": len(big_r), "entries": len(big_o.restore),
        "us": {
            "n.map": (per_read(lambda: big_n.map, 2000), per_read(lambda: small_n.map, 2000)),
            "report.findings": (per_read(lambda: big_r.findings, 20),
                                per_read(lambda: small_r.findings, 2000)),
            "out.restore": (per_read(lambda: big_o.restore, 2000),
                            per_read(lambda: small_o.restore, 2000)),
            "n.map.to_source vs held map": (per_read(lambda: big_n.map.to_source(dst), 2000),
                                            per_read(lambda: held.to_source(dst), 2000)),
        },
    }


# ---- memory ------------------------------------------------------------------------------------


def memory_child(profile: str, size: int) -> None:
    """Runs in a fresh interpreter: peak extra resident memory of one detect call."""
    text = corpus(profile, size)
    nbytes = len(text.encode("utf-8"))
    gc.collect()
    reset = True
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets VmHWM to the current resident set
    except OSError:
        reset = False
    before_rss, before_hwm = vm_kib("VmRSS"), vm_kib("VmHWM")
    report = kx.detect(text)
    peak = vm_kib("VmHWM")
    extra = (peak - before_rss) * 1024
    json.dump({"profile": profile, "bytes": nbytes, "extra_bytes": extra,
               "per_input_byte": extra / nbytes, "findings": len(report),
               "hwm_reset": reset, "hwm_before_kib": before_hwm, "rss_before_kib": before_rss},
              sys.stdout)


def memory(profile: str, sizes: list[int]) -> dict:
    runs = []
    for size in sizes:
        corpus(profile, size)  # generate and cache outside the child's measurement
        r = subprocess.run([sys.executable, __file__, "--memory-child", profile, str(size)],
                           check=True, capture_output=True, text=True)
        runs.append(json.loads(r.stdout))
    exponent = None
    pts = [(math.log(r["bytes"]), math.log(r["extra_bytes"])) for r in runs if r["extra_bytes"] > 0]
    if len(pts) >= 2:
        mx = sum(x for x, _ in pts) / len(pts)
        my = sum(y for _, y in pts) / len(pts)
        exponent = sum((x - mx) * (y - my) for x, y in pts) / sum((x - mx) ** 2 for x, _ in pts)
    return {"profile": profile, "runs": runs, "growth_exponent": exponent}


# ---- span maps ---------------------------------------------------------------------------------


def span_growth(repeat: int) -> dict:
    """to_source per call and compose per map at 10^3..10^5 segments (maps built in Python)."""
    import random

    def folded(segments):  # 'abＣ' repeated: a keep and a full-width fold per unit
        b = kx.SpanMapBuilder()
        for _ in range(segments // 2):
            b.keep("ab")
            b.replace("Ｃ", "c", "fold.fullwidth")
        return b.finish()

    def capitals(text):  # over 'abc' repeated: each 'a' upper-cased
        b = kx.SpanMapBuilder(text)
        for _ in range(len(text) // 3):
            b.replace("a", "A", "case.upper")
            b.keep("bc")
        return b.finish()

    to_source_ns, compose_ms = {}, {}
    for k in (3, 4, 5):
        mid, inner = folded(10**k)
        rng = random.Random(7)
        spans = []
        for _ in range(20000):
            i = rng.randrange(len(mid))
            j = min(len(mid), i + rng.randrange(1, 14))
            spans.append(kx.Span(i, j, i, j))
        ts = inner.to_source
        to_source_ns[k] = best_of(lambda _: [ts(s) for s in spans], repeat) / len(spans) * 1e9
        _, outer = capitals(mid)
        # Each sample composes 10^(5-k) times: a single small composition takes tens of
        # microseconds, too short for one reading of the clock to be worth much.
        reps = 10 ** (5 - k)
        compose = kx.SpanMap.compose
        compose_ms[k] = best_of(lambda _: [compose(inner, outer) for _ in range(reps)],
                                repeat) / reps * 1e3
    return {
        "to_source_ns": {f"1e{k}": v for k, v in to_source_ns.items()},
        "compose_ms": {f"1e{k}": v for k, v in compose_ms.items()},
        # log-log slope between 10^3 and 10^5 segments: 1 is linear, near 0 logarithmic.
        "to_source_exponent": math.log(to_source_ns[5] / to_source_ns[3]) / math.log(100),
        "compose_exponent": math.log(compose_ms[5] / compose_ms[3]) / math.log(100),
    }


# ---- report ------------------------------------------------------------------------------------


def targets(res: dict) -> list[dict]:
    tp = res["throughput"]
    out = []

    def add(name, value, goal, ok, unit=""):
        out.append({"target": name, "value": value, "goal": goal, "met": bool(ok), "unit": unit})

    if "reviews" in tp:
        s = tp["reviews"]["seconds"]
        add("detect vs re.finditer on reviews (speed ratio)", s["regex"] / s["detect"], ">= 2",
            s["regex"] >= 2 * s["detect"], "x")
        add("detect vs str.encode on reviews (speed ratio)", s["encode"] / s["detect"], ">= 0.7",
            s["encode"] >= 0.7 * s["detect"], "x")
        add("normalize vs str.encode on reviews (speed ratio)", s["encode"] / s["normalize"],
            ">= 0.9", s["encode"] >= 0.9 * s["normalize"], "x")
    if "mixed" in tp:
        m = tp["mixed"]["mb_per_s"]
        add("detect on mixed", m["detect"], ">= 150", m["detect"] >= 150, "MB/s")
        add("detect vs re.finditer on mixed (time ratio)", m["regex"] / m["detect"], "< 1",
            m["regex"] < m["detect"], "x")
    for p, t in tp.items():
        s = t["seconds"]
        add(f"mask / detect time on {p}", s["mask"] / s["detect"], "<= 1.15",
            s["mask"] <= 1.15 * s["detect"], "x")
        add(f"tokenize+unmask / detect time on {p}", s["tokenize_unmask"] / s["detect"], "<= 1.5",
            s["tokenize_unmask"] <= 1.5 * s["detect"], "x")
    if "prose" in tp:
        v = tp["prose"]["mb_per_s"]["detect"]
        add("detect on prose", v, ">= 300", v >= 300, "MB/s")
    if "dense" in tp and "mixed" in tp:
        v = tp["dense"]["mb_per_s"]["detect"] / tp["mixed"]["mb_per_s"]["detect"]
        add("detect MB/s dense / mixed", v, ">= 0.333", v >= 1 / 3, "x")
    for name, pc in res["per_call"].items():
        if pc["characters"] == 40:
            add("detect per call, 40 characters", pc["us_per_call"]["detect"], "< 3",
                pc["us_per_call"]["detect"] < 3, "us")
            add("mask per call, 40 characters", pc["us_per_call"]["mask"], "< 4",
                pc["us_per_call"]["mask"] < 4, "us")
    for name, (big, small) in res.get("reads", {}).get("us", {}).items():
        if name != "report.findings":  # one new object per finding: linear by nature
            add(f"{name} read, big / small result", big / small, "<= 2", big <= 2 * small, "x")
    mem = res.get("memory")
    if mem:
        big = max(mem["runs"], key=lambda r: r["bytes"])
        add(f"detect peak extra memory at {big['bytes'] / 1e6:.0f} MB ({mem['profile']})",
            big["per_input_byte"], "<= 4", big["per_input_byte"] <= 4, "B/B")
        if mem["growth_exponent"] is not None:
            e = mem["growth_exponent"]
            add("detect memory growth exponent", e, "~1 (linear)", 0.9 <= e <= 1.1)
    th = res.get("threads")
    if th:
        print(f"\nmask on {th['workers']} threads, mixed cut into {th['documents']} documents: "
              f"{th['serial_s'] * 1e3:.0f} ms serially, {th['threads_s'] * 1e3:.0f} ms pooled, "
              f"speed-up {th['speedup']:.2f}x")
    sp = res.get("span")
    if sp:
        add("to_source growth exponent 1e3..1e5 segments", sp["to_source_exponent"],
            "< 0.25 (logarithmic)", sp["to_source_exponent"] < 0.25)
        add("compose growth exponent 1e3..1e5 segments", sp["compose_exponent"], "~1 (linear)",
            0.85 <= sp["compose_exponent"] <= 1.15)
    return out


def print_table(res: dict) -> None:
    print(f"kestrix {kx.__version__}  python {platform.python_version()}  "
          f"load {res['meta']['load_start'][0]:.2f} -> {res['meta']['load_end'][0]:.2f}")
    rows = [("encode", "text.encode('utf-8')"), ("regex", "re.finditer digit runs"),
            ("normalize", "normalize"), ("detect", "detect"),
            ("mask", "mask (default policies)"),
            ("tokenize_unmask", "mask tokenize + unmask")]
    for p, t in res["throughput"].items():
        print(f"\n{p}: {t['bytes'] / 1e6:.1f} MB, {t['findings']} findings, "
              f"{t['rejections']} rejections")
        print(f"  {'':<26}{'MB/s':>9}{'x encode':>10}{'x regex':>9}")
        s = t["seconds"]
        for key, label in rows:
            print(f"  {label:<26}{t['mb_per_s'][key]:>9.1f}{s[key] / s['encode']:>10.1f}"
                  f"{s[key] / s['regex']:>9.2f}")
    print("\nper call (fresh str each call)  "
          f"{'detect':>8}{'mask':>8}{'encode':>8}{'regex':>8}  us")
    for name, pc in res["per_call"].items():
        u = pc["us_per_call"]
        print(f"  {name:<30}{u['detect']:>8.2f}{u['mask']:>8.2f}{u['encode']:>8.2f}{u['regex']:>8.2f}")
    rd = res.get("reads")
    if rd:
        print(f"\nreading a result ({rd['segments']} segments, {rd['findings']} findings, "
              f"{rd['entries']} entries) vs a small one, us per read:")
        for name, (big, small) in rd["us"].items():
            print(f"  {name:<30}{big:>10.2f}{small:>10.2f}")
    mem = res.get("memory")
    if mem:
        print(f"\ndetect peak extra memory ({mem['profile']}):")
        for r in mem["runs"]:
            print(f"  {r['bytes'] / 1e6:>7.1f} MB input: {r['extra_bytes'] / 1e6:>8.1f} MB, "
                  f"{r['per_input_byte']:.2f} bytes per input byte")
        if mem["growth_exponent"] is not None:
            print(f"  growth exponent {mem['growth_exponent']:.3f}")
    sp = res.get("span")
    if sp:
        print("\nspan maps:  to_source ns/call " +
              ", ".join(f"{k} {v:.0f}" for k, v in sp["to_source_ns"].items()) +
              f" (exponent {sp['to_source_exponent']:.3f});  compose ms " +
              ", ".join(f"{k} {v:.2f}" for k, v in sp["compose_ms"].items()) +
              f" (exponent {sp['compose_exponent']:.3f})")
    print("\ntargets:")
    for t in res["targets"]:
        print(f"  {'met   ' if t['met'] else 'MISSED'} {t['target']:<52} "
              f"{t['value']:>9.3f} {t['unit']:<5} (goal {t['goal']})")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--size", type=parse_size,
                    default=parse_size(os.environ.get("KESTRIX_BENCH_SIZE", "10MB")),
                    help="bytes per profile (default 10MB, or $KESTRIX_BENCH_SIZE)")
    ap.add_argument("--profiles", default=",".join(PROFILES))
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--memory-sizes", default=os.environ.get("KESTRIX_BENCH_MEMORY", "1MB,10MB,100MB"),
                    help="sizes of the mixed text for the memory runs ('' to skip)")
    ap.add_argument("--quick", action="store_true",
                    help="3 repetitions, memory at 1MB and 10MB, fewer per-call repetitions")
    ap.add_argument("--no-span", action="store_true", help="skip the span-map growth runs")
    ap.add_argument("--json", type=Path, default=HERE / "results.json")
    ap.add_argument("--memory-child", nargs=2, metavar=("PROFILE", "SIZE"), help=argparse.SUPPRESS)
    args = ap.parse_args()

    if args.memory_child:
        memory_child(args.memory_child[0], int(args.memory_child[1]))
        return
    if args.quick:
        args.repeat = min(args.repeat, 3)
        if "KESTRIX_BENCH_MEMORY" not in os.environ and args.memory_sizes == "1MB,10MB,100MB":
            args.memory_sizes = "1MB,10MB"

    res: dict = {"meta": {"size": args.size, "repeat": args.repeat, "python": sys.version,
                          "machine": platform.machine(), "cpus": os.cpu_count(),
                          "time": time.strftime("%Y-%m-%dT%H:%M:%S"),
                          "load_start": os.getloadavg()}}
    res["throughput"] = {}
    for p in [p for p in args.profiles.split(",") if p]:
        print(f"throughput: {p} ...", file=sys.stderr, flush=True)
        res["throughput"][p] = throughput(p, args.size, args.repeat)
    print("per call ...", file=sys.stderr, flush=True)
    calls = 5000 if args.quick else 20000
    res["per_call"] = {
        "40 characters, 1 phone": per_call(MESSAGE_40, 1, calls, args.repeat),
        "400 characters, 3 items": per_call(MESSAGE_400, 3, calls // 4, args.repeat),
    }
    print("reads ...", file=sys.stderr, flush=True)
    res["reads"] = reads(args.repeat)
    print("threads ...", file=sys.stderr, flush=True)
    res["threads"] = threads(args.size, args.repeat)
    sizes = [parse_size(s) for s in args.memory_sizes.split(",") if s.strip()]
    if sizes:
        print("memory ...", file=sys.stderr, flush=True)
        res["memory"] = memory("mixed", sizes)
    if not args.no_span:
        print("span maps ...", file=sys.stderr, flush=True)
        res["span"] = span_growth(args.repeat)
    res["meta"]["load_end"] = os.getloadavg()
    res["targets"] = targets(res)
    print_table(res)
    args.json.write_text(json.dumps(res, indent=1, ensure_ascii=False) + "\n", encoding="utf-8")
    print(f"\nwritten to {args.json}")


if __name__ == "__main__":
    main()
