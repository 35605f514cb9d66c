"""The formats Korean users type beyond the core rules: separators typed on Korean keyboards,
bank names and other cue words, the 0082 dialling prefix, the new passport, birth dates in
words, slashes and dots, invisible characters inside e-mail addresses. Each addition is additive: a
text with none of the new characters, shapes or words keeps its report byte for byte."""

import hashlib
import pathlib
import re
import sys

import pytest

import kestrix as kx
from conftest import rrn

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))

import corpus  # noqa: E402

RRN = rrn("800101123456")


def found(text):
    """(entity, rule, source text) of each finding."""
    return [(f.entity, f.evidence.rule, text[f.source.char_start:f.source.char_end])
            for f in kx.detect(text).findings]


# ---- separators typed on Korean keyboards ----------------------------------------------------

@pytest.mark.parametrize("sep, rule", [
    ("\u318d", "separator.middot"),  # ㆍ, the araea typed as a middle dot
    ("\u2022", "separator.middot"),  # •
    ("\u2219", "separator.middot"),  # ∙
    ("\u3161", "separator.hyphen"),  # ㅡ, a vowel typed as a dash
])
def test_keyboard_separators_join_a_number(sep, rule):
    text = f"휴대폰 010{sep}1234{sep}5678"
    [f] = kx.detect(text).findings
    assert (f.entity, text[f.source.char_start:]) == ("phone", f"010{sep}1234{sep}5678")
    assert f.evidence.normalizations == [rule]
    assert json_cost(f)["absorbed_separators"] == 2
    # The resident number is masked whole, not only its birth date.
    text = f"생년월일 {RRN[:6]}{sep}{RRN[6:]}"
    assert found(text) == [("resident", "resident.korean_13", f"{RRN[:6]}{sep}{RRN[6:]}")]


def json_cost(f):
    import json
    return json.loads(f.evidence.cost.to_json())


@pytest.mark.parametrize("text", [
    "ㅋㅋ1ㆍ", "1ㆍ", "ㆍ1", "가ㆍ1", "1ㆍ가", "1ㅡㅡ가", "1ㅋ2", "1ㅏ2", "1ㆎ2", "1‣2", "1∘2", "1ㅡ",
])
def test_jamo_and_neighbours_stay_where_no_digits_surround_them(text):
    assert kx.normalize(text).text == text


def test_a_mixed_run_of_separators_is_absorbed_by_class():
    n = kx.normalize("1ㆍ•∙ㅡ-2")
    assert n.text == "12"
    assert [s.rules for s in n.map.segments if s.rules] == [
        ["separator.middot"], ["separator.hyphen"]]


# ---- cue words --------------------------------------------------------------------------------

@pytest.mark.parametrize("text, value", [
    ("신한은행 110-123-456789", "110-123-456789"),
    ("농협 352-1234-5678-93", "352-1234-5678-93"),
    ("카카오뱅크 3333-01-1234567", "3333-01-1234567"),
    ("국민은행 통장 123-45-678901", "123-45-678901"),
    ("토스뱅크 1000-1234-5678", "1000-1234-5678"),
    ("새마을금고 9002-1234-5678", "9002-1234-5678"),
])
def test_bank_names_are_account_cues(text, value):
    assert ("bank_account", "account.length", value) in found(text)


@pytest.mark.parametrize("text, cue", [
    ("PASSPORT M12345678", "passport"),
    ("passport: M12345678", "passport"),
    ("Passport No. M12345678", "Passport No"),
    ("DOB 19880101", "DOB"),
    ("생년 19880101", "생년"),
])
def test_english_and_short_cues(text, cue):
    config = kx.Config()
    config.min_score = 0.0  # a cue alone at distance 1 weighs too little to accept
    [f] = kx.detect(text, config).findings
    assert cue in [h.cue for h in f.evidence.context_hits]


def test_birth_date_cue_keeps_its_weight_inside_the_longer_cue():
    [f] = kx.detect("생년월일 19880101").findings
    assert [h.cue for h in f.evidence.context_hits] == ["생년월일"]


# ---- 0082 -------------------------------------------------------------------------------------

