"""The extension's private functions behind the command line, held against what the command line
did before it took them from the core: the token grammar as a regular expression, renumbering
by hand, the restore map written by the json module."""

import json
import os
import re

import pytest
from hypothesis import given, settings, strategies as st

import kestrix as kx
from kestrix import _kestrix as core

from conftest import luhn, rrn

TOKEN = re.compile(r"\[\[(PII[0-9A-Za-z_-]{0,40}):\+?[0-9]{1,20}\]\]")
PIECES = ["[[", "PII", "PII0", "PII-ab_9", ":", "+", "0", "12", "]]", "]", "가", "x", "-", "\n", "a" * 41,
          "1" * 21, "😀"]
texts = st.lists(st.sampled_from(PIECES), max_size=30).map("".join)
PHONE = "010-1234-5678"
LINE = f"전화 {PHONE} 카드 {luhn('457296011234567')} 주민 {rrn('900101123456')}"


@given(texts)
def test_token_prefixes_are_the_token_shapes_of_the_grammar(text):
    expected = [(m.start(), m.group(1)) for m in TOKEN.finditer(text)]
    assert core._token_prefixes(text) == expected
    assert core._token_prefixes(text.encode()) == [(m.start(), m.group(1)) for m in
                                                   TOKEN.finditer(text.encode().decode("latin-1"))]


def old_bad_token(text, prefix, entries):
    opening = "[[" + prefix + ":"
    at = text.find(opening)
    while at >= 0:
        start = at + len(opening)
        end = text.find("]]", start)
        if end < 0:
            return at, "unclosed", text[start:]
        number = text[start:end]
        digits = number[1:] if number.startswith("+") else number
        if not (digits.isascii() and digits.isdigit()) or len(digits.lstrip("0")) > 20 or int(digits) >= 1 << 64:
            return at, "not_number", number
        if int(digits) >= entries:
            return at, "no_entry", number
        at = text.find(opening, end + 2)
    return None


@given(texts, st.integers(0, 3))
def test_bad_token_is_the_first_token_unmask_refuses(text, entries):
    restore = kx.RestoreMap.from_json(json.dumps(
        {"prefix": "PII", "entries": [{"token": f"[[PII:{i}]]", "original": "o", "entity": "phone"}
                                      for i in range(entries)]}))
    bad = core._bad_token(text, restore)
    assert bad == old_bad_token(text, "PII", entries)
    if bad is None:
        kx.unmask(text, restore)
    else:
        with pytest.raises(kx.SpanMapError):
            kx.unmask(text, restore)


@pytest.mark.parametrize("policies, expected", [
    (kx.PolicySet(), False),
    (kx.PolicySet(kx.Policy.tokenize()), True),
    (kx.PolicySet().with_entity("credit_card", kx.Policy.tokenize()), True),
    (kx.PolicySet(kx.Policy.redact_fixed("Policy.tokenize()")), False),
])
def test_tokenizes(policies, expected):
    assert core._tokenizes(policies) is expected


def old_merge(masked, restore, prefix, first):
    local = re.compile(re.escape("[[" + restore.prefix + ":") + r"(\d+)\]\]")
    tokens, entries = [], ""
    for n, e in enumerate(restore.entries, first):
        token = f"[[{prefix}:{n}]]"
        entry = {"token": token, "original": e.original, "entity": e.entity}
        entries += ("," if n else "") + json.dumps(entry, ensure_ascii=False, separators=(",", ":"))
        tokens.append(token)
    return local.sub(lambda m: tokens[int(m.group(1))], masked), entries


@pytest.mark.parametrize("text", [LINE, "[[PII:0]] " + LINE, 'ab"\\\t\x01\x7f\u2028 ' + LINE, "nothing"])
@pytest.mark.parametrize("first", [0, 3])
def test_merge_restore_renumbers_and_writes_the_entries_as_json_did(text, first):
    out = kx.mask(text, kx.PolicySet(kx.Policy.tokenize()))
    restore = out.restore
    merged = core._merge_restore(out.text, restore, "PII-run", first)
    assert merged == old_merge(out.text, restore, "PII-run", first)
    assert core._merge_restore(out.text.encode(), restore, "PII-run", first) == (merged[0].encode(), merged[1])
    before = ",".join(['{"token":"t","original":"","entity":"phone"}'] * first)
    whole = kx.RestoreMap.from_json(core._restore_head("PII-run") + before + merged[1] + "]}")
    assert kx.unmask(merged[0], whole) == text


def test_merge_restore_refuses_a_broken_token():
    restore = kx.mask(LINE, kx.PolicySet(kx.Policy.tokenize())).restore
    with pytest.raises(kx.SpanMapError):
        core._merge_restore("[[PII:9]]", restore, "R", 0)


def test_restore_head_is_the_maps_own():
    assert core._restore_head('P"') + "]}" == kx.RestoreMap.from_json('{"prefix":"P\\"","entries":[]}').to_json()


