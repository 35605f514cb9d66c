"""The shortcuts of the hot loops give what the plain path gives.

Byte scans test sixteen bytes at a time and finish the tail one byte at a time; detection maps
its candidates back with a cursor that walks forward instead of searching the whole map. Each
property here holds the fast path against a plain one reachable from Python.
"""

import json
import os
import re
import struct
import subprocess
import sys

import pytest

from hypothesis import example, given, settings, strategies as st

import kestrix as kx
from conftest import luhn, rrn

# Pieces that trigger every pass and every scanner, mixed with plain text.
PIECES = st.sampled_from([
    "0", "1", "7", "*", "X", "x", "-", " ", ".", ",", "(", ")", "\t", "·", "・", "@", "a", "M",
    "AB", "I", "l", "O", "o", "가", "나", "일", "이", "팔", "공", "십", "만", "하나", "이요", "원",
    "번", "ᄀ", "ᅡ", "ᆨ", "\u3000", "１", "－", "Ｏ", "\u00a0", "\u2010", "😀", "é", "\n",
    "주민번호", "연락처", "카드", "계좌", "여권", "주문번호", "ARS", "b.co", "kim@mail.co.kr",
    rrn("900101123456"), luhn("412345678901234"), "010-1234-5678", "01012345678", "M1234567",
    # Numbers side by side, read in pieces.
    "02-123-4567", ", ", "+82 ", "\u200b", "\ufeff", "D1234567", "|",
    # Characters led by the first byte of U+3000 that do not fold: jamo, a corner bracket.
    "ㅋㅋ", "ㅠ", "\u300c",
    # A dotted birth date with its cue.
    "DOB", "2024.08.1", "1988. 1. 1.",
])
TEXTS = st.lists(PIECES, max_size=40).map("".join)


def findings(report, text):
    return [(f.entity, f.text(text), f.certainty, f.score, f.evidence.rule,
             f.evidence.normalizations, [(h.cue, h.distance, h.weight) for h in f.evidence.context_hits])
            for f in report.findings]


# A text of sixteen bytes or more ends on a block that overlaps the one before it; a shorter
# one is read byte by byte. Each piece triggers a pass or a scanner at its first byte and at
# its last.
END_PIECES = ["１", "\u3000", "\u00a0", "\u2010", "1-2", "1 2", "1·2", "1\u200b2", "1l1", "1O1",
              "가", "01012345678", "010-1234-5678", " M1234567", " a@b.co"]


@pytest.mark.parametrize("piece", END_PIECES)
@pytest.mark.parametrize("lead", range(0, 40))
def test_a_piece_at_the_end_is_read_at_every_length(piece, lead):
    filler = "가" * (lead % 3) + "a" * lead
    for after in ("", " a", "가"):
        text = filler + piece + after
        assert kx.normalize(text).text == filler + kx.normalize(piece).text + after
        shift = len(filler)
        assert [(f.entity, f.source.char_start - shift, f.source.char_end - shift, f.score)
                for f in kx.detect(text).findings] == [
            (f.entity, f.source.char_start, f.source.char_end, f.score) for f in kx.detect(piece).findings]


# Past one block of the widest scans, the last bytes are read as the block that ends the text,
# moved over what was read before: a number, a cue or two numeral syllables there, with a few
# bytes after it or none.
LATE_PIECES = ["01012345678", "010-1234-5678", "**12345678", "생일 1988/01/01", "DOB 1988.1.1",
               "ARS", "연락처 010-1234-5678", "일이삼사 원", "여권 M1234567"]


@pytest.mark.parametrize("piece", LATE_PIECES)
@pytest.mark.parametrize("size", range(30, 140, 3))
def test_items_near_the_end_of_a_text_are_read_at_every_length(piece, size):
    for after in ("", "b", " bbbbb"):
        fill = "b" * max(0, size - len((piece + after).encode()) - 1) + " "
        text = fill + piece + after
        shift = len(fill)
        assert kx.normalize(text).text == fill + kx.normalize(piece + after).text
        assert [(f.entity, f.source.char_start - shift, f.source.char_end - shift, f.score, f.evidence.rule,
                 [(h.cue, h.distance) for h in f.evidence.context_hits]) for f in kx.detect(text).findings] == [
            (f.entity, f.source.char_start, f.source.char_end, f.score, f.evidence.rule,
             [(h.cue, h.distance) for h in f.evidence.context_hits]) for f in kx.detect(piece + after).findings]


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


def assert_findings_map_back_as_the_public_to_source_does(text):
    n = kx.normalize(text)
    fs = kx.detect(text).findings
    for f in fs:
        r = n.map.to_source(f.normalized)
        ev = f.evidence
        assert (r.span, r.rules, r.snapped) == (f.source, ev.normalizations, ev.snapped)
        if ev.rule in ("phone.international", "birth.dot"):
            continue  # the separators after the country code, or a dotted date's own, cost nothing
        assert json.loads(r.cost.to_json()) == json.loads(ev.cost.to_json())
    return fs


@settings(max_examples=300)
@given(TEXTS)
@example("ＡＡ\n여권M1234567\n\nk@b.co\n")  # the passport's search starts behind the e-mail's
def test_findings_map_back_as_the_public_to_source_does(text):
    assert_findings_map_back_as_the_public_to_source_does(text)


def config_of(**fields):
    c = kx.Config()
    for k, v in fields.items():
        setattr(c, k, v)
    return c


# Masking keeps no rejections, so it leaves the readings that no score could save unmapped and
# unscored, and finds a finding's rule names only once it is one: it finds what detect finds,
# field for field, whatever rejects the rest (a cue missing or too weak, a business word, a
# failed checksum, a low score).
DECISION_CONFIGS = [
    {},
    dict(min_context=0.5, min_score=0.75),
    dict(min_veto=0.1, context_window=30),
    dict(min_score=0.0, min_context=0.0, min_veto=100.0),
]


@settings(max_examples=300, deadline=None)
@given(TEXTS, st.sampled_from(DECISION_CONFIGS))
@example("주문번호 010-1234-5678 연락처 02-123-4567", {})
@example("계좌 1234567890 " + rrn("900101123456")[:-1] + "0", dict(min_veto=0.1, context_window=30))
def test_masking_finds_what_detection_finds_field_for_field(text, fields):
    config = config_of(**fields)
    report = kx.detect(text, config)
    out = kx.mask(text, None, config)
    assert sorted(f.to_json() for f in out.applied + out.skipped) == sorted(f.to_json() for f in report.findings)


# Detection maps its candidates back in scanner order (e-mails, passports, digit runs), each
# search starting where the last one began: a later candidate of the same scanner lies ahead, one
# of the next scanner may lie behind. Each full-width character is a segment of its own, so the
# gaps below put every distance from 0 to 17 segments between two candidates, both ways, and
# full-width digits make candidates that cover 1 to 11 segments.
@pytest.mark.parametrize("first, second", [
    ("01012345678", "０１０１２３４５６７８"),   # digit runs: the second one ahead
    ("０1012345678", "k@b.co"),                 # the digit run behind the e-mail
    ("여권M1234567", "k@b.co"),                 # the passport behind the e-mail
    ("010123456７８", "여권M1234567"),          # the digit run behind the passport
])
def test_findings_at_every_distance_map_back_as_the_public_to_source_does(first, second):
    for before in range(18):
        for between in range(18):
            text = "Ａ" * before + "\n" + first + "\n" + "Ａ" * between + "\n" + second + "\n"
            assert len(assert_findings_map_back_as_the_public_to_source_does(text)) == 2, text


# Separator runs and lookalike letters between digit-like characters, and near misses, in long
# texts: the searches for a digit before a separator and for the letters read 16 or 32 bytes at
# a time in a text of 64 bytes or more, and its last ones as the positions before its end.
@pytest.mark.parametrize("piece", ["1-2", "1 2", "9\t0", "1·2", "1\u30fb2", "1ㅡ2", "1\u200b2", "1(2", "1)2",
                                   "1,2", "1.2", "*-x", "X 9", "x-*", "1- .2", "1/2", "1+2", "a-2", "1-a",
                                   "1é2", "1\u00a0 2", "Ｘ-1", "1-",
                                   "1O1", "1o1", "1I1", "1l1", "1 O-1", "1OO1", "*l*", "1i1", "1L1", "1Q1",
                                   "1/O1", "9O", "O9", "1Ｏ1"])
def test_separators_and_lookalikes_are_read_wherever_the_blocks_fall(piece):
    def shape(n):
        return [(s.kind, s.rules) for s in n.map.segments if s.kind != "identity"]
    alone = kx.normalize(piece)
    # After a change of an earlier pass (a full-width letter folded), the text is rewritten in place.
    for head in ("", "Ｑ"):
        for lead in range(0, 140):
            for tail in ("", "b", "b" * 70):
                text = head + "a" * lead + piece + tail
                n = kx.normalize(text)
                assert n.text == kx.normalize(head).text + "a" * lead + alone.text + tail, (head, lead, tail)
                assert shape(n) == shape(kx.normalize(head)) + shape(alone), (head, lead, tail)