@pytest.mark.parametrize("text, value", [
    ("0082-10-1234-5678", "0082-10-1234-5678"),
    ("연락처 0082 10 1234 5678", "0082 10 1234 5678"),
    ("0082-(0)10-1234-5678", "0082-(0)10-1234-5678"),
    ("0082-2-123-4567", "0082-2-123-4567"),
])
def test_0082_reads_as_plus_82(text, value):
    assert ("phone", "phone.international", value) in found(text)
    plus = text.replace("0082", "+82")
    f = kx.detect(text).findings[-1]
    g = kx.detect(plus).findings[-1]
    assert (f.score, json_cost(f)) == (g.score, json_cost(g))


# ---- additive: texts without anything new keep their reports ---------------------------------

NEW_WORDS = ["통장", "뱅크", "농협", "수협", "신협", "새마을금고", "우체국", "생년", "DOB", "Passport No",
             "은행"]
NEW_SHAPES = re.compile(
    "[\u318d\u2022\u2219\u3161]"             # the keyboard separators
    "|passport"                              # in any case (the pattern is applied ignoring case)
    r"|0082"                                 # the dialling prefix
    r"|[0-9]\s*년\s*[0-9]+\s*월\s*[0-9]+\s*일"  # dates in words
    r"|[0-9]{4}/[0-9]{1,2}/[0-9]{1,2}"        # slashes
    r"|[0-9]{4}\.\s*[0-9]{1,2}\.\s*[0-9]{1,2}"  # dots
    r"|[A-Z][0-9]{3}[A-Z][0-9]{4}"            # the new passport
    "|[\u200b\u200c\u200d\u2060\ufeff]",     # invisible characters (in e-mail addresses)
    re.IGNORECASE)


def has_anything_new(line):
    return any(w in line for w in NEW_WORDS) or NEW_SHAPES.search(line) is not None


def report_digest(profile, size):
    lines = [ln for ln in corpus.generate(profile, size, seed=22).split("\n")
             if not has_anything_new(ln)]
    h = hashlib.sha256()
    for ln in lines:
        h.update(kx.detect(ln).to_json().encode())
        h.update(b"\n")
    return len(lines), h.hexdigest()


# The reports of the build before these formats (the digests were taken from it with this very
# function): every line of the generated corpora without anything new must read as it did.
BEFORE = {
    "dense": (5162, "f529e6ba1cff41c12883325013cafcc029ec10182673701a93d329bdb28760ec"),
    "mixed": (5795, "01e157d9514a68081f7da2cfad42aaad1cceb30fdef87e89d2241750e670538f"),
    "prose": (5368, "4c6b18ca035baeb0cce7d801a2c6813775329e5dc7196349ff1092c29ec2b17e"),
}


@pytest.mark.parametrize("profile", sorted(BEFORE))
def test_texts_without_new_forms_keep_their_reports(profile):
    assert report_digest(profile, 400_000) == BEFORE[profile]


# ---- the new passport ---------------------------------------------------------------------------

@pytest.mark.parametrize("text, value, outcome", [
    ("여권번호 M654B0409", "M654B0409", "found"),
    ("Passport No. M123A4567", "M123A4567", "found"),
    ("여권 M123A4567 재발급 신청", "M123A4567", "below_threshold"),  # as the old shape, 여권 alone
    ("M123A4567", "M123A4567", "no_context"),
])
def test_new_passport_reads_as_the_old_shape_does(text, value, outcome):
    r = kx.detect(text)
    got = [("found", f.evidence.rule, f.certainty, text[f.source.char_start:f.source.char_end])
           for f in r.findings] + [(x.reason, "", "", text[x.source.char_start:x.source.char_end])
                                   for x in r.rejections if x.entity == "passport"]
    assert [g[0] for g in got] == [outcome]
    assert got[0][3] == value
    if outcome == "found":
        assert got[0][1:3] == ("passport.new", "probable")
        old = kx.detect(text.replace(value, "M1234567")).findings[0]
        assert kx.detect(text).findings[0].score == old.score


@pytest.mark.parametrize("text", ["여권번호 M654B04091", "여권번호 M654B040", "여권번호 M65B0409",
                                  "여권번호 MM654B0409", "여권번호 m654b0409", "여권번호 M654B0409A"])
def test_near_new_passports_are_not_read(text):
    assert kx.detect(text).findings == []


# ---- birth dates in words and slashes -------------------------------------------------------------