# With runs of Hangul and of ASCII long enough to carry a fault across the edges of 16-, 32- and
# 64-byte blocks.
FRAGMENTS = [b"abcdefgh", b"\n", b"\xed\xa0\x80", b"\xed\x9f\xbf", b"\xc0\x80", b"\xc2\x80", b"\xf4\x90\x80\x80",
             b"\xf4\x8f\xbf\xbf", b"\xe0\xa0", b"\xe0\x9f\xbf", b"\xff", b"\x80", "가".encode(), "😀".encode(),
             "가나다라마바사아자차카".encode(), b"x" * 29]


@given(st.lists(st.one_of(st.sampled_from(FRAGMENTS), st.binary(max_size=3)), max_size=20).map(b"".join))
def test_a_chunk_is_taken_exactly_when_python_decodes_it(chunk):
    try:
        chunk.decode("utf-8")
        decodes = True
    except UnicodeDecodeError:
        decodes = False
    assert (core._mask_lines(chunk, kx.PolicySet(), kx.Config(), "", False) is not None) == decodes
    assert (core._detect_lines(chunk, kx.Config(), '"x"', 1, False) is not None) == decodes


@given(st.lists(st.sampled_from(FRAGMENTS + [PHONE.encode(), b"\r\n"]), max_size=12).map(b"".join), st.data())
def test_a_chunk_cut_by_its_end_is_taken_as_the_bytes_before_the_cut(block, data):
    # The command line hands over a block read past its last line with that line's end, so as not
    # to copy it: what comes after the end is not read, and a cut inside a character is refused.
    end = data.draw(st.integers(0, len(block)))
    calls = [lambda chunk, *end: core._mask_lines(chunk, kx.PolicySet(), kx.Config(), "P", True, *end),
             lambda chunk, *end: core._detect_lines(chunk, kx.Config(), '"x"', 3, True, *end)]
    for call in calls:
        assert call(block, end) == call(block[:end])
        with pytest.raises(ValueError, match="argument 'end' is past the end of 'chunk'"):
            call(block, len(block) + 1)
        with pytest.raises(TypeError, match="argument 'chunk' must be bytes"):
            call(block.decode("utf-8", "replace"), 0)


# ---- the per-chunk loops: each line as mask() and detect() take it alone -----------------------

# Lines with and without candidates, empty ones, ones that only normalize (full-width forms,
# separators between digits, an invisible character), a stray "\r".
LINE_PIECES = [PHONE, "연락처 ", "kim@mail.co.kr", "여권 M1234567", "생일 1988. 1. 1.", "ＡＢ１２", "1-2",
               "가나다", " ", "\r", "1\u200b2", "😀", "0", luhn("457296011234567")]
chunks = st.tuples(
    st.lists(st.tuples(st.lists(st.sampled_from(LINE_PIECES), max_size=4).map("".join),
                       st.sampled_from(["\n", "\r\n"])), max_size=6).map(lambda ls: "".join(a + b for a, b in ls)),
    st.lists(st.sampled_from(LINE_PIECES), max_size=3).map("".join)).map("".join)


def lines_of(chunk):
    """(line, ending) as the per-chunk functions split a chunk."""
    *whole, last = chunk.split("\n")
    lines = [(p[:-1], "\r\n") if p.endswith("\r") else (p, "\n") for p in whole]
    return lines + ([(last, "")] if last else [])


@settings(max_examples=150)
@given(chunks, st.sampled_from([None, kx.Policy.partial(2, 2), kx.Policy.redact_fill("#")]))
def test_each_line_of_a_chunk_is_masked_and_detected_as_it_is_alone(chunk, policy):
    ps = kx.PolicySet() if policy is None else kx.PolicySet(policy)
    lines = lines_of(chunk)
    masked, restore, leftovers, count = core._mask_lines(chunk.encode(), ps, kx.Config(), "", True)
    assert masked.decode() == "".join(kx.mask(line, ps).text + end for line, end in lines)
    assert (restore, count) == (None, len(lines))
    blank = kx.PolicySet(kx.Policy.redact_fill("가"))
    assert leftovers == [(k, f.source.char_start + 1, f.entity) for k, (line, _) in enumerate(lines)
                         for f in kx.detect(kx.mask(line, blank).text).findings]
    records, counts = core._detect_lines(chunk.encode(), kx.Config(), '"x"', 7, False)
    found = [(k, f) for k, (line, _) in enumerate(lines) for f in kx.detect(line).findings]
    assert records.decode().splitlines() == [
        f'{{"input":"x","line":{7 + k},"columns":[{f.source.char_start + 1},{f.source.char_end}],'
        + f.to_json()[1:] for k, f in found]
    assert counts == {e: sum(f.entity == e for _, f in found) for e in {f.entity for _, f in found}}


def test_the_command_lines_allocator_settings_are_taken_where_glibc_is():
    import platform
    import subprocess
    import sys
    # In a process of its own: the settings would stay with this one.
    r = subprocess.run([sys.executable, "-c", "from kestrix import _kestrix as k; print(k._keep_freed_memory())"],
                       capture_output=True, text=True, timeout=60)
    # A sanitizer's allocator takes no glibc settings.
    glibc = platform.libc_ver()[0] == "glibc" and "libasan" not in os.environ.get("LD_PRELOAD", "")
    assert r.stdout in ({f"{glibc}\n"} if glibc else {"False\n", "True\n"}), r.stderr
    with pytest.raises(TypeError):
        core._keep_freed_memory(1)
