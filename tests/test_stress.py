"""Stress: repeated calls keep memory flat, threads agree with serial calls, conversions that
call back into the module cannot corrupt shared objects, and very large or deeply nested
inputs finish in linear time without recursion.

The heavier variants carry the `slow` marker and run with `make stress`.
"""

import gc
import json
import math
import operator
import struct
import subprocess
import os
import sys
import threading
import time

import pytest

import kestrix as kx
from conftest import business, luhn, rrn

# Under ASan the quarantine keeps freed memory mapped and PYTHONMALLOC=malloc hides the block
# count, so memory bounds mean nothing there; LeakSanitizer does that job (make test-leaks).
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
PAGE = os.sysconf("SC_PAGE_SIZE")

RRN = rrn("900101123456")
CARD = luhn("453201511283036")
BIZ = business("123456789")
# Every entity kind, disguised forms, a rejected reading and a text that already holds a
# token-looking piece, so that every getter has something to return.
TEXT = (
    f"고객 주민번호 {RRN[:6]}-{RRN[6:]} 연락처 010-1234-5678 카드 {CARD} "
    "메일 a.b@example.com 계좌번호 123-456-789012 여권번호 M12345678 "
    f"사업자 {BIZ} 생년월일 900101 운전면허번호 112233445566 "
    "전화 공일공 일이삼사 오육칠팔 ０１０-９８７６-５４３２ 주문번호 1234567890123 [[PII:0]]"
)
SHORT = f"주민번호 {RRN} 전화 010-1234-5678"


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


# ---- one instance of every class ---------------------------------------------------------

def samples():
    cfg = kx.Config()
    report = kx.detect(TEXT, cfg)
    finding = next(f for f in report.findings if f.evidence.context_hits)
    norm = kx.normalize(TEXT, cfg)
    b = kx.SpanMapBuilder()
    b.keep("ab")
    b.absorb("-", "separator.hyphen")
    b.replace("Ｏ", "0", "fold.fullwidth")
    _, bmap = b.finish()
    ps = kx.PolicySet(kx.Policy.partial(2, 2)).with_entity("phone", kx.Policy.tokenize())
    out = kx.mask(TEXT, ps, cfg)
    assert out.restore is not None and len(out.restore) > 0
    return {
        "Span": kx.Span.from_char_range(TEXT, 3, 9),
        "NormalizationCost": norm.map.to_source(kx.Span(0, 40, 0, 20)).cost,
        "Segment": norm.map.segments[1],
        "SourceSpan": norm.map.to_source(kx.Span(10, 30, 8, 20)),
        "SpanMap": norm.map,
        "BuilderMap": bmap,
        "SpanMapBuilder": b,
        "Config": cfg,
        "Normalized": norm,
        "ContextHit": finding.evidence.context_hits[0],
        "Evidence": finding.evidence,
        "Finding": finding,
        "Rejection": report.rejections[0],
        # The report of a short text: its JSON is the slowest getter of all.
        "Report": kx.detect(SHORT + " 계좌 1234", cfg),
        "Policy": kx.Policy.partial(2, 2),
        "PolicySet": ps,
        "RestoreEntry": out.restore.entries[0],
        "RestoreMap": out.restore,
        "MaskOutput": out,
    }


S = samples()
RESTORE_JSON = S["RestoreMap"].to_json()
MASKED = S["MaskOutput"].text


def _own(text):
    """A str equal to `text` that no one else holds: a literal is interned, shared by the whole
    interpreter, and its reference count may move with whatever else runs."""
    return (text + ".")[:-1]


def _builder(method, *args, **kwargs):
    def run():
        b = kx.SpanMapBuilder(SHORT)
        getattr(b, method)(*args, **kwargs)
        return b.finish()
    return run


def _set(obj, name, value):
    return lambda: setattr(obj, name, value)


def _raises(exc, fn, *args, **kwargs):
    def run():
        try:
            fn(*args, **kwargs)
        except exc:
            return
        raise AssertionError(f"{fn!r} did not raise {exc.__name__}")
    return run


def _getters():
    """Every property of every class, read through its getter."""
    ops = {}
    for cls_name, obj in S.items():
        if cls_name == "BuilderMap":
            continue
        for name, attr in vars(type(obj)).items():
            if type(attr).__name__ == "getset_descriptor" and not name.startswith("__"):
                ops[f"{cls_name}.{name}"] = (operator.attrgetter(name), (obj,))
    return ops