@pytest.mark.parametrize("text, value, rule", [
    ("생년월일: 1988년 1월 1일", "1988년 1월 1일", "birth.words"),
    ("생년월일 88년 1월 1일생", "88년 1월 1일생", "birth.words"),
    ("생년월일 1988 년 2 월 29 일", "1988 년 2 월 29 일", "birth.words"),
    ("생년월일 1988  년  2  월  29  일생", "1988  년  2  월  29  일생", "birth.words"),
    ("생년월일 00년 2월 29일", "00년 2월 29일", "birth.words"),  # 2000 was a leap year
    ("생년월일 1988/01/01", "1988/01/01", "birth.slash"),
    ("생년월일(DOB) 1988/1/31, 서울", "1988/1/31", "birth.slash"),
    ("생년월일 1800/01/01", "1800/01/01", "birth.slash"),  # the years the digit forms take
    ("생년월일 2200년 12월 31일", "2200년 12월 31일", "birth.words"),
    ("생년월일 1988. 1. 1.", "1988. 1. 1.", "birth.dot"),
    ("생년월일: 2001. 12. 5.", "2001. 12. 5.", "birth.dot"),
    ("생년월일 1988. 1. 15", "1988. 1. 15", "birth.dot"),
    ("생년월일 1988.1.1 서울", "1988.1.1", "birth.dot"),
    ("생년월일 2001. 1. 1.", "2001. 1. 1.", "birth.dot"),  # whole, 200111 would be a YYMMDD
    ("생년월일 １９８８. 1. 1.", "１９８８. 1. 1.", "birth.dot"),
    # Padded with spaces: eight digits whose spaces cost too much for them to read whole.
    ("생년월일 1985. 11. 21.", "1985. 11. 21.", "birth.dot"),
    ("고객님 생년월일 1980. 11. 15. 입니다.", "1980. 11. 15.", "birth.dot"),
])
def test_written_birth_dates(text, value, rule):
    assert found(text) == [("birth_date", rule, value)]


PHONE = ("phone", "phone.mobile_11", "010-1234-5678")
SEOUL = ("phone", "phone.seoul", "02-123-4567")


@pytest.mark.parametrize("text, want", [
    # The separator pass joins a date's digits to a number beside it; the date is still read,
    # up to the joint, and so is the number.
    ("생년월일 1988/01/01 010-1234-5678", [("birth_date", "birth.slash", "1988/01/01"), PHONE]),
    ("생년월일 1988/01/01, 010-1234-5678", [("birth_date", "birth.slash", "1988/01/01"), PHONE]),
    ("생년월일 1988/1/1 1234", [("birth_date", "birth.slash", "1988/1/1")]),
    ("010-1234-5678 1988/01/01 생년월일", [PHONE, ("birth_date", "birth.slash", "1988/01/01")]),
    ("02-123-4567 1988년 1월 1일생 (생년월일)", [SEOUL, ("birth_date", "birth.words", "1988년 1월 1일생")]),
    ("1234 88년 1월 1일생 생년월일", [("birth_date", "birth.words", "88년 1월 1일생")]),
    ("생년월일 1 88년 1월 1일", [("birth_date", "birth.words", "88년 1월 1일")]),
    ("생년월일: 1988. 1. 1. 010-1234-5678", [("birth_date", "birth.dot", "1988. 1. 1"), PHONE]),
    ("생년월일 1988. 1. 1 010-1234-5678", [("birth_date", "birth.dot", "1988. 1. 1"), PHONE]),
    ("생년월일 2001. 12. 5., 02-123-4567", [("birth_date", "birth.dot", "2001. 12. 5"), SEOUL]),
    ("생년월일 1988. 1. 1. 02-123-4567", [("birth_date", "birth.dot", "1988. 1. 1"), SEOUL]),
    ("생년월일 1988.1.1 1234", [("birth_date", "birth.dot", "1988.1.1")]),
    ("생년월일 1988. 1. 1. 1999. 2. 3. 010-1234-5678", [("birth_date", "birth.dot", "1988. 1. 1"), PHONE]),
    ("010-1234-5678 1988. 1. 1. 생년월일", [PHONE, ("birth_date", "birth.dot", "1988. 1. 1.")]),
    ("생년월일 1988. 1. 1. 010-1234-5678 1999. 2. 3. 생년월일",
     [("birth_date", "birth.dot", "1988. 1. 1"), PHONE, ("birth_date", "birth.dot", "1999. 2. 3.")]),
    # Without a joint the digits are one number, no date.
    ("생년월일 19881988/01/01", []),
    ("생년월일 1988/01/011234", []),
    ("생년월일 12341988년 1월 1일", []),
    ("생년월일 1988. 1. 1. 2", []),  # a longer dotted row
    ("생년월일 1988. 1. 1. 2. 3", []),
])
def test_birth_dates_joined_to_other_numbers(text, want):
    assert found(text) == want
    for _, _, value in want:
        assert value not in kx.mask(text).text