# Passport shapes and near misses in long texts, after lower or upper letters: the scanner visits
# the upper letters 16 or 32 bytes at a time in a text of 64 bytes or more, and its last ones as
# the positions before its end, going on after each shape it reads.
@pytest.mark.parametrize("piece", ["M1234567", "MM1234567", "M12345678", "M123A4567", "여권 M1234567",
                                   "aM1234567", "M1234567a", "M123456", "M123A45678", "AZ12345678",
                                   "M1234567M1234567", "1M1234567", "M1234567 MZ1234567"])
def test_passport_shapes_are_read_wherever_the_blocks_fall(piece):
    def shapes(text, shift):
        r = kx.detect(text)
        return ([(f.evidence.rule, f.source.char_start - shift, f.source.char_end - shift)
                 for f in r.findings if f.entity == "passport"],
                [(x.reason, x.source.char_start - shift) for x in r.rejections if x.entity == "passport"])
    alone = shapes(piece, 0)
    for filler in ("a", "Q"):
        for lead in range(0, 140):
            for tail in ("", " b", " " + "B" * 70):
                text = filler * lead + " " + piece + tail
                assert shapes(text, lead + 1) == alone, (filler, lead, tail)


# ---- context cues: the indexed search against str.find ----------------------------------------

TABLES = {
    "resident": [("주민등록번호", 1.0), ("주민번호", 1.0), ("주민등록", 0.8), ("본인확인", 0.4),
                 ("실명확인", 0.4)],
    "foreigner": [("외국인등록번호", 1.0), ("외국인등록", 0.8), ("외국인", 0.5), ("체류", 0.4)],
    "business": [("사업자등록번호", 1.0), ("사업자번호", 1.0), ("사업자", 0.6), ("세금계산서", 0.5),
                 ("법인", 0.3), ("상호", 0.3)],
    "card": [("카드번호", 1.0), ("신용카드", 1.0), ("체크카드", 1.0), ("유효기간", 0.5), ("카드", 0.6),
             ("결제", 0.4), ("승인", 0.3)],
    "phone": [("전화번호", 1.0), ("휴대전화", 1.0), ("휴대폰", 1.0), ("핸드폰", 1.0), ("연락처", 1.0),
              ("전화", 0.6), ("문자", 0.4), ("통화", 0.3)],
    "license": [("운전면허번호", 1.0), ("운전면허", 1.0), ("면허번호", 0.9), ("면허증", 0.8)],
    "account": [("계좌번호", 1.0), ("예금주", 0.9), ("계좌", 0.8), ("입금", 0.7), ("이체", 0.7),
                ("송금", 0.7), ("은행", 0.6), ("환불", 0.4), ("통장", 0.8)]
    + [(b + "은행", 0.4) for b in ("국민", "신한", "우리", "하나", "기업", "산업", "제일", "씨티",
                                   "부산", "대구", "경남", "광주", "전북", "제주")]
    + [("농협", 1.0), ("수협", 1.0), ("신협", 1.0), ("새마을금고", 1.0), ("우체국", 0.6),
       ("카카오뱅크", 1.0), ("토스뱅크", 1.0), ("케이뱅크", 1.0)],
    "birth": [("생년월일", 1.0), ("출생일", 1.0), ("생일", 0.8), ("출생", 0.6), ("년생", 0.6),
              ("생년", 0.6), ("DOB", 0.8)],
    "passport": [("여권번호", 1.0), ("여권", 0.8), ("passport", 0.8), ("Passport No", 1.0)],
}
ANY_CASE = {"passport"}  # matched in either case
UNLESS_NEXT = {"생년": "월일"}  # an occurrence followed by this does not count
TABLE_OF_RULE = {
    "resident.korean_13": "resident", "resident.korean_masked": "resident",
    "resident.foreigner_13": "foreigner", "resident.foreigner_masked": "foreigner",
    "business.10": "business", "card.luhn": "card", "license.12": "license",
    "account.length": "account", "birth.yyyymmdd": "birth", "birth.yymmdd": "birth",
    "passport.shape": "passport", "passport.new": "passport",
    "birth.words": "birth", "birth.slash": "birth",
}


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def plain_hits(text, start, end, window, table):
    """Nearest occurrence of each cue on either side by str.find, decayed and sorted."""
    left_lo = max(start - max(window, 1), 0)
    right_hi = min(end + window, len(text))
    hits = []
    for word, weight in table:
        hay = text.lower() if word in ANY_CASE else text  # ASCII letters: lengths stay
        starts = [m.start() for m in re.finditer(f"(?={re.escape(word)})", hay)
                  if not (word in UNLESS_NEXT and hay.startswith(UNLESS_NEXT[word], m.start() + len(word)))]
        best = None
        right = [j for j in starts if j >= end and j + len(word) <= right_hi]
        if right:
            best = right[0] - end
        left = [k for k in starts if k + len(word) <= start]
        if left and left[-1] >= left_lo:
            d = start - len(word) - left[-1]
            best = d if best is None else min(best, d)
        if best is not None:
            hits.append((word, best, f32(f32(weight) / f32(0.125 * best + 1.0))))
    return sorted(hits, key=lambda h: (-h[2], h[0].encode()))


CUE_PIECES = st.sampled_from(
    [w for t in TABLES.values() for w, _ in t] +
    ["주민", "등록", "번호", "카", "드", "ARS", "AR", "주문번호", "고객센터", "가", " ", "\n", "-", "０",
     "😀", "é", rrn("900101123456"), luhn("412345678901234"), "010-1234-5678", "0212345678",
     "M1234567", "20240101", "123-45-678901", "11-22-333333-44",
     # Pieces of joined runs end before their run: their cues are looked up walking back.
     "010 2345-6789, 02-123-4567", ",", "+82 10-2345-6789", "\u200b", "*",
     # Cues in either case, and one that does not count before a given word.
     "PASSPORT", "PassPort", "Passport", "pass", "DOb", "생년월", "월일", "은행", "0082-10-2345-6789", "국민", "카카오", "뱅크", "금고", "새마을",
     # Written dates, whose cues are looked up around them when nothing else is a candidate.
     "1988년 1월 1일", "88년 2월 3일생", "1988/01/01", "M123A4567"])


@settings(max_examples=300)
@given(st.lists(CUE_PIECES, max_size=30).map("".join), st.integers(0, 30))
def test_context_hits_are_what_a_plain_search_finds(text, window):
    config = kx.Config()
    config.context_window = window
    config.min_context = 0.0
    config.min_score = 0.0
    r = kx.detect(text, config)
    for f in r.findings:
        table = TABLE_OF_RULE.get(f.evidence.rule)
        got = [(h.cue, h.distance, h.weight) for h in f.evidence.context_hits]
        if table is None:  # phone readings and e-mail
            table = "phone" if f.entity == "phone" else None
        if table is None:
            assert got == []
            continue
        s = f.normalized
        assert got == plain_hits(r.normalized_text, s.char_start, s.char_end, window, TABLES[table])


def assert_hits_are_plain(report, window):
    """Each finding's hits are what plain_hits finds around it; returns how many were held."""
    held = 0
    for f in report.findings:
        table = TABLE_OF_RULE.get(f.evidence.rule) or ("phone" if f.entity == "phone" else None)
        if table is None:
            continue
        s = f.normalized
        got = [(h.cue, h.distance, h.weight) for h in f.evidence.context_hits]
        assert got == plain_hits(report.normalized_text, s.char_start, s.char_end, window,
                                 TABLES[table]), f.evidence.rule
        held += 1
    return held


@pytest.mark.parametrize("seed", range(3))
def test_context_hits_of_long_texts_are_what_a_plain_search_finds(seed):
    # Thousands of cue occurrences, noted a batch at a time: every finding still sees the
    # nearest ones on either side.
    import random
    pool = [w for t in TABLES.values() for w, _ in t] + [
        "ARS", " ", "\n", "가", "010-1234-5678", rrn("900101123456"), "20240101", "M1234567"]
    rng = random.Random(seed)
    text = "".join(rng.choice(pool) for _ in range(4000))
    r = kx.detect(text)
    assert len(r.findings) > 100
    assert_hits_are_plain(r, kx.Config().context_window)