def _methods():
    s, cfg, ps = S["Span"], S["Config"], S["PolicySet"]
    m, rm, f = S["SpanMap"], S["RestoreMap"], S["Finding"]
    hyphen = kx.normalize("0-1").map
    return {
        # module functions
        "normalize": (kx.normalize, (SHORT,)),
        "normalize+config": (kx.normalize, (SHORT, cfg)),
        "detect": (kx.detect, (SHORT,)),
        "detect+config": (kx.detect, (SHORT, cfg)),
        "mask": (kx.mask, (SHORT,)),
        "mask+policies": (kx.mask, (SHORT, ps, cfg)),
        "unmask": (kx.unmask, (MASKED, rm)),
        "entity_names": (kx.entity_names, ()),
        # constructors and static factories
        "Span.__new__": (kx.Span, (1, 2, 3, 4)),
        "Span.from_char_range": (kx.Span.from_char_range, (TEXT, 3, 20)),
        "SpanMapBuilder.__new__": (kx.SpanMapBuilder, (TEXT,)),
        "Config.__new__": (kx.Config, ()),
        "PolicySet.__new__": (kx.PolicySet, (kx.Policy.tokenize(),)),
        "SpanMap.identity": (kx.SpanMap.identity, (TEXT,)),
        "SpanMap.compose": (kx.SpanMap.compose, (m, kx.SpanMap.identity(S["Normalized"].text))),
        "RestoreMap.from_json": (kx.RestoreMap.from_json, (RESTORE_JSON,)),
        "Policy.redact_label": (kx.Policy.redact_label, ()),
        "Policy.redact_code": (kx.Policy.redact_code, ()),
        "Policy.redact_fill": (kx.Policy.redact_fill, ("#",)),
        "Policy.redact_fixed": (kx.Policy.redact_fixed, ("<가림>",)),
        "Policy.partial": (kx.Policy.partial, (3, 4, "*")),
        "Policy.hash": (kx.Policy.hash, (b"secret", 16)),
        "Policy.hash+sequence": (kx.Policy.hash, ([1, 2, 3],)),
        "Policy.tokenize": (kx.Policy.tokenize, ()),
        # methods
        "Span.slice": (s.slice, (TEXT,)),
        "Span.is_empty": (s.is_empty, ()),
        "Span.to_json": (s.to_json, ()),
        "Span.__eq__": (operator.eq, (s, kx.Span.from_char_range(TEXT, 3, 9))),
        "Span.__ne__": (operator.ne, (s, kx.Span(3, 9, 1, 5))),
        "Span.__eq__+other": (operator.eq, (s, _own("span"))),
        "NormalizationCost.is_zero": (S["NormalizationCost"].is_zero, ()),
        "NormalizationCost.to_json": (S["NormalizationCost"].to_json, ()),
        "SourceSpan.to_json": (S["SourceSpan"].to_json, ()),
        "Segment.to_json": (S["Segment"].to_json, ()),
        "SpanMap.__len__": (len, (m,)),
        "SpanMap.is_identity": (m.is_identity, ()),
        "SpanMap.validate": (m.validate, ()),
        "SpanMap.to_json": (m.to_json, ()),
        "SpanMap.to_source": (m.to_source, (kx.Span(5, 40, 4, 20),)),
        "SpanMap.to_source_from_chars": (
            m.to_source_from_chars, (S["Normalized"].text, 4, 20)),
        "SpanMapBuilder.keep": (_builder("keep", SHORT), ()),
        "SpanMapBuilder.replace": (_builder("replace", "Ｏ", "0", "fold.fullwidth"), ()),
        "SpanMapBuilder.numeral": (_builder("numeral", "팔팔", "88", "hangul.digit_reading"), ()),
        "SpanMapBuilder.absorb": (_builder("absorb", " ", "separator.whitespace", "whitespace"), ()),
        "SpanMapBuilder.finish": (lambda: kx.SpanMapBuilder().finish(), ()),
        "Config.set_weights": (cfg.set_weights, (0.6, 0.25, 0.5, 0.08, 0.01, 0.01, 0.002)),
        "Finding.text": (f.text, (TEXT,)),
        "Finding.to_json": (f.to_json, ()),
        "Evidence.to_json": (S["Evidence"].to_json, ()),
        "Rejection.to_json": (S["Rejection"].to_json, ()),
        "Report.__len__": (len, (S["Report"],)),
        "Report.to_json": (S["Report"].to_json, ()),
        "PolicySet.with_entity": (ps.with_entity, (_own("email"), kx.Policy.redact_code())),
        "PolicySet.policy_for": (ps.policy_for, (_own("phone"),)),
        "RestoreMap.__len__": (len, (rm,)),
        "RestoreMap.is_empty": (rm.is_empty, ()),
        "RestoreMap.to_json": (rm.to_json, ()),
        # setters (same values as the defaults, so later tests see a default Config)
        "Config.nfc=": (_set(cfg, "nfc", True), ()),
        "Config.fold=": (_set(cfg, "fold", True), ()),
        "Config.hangul=": (_set(cfg, "hangul", True), ()),
        "Config.lookalike=": (_set(cfg, "lookalike", True), ()),
        "Config.separator=": (_set(cfg, "separator", True), ()),
        "Config.context_window=": (_set(cfg, "context_window", 24), ()),
        "Config.numeral_min_digits_without_context=": (
            _set(cfg, "numeral_min_digits_without_context", 6), ()),
        "Config.numeral_min_digits_with_context=": (
            _set(cfg, "numeral_min_digits_with_context", 2), ()),
        "Config.min_score=": (_set(cfg, "min_score", 0.5), ()),
        "Config.min_context=": (_set(cfg, "min_context", 0.3), ()),
        "Config.min_veto=": (_set(cfg, "min_veto", 0.5), ()),
        # error paths: every exception, its note and its message must be freed too
        "error:text type": (_raises(TypeError, kx.detect, 123), ()),
        "error:surrogate": (_raises(UnicodeEncodeError, kx.mask, "a\ud800b"), ()),
        "error:policies type": (_raises(TypeError, kx.mask, "x", kx.Policy.tokenize()), ()),
        "error:missing": (_raises(TypeError, kx.detect), ()),
        "error:unexpected keyword": (_raises(TypeError, kx.normalize, "x", bogus=1), ()),
        "error:too many": (_raises(TypeError, kx.normalize, "x", cfg, cfg), ()),
        "error:twice": (_raises(TypeError, kx.normalize, "x", text="y"), ()),
        "error:span overflow": (_raises(OverflowError, kx.Span, -1, 0, 0, 0), ()),
        "error:char range": (_raises(ValueError, kx.Span.from_char_range, "abc", 2, 9), ()),
        "error:compose": (_raises(kx.SpanMapError, kx.SpanMap.compose, hyphen, hyphen), ()),
        "error:unmask number": (_raises(kx.SpanMapError, kx.unmask, "[[PII0:99]]", rm), ()),
        "error:unmask open": (_raises(kx.SpanMapError, kx.unmask, "[[PII0:3", rm), ()),
        "error:from_json": (_raises(ValueError, kx.RestoreMap.from_json, "{}"), ()),
        "error:from_json entity": (_raises(
            ValueError, kx.RestoreMap.from_json, '["P",[["t","o","nope"]]]'), ()),
        "error:from_json syntax": (_raises(ValueError, kx.RestoreMap.from_json, '{"prefix":'), ()),
        "error:bool setter": (_raises(TypeError, setattr, cfg, "nfc", 1), ()),
        "error:window setter": (_raises(OverflowError, setattr, cfg, "context_window", 2**32), ()),
        "error:float setter": (_raises(TypeError, setattr, cfg, "min_score", "x"), ()),
        "error:delete setter": (_raises(TypeError, delattr, cfg, "min_score"), ()),
        "error:set_weights": (_raises(TypeError, cfg.set_weights, context=0.5, replaced_char="x"), ()),
        "error:consumed": (_raises(RuntimeError, S["SpanMapBuilder"].keep, "x"), ()),
        "error:absorb class": (_raises(ValueError, kx.SpanMapBuilder().absorb, "-", "r", "tab"), ()),
        "error:entity": (_raises(ValueError, ps.with_entity, "nope", kx.Policy.tokenize()), ()),
        "error:policy type": (_raises(TypeError, ps.with_entity, "phone", "tokenize"), ()),
        "error:fill": (_raises(ValueError, kx.Policy.redact_fill, "ab"), ()),
        "error:hash key": (_raises(TypeError, kx.Policy.hash, "secret"), ()),
        "error:hash byte": (_raises(TypeError, kx.Policy.hash, [1, 300]), ()),
        "error:finding text": (_raises(ValueError, f.text, "short"), ()),
        "error:no instances": (_raises(TypeError, kx.Policy), ()),
        "error:span order": (_raises(TypeError, operator.lt, s, s), ()),
    }