@pytest.mark.parametrize("text", [
    "생년월일 1988년 13월 45일", "생년월일 1900년 2월 29일", "생년월일 1799/01/01",
    "생년월일 1988/02/30", "생년월일 1988/01/01/02", "생년월일 88/01/01", "생년월일 1988년 1월",
    "생년월일 198년 1월 1일", "생년월일 1988년 100월 1일", "생년월일 1988/01/011",
    "생년월일 1988년   1월 1일",  # three spaces
    "생년월일 2201/01/01", "생년월일 1799년 12월 31일",
])
def test_impossible_or_broken_written_dates_are_not_read(text):
    assert [f for f in kx.detect(text).findings if f.entity == "birth_date"] == []


@pytest.mark.parametrize("text", [
    "생년월일 1988. 13. 1.", "생년월일 1900. 2. 29.", "생년월일 1799. 1. 1.", "생년월일 2201. 1. 1.",
    "생년월일 1988. 1.", "생년월일 v1.2.3", "생년월일 1. 2. 3.", "생년월일 1988. 1. 1. 2",
    "생년월일 1988. 100. 1.", "생년월일 1988-1-1", "생년월일 1988. *. 1.", "생년월일 19888. 1. 1.",
    "생년월일 200X. 1. 1.", "생년월일 1988 1 1", "생년월일 1988. 1 1", "생년월일 1988 1. 1.",
    "생년월일 1988.-1.-1", "생년월일 1988. 13. 41.", "생년월일 1988. 02. 30.",
])
def test_no_dotted_date_no_finding(text):
    assert kx.detect(text).findings == []


@pytest.mark.parametrize("text, reasons", [
    # Dates in prose without a birth cue are no candidates, not even rejected ones.
    ("2024년 3월 5일에 주문", []),
    ("생" + "가" * 30 + " 2024/03/05", []),              # a 생 too far away to be a cue
    ("2024/03/05" + " " * 23 + "생일", []),              # a cue just outside the right window
    ("2024/03/05" + " " * 22 + "생일", ["no_context"]),  # ... and just inside it (too weak there)
    ("생일" + " " * 22 + "2024년 3월 5일", ["no_context"]),
    ("생일" + " " * 23 + "2024년 3월 5일", []),
    ("1988. 1. 1.", []),
    ("1988. 1. 1." + " " * 22 + "생일", ["no_context"]),
])
def test_written_date_is_a_candidate_only_next_to_a_birth_cue(text, reasons):
    r = kx.detect(text)
    assert r.findings == []
    assert [x.reason for x in r.rejections if x.entity == "birth_date"] == reasons


@pytest.mark.parametrize("dotted, slashed", [
    ("1988. 1. 1.", "1988/1/1"), ("1988.1.15", "1988/1/15"), ("2001. 12. 5.", "2001/12/5"),
])
def test_a_dotted_date_scores_as_the_slashed_one(dotted, slashed):
    # Its dots and spaces are the date's own, as the slashes are: they cost nothing.
    [d] = kx.detect("생년월일 " + dotted).findings
    [s] = kx.detect("생년월일 " + slashed).findings
    assert (d.score, d.certainty) == (s.score, s.certainty)
    assert d.score > kx.Config().min_score


# ---- invisible characters in e-mail addresses -----------------------------------------------------

@pytest.mark.parametrize("text, value", [
    ("이메일 hong\u200b@example.com", "hong\u200b@example.com"),
    ("ho\u200bng@exa\u2060mple.c\ufeffom\u200b 입니다", "ho\u200bng@exa\u2060mple.c\ufeffom"),
    ("\u200bhong@example.com\u200b", "hong@example.com"),
    ("hong@\u200cexample.com", "hong@\u200cexample.com"),
])
def test_invisible_characters_do_not_split_an_address(text, value):
    assert found(text) == [("email", "email.structural", value)]


