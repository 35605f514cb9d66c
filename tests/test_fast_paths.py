"""The shortcuts of the hot loops give what the plain path gives.

Byte scans test sixteen bytes at a time and finish the tail one byte at a time; detection maps
its candidates back with a cursor that walks forward instead of searching the whole map. Each
property here holds the fast path against a plain one reachable from Python.
"""

import json

from hypothesis import given, settings, strategies as st

import kestrix as kx
from conftest import luhn, rrn

# Pieces that trigger every pass and every scanner, mixed with plain text.
PIECES = st.sampled_from([
    "0", "1", "7", "*", "X", "x", "-", " ", ".", ",", "(", ")", "\t", "·", "・", "@", "a", "M",
    "AB", "I", "l", "O", "o", "가", "나", "일", "이", "팔", "공", "십", "만", "하나", "이요", "원",
    "번", "ᄀ", "ᅡ", "ᆨ", "\u3000", "１", "－", "Ｏ", "\u00a0", "\u2010", "😀", "é", "\n",
    "주민번호", "연락처", "카드", "계좌", "여권", "주문번호", "ARS", "b.co", "kim@mail.co.kr",
    rrn("900101123456"), luhn("412345678901234"), "010-1234-5678", "01012345678", "M1234567",
])
TEXTS = st.lists(PIECES, max_size=40).map("".join)


def findings(report, text):
    return [(f.entity, f.text(text), f.certainty, f.score, f.evidence.rule,
             f.evidence.normalizations, [(h.cue, h.distance, h.weight) for h in f.evidence.context_hits])
            for f in report.findings]


@settings(max_examples=300)
@given(TEXTS, st.integers(0, 40))
def test_results_do_not_depend_on_where_sixteen_byte_blocks_fall(text, shift):
    # "가" is three bytes and triggers nothing; the newline keeps it apart from what follows,
    # so each shift moves every byte of `text` to another position within the blocks.
    prefix = "가" * shift + "\n"
    plain, shifted = kx.normalize(text), kx.normalize(prefix + text)
    assert shifted.text == prefix + plain.text
    a, b = kx.detect(text), kx.detect(prefix + text)
    assert findings(b, prefix + text) == findings(a, text)
    assert [(r.entity, r.reason, r.score) for r in b.rejections] == [
        (r.entity, r.reason, r.score) for r in a.rejections]
    chars = len(prefix)
    assert [f.source.char_start - chars for f in b.findings] == [f.source.char_start for f in a.findings]


@settings(max_examples=300)
@given(TEXTS)
def test_findings_map_back_as_the_public_to_source_does(text):
    n = kx.normalize(text)
    for f in kx.detect(text).findings:
        r = n.map.to_source(f.normalized)
        ev = f.evidence
        assert (r.span, r.rules, r.snapped) == (f.source, ev.normalizations, ev.snapped)
        assert json.loads(r.cost.to_json()) == json.loads(ev.cost.to_json())