OPS = {**_getters(), **_methods()}
for _name, _obj in S.items():
    if _name != "BuilderMap":
        OPS[f"{_name}.__repr__"] = (repr, (_obj,))


def test_every_public_callable_is_exercised():
    names = {n.split("+")[0] for n in OPS}
    expected = set(kx.__all__) if hasattr(kx, "__all__") else set()
    for fn in ("normalize", "detect", "mask", "unmask", "entity_names"):
        expected.add(fn)
    for cls_name in ("Span", "NormalizationCost", "Segment", "SourceSpan", "SpanMap",
                     "SpanMapBuilder", "Config", "Normalized", "ContextHit", "Evidence",
                     "Finding", "Rejection", "Report", "Policy", "PolicySet", "RestoreEntry",
                     "RestoreMap", "MaskOutput"):
        cls = getattr(kx, cls_name)
        expected.add(f"{cls_name}.__repr__")
        for name, attr in vars(cls).items():
            if name.startswith("__"):
                if name in ("__new__", "__len__", "__eq__"):
                    expected.add(f"{cls_name}.{name}")
                continue
            expected.add(f"{cls_name}.{name}")
            if type(attr).__name__ == "getset_descriptor" and cls_name == "Config":
                try:
                    setattr(kx.Config(), name, getattr(kx.Config(), name))
                except AttributeError:
                    continue
                expected.add(f"{cls_name}.{name}=")
    assert expected - names == set()


def _refcounts(args):
    # Singletons and small ints are shared by the whole interpreter; everything else that we
    # pass in must come back with the reference count it had.
    return [sys.getrefcount(a) for a in args
            if not isinstance(a, (bool, int, type(None)))]


def _check_flat(name, fn, args, n, rss_bound):
    for _ in range(200):
        fn(*args)
    gc.collect()
    refs0 = _refcounts(args)
    blocks0 = sys.getallocatedblocks()
    rss0 = rss()
    for _ in range(n):
        fn(*args)
    gc.collect()
    blocks = sys.getallocatedblocks() - blocks0
    grown = rss() - rss0
    print(f"flat {name}: {n} calls, RSS {grown / 1024:+.0f} KiB, blocks {blocks:+d}")
    assert _refcounts(args) == refs0, f"{name}: an argument gained references"
    if not SANITIZED:
        # A leak of one object per call would show as n blocks.
        assert blocks < n // 100, f"{name}: {blocks} Python blocks more after {n} calls"
        assert grown < rss_bound, f"{name}: RSS grew by {grown} bytes after {n} calls"


@pytest.mark.parametrize("name", sorted(OPS))
def test_repeated_calls_keep_memory_flat(name):
    fn, args = OPS[name]
    # 4 MiB over 10^4 calls catches any leak of 400 bytes or more per call.
    _check_flat(name, fn, args, 300 if SANITIZED else 10_000, 4 << 20)


@pytest.mark.slow
@pytest.mark.parametrize("name", sorted(OPS))
def test_repeated_calls_keep_memory_flat_long(name):
    fn, args = OPS[name]
    # 8 MiB over 10^5 calls: a leak of 80 bytes per call fails.
    _check_flat(name, fn, args, 100_000, 8 << 20)


# ---- threads -------------------------------------------------------------------------------