@pytest.mark.parametrize("table, word", [(t, w) for t, words in TABLES.items() for w, _ in words])
def test_every_cue_word_counts_for_its_table(table, word):
    # Each cue word beside a number of each kind: it counts for the findings of its table (the
    # tables' cue ids lie in two words of a set, a table across both), as a plain search finds.
    config = kx.Config()
    config.min_context = 0.0
    config.min_score = 0.0
    numbers = ["11-22-333333-44", luhn("412345678901234"), rrn("900101123456"), rrn("900101723456"),
               "123-45-67890", "11-22-333333-44", "010-1234-5678", "M1234567", "1988/01/01"]
    text = "".join(f"{word} {n} {word}\n" for n in numbers)
    r = kx.detect(text, config)
    assert assert_hits_are_plain(r, config.context_window) >= 5
    assert any(h.cue == word for f in r.findings for h in f.evidence.context_hits
               if (TABLE_OF_RULE.get(f.evidence.rule) or "phone") == table)


@pytest.mark.parametrize("cues", [15, 16, 17, 31, 32, 33, 34, 64])
@pytest.mark.parametrize("window", [0, 1, 40, 80])
def test_context_hits_among_many_cue_occurrences_are_what_a_plain_search_finds(cues, window):
    # The occurrences a number's windows can see are read once for all its tables, up to a
    # bound; past it each cue's own list is walked. Counts around the bound, on one side, on the
    # other and on both, with cues of other tables among them, each with a cue in reach or out.
    config = kx.Config()
    config.context_window = window
    config.min_context = 0.0
    config.min_score = 0.0
    card = luhn("412345678901234")
    for left in (0, cues // 2, cues):
        right = cues - left
        for other in ("", "연락처", "가"):
            text = "카드" * left + other + card + other + "결제" * right + " 010-1234-5678 " + "문자" * cues
            assert assert_hits_are_plain(kx.detect(text, config), window) >= 2, (left, other)


@pytest.mark.parametrize("gap", range(0, 14))
def test_pieces_that_end_alike_see_their_own_windows(gap):
    # The pieces of a joined run are read by their end, the nearest start first: the longer
    # piece (110123-880101, an account number) sees the cue words its own window reaches, past
    # the window of the shorter one (880101, a birth date, with a birth cue in the text, out of
    # its reach) read just before it.
    config = kx.Config()
    config.min_score = 0.2
    r = kx.detect("계좌번호" + "가" * gap + "777777777-110123-880101" + "나" * 40 + "생일", config)
    assert assert_hits_are_plain(r, config.context_window) == (1 if gap <= 11 else 0)


def outcome(text, shift):
    """What detect finds and rejects in `text`, placed as if its first `shift` characters were not there."""
    r = kx.detect(text)
    return ([(f.entity, f.score, f.certainty, [(h.cue, h.distance) for h in f.evidence.context_hits],
              f.source.char_start - shift) for f in r.findings],
            [(x.entity, x.reason, x.score, x.source.char_start - shift) for x in r.rejections])


@pytest.mark.parametrize("tail", ["ARS 02-123-4567 안내", "연락처 010-1234-5678", "대표번호 1588-1234",
                                  "계좌 110-123-456789 ARS", "DOB 880101", "passport M12345678",
                                  "PASSPORT M123A4567", "Passport No M1234567", "생년월일 1988년 1월 1일"])
def test_cues_count_wherever_the_blocks_fall(tail):
    # Short texts are searched byte by byte, long ones 16 or 32 bytes at a time: every shift of
    # the cue against the blocks gives the outcome of the short text.
    alone = outcome(tail, 0)
    for shift in range(1, 40):
        assert outcome("가" * shift + tail, shift) == alone, shift


@pytest.mark.parametrize("tail", ["ARS 02-123-4567 안내", "연락처 010-1234-5678", "대표번호 1588-1234",
                                  "계좌 110-123-456789", "DOB 880101", "passport M12345678",
                                  "여권번호 M1234567", "예금주 국민은행 110-123-456789", "생년월일 1988년 1월 1일"])
@pytest.mark.parametrize("after", [1, 11, 23, 40])
def test_cues_count_wherever_the_blocks_fall_with_text_after_them(tail, after):
    # Before the last two blocks of a long text the index tests each block for a cue's first
    # syllable and takes its second's test from the next block: a cue at each place of a
    # block, its second syllable in the same block or the next, counts as it does alone.
    rest = " " + "나" * after
    alone = outcome(tail + rest, 0)
    for shift in range(1, 70):
        assert outcome("a" * shift + " " + tail + rest, shift + 1) == alone, shift


@pytest.mark.parametrize("tail", ["생년월일 1988/01/01", "생일 5678 1988년 1월 1일", "주민번호 900101-1234568",
                                  "카드 4123 4567 8901 2345", "1 2 3 45 6 78 9 010-1234-5678",
                                  "연락처 010-12**-5678 x", "7" * 70 + " 1988/01/01 생년월일"])
def test_digit_runs_are_read_wherever_the_blocks_fall(tail):
    # Digit runs are read off 64-byte blocks: a run that starts or ends at any place of a block,
    # or goes on over one or two block ends, reads as it does alone.
    alone = outcome(tail, 0)
    assert alone != ([], [])
    for pad in range(0, 140):
        assert outcome("a" * pad + " " + tail, pad + 1) == alone, pad


@pytest.mark.parametrize("cue", ["생년월일", "생일", "출생", "DOB", "dob"])
@pytest.mark.parametrize("date", ["1988년 1월 1일", "1988/01/01"])
def test_written_dates_are_read_wherever_their_cue_stands(cue, date):
    # The birth cues are searched for around each date start in turn, each search going on where
    # the last one stopped: a cue that begins at the end of an earlier start's region (and ends
    # past it) is still seen by the next start, wherever the blocks of the search fall.
    def outcome(text, at):
        r = kx.detect(text)
        return ([(f.entity, f.evidence.rule, f.score, f.source.char_start - at) for f in r.findings],
                [(x.entity, x.reason, x.source.char_start - at) for x in r.rejections])
    tail = f"{cue} {date}"
    alone = outcome(tail, 0)
    assert alone != ([], []) or cue == "dob"
    for head in ["", "2021/07/21 ", "2021년 7월 21일 주문. " * 3, "2021년 7월 21일 주문. " + "가" * 300]:
        for pad in [0, 1, 2, 15, 16, 17, 31, 32, 33, 34, 63, 64, 65]:
            text = head + " " * 40 + "." * pad + tail
            assert outcome(text, len(text) - len(tail)) == alone, (head, pad)
            # The cue before the prose's dates, out of their reach.
            text = tail + " 끝" + " " * 40 + head + "." * pad + "2021년 7월 21일"
            assert outcome(text, 0) == alone, (head, pad)


def birth_dates(text, shift=0):
    r = kx.detect(text)
    return ([(f.source.char_start + shift, f.evidence.rule, f.score) for f in r.findings if f.entity == "birth_date"],
            [(x.source.char_start + shift, x.reason, x.score) for x in r.rejections if x.entity == "birth_date"])


@pytest.mark.parametrize("gap", [1, 30, 60, 100])  # windows that overlap in a chain, touch, or stand apart
@pytest.mark.parametrize("cue, date", [("생년월일", "1988년 1월 1일"), ("DOB", "1988/01/01"), ("생일", "88년 1월 1일생")])
def test_written_dates_are_read_as_in_their_own_neighbourhood(gap, cue, date):
    # Three dates, and a cue at every place between them, before them and after them: each date
    # reads as it does in the text around it alone, though the cues are searched for over the
    # windows of all the dates at once.
    w = kx.Config().context_window
    body = "가" * w + ("가" * gap + date) * 3 + "가" * w
    found = 0
    for at in range(1, len(body)):
        if body[at - 1:at + 1] != "가가":
            continue
        text = body[:at] + cue + body[at:]
        starts = [i for i in range(len(text)) if text.startswith(date, i)]
        want = ([], [])
        for i in starts:
            lo = max(0, i - w - 12)
            near = birth_dates(text[lo:i + len(date) + w + 12], lo)
            want[0].extend(x for x in near[0] if x[0] == i)
            want[1].extend(x for x in near[1] if x[0] == i)
        got = birth_dates(text)
        assert got == want, (at, got)
        found += len(got[0]) + len(got[1])  # candidates: a date without a cue is neither
    assert found >= 3


@pytest.mark.parametrize("cue", ["연락처", "문자", "ARS", "고객센터", "전화번호."])
def test_cues_that_end_the_text_count_at_every_length(cue):
    # The bytes after a text's last whole block are tested from a copy padded with zeros: a
    # cue among them, at every place against the blocks, counts as with nothing before it.
    tail = "010-1234-5678 " + cue
    alone = outcome(tail, 0)
    assert alone[0] or alone[1]
    for pad in range(1, 80):
        assert outcome("a" * pad + " " + tail, pad + 1) == alone, pad


@pytest.mark.parametrize("after", range(0, 36))
def test_two_syllables_near_the_end_are_seen_at_every_length(after):
    # Where the places left to test begin in the last block of a text, that block is indexed
    # once for both syllables: a cue, or a pair of digit words, at each place near the end of
    # texts of every length reads as it does with nothing before it.
    config = kx.Config()
    config.numeral_min_digits_without_context = 2
    rest = "b" * after
    tail = "010-1234-5678 문자" + rest
    alone = outcome(tail, 0)
    assert alone[0][0][3] == [("문자", 1)]
    for pad in range(0, 100):
        assert outcome("a" * pad + " " + tail, pad + 1) == alone, pad
        assert kx.normalize("a" * pad + "팔구" + rest, config).text == "a" * pad + "89" + rest, pad


@pytest.mark.parametrize("sep", ["-", " ", ".", "(", "·", "ㆍ", "\u3000", "\u200b"])
def test_separators_after_digits_are_absorbed_wherever_the_blocks_fall(sep):
    # Digits before a separator are found by the ends of digit rows in 64-byte blocks: a row
    # that ends at any place of a block, or at the text's end, is read as it is alone.
    piece = f"010{sep}1234{sep}5678"
    alone = kx.normalize(piece).text
    for pad in range(0, 140):
        for text, want in ((("a" * pad) + piece, ("a" * pad) + alone),
                           (("a" * pad) + piece + "가" * 30, ("a" * pad) + alone + "가" * 30),
                           (("1" * pad) + "가" + piece + sep, ("1" * pad) + "가" + kx.normalize(piece + sep).text)):
            assert kx.normalize(text).text == want, (sep, pad)


@pytest.mark.parametrize("ch", ["\u00a0", "\u00ad", "\u2010", "\u2212", "\u3000", "\uff11", "\ufe58", "ㅋ", "\u300c", "é"])
def test_folded_characters_are_seen_wherever_the_blocks_fall(ch):
    # Their first bytes are looked for 16 or 32 bytes at a time (U+3000 by its first two): each
    # character, at each place of a block or at the text's end, folds as it does alone.
    alone = kx.normalize(ch).text
    for pad in range(0, 100):
        for before, after in (("a" * pad, ""), ("a" * pad, "a"), ("ㅋ" * (pad // 3) + "a" * (pad % 3), "a" * 40)):
            assert kx.normalize(before + ch + after).text == before + alone + after, (pad, after)


NUMERAL_STARTS = ["공", "영", "빵", "일", "이", "둘", "삼", "셋", "사", "넷", "오", "육", "륙", "칠", "팔",
                  "구", "십", "백", "천", "만", "억", "하나", "다섯", "여섯", "일곱", "여덟", "아홉"]


@pytest.mark.parametrize("shift", range(34))
def test_every_numeral_start_is_seen_wherever_the_blocks_fall(shift):
    # The numeral reading looks for the syllables that begin a number sixteen or thirty-two
    # bytes at a time by their first two bytes; each one, at each place in a block, reads as it
    # does alone.
    prefix = "a" * shift
    for start in NUMERAL_STARTS:
        for run in (start * 6, "이" + start + "일삼사오육", "가나다라마바사아자차카타파하" + start + "팔팔공일"):
            alone = kx.normalize(run).text
            assert kx.normalize(prefix + run).text == prefix + alone, (start, run)
            assert kx.normalize(prefix + run + "가나").text == prefix + alone + "가나", (start, run)
    assert kx.normalize(prefix + "팔" * 6).text == prefix + "888888"


DIGIT_WORDS = {"공": 0, "영": 0, "빵": 0, "일": 1, "이": 2, "둘": 2, "삼": 3, "셋": 3, "사": 4, "넷": 4,
               "오": 5, "육": 6, "륙": 6, "칠": 7, "팔": 8, "구": 9, "하나": 1, "다섯": 5, "여섯": 6,
               "일곱": 7, "여덟": 8, "아홉": 9}


@pytest.mark.parametrize("shift", range(0, 40, 3))
def test_two_syllable_runs_are_seen_wherever_the_blocks_fall(shift):
    # Where one digit is too few, runs are looked for only where a second syllable follows the
    # first: every pair of digit words reads as its two digits, at each place in a block.
    config = kx.Config()
    config.numeral_min_digits_without_context = 2
    prefix = "a" * shift
    for first, v in DIGIT_WORDS.items():
        for second, w in DIGIT_WORDS.items():
            got = kx.normalize(prefix + first + second + "가나", config).text
            assert got == f"{prefix}{v}{w}가나", (first, second)


@pytest.mark.parametrize("after", [0, 11, 22, 40])
def test_two_syllable_runs_are_seen_wherever_the_blocks_fall_with_text_after_them(after):
    # Before the last two blocks of a long text the second syllable's test comes from the next
    # block: every pair of digit words, at each place of a block, reads as its two digits.
    config = kx.Config()
    config.numeral_min_digits_without_context = 2
    rest = "가나" + "다" * after
    for shift in range(0, 68):
        prefix = "a" * shift
        for first, v in DIGIT_WORDS.items():
            for second, w in DIGIT_WORDS.items():
                got = kx.normalize(prefix + first + second + rest, config).text
                assert got == f"{prefix}{v}{w}{rest}", (shift, first, second)


# ---- str results ---------------------------------------------------------------------------------


@settings(max_examples=300)
@given(st.text(st.characters(blacklist_categories=("Cs",)), max_size=400))
@example("가" * 341)  # 1023 bytes: the longest text decoded by the module has 1024
@example("가" * 341 + "a")
@example("a" * 1023 + "é")
@example("a" * 1020 + "😀")
@example("é" + "a" * 1023)
def test_a_text_made_into_a_str_is_the_text(text):
    # A short text past ASCII becomes a str from its code points, any other from its UTF-8
    # form: both are the text.
    assert kx.normalize(text, only(None)).text == text
    assert kx.normalize("가" + text, only(None)).text == "가" + text


# ---- the pipeline against its passes composed one by one ---------------------------------------

PASSES = ("nfc", "fold", "hangul", "lookalike", "separator")


def only(flag):
    c = kx.Config()
    for f in PASSES:
        setattr(c, f, f == flag)
    return c


@settings(max_examples=300)
@given(TEXTS)
def test_pipeline_is_its_passes_composed_one_by_one(text):
    check_pipeline(text)


@settings(max_examples=40)
@given(st.lists(PIECES, min_size=1, max_size=12).map("".join), st.integers(100, 600))
def test_pipeline_composes_long_texts_in_batches(unit, times):
    # Thousands of segments per pass: the passes hand their segments to the composition a
    # batch at a time, and a group may straddle two batches.
    check_pipeline(unit * times)


def check_pipeline(text):
    # Each pass alone over the previous pass's output, composed with the public compose: the
    # pipeline reuses buffers and composes as the passes write, and must give the same map.
    current, m = text, kx.SpanMap.identity(text)
    for flag in PASSES:
        step = kx.normalize(current, only(flag))
        m = kx.SpanMap.compose(m, step.map)
        current = step.text
    n = kx.normalize(text)
    assert n.text == current
    assert n.map.to_json() == m.to_json()


# After an earlier pass's change, each run of separators inside an unchanged stretch of the map so
# far is composed as it is written, and the others, beside or over a change, go through the
# composition. A change of each pass at every place around runs of one and of several groups,
# between runs on either side, and runs that end the composed stretch or follow it at once.
EARLIER_CHANGES = ["１", "－", "\u3000", "Ｏ", "ᄀ" + "ᅡ", "공일", "이삼사오", "삼십만", "l", "\u00ad"]
AROUND = "7-8 9.(0) 1 -2"


@pytest.mark.parametrize("change", EARLIER_CHANGES)
def test_runs_beside_an_earlier_change_compose_as_the_passes_do(change):
    for at in range(len(AROUND) + 1):
        unit = AROUND[:at] + change + AROUND[at:]
        for text in (unit, "1-2 " * 40 + unit + " 3.4" * 40, unit * 3 + "5-6", "１" + "1-2 " * 300 + unit):
            check_pipeline(text)


# ---- long texts read through a copy the core consumes ------------------------------------------

# Past this many characters a non-ASCII argument is encoded into a buffer that the first
# changing pass lets go (or that becomes the normalized text when nothing changes).
LONG = 1 << 14


@settings(max_examples=60)
@given(TEXTS, st.sets(st.sampled_from(PASSES)))
def test_long_texts_give_what_short_ones_give(text, flags):
    pad = "\n" + "가" * LONG  # triggers nothing and holds no cue
    config = kx.Config()
    for f in PASSES:
        setattr(config, f, f in flags)
    short, long = kx.normalize(text, config), kx.normalize(text + pad, config)
    assert long.text == short.text + pad
    assert long.map.to_source(kx.Span(0, len(short.text.encode()), 0, len(short.text))).span == \
        short.map.to_source(kx.Span(0, len(short.text.encode()), 0, len(short.text))).span
    a, b = kx.detect(text), kx.detect(text + pad)
    assert findings(b, text + pad) == findings(a, text)
    assert [(f.source, f.normalized) for f in b.findings] == [(f.source, f.normalized) for f in a.findings]
    assert [(r.entity, r.reason, r.score, r.source) for r in b.rejections] == [
        (r.entity, r.reason, r.score, r.source) for r in a.rejections]


# ---- short texts read by the kinds of their bytes ---------------------------------------------

# A text of up to this many bytes skips the passes and scanners whose trigger bytes it lacks;
# a longer one is not looked at that way. Each piece triggers one of them with its first or its
# last byte (or with one in the middle), and a masked digit counts as a digit.
KINDS_BYTES = 4096
KIND_PIECES = ["가", "ᄀ" + "ᅡ", "１", "\u00a0", "\u2010", "\u3000", "\ufe58", "이삼", "1l1", "2O2", "*o*",
               "x-x", "*.*", "1\u200b2", "a@b.co", "M1234567", "01012345678", "**1234-5678",
               "생년월일 1988/01/01"]
# Neither the pad nor the filler triggers anything, and the newline keeps the pad apart.
KIND_PAD = "\n" + "가" * 1400


def assert_read_as_in_a_long_text(text):
    long_text = text + KIND_PAD
    assert len(long_text.encode()) > KINDS_BYTES
    short, long = kx.normalize(text), kx.normalize(long_text)
    assert long.text == short.text + KIND_PAD
    def segments(m):
        return [(g.kind, g.src, g.dst, g.rules, g.cost.absorbed_whitespace, g.cost.absorbed_separators,
                 g.cost.expanded_syllables, g.cost.replaced_chars) for g in m.segments]
    mine = segments(short.map)
    assert segments(long.map)[:len(mine) - 1] == mine[:-1]
    a, b = kx.detect(text), kx.detect(long_text)
    assert findings(b, long_text) == findings(a, text)
    assert [(f.source, f.normalized) for f in b.findings] == [(f.source, f.normalized) for f in a.findings]
    assert [(r.entity, r.reason, r.score, r.source) for r in b.rejections] == [
        (r.entity, r.reason, r.score, r.source) for r in a.rejections]
    assert kx.mask(long_text).text == kx.mask(text).text + KIND_PAD


@pytest.mark.parametrize("piece", KIND_PIECES)
@pytest.mark.parametrize("lead", range(0, 70))
def test_a_short_text_is_read_as_within_a_long_one(piece, lead):
    # The piece at every place of one, two and three blocks, alone or followed by a few bytes.
    for after in ("", " b", "b" * 20):
        assert_read_as_in_a_long_text("b" * lead + piece + after)


@pytest.mark.parametrize("piece", KIND_PIECES)
@pytest.mark.parametrize("size", [KINDS_BYTES - 1, KINDS_BYTES, KINDS_BYTES + 1])
@pytest.mark.parametrize("where", ["start", "end"])
def test_a_text_of_the_most_bytes_looked_at_is_read_as_within_a_long_one(piece, size, where):
    fill = "b" * (size - len(piece.encode()))
    text = piece + " " + fill[1:] if where == "start" else fill[1:] + " " + piece
    assert len(text.encode()) == size
    assert_read_as_in_a_long_text(text)


# A short text whose separators are the first change is rewritten without the builder, its runs
# held on the stack up to eight: runs of every class and of mixed classes, one to twenty of them.
SEPARATED = st.lists(st.sampled_from(["1", "23", "*", "X", "-", " ", ".", ",", "(", ")", "\t", "·", "・",
                                      "ㅡ", "\u200b", "\u2060", "가", "a", " - ", "-.", "·-"]),
                     max_size=40).map("".join)


@settings(max_examples=300)
@given(SEPARATED)
def test_separators_of_a_short_text_are_absorbed_as_in_a_long_one(text):
    assert_read_as_in_a_long_text(text)


@pytest.mark.parametrize("runs", [1, 2, 7, 8, 9, 20])
@pytest.mark.parametrize("sep, groups", [("-", 1), (" ", 1), (" - ", 3), ("·", 1), ("\u200b", 1), (".(", 2),
                                         ("ㅡ ", 2)])
def test_every_run_of_a_short_text_is_absorbed(runs, sep, groups):
    numbers = [f"{k % 10}{k % 7}" for k in range(runs + 1)]
    text = "연락처 " + sep.join(numbers) + " 끝"
    n = kx.normalize(text)
    assert n.text == "연락처 " + "".join(numbers) + " 끝"
    assert sum(g.kind == "delete" for g in n.map.segments) == runs * groups
    assert_read_as_in_a_long_text(text)


@pytest.mark.parametrize("call", [kx.detect, kx.normalize, kx.mask,
                                  lambda t: kx.unmask(t, kx.mask("010-1234-5678", TOKENS).restore)],
                         ids=["detect", "normalize", "mask", "unmask"])
@pytest.mark.parametrize("text", ["주민번호 900101-1234568 " * (LONG // 10), "a\u00e9" * LONG,
                                  "전화 010-1234-5678 \U0001f600\U0001f44d " * (LONG // 10)],
                         ids=["korean", "latin", "emoji"])
def test_long_texts_are_not_given_a_cached_copy(call, text):
    size = sys.getsizeof(text)
    call(text)
    assert sys.getsizeof(text) == size  # CPython counts a cached UTF-8 form in the size


TOKENS = kx.PolicySet(kx.Policy.tokenize())


@pytest.mark.parametrize("gap", [0, 300])  # tokens close together, or far apart
@pytest.mark.parametrize("chars", [10, LONG])
def test_round_trip_of_long_texts(chars, gap):
    text = ("연락처 010-1234-5678 이메일 kim@mail.co.kr 주민 " + rrn("900101123456") + "\n" + "가" * gap) * (chars // 40 + 1)
    out = kx.mask(text, TOKENS)
    assert "010-1234-5678" not in out.text
    assert kx.unmask(out.text, out.restore) == text


@pytest.mark.parametrize("call, param", [
    (kx.detect, "text"), (kx.normalize, "text"), (kx.mask, "text"),
    (lambda t: kx.unmask(t, kx.mask("010-1234-5678", TOKENS).restore), "masked"),
], ids=["detect", "normalize", "mask", "unmask"])
@pytest.mark.parametrize("chars", [10, LONG])
def test_unencodable_text_refused_alike_short_or_long(call, param, chars):
    text = "가" * chars + "\ud800" + "1"
    with pytest.raises(UnicodeEncodeError) as exc:
        call(text)
    assert exc.value.start == chars
    assert "surrogates not allowed" in str(exc.value)
    assert exc.value.__notes__ == [f"while processing '{param}'"]


# A long str is read through its UTF-16 form, transcoded eight or sixteen units per step: every
# kind of character at every place of a step, in strs of every width (one, two and four bytes
# per character), comes out as its UTF-8 form.
KINDS = {"latin1": "a\u00e9 ", "bmp": "가a\u07ff\u0800\uffff\ue000", "astral": "가a\U0001f600\U00010000"}
PLAIN = kx.Config()
for _f in PASSES:
    setattr(PLAIN, _f, False)


@settings(max_examples=40)
@given(st.sampled_from(sorted(KINDS)), st.integers(0, 40), st.lists(st.integers(0, LONG + 80), max_size=6),
       st.integers(LONG, LONG + 80))
def test_long_texts_are_read_as_their_utf8_form(kind, shift, places, chars):
    alphabet = KINDS[kind]
    text = list((alphabet * (chars // len(alphabet) + 1))[:chars])
    for at in places:  # a character of another kind here and there
        if at < chars:
            text[at] = alphabet[(at + shift) % len(alphabet)]
    text = "".join(text)
    n = kx.normalize(text, PLAIN)
    assert n.text == text and n.map.is_identity()
    assert kx.mask(text).text == text


@pytest.mark.parametrize("at", [0, 7, 8, 15, 16, LONG + 31])
@pytest.mark.parametrize("lone", ["\ud800", "\udfff", "\ud83d1"])
def test_lone_surrogates_of_long_texts_refused_where_they_stand(at, lone):
    text = "가" * at + lone + "a\U0001f600" * (LONG // 2)
    for call in (kx.detect, kx.normalize, kx.mask):
        with pytest.raises(UnicodeEncodeError) as exc:
            call(text)
        assert (exc.value.start, exc.value.end) == (at, at + 1)


# A long str is read a piece of 4096 characters at a time: characters of every width on either
# side of a piece's edge, in strs that end before, at and after one, and strs of four-byte
# characters alone, whose form outgrows three bytes a character.
PIECE = 4096


@pytest.mark.parametrize("end", [LONG - 1 + PIECE, LONG + PIECE, LONG + 1 + PIECE, LONG + 17])
@pytest.mark.parametrize("base, odd", [("가", "a"), ("a\u00e9", "\U0001f600"), ("\U0001f600", "가"),
                                       ("\u00e9", "\uffff"), ("가", "\u0800")])
def test_long_texts_read_across_piece_edges(end, base, odd):
    text = list((base * end)[:end])
    for edge in range(PIECE, end + 1, PIECE):
        for at in (edge - 2, edge - 1, edge, edge + 1):
            if at < end:
                text[at] = odd
    text = "".join(text)
    n = kx.normalize(text, PLAIN)
    assert n.text == text and n.map.is_identity()
    phone = "010-1234-5678"
    for edge in (PIECE, end - 4):  # a number across an edge, and at the end
        cut = text[:edge - 6] + phone + text[edge - 6 + len(phone):]
        found = [(f.entity, f.source.char_start, f.source.char_end) for f in kx.detect(cut).findings]
        assert ("phone", edge - 6, edge - 6 + len(phone)) in found


@pytest.mark.parametrize("at", [PIECE - 2, PIECE - 1, PIECE, 3 * PIECE - 1, LONG + 5])
@pytest.mark.parametrize("pair", ["\ud83d\ude00", "\udbff\udfff", "\ud800"])
def test_surrogates_of_long_texts_refused_across_piece_edges(at, pair):
    # Two surrogates in a row are two characters without a UTF-8 form, not a pair: the error
    # names them both.
    text = "가" * at + pair + "\U0001f600" * LONG
    for call in (kx.detect, kx.normalize, kx.mask):
        with pytest.raises(UnicodeEncodeError) as exc:
            call(text)
        assert (exc.value.start, exc.value.end) == (at, at + len(pair))


# ---- telephone prefixes compared as numbers ----------------------------------------------------

LANDLINE = {"031", "032", "033", "041", "042", "043", "044", "051", "052", "053", "054", "055",
            "061", "062", "063", "064", "070"}


def phone_rule(run):
    """The telephone reading of a run of digits and masks, from the text of the rule table."""
    n = len(run)
    if n == 10 and run[:2] == "01" and run[2:3] in set("16789"):
        return "phone.mobile_10"
    if n == 11 and run[:2] == "01" and run[2:3] in set("016789"):
        return "phone.mobile_11"
    if n in (9, 10) and run.startswith("02"):
        return "phone.seoul"
    if n in (10, 11) and run[:3] in LANDLINE:
        return "phone.landline"
    if n == 8 and run[:2] in ("15", "16", "18"):
        return "phone.representative"
    return None


@settings(max_examples=400)
@given(st.text(st.sampled_from("0123456789*"), min_size=8, max_size=11),
       st.sampled_from(["0", "01", "02", "03", "07", "1", "15", "18", ""]))
def test_phone_readings_follow_the_prefix_table(tail, head):
    run = (head + tail)[:11]
    if sum(c.isdigit() for c in run) < 2:
        return
    low = kx.Config()
    low.min_score, low.min_context, low.min_veto = 0.0, 0.0, 100.0
    r = kx.detect(run, low)
    want = phone_rule(run)
    # The readings of the whole run (a run that gives nothing whole may give a piece within
    # its edge masks).
    whole = (0, len(run))
    found = [f.evidence.rule for f in r.findings
             if f.entity == "phone" and (f.source.char_start, f.source.char_end) == whole]
    rejected = [x for x in r.rejections if x.entity == "phone"]  # outranked: no rule shown
    assert len(found) + len(rejected) == (1 if want else 0), run
    assert all(rule == want for rule in found), run


# ---- masked and unmasked text: the argument itself when nothing changes, else rebuilt ---------
# ---- from the argument's characters in chunks (long texts beyond ASCII) -----------------------

class Text(str):
    pass


# Korean stretches around a few items, often none, repeated so that long texts cross the
# chunks in which the result is assembled (32,768 characters), with emoji among them.
FILLER = st.text(st.sampled_from("가나다라마바사아자차카타파하 .\n😀é"), max_size=200)


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(FILLER, PIECES), max_size=6), FILLER, st.sampled_from([1, 3, 60, 400]),
       st.booleans(), st.booleans())
def test_masked_text_equals_the_rendering(parts, tail, times, tokenize, subclass):
    text = ("".join(f + p for f, p in parts) + tail) * times
    arg = Text(text) if subclass else text
    policy = kx.Policy.tokenize() if tokenize else kx.Policy.redact_fill("#")
    out = kx.mask(arg, kx.PolicySet(policy))
    expected, cursor = [], 0
    for k, f in enumerate(out.applied):
        expected.append(text[cursor:f.source.char_start])
        n = f.source.char_end - f.source.char_start
        expected.append(f"[[{out.restore.prefix}:{k}]]" if tokenize else "#" * n)
        cursor = f.source.char_end
    expected.append(text[cursor:])
    assert out.text == "".join(expected) and type(out.text) is str
    if tokenize:
        back = kx.unmask(Text(out.text) if subclass else out.text, out.restore)
        assert back == text and type(back) is str


# A text without findings: one without candidates, one whose candidates all fail, one that only
# normalizes. Its masked text is the text under every policy, and a restore map (empty) comes
# exactly with a tokenizing one; its report holds the normalized text and nothing found.
@pytest.mark.parametrize("text", ["", "가나다 리뷰", "ＡＢＣ", "1-2 3·4", "010-1234", "\r\n", "연락처",
                                  "주문번호 1234567890", "M1234567", "😀 1\u200b2"])
@pytest.mark.parametrize("policy", [None, kx.Policy.tokenize(), kx.Policy.partial(1, 1),
                                    kx.Policy.redact_fixed("[X]"), kx.Policy.hash(b"k" * 32, 8)])
@pytest.mark.parametrize("subclass", [False, True])
def test_a_text_without_findings_is_its_own_masked_text(text, policy, subclass):
    arg = Text(text) if subclass else text
    report = kx.detect(arg)
    assert (report.findings, report.normalized_text) == ([], kx.normalize(text).text)
    assert len(report.rejections) == {"주문": 2, "M1": 1}.get(text[:2], 0)
    out = kx.mask(arg, kx.PolicySet() if policy is None else kx.PolicySet(policy))
    assert out.text == text and type(out.text) is str
    assert (out.applied, out.skipped) == ([], [])
    tokenizes = policy is not None and repr(policy).startswith("Policy.tokenize")
    assert (out.restore is not None) == tokenizes
    assert not tokenizes or out.restore.entries == []


ITEMS = ["연락처 010-1234-5678", "kim@mail.co.kr", "주민번호 " + rrn("900101123456"),
         "카드 " + luhn("412345678901234"), "여권번호 M12345678", "연락처 02-123-4567"]


@pytest.mark.parametrize("wide", ["가", "😀"])
@pytest.mark.parametrize("policy", [None, kx.Policy.partial(2, 2), kx.Policy.redact_fill("#"), kx.Policy.redact_code(),
                                    kx.Policy.redact_fixed(""), "mixed"])
@pytest.mark.parametrize("count", [11, 60])  # a short text (rebuilt in its own room) and a long one
def test_rewrites_reuse_only_equal_replacements(wide, policy, count):
    # The same few labels, codes or fixed texts again and again (each entity its own), partial
    # masks that differ by the characters they keep, fills of several lengths: each item of the
    # text (rebuilt from pieces) masks as it does alone (rendered whole).
    ps = (kx.PolicySet() if policy is None else
          kx.PolicySet(kx.Policy.redact_fixed("<가림>")).with_entity("phone", kx.Policy.redact_code())
          .with_entity("email", kx.Policy.redact_label()) if policy == "mixed" else kx.PolicySet(policy))
    pads = [wide * (7 * k % (50 if count > 11 else 3)) for k in range(count)]
    text = "".join(f"{pad} {ITEMS[k % len(ITEMS)]} " for k, pad in enumerate(pads)) + "끝"
    assert (len(text.encode()) <= 1024) == (count == 11)
    alone = [kx.mask(item, ps).text for item in ITEMS]
    out = kx.mask(text, ps)
    assert len(out.applied) == count
    assert out.text == "".join(f"{pad} {alone[k % len(ITEMS)]} " for k, pad in enumerate(pads)) + "끝"


# ---- the narrower instruction sets -------------------------------------------------------------


@pytest.mark.skipif(bool(os.environ.get("KESTRIX_SIMD")), reason="this run is already capped")
@pytest.mark.parametrize("level", ["ssse3", "sse2"])
def test_every_instruction_set_gives_the_same_results(level):
    # The scans take the widest vectors the processor has; KESTRIX_SIMD caps them, and this
    # file's properties must hold on every path.
    r = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q", "-x",
                        __file__, "-k", "not every_instruction_set"],
                       env={**os.environ, "KESTRIX_SIMD": level}, capture_output=True, text=True)
    assert r.returncode == 0, r.stdout[-3000:] + r.stderr[-3000:]


# Detection keeps its working lists from call to call on each thread, and lets go of one a long
# text grew. A text's results do not depend on what was detected before it.
@pytest.mark.parametrize("count", [1, 3, 2000])
def test_results_do_not_depend_on_the_calls_before(count):
    short = "연락처 010-1234-5678, 주민번호 " + rrn("900101123456") + " 메일 kim@mail.co.kr"
    long = " ".join(f"M{1000000 + k} 010-{1000 + k % 9000}-5678 1999/01/0{1 + k % 9} 생일" for k in range(count))
    first = kx.detect(short).to_json(), kx.mask(short).text
    once = kx.detect(long).to_json(), kx.mask(long).text
    assert (kx.detect(short).to_json(), kx.mask(short).text) == first
    assert (kx.detect(long).to_json(), kx.mask(long).text) == once
    assert (kx.detect(short).to_json(), kx.mask(short).text) == first


# ---- the masked str of a short text, built from the argument's characters ----------------------

POLICY_SETS = [
    kx.PolicySet(),
    kx.PolicySet(kx.Policy.partial(2, 2)),
    kx.PolicySet(kx.Policy.redact_fill("가")),
    # Replacements longer than the text, past the room kept for a short text's result.
    kx.PolicySet(kx.Policy.redact_fixed("\U0001f600" * 300)),
]


class Text(str):
    pass


def core_masked(text, policies):
    """The masked text as the core renders it in UTF-8, a line at a time."""
    from kestrix import _kestrix as core
    return core._mask_lines(text.encode(), policies, kx.Config(), "", False)[0].decode()


@settings(max_examples=300)
@given(TEXTS.map(lambda t: t.replace("\n", " ")), st.sampled_from(range(len(POLICY_SETS))))
@example("전화 010-1234-5678 😀 문자 01098765432", 0)
def test_a_short_masked_text_is_what_the_core_renders(text, k):
    policies = POLICY_SETS[k]
    expected = core_masked(text, policies)
    for arg in (text, Text(text)):
        out = kx.mask(arg, policies).text
        assert out == expected
        assert type(out) is str


@pytest.mark.parametrize("policies", range(len(POLICY_SETS)))
@pytest.mark.parametrize("size", [1022, 1023, 1024, 1025, 1026, 2100])
@pytest.mark.parametrize("where", ["start", "end", "both", "none"])
def test_masked_texts_around_the_short_size_are_what_the_core_renders(policies, size, where):
    phone = "010-1234-5678"
    ends = {"start": (phone + " ", ""), "end": ("", " " + phone), "both": (phone + " ", " 😀" + phone),
            "none": ("", "")}[where]
    body = size - len((ends[0] + ends[1]).encode())
    text = ends[0] + "가" * (body // 3) + "a" * (body % 3) + ends[1]
    assert len(text.encode()) == size
    expected = core_masked(text, POLICY_SETS[policies])
    for arg in (text, Text(text)):
        out = kx.mask(arg, POLICY_SETS[policies]).text
        assert out == expected and type(out) is str
    # An exact str with nothing to mask is its own masked text.
    assert (kx.mask(text, POLICY_SETS[policies]).text is text) == (where == "none")


FILLERS = {"ascii": "ab cd", "latin1": "é a", "bmp": "가나 다", "astral": "가😀 a"}


# An override that reads what it replaces, for an item the text holds, keeps the long text to
# the end, whatever the default: what the fill counts, the partial keeps and the hash digests.
@pytest.mark.parametrize("reads", [kx.Policy.redact_fill("#"), kx.Policy.partial(3, 2), kx.Policy.hash(b"k", 10)])
@pytest.mark.parametrize("default", [kx.Policy.redact_label(), kx.Policy.redact_fixed("<>")])
@pytest.mark.parametrize("entity", ["phone", "email"])
def test_long_texts_masked_by_an_override_that_reads_its_pieces(reads, default, entity):
    text = ("가나 다" * LONG)[:LONG] + " 010-1234-5678 kim@mail.co.kr 끝"
    policies = kx.PolicySet(default).with_entity(entity, reads)
    out = kx.mask(text, policies)
    assert out.text == core_masked(text, policies) and len(out.applied) == 2
    assert out.text != kx.mask(text, kx.PolicySet(default)).text


# A short text's characters and its masked text are gathered in buffers of their own, 1,024 and
# 2,048 code points long, with room for a replacement as long as its UTF-8 form: a longer one
# moves the gathered points elsewhere, just before, at or past that point, at the first item
# or the second, in strs of each width, the replacement of one or three bytes a character.
@pytest.mark.parametrize("over", [-1, 0, 1, 700])
@pytest.mark.parametrize("phone_first", [True, False])
@pytest.mark.parametrize("letter", ["x", "긴"])
@pytest.mark.parametrize("width", sorted(FILLERS))
def test_short_texts_with_replacements_past_their_room(over, phone_first, letter, width):
    head, mid = (FILLERS[width] * 40)[:37], (FILLERS[width] * 9)[:21]
    items = ["010-1234-5678", "kim@mail.co.kr"]
    if not phone_first:
        items.reverse()
    text = head + items[0] + " " + mid + " " + items[1] + head
    assert len(text.encode()) <= 1024
    fixed = lambda t: kx.PolicySet(kx.Policy.redact_code()).with_entity("phone", kx.Policy.redact_fixed(t))
    before = core_masked(text, fixed("§")).index("§")  # code points gathered ahead of the phone's
    fill = letter * ((2048 - before) // len(letter.encode()) + over)
    out = kx.mask(text, fixed(fill))
    assert type(out.text) is str and out.text == core_masked(text, fixed(fill))
    assert out.text.count(fill) == 1 and len(out.applied) == 2


# Long texts whose last window of characters, or whole text, is read into the object's own room
# (1,024 characters at most) or beyond it: 1,024 or 1,025 four-byte characters make the shortest
# text of 4,096 bytes that is rebuilt.
@pytest.mark.parametrize("chars", [1024, 1025, 8192 + 1023, 8192 + 1024, 8192 + 1025, 2 * 8192])
@pytest.mark.parametrize("where", ["start", "end"])
def test_long_texts_read_in_windows_of_every_size(chars, where):
    phone = "010-1234-5678"
    body = "😀" * (chars - len(phone) - 1)
    text = phone + " " + body if where == "start" else body + " " + phone
    for policies in (kx.PolicySet(), kx.PolicySet(kx.Policy.redact_fill("#"))):
        out = kx.mask(text, policies)
        assert type(out.text) is str and out.text == core_masked(text, policies)
        assert len(out.applied) == 1


# ---- the str of a long rewritten text, gathered from the argument's characters ---------------
# Unchanged stretches of lengths around those at which the pieces of the result change hands
# (the gathered characters become a str every few thousand, a long stretch is a substring of its
# own), in strs of each width, between items; equal and different replacements, empty ones and
# ones longer than any piece.

WIDTHS = {"latin1": "é a", "bmp": "가나 다", "astral": "가😀 a"}
GAPS = [0, 1, 2, 2047, 2048, 2049, 4000, 8191, 8192, 8193, 20000]
ITEMS_OR_NONE = ["", "010-1234-5678", "kim@mail.co.kr", rrn("900101123456"), luhn("412345678901234")]
LONG_POLICIES = POLICY_SETS + [kx.PolicySet(kx.Policy.redact_fixed("긴" * 20000)),
                               kx.PolicySet(kx.Policy.redact_fixed("")), kx.PolicySet(kx.Policy.redact_code()),
                               TOKENS]


def stretch(width, chars):
    fill = WIDTHS[width]
    return (fill * (chars // len(fill) + 1))[:chars]


@settings(max_examples=80, deadline=None)
@given(st.sampled_from(sorted(WIDTHS)), st.lists(st.tuples(st.sampled_from(GAPS), st.sampled_from(ITEMS_OR_NONE)),
                                                 min_size=1, max_size=6),
       st.sampled_from(GAPS), st.sampled_from(range(len(LONG_POLICIES))))
@example("bmp", [(0, "010-1234-5678"), (1, "kim@mail.co.kr")], 0, 0)  # items at the start and end
@example("astral", [(2048, "010-1234-5678"), (8192, "010-1234-5678")], 2047, len(LONG_POLICIES) - 1)
def test_long_masked_texts_are_what_the_core_renders(width, parts, tail, k):
    text = "".join(stretch(width, gap) + item for gap, item in parts) + stretch(width, tail)
    policies = LONG_POLICIES[k]
    out = kx.mask(text, policies)
    assert type(out.text) is str
    if out.restore is None:
        assert out.text == core_masked(text, policies)
    else:
        expected, cursor = [], 0
        for n, f in enumerate(out.applied):
            expected += [text[cursor:f.source.char_start], f"[[{out.restore.prefix}:{n}]]"]
            cursor = f.source.char_end
        assert out.text == "".join(expected) + text[cursor:]
        assert kx.unmask(out.text, out.restore) == text


# Labels, codes and fixed texts read nothing of what they replace: a long text beyond ASCII masked
# by them is let go once normalization has read it, changed or not. A set that reads its pieces
# (here a fill for passports, which these texts lack) keeps the text to the end; the two agree,
# and with the core's rendering. Lengths on both sides of the owned copy, items at the ends.
UNREAD = [kx.PolicySet(), kx.PolicySet(kx.Policy.redact_code()), kx.PolicySet(kx.Policy.redact_fixed("")),
          kx.PolicySet(kx.Policy.redact_fixed("<가림>")).with_entity("phone", kx.Policy.redact_code())]


@pytest.mark.parametrize("policies", range(len(UNREAD)))
@pytest.mark.parametrize("width", sorted(FILLERS))
@pytest.mark.parametrize("where", ["start", "end", "both", "none"])
@pytest.mark.parametrize("chars", [LONG - 1, LONG, LONG + 3001])
@pytest.mark.parametrize("changed", [False, True])  # a full-width letter and a Hangul numeral
def test_long_texts_masked_without_reading_their_pieces(policies, width, where, chars, changed):
    ends = {"start": ("010-1234-5678 ", " kim@mail.co.kr " + rrn("900101123456")),
            "end": ("", " " + luhn("412345678901234")), "both": ("kim@mail.co.kr ", " 010-9876-5432"),
            "none": ("", "")}[where]
    body = ("Ａ 삼 " if changed else "") + "é" + FILLERS[width] * chars
    text = ends[0] + body[:chars - len(ends[0]) - len(ends[1])] + ends[1]
    assert len(text) == chars
    unread = UNREAD[policies]
    read = unread.with_entity("passport", kx.Policy.redact_fill("#"))
    out, kept = kx.mask(text, unread), kx.mask(text, read)
    assert type(out.text) is str and out.text == kept.text == core_masked(text, unread)
    assert [(f.source, f.entity, f.score) for f in out.applied] == [(f.source, f.entity, f.score) for f in kept.applied]
    assert len(out.applied) == {"start": 3, "end": 1, "both": 2, "none": 0}[where]
    assert out.skipped == kept.skipped == [] and out.restore is None
    assert (out.text is text) == (where == "none")


def plain_unmask(masked, restore):
    """unmask as its rule reads, a token at a time: the text, or the error's message."""
    head = "[[" + restore.prefix + ":"
    originals = [e.original for e in restore.entries]
    out, rest = [], masked
    while (at := rest.find(head)) >= 0:
        out.append(rest[:at])
        after = rest[at + len(head):]
        close = after.find("]]")
        if close < 0:
            return f"restore token error: {head}...  에 닫는 괄호가 없다"
        number = after[:close]
        digits = number[1:] if number.startswith("+") else number
        if not digits or any(c not in "0123456789" for c in digits) or int(digits) >= 1 << 64:
            return f"restore token error: 토큰 번호가 숫자가 아니다: '{number}'"
        if int(digits) >= len(originals):
            return f"restore token error: 표에 없는 토큰 번호 {int(digits)}"
        out.append(originals[int(digits)])
        rest = after[close + 2:]
    return "".join(out) + rest


# Originals of every width, an empty one and one longer than any piece of the result.
ORIGINALS = ["010-1234-5678", "가나", "😀", "é", "", "긴" * 9000, "a\U00010000b"]
TABLE = kx.RestoreMap.from_json(json.dumps({"prefix": "PII", "entries": [
    {"token": f"[[PII:{n}]]", "original": o, "entity": "phone"} for n, o in enumerate(ORIGINALS)]},
    ensure_ascii=False))
# Tokens as written, and cut or altered: a sign, leading zeros, no entry, not a number, another
# prefix, no closing brackets.
TOKEN_FORMS = ["[[PII:{n}]]"] * 6 + ["[[PII:+{n}]]", "[[PII:0{n}]]", "[[PII:{n}]][[PII:{n}]]", "[[PII:7]]",
                                     "[[PII:x]]", "[[PII:-1]]", "[[PII:18446744073709551616]]",
                                     "[[PII:18446744073709551615]]", "[[PII:0000000000000000000000{n}]]",
                                     "[[PII:+]]", "[[PII:]]", "[[PII:{n}+]]", "[[PII:++{n}]]",
                                     "[[PII0:{n}]]", "[PII:{n}]]", "[[PII {n}]]", "[[PII:{n}] ]"]


@settings(max_examples=80, deadline=None)
@given(st.sampled_from(sorted(WIDTHS)),
       st.lists(st.tuples(st.sampled_from(GAPS), st.sampled_from(TOKEN_FORMS), st.integers(0, len(ORIGINALS) - 1)),
                min_size=1, max_size=6),
       st.sampled_from(GAPS))
@example("bmp", [(0, "[[PII:{n}]]", 1), (0, "[[PII:{n}]]", 2)], 0)  # tokens at both ends, side by side
@example("bmp", [(20000, "[[PII:{n}]]", 0)], 2048)
@example("bmp", [(20000, "[[PII:{n}]]", 0), (30, "[[PII:{n}", 0)], 20000)  # cut at the end
def test_long_unmasked_texts_are_the_plain_reading(width, parts, tail):
    masked = "".join(stretch(width, gap) + form.format(n=n) for gap, form, n in parts) + stretch(width, tail)
    expected = plain_unmask(masked, TABLE)
    try:
        got = kx.unmask(masked, TABLE)
    except kx.SpanMapError as e:
        got = str(e)
    else:
        assert type(got) is str
    assert got == expected


# A long str is unmasked a window of 8,192 characters at a time; a token that begins in the last
# 256 of a window is read in the next one. Tokens at every place around those edges, of every
# width of text, a prefix too long to be left to the next window, a number longer than that
# room, and surrogates before and after tokens.
WINDOW, ROOM = 8192, 256
LONG_PREFIX = kx.RestoreMap.from_json(json.dumps({"prefix": "P" * 200, "entries": [
    {"token": "[[" + "P" * 200 + ":0]]", "original": "010-1234-5678", "entity": "phone"}]}))


@pytest.mark.parametrize("width", sorted(WIDTHS))
@pytest.mark.parametrize("edge", [WINDOW - ROOM, WINDOW, 2 * WINDOW - ROOM, 2 * WINDOW])
@pytest.mark.parametrize("shift", [-12, -9, -8, -1, 0, 1])
@pytest.mark.parametrize("form", ["[[PII:{n}]]", "[[PII:" + "0" * 300 + "{n}]]", "[[PII:{n}", "[[PII:x]]"])
def test_long_unmasked_tokens_around_window_edges(width, edge, shift, form):
    token = form.format(n=1)
    head = stretch(width, 100) + "[[PII:2]]"
    masked = head + stretch(width, edge + shift - len(head)) + token + stretch(width, LONG)
    try:
        got = kx.unmask(masked, TABLE)
    except kx.SpanMapError as e:
        got = str(e)
    assert got == plain_unmask(masked, TABLE)


@pytest.mark.parametrize("table", [TABLE, LONG_PREFIX], ids=["short", "long prefix"])
@pytest.mark.parametrize("tokens", [0, 1, 40])
def test_long_unmasked_texts_with_a_prefix_of_any_length(table, tokens):
    token = "[[" + table.prefix + ":0]]"
    masked = "".join(stretch("bmp", 1000) + token for _ in range(tokens)) + stretch("bmp", 3 * WINDOW)
    got = kx.unmask(masked, table)
    assert got == plain_unmask(masked, table)
    assert (got is masked) == (tokens == 0)


@pytest.mark.parametrize("at", [0, 500, WINDOW - 1, WINDOW, 2 * WINDOW + 5, 3 * WINDOW - 1])
@pytest.mark.parametrize("lone", ["\ud800", "\udfff"])
def test_long_unmasked_texts_refuse_surrogates_before_and_after_tokens(at, lone):
    chars = 3 * WINDOW
    text = "".join(stretch("astral", 700) + "[[PII:0]]" for _ in range(chars // 709 + 1))[:chars]
    masked = text[:at] + lone + text[at + 1:]
    with pytest.raises(UnicodeEncodeError) as exc:
        kx.unmask(masked, TABLE)
    assert (exc.value.start, exc.value.end) == (at, at + 1)