@pytest.mark.parametrize("text, want", [
    # An invisible character between an address and what follows it ends the address there,
    # when the domain would not be one with what follows.
    ("hong@example.com\u200b010-1234-5678", [("email", "email.structural", "hong@example.com"), PHONE]),
    ("hong@example.com\u200b\u2060010-1234-5678", [("email", "email.structural", "hong@example.com"), PHONE]),
    ("hong@example.com\u200bM12345678", [("email", "email.structural", "hong@example.com")]),
    ("a@b.cc\u200b.dd\u200b1", [("email", "email.structural", "a@b.cc\u200b.dd")]),
    ("a@b.c\u200bde\u200b1", [("email", "email.structural", "a@b.c\u200bde")]),
    ("hong@example.com\u200babc", [("email", "email.structural", "hong@example.com\u200babc")]),
])
def test_an_invisible_character_ends_an_address_before_what_follows(text, want):
    assert found(text) == want


@pytest.mark.parametrize("text", ["a\u200b.@b.com", "hong@example.c\u200b", "\u200b@b.com",
                                  "a@\u200b.com", "a@b.c\u200bo1", "a@b..cc\u200b1", "a@b.c-\u200b1",
                                  "a@bcd\u200b1", "a@b.c\u200b\u200b1"])
def test_invisible_characters_do_not_make_an_address(text):
    assert kx.detect(text).findings == []


# ---- bad input --------------------------------------------------------------------------------

@pytest.mark.parametrize("unit", [
    "1\u318d", "1\u3161", "\u318d\u2022\u2219\u3161", "1\u318d2\u20223\u22194\u3161",
    "1988년 13월 45일", "1988/99/99/", "99년 2월 30일생 ", "년 월 일 ", "1/", "1년 ",
    "신한은행", "신한은행카카오뱅크농협통장", "passportPASSPORTDOB",
    "M123A4567", "M123A45678", "A1B2", "0082", "00820082",
])
def test_long_runs_of_new_forms_neither_crash_nor_confuse(unit):
    text = unit * 5000
    r = kx.detect(text)
    spans = [(f.source.char_start, f.source.char_end) for f in r.findings]
    assert spans == sorted(spans)
    assert all(a < b <= len(text) for a, b in spans)
    assert len(kx.mask(text).text) > 0


def test_an_address_broken_at_every_position():
    address = "hong.gildong@example.co.kr"
    for k in range(len(address) + 1):
        text = "메일 " + address[:k] + "\u200b" + address[k:] + " 끝"
        spans = [text[f.source.char_start:f.source.char_end] for f in kx.detect(text).findings]
        assert all("\u200b" not in s or s.replace("\u200b", "") == address for s in spans)
        assert all(s.replace("\u200b", "") in address for s in spans), (k, spans)


@pytest.mark.parametrize("text", [
    "생년월일 1988년 1월 1일", "생년월일은 1988/01/01 입니다", "생일 주문번호 1988/01/01", "1988년 1월 1일 생년",
    "생년 1988년 1월 1일 생년월일", "DOB 1988/01/01 고객센터", "가" * 40 + "생일 1988/01/01 " + "나" * 40,
    "생일 1988/01/01" + " " * 22 + "생년월일",  # 생년 ends where the right window does
])
def test_written_dates_read_alike_with_or_without_other_candidates(text):
    # Alone, a date's cues are looked up around it; after a digit run, in the whole text's index.
    config = kx.Config()
    config.min_score = 0.0
    alone = kx.detect(text, config)
    with_run = kx.detect("0212345678 " + "가" * 60 + text, config)
    shift = len(with_run.normalized_text) - len(alone.normalized_text)

    def dates(r, d):
        return ([(f.evidence.rule, f.score, f.source.char_start - d,
                  [(h.cue, h.distance, h.weight) for h in f.evidence.context_hits])
                 for f in r.findings if f.entity == "birth_date"],
                [(x.reason, x.score, x.source.char_start - d)
                 for x in r.rejections if x.entity == "birth_date"])
    assert dates(alone, 0) == dates(with_run, shift)
    assert dates(alone, 0) != ([], [])


@pytest.mark.parametrize("text", ["생년월일 1988. 1. 012.", "생년월일 1988. 012. 1.", "생년월일 198. 11. 1."])
def test_a_dotted_date_takes_a_year_of_four_and_a_month_and_day_of_two_at_most(text):
    assert [f.evidence.rule for f in kx.detect(text).findings if f.evidence.rule == "birth.dot"] == []