def _thread_texts():
    texts = [TEXT, SHORT, "", "개인정보 없음", "[[PII:0]] 전화 010-2222-3333"]
    for i in range(24):
        texts.append(f"{i}번 고객 주민번호 {rrn(f'8{i % 10}0101{i:06d}')} 카드 {luhn(f'45320151128{i:04d}')} "
                     f"연락처 010-{1000 + i}-{5000 + i} 메일 user{i}@example.co.kr")
    # Long enough to be worked on without the interpreter lock, by several threads at once.
    texts += ["\n".join(texts[5:17]) * 3, "\n".join(texts[10:]) * 20]
    return texts


def _outcome(text, cfg, ps):
    report = kx.detect(text, cfg)
    out = kx.mask(text, ps, cfg)
    return (report.to_json(), out.text, [f.to_json() for f in out.applied],
            [f.to_json() for f in out.skipped], out.restore.to_json() if out.restore else None)


def test_eight_threads_agree_with_serial_calls():
    cfg = kx.Config()
    cfg.min_score = 0.4           # not the defaults, so a thread that ignored them would differ
    cfg.context_window = 16
    ps = (kx.PolicySet(kx.Policy.hash(b"key"))
          .with_entity("phone", kx.Policy.tokenize())
          .with_entity("resident", kx.Policy.partial(6, 0)))
    texts = _thread_texts()
    expected = [_outcome(t, cfg, ps) for t in texts]
    rounds = 2 if SANITIZED else 6
    results, errors = [None] * 8, []
    start = threading.Barrier(9)
    stop = threading.Event()

    def worker(k):
        try:
            start.wait()
            got = []
            for r in range(rounds):
                for i in range(len(texts)):
                    j = (i + k + r) % len(texts)
                    got.append((j, _outcome(texts[j], cfg, ps)))
            results[k] = got
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    def toucher():
        # Rewrites the shared settings with their own values and reads them while the workers
        # run: exclusive and shared borrows must never collide under the interpreter lock.
        try:
            start.wait()
            while not stop.is_set():
                cfg.min_score = cfg.min_score
                cfg.set_weights(context=cfg.weights["context"])
                ps.policy_for("phone")
        except BaseException as e:  # noqa: BLE001
            errors.append(e)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
        side = threading.Thread(target=toucher)
        for t in threads + [side]:
            t.start()
        for t in threads:
            t.join()
        stop.set()
        side.join()
    finally:
        sys.setswitchinterval(old)
    assert errors == []
    for got in results:
        assert len(got) == rounds * len(texts)
        for j, outcome in got:
            assert outcome == expected[j]
    assert repr(cfg) == "Config(min_score=0.4, min_context=0.3, context_window=16)"


def _ran_meanwhile(call):
    """Whether this thread kept running for a good part of the time `call` took in another
    thread. With the interpreter lock held for the whole call it could run only for a switch
    interval before the call began and one after it returned."""
    window, done, ticks = [], threading.Event(), []

    def run():
        t0 = time.perf_counter()
        call()
        window.append((t0, time.perf_counter()))
        done.set()

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    try:
        th = threading.Thread(target=run)
        th.start()
        while not done.is_set():
            ticks.append(time.perf_counter())
        th.join()
    finally:
        sys.setswitchinterval(old)
    t0, t1 = window[0]
    inside = [t for t in ticks if t0 < t < t1]
    running = sum(b - a for a, b in zip(inside, inside[1:]) if b - a < 1e-3)
    return running > 0.1 * (t1 - t0)


def test_long_calls_let_other_threads_run():
    text = "\n".join(_thread_texts()[5:29]) * 1500  # about 4 MB
    # Unmasking a text beyond ASCII takes the tokens out without the lock and builds the str
    # from pieces of the argument with it; a mostly ASCII text has its result made unlocked.
    ascii_text = "order 12345 paid; call 010-1234-5678 or write to kim@mail.co.kr\n" * 60000
    tokens = kx.mask(ascii_text, kx.PolicySet(kx.Policy.tokenize()))
    calls = {
        "normalize": lambda: kx.normalize(text),
        "detect": lambda: kx.detect(text),
        "mask": lambda: kx.mask(text),
        "unmask": lambda: kx.unmask(tokens.text, tokens.restore),
    }
    for name, call in calls.items():
        # A busy machine may not schedule this thread during one call: a few tries.
        assert any(_ran_meanwhile(call) for _ in range(5)), name


# ---- buffers kept from call to call ----------------------------------------------------------

def _kept_buffer_texts():
    """Texts from a few dozen bytes to most of a megabyte, each pass of normalization at
    work in the long ones (full-width forms, Hangul numerals, lookalike letters, separators),
    so that every buffer a call keeps for the next is used by texts of very different sizes."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
    from corpus import generate
    odd = ("전화 공일공 일이삼사 오육칠팔, ０１０-９８７６-５４３２, 계좌 11O-l23-456789 "
           f"주민 {RRN[:6]} - {RRN[6:]}\n")
    mixed = generate("mixed", 700_000, seed=3)
    dense = generate("dense", 200_000, seed=5)
    return [SHORT, mixed, odd, dense[:70_001], TEXT * 3, odd * 900, mixed[:300_007], "",
            dense, mixed[:65_537], odd * 8_000]


def _kept_buffer_outcome(text):
    tokenize = kx.PolicySet(kx.Policy.tokenize())
    report = kx.detect(text)
    norm = kx.normalize(text)
    masked = kx.mask(text)
    tokens = kx.mask(text, tokenize)
    restored = kx.unmask(tokens.text, tokens.restore) if tokens.restore else text
    raw = text.encode()
    records = kx._detect_lines(raw, kx.Config(), '"t"', 1, True, len(raw))
    lines = kx._mask_lines(raw, tokenize, kx.Config(), "R", True, len(raw))
    return (report.to_json(), norm.text, norm.map.to_json(), masked.text,
            [f.to_json() for f in masked.applied], tokens.text,
            tokens.restore.to_json() if tokens.restore else None, restored == text, records,
            lines[0], lines[1].to_json() if lines[1] else None, lines[2], lines[3])


def test_calls_of_very_different_sizes_agree_in_any_order():
    # A call reuses the buffers an earlier call on the thread left: one that handed a buffer
    # on with what it held, or with room for a shorter text than the one it is given, would
    # give a result that depends on the call before it.
    texts = _kept_buffer_texts()
    expected = [_kept_buffer_outcome(t) for t in texts]
    held = []  # results alive while later calls run keep their buffers from them
    for order in (range(len(texts) - 1, -1, -1), [1, 0, 8, 2, 1, 7, 3, 10, 4, 9, 5, 6, 8]):
        for i in order:
            assert _kept_buffer_outcome(texts[i]) == expected[i], i
            if i % 3 == 0:
                held.append((i, kx.detect(texts[i]), kx.normalize(texts[i]), kx.mask(texts[i])))
    for i, report, norm, masked in held:
        assert (report.to_json(), norm.text, masked.text) == (expected[i][0], expected[i][1], expected[i][3])


def test_threads_with_texts_of_very_different_sizes_agree_with_serial_calls():
    texts = _kept_buffer_texts()
    expected = [_kept_buffer_outcome(t) for t in texts]
    rounds, workers = (1, 2) if SANITIZED else (2, 4)
    results, errors = [None] * workers, []
    start = threading.Barrier(workers)

    def worker(k):
        try:
            start.wait()
            got = []
            for r in range(rounds):
                for i in range(len(texts)):
                    j = (i * (k + 1) + r) % len(texts)  # each thread its own order of sizes
                    got.append((j, _kept_buffer_outcome(texts[j])))
            results[k] = got
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(workers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for got in results:
        assert len(got) == rounds * len(texts)
        for j, outcome in got:
            assert outcome == expected[j], j


def test_a_call_made_while_another_runs_on_the_thread_uses_buffers_of_its_own():
    # The collector's callbacks run where a call of the module makes a tracked Python object
    # (the chunk calls' result tuples and lists): a call made from one runs inside the other.
    texts = _kept_buffer_texts()
    inner_text, chunk = texts[1][:400_000], texts[10].encode()
    tokenize = kx.PolicySet(kx.Policy.tokenize())

    def inner_outcome():
        return kx.detect(inner_text).to_json(), kx.mask(inner_text).text, kx.normalize(inner_text).text

    config = kx.Config()

    def outer_outcome():
        lines = kx._mask_lines(chunk, tokenize, config, "R", True, len(chunk))
        records = kx._detect_lines(chunk, config, '"t"', 1, False, len(chunk))
        return records, lines[0], lines[1].to_json(), lines[2:]

    want_inner, want_outer = inner_outcome(), outer_outcome()
    first = outer_outcome.__code__.co_firstlineno
    inner = []

    def nested(phase, info):
        # Only from inside a chunk call (the two lines after the def).
        if phase == "start" and sys._getframe(1).f_lineno - first in (1, 2) and len(inner) < 4:
            inner.append(inner_outcome())

    old = gc.get_threshold()
    gc.collect()
    gc.callbacks.append(nested)
    gc.set_threshold(1)
    try:
        got_outer = outer_outcome()
    finally:
        gc.callbacks.remove(nested)
        gc.set_threshold(*old)
    assert inner, "no call ran inside another"
    assert all(got == want_inner for got in inner)
    assert got_outer == want_outer


# ---- conversions that call back into the module ----------------------------------------------

def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


class CallsBack:
    """A number whose conversion to float or int first runs `fn`."""

    def __init__(self, value, fn):
        self.value, self.fn = value, fn

    def __float__(self):
        self.fn()
        return float(self.value)

    def __index__(self):
        self.fn()
        return int(self.value)


FLOAT_FIELDS = ["min_score", "min_context", "min_veto"]
INT_FIELDS = ["context_window", "numeral_min_digits_with_context",
              "numeral_min_digits_without_context"]


def _fields(cfg):
    names = FLOAT_FIELDS + INT_FIELDS + ["nfc", "fold", "hangul", "lookalike", "separator"]
    return {n: getattr(cfg, n) for n in names} | {"weights": cfg.weights}


@pytest.mark.parametrize("field, value", [(f, 0.75) for f in FLOAT_FIELDS] +
                                         [(f, 11) for f in INT_FIELDS])
def test_setter_conversion_may_read_the_same_config(field, value):
    cfg = kx.Config()
    before = _fields(cfg)
    seen = []

    def read():
        seen.append((_fields(cfg), kx.detect(SHORT, cfg).to_json(), repr(cfg)))

    setattr(cfg, field, CallsBack(value, read))
    # The value is converted before the Config is borrowed for writing: the callback sees
    # the old settings, complete, and the write lands afterwards.
    assert seen == [(before, kx.detect(SHORT, kx.Config()).to_json(), repr(kx.Config()))]
    assert getattr(cfg, field) == (f32(value) if field in FLOAT_FIELDS else value)
    assert _fields(cfg) == before | {field: getattr(cfg, field)}


@pytest.mark.parametrize("field, value, inner", [
    ("min_score", 0.75, 0.25), ("context_window", 11, 7)])
def test_setter_conversion_may_write_the_same_config(field, value, inner):
    cfg = kx.Config()

    def write():
        setattr(cfg, field, inner)     # the same field
        cfg.min_veto = 0.125           # and another
        cfg.set_weights(replaced_char=0.5)

    setattr(cfg, field, CallsBack(value, write))
    # The nested writes ran to completion before the outer one took its borrow; the outer
    # value is the last write of its field.
    assert getattr(cfg, field) == (f32(value) if isinstance(value, float) else value)
    assert cfg.min_veto == 0.125 and cfg.weights["replaced_char"] == 0.5
    assert repr(cfg).startswith("Config(min_score=")


def test_set_weights_with_callbacks_and_a_failing_argument_keeps_the_config_whole():
    cfg = kx.Config()
    defaults = cfg.weights

    def write():
        cfg.set_weights(checksum_failed=0.125)
        kx.mask(SHORT, None, cfg)

    # The callback's own write completes; the outer call fails on `replaced_char` before it
    # writes anything, so `context` keeps its old value.
    with pytest.raises(TypeError) as exc:
        cfg.set_weights(context=CallsBack(0.75, write), replaced_char="x")
    assert exc.value.__notes__ == ["while processing 'replaced_char'"]
    assert cfg.weights == defaults | {"checksum_failed": 0.125}
    cfg.set_weights(context=CallsBack(0.75, write), checksum_passed=1.5)
    assert cfg.weights == defaults | {"checksum_failed": 0.125, "context": 0.75,
                                      "checksum_passed": 1.5}


def test_callback_that_raises_leaves_the_config_unchanged():
    cfg = kx.Config()
    before = _fields(cfg)

    def boom():
        cfg.min_context = 0.0625
        raise LookupError("from the callback")

    with pytest.raises(LookupError, match="from the callback") as exc:
        cfg.min_score = CallsBack(0.9, boom)
    assert exc.value.__notes__ == ["while processing 'value'"]
    assert _fields(cfg) == before | {"min_context": 0.0625}


def _collect_inside(action, callback):
    """Runs `action` so that the cyclic collector fires at its first allocation of a tracked
    container, with a finalizer that calls `callback`. Returns what `action` returned."""

    class Trigger:
        def __init__(self):
            self.me = self

        def __del__(self):
            callback()

    gc.collect()
    old = gc.get_threshold()
    gc.disable()
    # Empty the free lists of dicts and pairs, so the next one comes from the allocator,
    # which is where the collector is triggered. The collector stays off meanwhile: its
    # callbacks (hypothesis has one) would put a dict back.
    hold = ([{} for _ in range(200)], [(i, -i) for i in range(2100)])
    try:
        Trigger()
        gc.set_threshold(1)
        gc.enable()
        return action()
    finally:
        gc.set_threshold(*old)
        gc.enable()
        del hold


NO_CALLBACKS_INSIDE = pytest.mark.skipif(
    sys.version_info >= (3, 12),
    reason="the collector runs only between bytecodes, so no finalizer runs inside a call")


@NO_CALLBACKS_INSIDE
def test_finalizer_writing_a_config_during_a_read_gets_the_borrow_error():
    cfg = kx.Config()
    log = []

    def write():
        log.append(cfg.min_score)        # a second reader is fine
        try:
            cfg.min_score = 0.9
            log.append("written")
        except RuntimeError as e:
            log.append(str(e))

    weights = _collect_inside(lambda: cfg.weights, write)
    assert log == [0.5, "Already borrowed"]
    assert weights == kx.Config().weights
    assert cfg.min_score == 0.5


@NO_CALLBACKS_INSIDE
def test_finalizer_using_a_builder_during_finish_gets_the_borrow_error():
    b = kx.SpanMapBuilder()
    b.keep("ab")
    log = []

    def use():
        for op in (lambda: b.keep("x"), b.finish, lambda: b.absorb("-", "separator.hyphen")):
            try:
                op()
                log.append("ran")
            except RuntimeError as e:
                log.append(str(e))
        log.append(repr(b))

    text, m = _collect_inside(b.finish, use)
    assert log == ["Already borrowed"] * 3 + ["SpanMapBuilder(active)"]
    assert text == "ab" and len(m) == 1
    m.validate()
    assert repr(b) == "SpanMapBuilder(consumed)"


# ---- restore-map JSON: deep nesting and huge documents ---------------------------------------

DEEP = 10**6
PREFIX = "restore map JSON 을 읽지 못했다: "


@pytest.mark.parametrize("doc, message", [
    ("[" * DEEP + "]" * DEEP, "invalid type: sequence, expected a string at line 1 column 2"),
    ("[" * DEEP, "invalid type: sequence, expected a string at line 1 column 2"),
    ('{"a":' * DEEP + "1" + "}" * DEEP, None),
    ('{"a":' * DEEP, "EOF while parsing"),
    ('{"prefix":"P","entries":' + "[" * DEEP + "]" * DEEP + "}", "expected a string"),
    ('{"prefix":"P","entries":[' + "[" * DEEP, "expected a string"),
    ('{"prefix":' + '{"a":[' * DEEP, "invalid type: map, expected a string"),
])
def test_deeply_nested_restore_json_is_rejected_without_recursion(doc, message):
    with pytest.raises(ValueError) as exc:
        kx.RestoreMap.from_json(doc)
    text = str(exc.value)
    assert text.startswith(PREFIX)
    if message:
        assert message in text


@pytest.mark.parametrize("nested", [
    "[" * DEEP + "]" * DEEP,
    '{"a":' * DEEP + "null" + "}" * DEEP,
    '[{"k":' * (DEEP // 2) + "0" + "}]" * (DEEP // 2),
])
def test_deeply_nested_ignored_values_are_skipped(nested):
    doc = ('{"x":' + nested + ',"prefix":"P","entries":[{"token":"[[P:0]]","original":"o",'
           '"entity":"phone","y":' + nested + "}]}")
    m = kx.RestoreMap.from_json(doc)
    assert m.prefix == "P" and len(m) == 1
    assert kx.unmask("a [[P:0]] b", m) == "a o b"


@pytest.mark.slow
def test_hundred_megabyte_restore_json():
    piece = "가나다 010-1234-5678 " * 4
    n = 100_000_000 // len(json.dumps(piece, ensure_ascii=False).encode()) + 1
    table = {"prefix": "PII", "entries": [
        {"token": f"[[PII:{i}]]", "original": f"{i}:{piece}", "entity": "phone"} for i in range(n)]}
    doc = json.dumps(table, ensure_ascii=False, separators=(",", ":"))
    assert len(doc.encode()) > 100_000_000
    m = kx.RestoreMap.from_json(doc)
    assert len(m) == n and m.to_json() == doc
    masked = "|".join(f"[[PII:{i}]]" for i in range(0, n, 7))
    assert kx.unmask(masked, m) == "|".join(f"{i}:{piece}" for i in range(0, n, 7))
    # One string of 100 MB, and the same document cut short.
    big = json.dumps({"prefix": "PII", "entries": [["[[PII:0]]", "가" * 34_000_000, "email"]]},
                     ensure_ascii=False, separators=(",", ":"))
    assert len(kx.RestoreMap.from_json(big).entries[0].original) == 34_000_000
    with pytest.raises(ValueError, match="EOF while parsing a string at line 1 column"):
        kx.RestoreMap.from_json(big[: big.index('","email"')])
    with pytest.raises(ValueError, match="EOF while parsing an object at line 1 column"):
        kx.RestoreMap.from_json(doc[: doc.index('"entity"', len(doc) // 2)])


# ---- very large inputs: time grows linearly --------------------------------------------------

# Each measurement runs in a fresh interpreter: one whose heap already holds the pages of an
# earlier large run serves a small run without a page fault, which makes the small run look
# several times cheaper per byte than it is. A fixed mmap threshold (glibc otherwise raises it
# to 32 MiB after freeing a large block) makes both sizes map and fault in alike.
LINEAR_CHILD = r"""
import json, sys, time
import kestrix as kx
unit, size, op, repeat, bench = json.loads(sys.argv[1])
if unit is None:
    sys.path.insert(0, bench)
    from corpus import generate
    unit = generate("mixed", 1_000_000)
text = unit * (size // len(unit.encode()))
tokenize = kx.PolicySet(kx.Policy.tokenize())
fn = {"normalize": kx.normalize, "detect": kx.detect,
      "mask": lambda t: kx.mask(t, tokenize)}[op]
times = []
for _ in range(repeat):
    t = time.process_time()   # processor time: other jobs on the machine do not count
    fn(text)
    times.append(time.process_time() - t)
print(sorted(times)[len(times) // 2])
"""


def _seconds(unit, size, op, repeat):
    bench = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(kx.__file__)),
               MALLOC_MMAP_THRESHOLD_=str(128 * 1024))
    run = subprocess.run([sys.executable, "-c", LINEAR_CHILD,
                          json.dumps([unit, size, op, repeat, bench])],
                         capture_output=True, text=True, timeout=1800, env=env)
    assert run.returncode == 0, run.stderr[-2000:]
    return float(run.stdout)


LINEAR_OPS = ["normalize", "detect", "mask"]
# (unit, small size in bytes; None is the mixed corpus of bench/corpus.py). Rewrite-heavy
# shapes record about one segment per byte, which costs about 100 bytes of memory per input
# byte, so they are measured from 1 MB to 10 MB.
LINEAR_SHAPES = {
    "mixed corpus": (None, 10_000_000),
    "one digit run": ("0123456789", 10_000_000),
    "resident numbers after cues": ("주민번호" + RRN + " ", 10_000_000),
    "token look-alikes": ("[[PII:", 10_000_000),
    "at signs": ("a@b.", 10_000_000),
    "separated digits": ("1-2 3.4,5·6(7)8 ", 1_000_000),
    "full-width digits": ("０１２３－", 1_000_000),
    "look-alike letters": ("1O1l", 1_000_000),
    # One joined run of the whole text: its pieces are bounded by the longest rule.
    "single digits joined by hyphens": ("1-", 1_000_000),
    "zeros joined by commas": ("0,", 1_000_000),
    "phone numbers side by side": ("010-2345-6789, 02-123-4567 ", 1_000_000),
    "digits joined by invisible characters": ("1\u200b2\ufeff", 1_000_000),
    # The formats Korean keyboards and forms add.
    "digits joined by keyboard separators": ("1\u318d2\u20223\u22194\u3161", 1_000_000),
    "impossible written dates": ("생년월일 1988년 13월 45일 1988/02/30 ", 1_000_000),
    "dotted dates": ("생년월일 1988. 1. 1. 1988. 13. 45. ", 1_000_000),
    "bank names in a row": ("신한은행카카오뱅크농협통장", 1_000_000),
    "bank names around accounts": ("농협 352-1234-5678-93 국민은행 통장 ", 1_000_000),
    "e-mails broken by invisible characters": ("h\u200bo@\u200be\u200bx.c\u200bo\u200b", 1_000_000),
    "new passports and 0082 phones": ("여권 M123A4567 0082-10-2345-6789 ", 1_000_000),
    # Dates joined to the numbers beside them, e-mails ended by the characters after them.
    "dates joined to numbers": ("생년월일 1988/01/01 010-2345-6789 1988. 1. 1. 1234 ", 1_000_000),
    "e-mails before invisible characters": ("a@b.co\u200e1\u3164", 1_000_000),
}


@pytest.mark.slow
@pytest.mark.parametrize("op", LINEAR_OPS)
@pytest.mark.parametrize("shape", list(LINEAR_SHAPES))
def test_time_grows_linearly_with_input(shape, op):
    unit, small = LINEAR_SHAPES[shape]
    t_small, t_big = _seconds(unit, small, op, 3), _seconds(unit, 10 * small, op, 1)
    if t_big / t_small >= 30:
        # One slow run of the large input is not yet a verdict: measure both again.
        t_small, t_big = _seconds(unit, small, op, 5), _seconds(unit, 10 * small, op, 3)
    ratio = t_big / t_small
    print(f"{shape} {op}: {small} B {t_small:.3f} s, {10 * small} B {t_big:.3f} s, x{ratio:.1f}"
          f" (growth exponent {math.log10(ratio):.2f})")
    # Ten times the input: linear gives about 10 (more when the larger run no longer fits the
    # caches), quadratic about 100.
    assert ratio < 30


# ---- keyword values emptied while an earlier argument converts -------------------------------

# operator.methodcaller hands its own keyword dict to the callee, and __reduce__ exposes that
# very dict (as the keywords of a partial). A conversion that empties it frees the values of
# the later keyword arguments, which the binder must therefore hold. Run in a child process:
# without the fix this was a segmentation fault.
EMPTIED_KWARGS = r'''
import json, operator, sys
import kestrix as kx

class Big(int):
    pass

class Real(float):
    pass

class Emptying:
    """Empties the methodcaller's keyword dict, then reuses the freed memory."""
    def __init__(self, value):
        self.value = value
    def _empty(self):
        KW[0].clear()
        # Strings of every small size take over the freed blocks.
        KW.append([chr(0x41 + n % 26) * n for n in range(200) for _ in range(20)])
    def __index__(self):
        self._empty()
        return self.value
    def __float__(self):
        self._empty()
        return float(self.value)
    def __iter__(self):
        self._empty()
        return iter(b"key")
    def __len__(self):
        return 3
    def __getitem__(self, i):
        return b"key"[i]

def call(target, name, make):
    # The values live only in the methodcaller's dict: emptying it frees them.
    mc = operator.methodcaller(name, **make())
    KW[:] = [mc.__reduce__()[0].keywords]
    out = mc(target)
    # The premise: the dict we emptied was the one passed to the call.
    assert mc.__reduce__()[0] is operator.methodcaller
    return out

def text():
    return "".join(["가나다라", "마바사"])   # a new string each time

KW = []
case = sys.argv[1]
if case == "set_weights":
    cfg = kx.Config()
    call(cfg, "set_weights", lambda: dict(checksum_passed=Emptying(0.25), context=Real(0.75)))
    out = [cfg.weights["checksum_passed"], cfg.weights["context"]]
elif case == "Span":
    out = repr(call(kx, "Span", lambda: dict(byte_start=Emptying(1), byte_end=Big(2),
                                             char_start=Big(3), char_end=Big(4))))
elif case == "from_char_range":
    out = repr(call(kx.Span, "from_char_range", lambda: dict(
        text=text(), char_start=Emptying(1), char_end=Big(3))))
elif case == "to_source_from_chars":
    m = kx.SpanMap.identity("가나다라마바사")
    out = repr(call(m, "to_source_from_chars", lambda: dict(
        normalized=text(), char_start=Emptying(2), char_end=Big(5))).span)
elif case == "partial":
    p = call(kx.Policy, "partial", lambda: dict(
        keep_prefix=Emptying(3), keep_suffix=Big(4), fill=chr(0x25CF) * Big(1)))
    out = kx.mask("전화 010-1234-5678", kx.PolicySet(p)).text
elif case == "hash":
    p = call(kx.Policy, "hash", lambda: dict(key=Emptying(0), length=Big(8)))
    out = kx.mask("전화 010-1234-5678", kx.PolicySet(p)).text
print(json.dumps(out, ensure_ascii=False))
'''


@pytest.mark.parametrize("case, expected", [
    ("set_weights", [0.25, 0.75]),
    ("Span", "Span(byte=1..2, char=3..4)"),
    ("from_char_range", "Span(byte=3..9, char=1..3)"),
    ("to_source_from_chars", "Span(byte=6..15, char=2..5)"),
    ("partial", "전화 010●●●●●●5678"),
    ("hash", kx.mask("전화 010-1234-5678", kx.PolicySet(kx.Policy.hash(b"key", 8))).text),
])
def test_keyword_values_survive_a_conversion_that_empties_the_callers_dict(case, expected):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(kx.__file__)))
    run = subprocess.run([sys.executable, "-c", EMPTIED_KWARGS, case], capture_output=True,
                         text=True, timeout=120, env=env)
    assert run.returncode == 0, run.stderr[-2000:]
    assert json.loads(run.stdout) == expected
