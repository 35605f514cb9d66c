"""Detection: rules and checksums, scanners, context cues, scoring, the report and its JSON."""

import json
import re
import struct
from datetime import date

import pytest
from hypothesis import given, strategies as st

import kestrix as kx
from conftest import business, luhn, rrn

RRN = rrn("900101123456")           # resident checksum passes, Luhn fails
RRN_LUHN = "9001011000006"          # both the resident check and Luhn pass
CARD = luhn("453201511283036")      # 16 digits
BAD_CARD = CARD[:-1] + str((int(CARD[-1]) + 1) % 10)


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def weight(cue_weight, distance):
    return f32(f32(cue_weight) / f32(f32(0.125 * distance) + 1.0))


def score(prior, status="not_applicable", c=0.0, cost=(0, 0, 0, 0)):
    """The score formula in float32, term by term."""
    s = f32(prior)
    if status == "passed":
        s = f32(s + f32(0.6))
    elif status == "failed":
        s = f32(s - f32(0.25))
    s = f32(s + f32(f32(0.5) * f32(c)))
    for w, n in zip((0.08, 0.01, 0.01, 0.002), cost):
        s = f32(s - f32(f32(w) * n))
    return min(max(s, 0.0), 2.0)


def config(**kw):
    cfg = kx.Config()
    for k, v in kw.items():
        setattr(cfg, k, v)
    return cfg


def readings(report):
    """(entity, how) for every reading of the text: findings and rejections in report order."""
    return [(f.entity, "found") for f in report.findings] + [
        (r.entity, r.reason) for r in report.rejections]


def one(report, entity=None):
    fs = [f for f in report.findings if entity is None or f.entity == entity]
    assert len(fs) == 1, report.findings
    return fs[0]


# ---- entities ------------------------------------------------------------------------------

def test_entity_names_are_fresh_lists_in_index_order():
    a, b = kx.entity_names(), kx.entity_names()
    assert a == ["resident", "foreigner_registration", "business_registration", "credit_card",
                 "bank_account", "phone", "email", "driver_license", "birth_date", "passport"]
    assert a is not b
    a.append("x")
    assert len(kx.entity_names()) == 10


@pytest.mark.parametrize("text, entity, label", [
    (RRN, "resident", "주민등록번호"),
    (rrn("900101512345", foreigner=True), "foreigner_registration", "외국인등록번호"),
    (business("123456789"), "business_registration", "사업자등록번호"),
    (CARD, "credit_card", "카드번호"),
    ("계좌번호1234567890", "bank_account", "계좌번호"),
    ("01012345678", "phone", "전화번호"),
    ("a@b.co", "email", "이메일"),
    ("운전면허번호112233445566", "driver_license", "운전면허번호"),
    ("생년월일900101", "birth_date", "생년월일"),
    ("여권번호M12345678", "passport", "여권번호"),
])
def test_each_entity_is_found_with_its_label(text, entity, label):
    f = one(kx.detect(text))
    assert (f.entity, f.entity_label) == (entity, label)


# ---- scoring examples ----------------------------------------------------------------------

def test_card_with_passing_luhn_is_certain_at_one():
    r = kx.detect(CARD)
    f = one(r)
    assert (f.entity, f.score, f.certainty) == ("credit_card", 1.0, "certain")
    assert f.evidence.rule == "card.luhn" and f.evidence.checksum == "passed"
    assert f.evidence.checksum_reason is None
    assert r.rejections == []


def test_card_with_failing_luhn_is_rejected():
    r = kx.detect(BAD_CARD)
    assert r.findings == []
    [rej] = r.rejections
    assert (rej.entity, rej.reason, rej.score) == ("credit_card", "checksum_failed", f32(0.15))


def test_mobile_without_cue_is_possible_and_with_cue_probable():
    f = one(kx.detect("01012345678"), "phone")
    assert (f.score, f.certainty, f.evidence.rule) == (f32(0.6), "possible", "phone.mobile_11")
    assert f.evidence.checksum_reason == "전화번호에는 검증식이 없다"
    g = one(kx.detect("휴대폰01012345678"), "phone")
    assert g.certainty == "probable"
    assert g.score == score(0.6, c=1.0)


def test_passport_after_its_cue():
    f = one(kx.detect("여권번호M12345678"))
    assert (f.entity, f.certainty, f.evidence.rule) == ("passport", "probable", "passport.shape")
    assert f.score == f32(0.85)
    hits = [(h.cue, h.distance, h.weight) for h in f.evidence.context_hits]
    assert hits == [("여권번호", 0, 1.0), ("여권", 2, weight(0.8, 2))]


def test_birth_date_after_its_cue():
    f = one(kx.detect("생년월일900101"))
    assert (f.entity, f.score, f.certainty) == ("birth_date", f32(0.6), "probable")
    assert f.evidence.rule == "birth.yymmdd"


def test_resident_beats_card_whose_luhn_fails():
    r = kx.detect(RRN)
    f = one(r)
    assert (f.entity, f.certainty, f.score) == ("resident", "certain", score(0.6, "passed"))
    assert readings(r) == [("resident", "found"), ("credit_card", "checksum_failed"),
                           ("bank_account", "no_context")]


def test_card_accepted_but_lower_is_outranked():
    r = kx.detect(RRN_LUHN)
    assert one(r).entity == "resident"
    [card] = [x for x in r.rejections if x.entity == "credit_card"]
    assert (card.reason, card.score) == ("outranked", 1.0)


def test_equal_scores_keep_the_earlier_reading():
    cfg = kx.Config()
    cfg.set_weights(context=10.0)  # both readings clamp at 2
    r = kx.detect("주민번호 카드번호 " + RRN_LUHN, cfg)
    f = one(r)
    assert (f.entity, f.score) == ("resident", 2.0)
    assert ("credit_card", "outranked") in readings(r)


def test_a_later_reading_that_scores_higher_replaces_the_best():
    r = kx.detect("카드번호" + RRN_LUHN)
    f = one(r)
    assert f.entity == "credit_card"
    [res] = [x for x in r.rejections if x.entity == "resident"]
    assert (res.reason, res.score) == ("outranked", score(0.6, "passed"))


def test_account_needs_its_cue():
    r = kx.detect("1234567890")
    assert ("bank_account", "no_context") in readings(r)
    assert r.findings == []
    f = one(kx.detect("계좌번호1234567890"))
    assert (f.entity, f.certainty) == ("bank_account", "probable")
    assert f.evidence.checksum_reason == "은행별 체계가 달라 공통 검증식이 없다"


def test_order_number_veto():
    r = kx.detect("주문번호1234567890")
    assert r.findings == []
    assert {x.reason for x in r.rejections} == {"business_context"}
    # A passing checksum is not vetoed.
    f = one(kx.detect("주문번호" + business("123456789")))
    assert (f.entity, f.evidence.checksum, f.certainty) == (
        "business_registration", "passed", "certain")


@pytest.mark.parametrize("after", ["", " M12345678", " 여권번호M12345678", " a@b.co"])
def test_veto_on_the_right_whatever_follows(after):
    # Passports are judged before digit runs; the run's cues are still found on its right.
    r = kx.detect("1234567890 주문번호" + after)
    assert [(x.entity, x.reason) for x in r.rejections if x.entity != "passport"] == [
        ("business_registration", "business_context"), ("bank_account", "business_context")]


def test_veto_needs_to_outweigh_the_positive_cues():
    # 계좌번호 (1.0 at distance 0, plus 계좌) outweighs 주문번호 (0.62 at distance 5); the
    # business reading has no cue of its own and is vetoed.
    r = kx.detect("주문번호 계좌번호1234567890")
    assert one(r).entity == "bank_account"
    assert readings(r) == [("bank_account", "found"),
                           ("business_registration", "business_context")]


def test_passport_veto_and_missing_context():
    r = kx.detect("주문번호M12345678")
    assert [(x.entity, x.reason) for x in r.rejections] == [("passport", "business_context")]
    r = kx.detect("M12345678")
    assert [(x.entity, x.reason) for x in r.rejections] == [("passport", "no_context")]


def test_failed_checksum_with_strong_context_is_accepted_as_probable():
    f = one(kx.detect("카드번호" + BAD_CARD))
    assert (f.entity, f.evidence.checksum, f.certainty) == ("credit_card", "failed", "probable")
    assert [(h.cue, h.distance) for h in f.evidence.context_hits] == [("카드번호", 0), ("카드", 2)]
    assert f.score == score(0.4, "failed", c=f32(1.0 + weight(0.6, 2)))


@pytest.mark.parametrize("text, kept, outranked", [
    # the passport shares the e-mail's start; the phone lies strictly inside both
    ("여권번호M15881234@mail.com", "M15881234@mail.com", ["passport", "phone"]),
    # the phone shares the passport's end
    ("여권번호 M15881234", "M15881234", ["phone"]),
    # the phone shares the e-mail's start
    ("15881234@mail.com", "15881234@mail.com", ["phone"]),
])
def test_nested_findings_are_outranked(text, kept, outranked):
    r = kx.detect(text)
    assert [f.text(text) for f in r.findings] == [kept]
    assert sorted(x.entity for x in r.rejections if x.reason == "outranked") == outranked


def test_findings_in_source_order():
    text = "01012345678 a@b.co 여권번호M12345678 h@y.kr"
    r = kx.detect(text)
    assert [f.entity for f in r.findings] == ["phone", "email", "passport", "email"]
    starts = [(f.source.byte_start, f.source.byte_end) for f in r.findings]
    assert starts == sorted(starts)
    rs = [(x.source.byte_start, x.source.byte_end) for x in r.rejections]
    assert rs == sorted(rs)


PIECES_BY_ENTITY = {"phone": "01012345678", "email": "a@b.co", "passport": "M12345678"}


@pytest.mark.parametrize("order", [
    "pep" * 4, "ppppeeee", "eeppp" * 2, "pepppeeep",
])
def test_findings_of_every_scanner_come_in_source_order(order):
    # The scanners report one after another; the report interleaves them by position, with
    # every record intact, whatever cycles the reordering has to follow.
    names = {"p": "phone", "e": "email"}
    pieces = []
    for k, c in enumerate(order):
        entity = names[c] if k % 3 else ("passport" if c == "p" else "email")
        pieces.append((entity, PIECES_BY_ENTITY[entity]))
    text = " 및 ".join(("여권번호 " if e == "passport" else "") + p for e, p in pieces)
    r = kx.detect(text)
    assert [(f.entity, f.text(text)) for f in r.findings] == pieces


RUNS = ["01012345678", "9001011******", "1234567890", RRN, "112233445566", "15881234"]


@pytest.mark.parametrize("order", [RUNS, RUNS[::-1], RUNS[1::2] + RUNS[::2]])
def test_each_run_is_judged_on_its_own(order):
    # Runs in one text, kept apart by a word, are judged exactly as each one alone.
    alone = []
    for run in order:
        r = kx.detect(run)
        alone += [(f.entity, "found", f.score) for f in r.findings]
        alone += [(x.entity, x.reason, x.score) for x in r.rejections]
    r = kx.detect(" 및 ".join(order))
    together = [(f.entity, "found", f.score, f.source.byte_start) for f in r.findings]
    together += [(x.entity, x.reason, x.score, x.source.byte_start) for x in r.rejections]
    together.sort(key=lambda t: t[3])  # findings and rejections of a run share its start
    assert [t[:3] for t in together] == alone


def test_email_skips_thresholds():
    r = kx.detect("주문번호 a@b.co", config(min_score=1.5))
    f = one(r)
    assert (f.entity, f.score, f.certainty) == ("email", f32(0.9), "probable")
    assert f.evidence.context_hits == []


# ---- rule table ----------------------------------------------------------------------------

LOW = dict(min_score=0.0, min_context=0.0, min_veto=100.0)


@pytest.mark.parametrize("text, expected", [
    # 13 digits: resident, card and account readings.
    (RRN, {"resident", "credit_card", "bank_account"}),
    # month 13: no resident reading, card and account still.
    ("9013011234568", {"credit_card", "bank_account"}),
    # 10 digits: business and account; phone by prefix.
    ("1234567890", {"business_registration", "bank_account"}),
    ("0111234567", {"business_registration", "phone", "bank_account"}),
    ("0212345678", {"business_registration", "phone", "bank_account"}),
    ("0311234567", {"business_registration", "phone", "bank_account"}),
    ("0101234567", {"business_registration", "bank_account"}),  # 010 numbers have 11 digits
    ("021234567", {"phone"}),
    ("15881234", {"phone"}),
    ("19990228", {"birth_date"}),
    ("19990231", set()),
    ("000229", {"birth_date"}),        # leap in 2000
    ("010229", set()),                 # neither 1901 nor 2001 is leap
    ("112233445566", {"driver_license", "bank_account"}),
    ("282233445566", {"driver_license", "bank_account"}),
    ("272233445566", {"bank_account"}),
    ("102233445566", {"bank_account"}),
    ("12345", set()),
    ("12345678901234567890", set()),
    ("1*****", set()),
])
def test_readings_of_a_run(text, expected):
    r = kx.detect(text, config(**LOW))
    assert {e for e, _ in readings(r)} == expected


@pytest.mark.parametrize("text, rule", [
    ("0111234567", "phone.mobile_10"),
    ("01612345678", "phone.mobile_11"),
    ("01012345678", "phone.mobile_11"),
    ("021234567", "phone.seoul"),
    ("0212345678", "phone.seoul"),
    ("0311234567", "phone.landline"),
    ("07012345678", "phone.landline"),
    ("15881234", "phone.representative"),
    ("18001234", "phone.representative"),
])
def test_phone_rules(text, rule):
    f = one(kx.detect(text), "phone")
    assert f.evidence.rule == rule and f.certainty == "possible"


@pytest.mark.parametrize("first12, foreigner, rule, entity", [
    ("900101123456", False, "resident.korean_13", "resident"),
    ("900101223456", False, "resident.korean_13", "resident"),
    ("050101323456", False, "resident.korean_13", "resident"),
    ("900101523456", True, "resident.foreigner_13", "foreigner_registration"),
    ("050101723456", True, "resident.foreigner_13", "foreigner_registration"),
    ("000229323456", False, "resident.korean_13", "resident"),  # 2000-02-29
])
def test_resident_numbers(first12, foreigner, rule, entity):
    f = one(kx.detect(rrn(first12, foreigner)))
    assert (f.evidence.rule, f.entity, f.evidence.checksum) == (rule, entity, "passed")
    assert f.certainty == "certain"


def test_foreigner_check_digit_is_shifted():
    # A foreigner number carrying the Korean check digit fails its check.
    f = one(kx.detect("외국인등록번호" + rrn("900101512345")))
    assert (f.entity, f.evidence.checksum, f.certainty) == (
        "foreigner_registration", "failed", "probable")


def test_eighteen_hundreds_century():
    # 7th digit 0: born 1800s; 1800-02-29 does not exist, 2000-02-29 does.
    assert "resident" not in {e for e, _ in readings(kx.detect(rrn("000229023456"), config(**LOW)))}
    assert one(kx.detect(rrn("000229323456"))).entity == "resident"


def only_the_check_digit_passes(body, valid, entity):
    """Of the ten numbers body + one digit, the valid one is found with its check passed and
    the nine others are dropped for their failed check."""
    for d in "0123456789":
        r = kx.detect(body + d)
        if body + d == valid:
            assert one(r, entity).evidence.checksum == "passed"
        else:
            assert entity not in {f.entity for f in r.findings}
            assert (entity, "checksum_failed") in readings(r)


CENTURY = {0: 1800, 9: 1800, 1: 1900, 2: 1900, 5: 1900, 6: 1900, 3: 2000, 4: 2000, 7: 2000, 8: 2000}


@given(st.integers(0, 9), st.data())
def test_resident_number_passes_with_its_own_check_digit_only(seventh, data):
    century = CENTURY[seventh]
    born = data.draw(st.dates(date(century, 1, 1), date(century + 99, 12, 31)))
    serial = data.draw(st.text("0123456789", min_size=5, max_size=5))
    first12 = f"{born.year % 100:02d}{born.month:02d}{born.day:02d}{seventh}{serial}"
    foreigner = seventh in (5, 6, 7, 8)
    only_the_check_digit_passes(first12, rrn(first12, foreigner),
                                "foreigner_registration" if foreigner else "resident")


@pytest.mark.parametrize("make, sizes, entity", [
    (business, (9, 9), "business_registration"),
    (luhn, (14, 18), "credit_card"),  # 15 to 19 digits: no resident reading competes
])
@given(data=st.data())
def test_check_digit_of_business_and_card_numbers(make, sizes, entity, data):
    body = data.draw(st.text("0123456789", min_size=sizes[0], max_size=sizes[1]))
    only_the_check_digit_passes(body, make(body), entity)


@pytest.mark.parametrize("text, rule, reading_status", [
    ("9001011******", "resident.korean_13", "not_applicable"),
    ("9001011XXXXXX", "resident.korean_13", "not_applicable"),
    ("9001011xxxxxx", "resident.korean_13", "not_applicable"),
    ("000229*******", "resident.korean_13", "not_applicable"),   # masked 7th: 1900 or 2000
    ("******1234567", "resident.korean_masked", "not_applicable"),
    ("901301*******", "resident.korean_masked", "not_applicable"),
])
def test_masked_resident_numbers(text, rule, reading_status):
    f = one(kx.detect("주민번호" + text), "resident")
    assert (f.evidence.rule, f.evidence.checksum) == (rule, reading_status)
    assert f.evidence.checksum_reason == "가려진 자리가 있어 검증식을 적용할 수 없다"
    assert f.certainty == "probable"


def test_masked_resident_number_without_cue():
    r = kx.detect("9001011******")
    f = one(r)
    assert (f.entity, f.certainty, f.score) == ("resident", "possible", f32(0.6))
    # the masked-date reading needs its cue
    r = kx.detect("******1234567")
    assert r.findings == [] and ("resident", "no_context") in readings(r)
    # the card reading of a masked run is not applicable and below the threshold
    assert ("credit_card", "below_threshold") in readings(kx.detect("9001011******"))


@pytest.mark.parametrize("number, status", [
    (business("123456789"), "passed"),
    (business("220811111"), "passed"),
    (business("999999999"), "passed"),
    ("1234567890", "failed"),
])
def test_business_checksum(number, status):
    r = kx.detect("사업자번호" + number)
    f = one(r, "business_registration")
    assert f.evidence.checksum == status


@pytest.mark.parametrize("number, ok", [
    ("4111111111111111", True),
    ("4111111111111112", False),
    ("5500005555555559", True),
    ("378282246310005", True),
    ("6011000990139424", True),
    ("4222222222222", True),
    ("1234567812345670", True),
    ("1234567812345678", False),
    ("0000000000000000000", True),
])
def test_luhn(number, ok):
    f = one(kx.detect("카드" + number, config(**LOW)), "credit_card")
    assert f.evidence.checksum == ("passed" if ok else "failed")


@pytest.mark.parametrize("length", range(13, 20))
@pytest.mark.parametrize("mask", "*Xx")
def test_a_mask_anywhere_makes_the_card_check_not_applicable(length, mask):
    number = luhn("4" + "1234567890123456789"[:length - 2])
    assert one(kx.detect("카드" + number, config(**LOW)), "credit_card").evidence.checksum == "passed"
    for k in range(length):
        masked = number[:k] + mask + number[k + 1:]
        f = one(kx.detect("카드" + masked, config(**LOW)), "credit_card")
        assert (f.evidence.checksum, f.evidence.checksum_reason) == (
            "not_applicable", "가려진 자리가 있어 검증식을 적용할 수 없다"), masked


@pytest.mark.parametrize("length", range(13, 20))
@pytest.mark.parametrize("masks", ["*", "**", "XX", "xxx"])
def test_a_card_number_before_masks_is_read_without_them(length, masks):
    # The run read whole holds masks, so its check does not apply; its digits alone, up to
    # the masks, are a card number whose check passes.
    number = luhn("4" + "1234567890123456789"[:length - 2])
    text = number + masks
    f = one(kx.detect(text), "credit_card")
    assert (f.text(text), f.evidence.checksum) == (number, "passed")


def test_license_needs_its_cue():
    assert kx.detect("112233445566").findings == []
    f = one(kx.detect("운전면허번호112233445566"))
    assert (f.evidence.rule, f.certainty) == ("license.12", "probable")
    assert f.evidence.checksum_reason == "검증 자릿수는 존재하나 계산식이 공개돼 있지 않다"


# ---- scanners ------------------------------------------------------------------------------

@pytest.mark.parametrize("text, found", [
    ("a@b.co", ["a@b.co"]),
    ("mail me: first.last+tag@mail.example.com!", ["first.last+tag@mail.example.com"]),
    ("..a@b.co", ["a@b.co"]),              # leading dots are not part of the span
    ("a.@b.co", []),                       # dot before the at sign
    ("a@b.c", []),                         # one-letter last label
    ("a@b.c1", []),                        # digits in the last label
    ("a@b..co", []),                       # empty label
    ("a@localhost", []),                   # one label
    ("@b.co", []),
    ("a@b.co.", ["a@b.co"]),               # trailing dot trimmed
    ("a@b.co- x", ["a@b.co"]),
    ("a@b.co,c@d.kr", ["a@b.co", "c@d.kr"]),
    ("한글a@b.co한글", ["a@b.co"]),
    ("a@@b.co", []),
    ("x@y.kr@z.kr", ["x@y.kr"]),
    ("a@b.co-+x@c.kr", ["a@b.co", "-+x@c.kr"]),  # the second address starts after the first
])
def test_email_scan(text, found):
    r = kx.detect(text)
    assert [f.text(text) for f in r.findings if f.entity == "email"] == found


@pytest.mark.parametrize("shape, candidate", [
    ("M1234567", True),
    ("M12345678", True),
    ("AB1234567", True),
    ("AB12345678", False),   # two letters and eight digits
    ("M123456", False),
    ("M123456789", False),
    ("m12345678", False),    # lower case never starts a shape
    ("ABC1234567", False),
    ("xM12345678", False),   # preceded by a letter
    ("1M12345678", False),   # preceded by a digit
    ("M12345678a", False),   # followed by a letter
])
def test_passport_scan(shape, candidate):
    r = kx.detect("여권번호 " + shape, config(**LOW))
    assert ("passport" in {e for e, _ in readings(r)}) == candidate


def test_hyphen_splits_a_run_unless_absorbed():
    plain = kx.detect("01012345678")
    cfg = config(separator=False)
    split = kx.detect("010-1234-5678", cfg)
    assert one(plain).entity == "phone"
    assert split.findings == [] and split.rejections == []


# ---- context -------------------------------------------------------------------------------

def test_cue_inside_a_longer_cue_counts_again_and_the_sum_is_capped():
    f = one(kx.detect("주민등록번호" + RRN))
    hits = [(h.cue, h.distance, h.weight) for h in f.evidence.context_hits]
    assert hits == [("주민등록번호", 0, 1.0), ("주민등록", 2, weight(0.8, 2))]
    assert f.score == score(0.6, "passed", c=1.5)


def test_nearest_side_wins():
    # 여권 eight characters to the left, two to the right.
    text = "여권" + "가" * 8 + "M12345678" + "가가" + "여권"
    f = one(kx.detect(text, config(min_context=0.0, min_score=0.0)))
    assert [(h.cue, h.distance) for h in f.evidence.context_hits] == [("여권", 2)]
    assert f.evidence.context_hits[0].weight == weight(0.8, 2)


@pytest.mark.parametrize("gap, found", [(22, True), (23, False)])
def test_left_window_edge(gap, found):
    # The cue begins gap + 2 characters before the span start.
    text = "여권" + "가" * gap + "M12345678"
    f = one(kx.detect(text, config(min_context=0.0, min_score=0.0)))
    assert bool(f.evidence.context_hits) == found


@pytest.mark.parametrize("gap, found", [(22, True), (23, False)])
def test_right_window_edge(gap, found):
    text = "M12345678" + "가" * gap + "여권"
    f = one(kx.detect(text, config(min_context=0.0, min_score=0.0)))
    assert bool(f.evidence.context_hits) == found


def test_window_size_zero_sees_nothing_and_decay_at_distance_eight():
    r = kx.detect("여권M12345678", config(context_window=0))
    assert r.findings == [] and [x.reason for x in r.rejections] == ["no_context"]
    f = one(kx.detect("여권" + "가" * 8 + "M12345678", config(min_context=0.0, min_score=0.0)))
    assert [(h.distance, h.weight) for h in f.evidence.context_hits] == [(8, f32(0.4))]


@pytest.mark.parametrize("text, expected", [
    # decayed weights, highest first
    ("송금이체입금1234567890", [("입금", 0), ("이체", 2), ("송금", 4)]),
    # equal weights: ascending cue bytes, although the table lists 입금 before 이체
    ("입금1234567890이체", [("이체", 0), ("입금", 0)]),
])
def test_hits_sorted_by_weight_then_cue(text, expected):
    f = one(kx.detect(text))
    assert [(h.cue, h.distance) for h in f.evidence.context_hits] == expected


def test_cue_word_at_the_end_of_the_text_only():
    f = one(kx.detect("01012345678 연락처"))
    assert [(h.cue, h.distance) for h in f.evidence.context_hits] == [("연락처", 1)]


# ---- disguises -----------------------------------------------------------------------------

def fullwidth(s):
    return "".join(chr(ord(c) + 0xFEE0) if "!" <= c <= "~" else c for c in s)


NUMERALS = dict(zip("0123456789", "공일이삼사오육칠팔구"))


@pytest.mark.parametrize("disguised, rules, cost", [
    (fullwidth("900101-1234568"), ["fold.fullwidth", "separator.hyphen"], (0, 1, 0, 14)),
    ("".join(NUMERALS[c] for c in RRN), ["hangul.digit_reading"], (0, 0, 13, 0)),
    ("900101 - 1234568", ["separator.hyphen", "separator.whitespace"], (2, 1, 0, 0)),
    ("900101-1234568", ["separator.hyphen"], (0, 1, 0, 0)),
    ("9O01O1-l234568", ["lookalike.digit", "separator.hyphen"], (0, 1, 0, 3)),
])
def test_disguised_resident_number(disguised, rules, cost):
    prefix = "고객 정보: "
    text = prefix + disguised + " 입니다"
    r = kx.detect(text)
    f = one(r, "resident")
    assert f.text(text) == disguised
    assert (f.source.char_start, f.source.char_end) == (len(prefix), len(prefix) + len(disguised))
    assert f.evidence.normalizations == rules
    c = f.evidence.cost
    assert (c.absorbed_whitespace, c.absorbed_separators, c.expanded_syllables,
            c.replaced_chars) == cost
    assert f.score == score(0.6, "passed", cost=cost)
    assert f.normalized.slice(r.normalized_text) == RRN


@pytest.mark.parametrize("tail", ["******", "XXXXXX", "xxxxxx"])
def test_masked_tail_with_hyphen(tail):
    text = "주민번호: 900101-1" + tail
    f = one(kx.detect(text), "resident")
    assert f.text(text) == "900101-1" + tail
    assert f.evidence.normalizations == ["separator.hyphen"]
    assert (f.evidence.rule, f.evidence.checksum, f.certainty) == (
        "resident.korean_13", "not_applicable", "probable")


def test_phone_with_hyphens_keeps_source_span():
    text = "연락처: 010-1234-5678."
    f = one(kx.detect(text))
    assert f.text(text) == "010-1234-5678"
    assert f.evidence.cost.absorbed_separators == 2
    assert f.evidence.snapped is False


@pytest.mark.parametrize("prefix", [
    "가" * 40, "é" * 9 + " ", "😀" * 5 + "가나 ", "a가é😀" * 7 + " ", "\u3000" * 3 + "가",
])
def test_character_offsets_after_mixed_scripts(prefix):
    text = prefix + CARD + "😀"
    f = one(kx.detect(text))
    assert (f.source.char_start, f.source.char_end) == (len(prefix), len(prefix) + len(CARD))
    assert f.text(text) == CARD


# ---- classes -------------------------------------------------------------------------------

def test_reprs():
    r = kx.detect("여권번호M12345678 및 " + BAD_CARD)
    assert repr(r) == "Report(findings=1, rejections=1)"
    f = r.findings[0]
    assert repr(f) == 'Finding(entity="passport", certainty="probable", score=0.85, byte=12..21)'
    assert repr(f.evidence) == 'Evidence(rule="passport.shape", checksum="not_applicable", context_hits=2)'
    assert repr(f.evidence.context_hits[1]) == 'ContextHit(cue="여권", distance=2, weight=0.640)'
    assert repr(r.rejections[0]) == 'Rejection(entity="credit_card", reason="checksum_failed", score=0.15)'


def test_len_is_the_number_of_findings():
    r = kx.detect("a@b.co " + BAD_CARD + " c@d.kr")
    assert len(r) == 2 and len(r.rejections) == 1
    assert len(kx.detect("")) == 0


def test_empty_text():
    r = kx.detect("")
    assert (r.findings, r.rejections, r.normalized_text) == ([], [], "")
    assert r.to_json() == '{"findings":[],"rejections":[],"normalized_text":""}'


def test_getters_return_fresh_objects():
    r = kx.detect("a@b.co")
    assert r.findings is not r.findings
    f = r.findings[0]
    assert f.source is not f.source and f.source == f.source
    assert f.evidence.normalizations is not f.evidence.normalizations
    assert isinstance(f.evidence.cost, kx.NormalizationCost)


@pytest.mark.parametrize("source_text, message", [
    ("", "span 0..6 is out of range for text of 0 bytes"),
    ("ab가가", "span 0..6, does not fall on UTF-8 character boundaries"),
])
def test_finding_text_checks_the_source(source_text, message):
    f = kx.detect("a@b.co").findings[0]
    with pytest.raises(ValueError) as e:
        f.text(source_text)
    assert str(e.value) == message
    with pytest.raises(TypeError):
        f.text(b"a@b.co")


def test_docstrings():
    assert kx.Report.__doc__ == "탐지 결과 전체."
    assert kx.Finding.__doc__ == "탐지 결과 한 건."
    assert kx.Evidence.__doc__ == "왜 이 후보가 걸렸는가."
    assert kx.ContextHit.__doc__ == "문맥 단서 하나가 걸린 기록."
    assert kx.Rejection.__doc__ == '형식은 맞았는데 판정에서 떨어진 후보. "왜 안 걸렸는가"를 설명한다.'
    assert kx.Finding.entity.__doc__ == '엔티티 이름. `"resident"`, `"phone"` 처럼 소문자 스네이크 케이스다.'
    assert kx.Finding.text.__doc__ == "원문에서 이 결과가 가리키는 조각을 잘라 낸다."
    assert kx.Rejection.entity.__doc__ is None
    assert kx.Report.to_json.__text_signature__ == "($self)"
    assert kx.detect.__doc__ == "텍스트에서 개인정보를 탐지한다."


def test_detect_arguments():
    assert kx.detect("a@b.co", None).to_json() == kx.detect("a@b.co").to_json()
    assert kx.detect(text="a@b.co", config=kx.Config()).findings[0].entity == "email"
    with pytest.raises(TypeError) as e:
        kx.detect(123)
    assert "while processing 'text'" in e.value.__notes__
    with pytest.raises(TypeError) as e:
        kx.detect("x", config=kx.Span(0, 0, 0, 0))
    assert "while processing 'config'" in e.value.__notes__
    with pytest.raises(TypeError):
        kx.detect()


def test_config_is_copied_and_thresholds_apply():
    cfg = kx.Config()
    cfg.min_score = 1.1
    assert kx.detect(CARD, cfg).findings == []
    assert kx.detect(CARD, cfg).rejections[0].reason == "below_threshold"
    cfg.min_score = 0.5
    assert len(kx.detect(CARD, cfg)) == 1


def test_cost_weights_lower_the_score():
    cfg = kx.Config()
    cfg.set_weights(absorbed_separator=0.5)
    r = kx.detect("010-1234-5678", cfg)
    assert r.findings == []
    assert [(x.entity, x.reason, x.score) for x in r.rejections if x.entity == "phone"] == [
        ("phone", "below_threshold", 0.0)]


# ---- JSON ----------------------------------------------------------------------------------

def test_email_json():
    f = kx.detect("a@b.co").findings[0]
    assert f.evidence.to_json() == (
        '{"rule":"email.structural","checksum":{"not_applicable":"이메일에는 검증식이 없다"},'
        '"context_hits":[],"normalizations":[],"cost":{"absorbed_whitespace":0,'
        '"absorbed_separators":0,"expanded_syllables":0,"replaced_chars":0},"snapped":false}')
    assert f.to_json() == (
        '{"entity":"email","source":{"byte":{"start":0,"end":6},"char":{"start":0,"end":6}},'
        '"normalized":{"byte":{"start":0,"end":6},"char":{"start":0,"end":6}},'
        '"certainty":"probable","score":0.9,"evidence":' + f.evidence.to_json() + '}')


def test_card_and_rejection_json():
    f = kx.detect(CARD).findings[0]
    doc = json.loads(f.to_json())
    assert doc["evidence"]["checksum"] == "passed"
    assert doc["score"] == 1 and '"score":1,' in f.to_json()
    rej = kx.detect(BAD_CARD).rejections[0]
    assert rej.to_json() == (
        '{"entity":"credit_card","source":{"byte":{"start":0,"end":16},"char":{"start":0,"end":16}},'
        '"reason":"checksum_failed","score":0.15}')


def test_context_hit_json():
    f = kx.detect("여권번호M12345678").findings[0]
    ev = json.loads(f.evidence.to_json())
    assert ev["context_hits"] == [{"cue": "여권번호", "distance": 0, "weight": 1},
                                  {"cue": "여권", "distance": 2, "weight": 0.64}]
    assert list(ev) == ["rule", "checksum", "context_hits", "normalizations", "cost", "snapped"]


def test_report_json_key_order_and_round_trip():
    text = "연락처 010-1234-5678, a@b.co, " + BAD_CARD + ' "따옴표"\n'
    r = kx.detect(text)
    doc = json.loads(r.to_json())
    assert list(doc) == ["findings", "rejections", "normalized_text"]
    assert doc["normalized_text"] == r.normalized_text
    assert [list(f) for f in doc["findings"]] == [
        ["entity", "source", "normalized", "certainty", "score", "evidence"]] * 2
    assert list(doc["rejections"][0]) == ["entity", "source", "reason", "score"]
    # compact: exactly what a compact serializer writes for the same document
    assert json.dumps(doc, ensure_ascii=False, separators=(",", ":")) == r.to_json()


# ---- properties ----------------------------------------------------------------------------

PIECES = st.sampled_from([
    "0", "1", "9", "5", "*", "X", "-", " ", ".", "@", "a", "M", "AB", "가", "일", "이", "공", "팔",
    "주민번호", "여권번호", "계좌", "주문번호", "연락처", "카드", "생년월일", "ARS", "\u3000", "１", "－",
    "O", "l", "\n", "(", ")", "·", "😀", "co", "kr", RRN, CARD, "01012345678", "b.co",
])


@given(st.lists(PIECES, max_size=30).map("".join))
def test_detect_properties(text):
    r = kx.detect(text)
    spans = []
    for f in r.findings:
        s = f.source
        piece = f.text(text)  # raises unless on character boundaries
        assert piece == text[s.char_start:s.char_end]
        assert piece.encode() == text.encode()[s.byte_start:s.byte_end]
        assert f.normalized.slice(r.normalized_text)
        assert 0.0 <= f.score <= 2.0
        spans.append((s.byte_start, s.byte_end))
    assert spans == sorted(spans)
    for a0, a1 in spans:
        for b0, b1 in spans:
            assert not (b0 <= a0 and a1 <= b1 and a1 - a0 < b1 - b0)
    rs = [(x.source.byte_start, x.source.byte_end) for x in r.rejections]
    assert rs == sorted(rs)
    doc = json.loads(r.to_json())
    assert len(doc["findings"]) == len(r) and doc["normalized_text"] == r.normalized_text
    for f, d in zip(r.findings, doc["findings"]):
        assert f32(d["score"]) == f.score and d["entity"] == f.entity
        assert json.loads(f.to_json()) == d


@given(st.text(max_size=30), st.text(max_size=30))
def test_a_card_on_its_own_line_is_found_whatever_surrounds_it(before, after):
    text = before + "\n" + CARD + "\n" + after
    r = kx.detect(text)
    assert [f.certainty for f in r.findings if f.text(text) == CARD] == ["certain"]
    json.loads(r.to_json())


# ---- bad input ------------------------------------------------------------------------------

PASSPORT_LINE = "여권" * 20_000 + "M1234567 "


@pytest.mark.parametrize("text, found", [
    ("1" * 1_000_000, []),                       # longer than any rule
    ("@" * 10_000, []),
    ("a@" * 10_000 + "b.co", [("email", 19_998)]),  # only the last at sign has a domain
    ("a" * 100_000 + "@" + "b" * 100_000, []),   # a domain needs a dot
    ("주민등록번호" * 50_000 + RRN, [("resident", 300_000)]),
    (PASSPORT_LINE * 3, [("passport", k * len(PASSPORT_LINE) + 40_000) for k in range(3)]),
    ("가" * 1_000_000, []),
    # The spaces are absorbed into one long run, read in pieces: each group of nineteen zeros
    # passes the Luhn test, as it does standing alone.
    (("0" * 19 + " ") * 20_000, [("credit_card", 20 * k) for k in range(20_000)]),
    ("M" * 100_000 + "1" * 100_000, []),
    (".@" * 20_000, []),
], ids=lambda v: None if isinstance(v, list) else f"{v[:6]!r}x{len(v)}")
def test_bad_input(text, found):
    r = kx.detect(text)
    assert [(f.entity, f.source.char_start) for f in r.findings] == found
    assert len(json.loads(r.to_json())["findings"]) == len(found)


# ---- numbers side by side: a joined run that gives nothing whole is read in pieces ------------

RESIDENT = "880101-1234568"
MOBILE = "010-2345-6789"


@pytest.mark.parametrize("text, expected", [
    (f"홍길동,{RESIDENT},{MOBILE},서울", [("resident", RESIDENT), ("phone", MOBILE)]),
    (f"홍길동\t{RESIDENT}\t{MOBILE}", [("resident", RESIDENT), ("phone", MOBILE)]),
    (f"홍길동 | {RESIDENT} | {MOBILE}", [("resident", RESIDENT), ("phone", MOBILE)]),
    (f"연락처 {MOBILE}, 02-123-4567", [("phone", MOBILE), ("phone", "02-123-4567")]),
    (f"1. {RESIDENT}", [("resident", RESIDENT)]),
    (f"* {MOBILE}", [("phone", MOBILE)]),
    (f"2024.03.12 {MOBILE}", [("phone", MOBILE)]),
    (f"주민번호 {RESIDENT} 1988년생", [("resident", RESIDENT)]),
    ("카드 5409-2612-3456-7893 12/27", [("credit_card", "5409-2612-3456-7893")]),
    (f"전화 {MOBILE} 팔팔공일공일", [("phone", MOBILE)]),
    # Numbers are written with one kind of separator: the pieces whose joints are all of one
    # kind are chosen first, so a card reading across the date's dots, the space and the
    # hyphen cannot swallow the foreigner number ...
    ("2024.08.18 550805-5273430", [("foreigner_registration", "550805-5273430")]),
    # ... and what they leave uncovered is read again from all pieces.
    (f"010 2345-6789, 02-123-4567", [("phone", "010 2345-6789"), ("phone", "02-123-4567")]),
    # A phone beside a date, joined by another kind of separator, is not a card across both,
    # nor does it take in a digit or a dotted number beyond its own separators.
    ("02-151-3771. 1988.08.07", [("phone", "02-151-3771")]),
    ("010-0514-1457,1951.07.08", [("phone", "010-0514-1457")]),
    ("67.02-881-6174 4", [("phone", "02-881-6174")]),
    ("1974.08.01.02-944-8039", [("phone", "02-944-8039")]),
    # A passport number with the next value joined on, and masks at a run's edges that stand
    # for no digit (a bullet, a footnote mark).
    (f"여권번호 M1234567\t{MOBILE}", [("passport", "M1234567"), ("phone", MOBILE)]),
    (f"여권번호:TM1234567,{MOBILE}", [("passport", "TM1234567"), ("phone", MOBILE)]),
    (f"*{MOBILE}", [("phone", MOBILE)]),
    (f"*-*{MOBILE}", [("phone", MOBILE)]),                      # a separator among edge masks
    (f"여권번호 M12345**\t{MOBILE}", [("phone", MOBILE)]),       # masks are no passport digits
    (f"생년월일 880101, {MOBILE}", [("birth_date", "880101"), ("phone", MOBILE)]),  # six digits
    (f"연락처 {MOBILE}**", [("phone", MOBILE)]),
    # A log line's date and hour before a phone; runs longer than any rule, masked ones, and
    # runs of two or more kinds of joint in turn.
    (f"2026-03-05 12 {MOBILE}", [("phone", MOBILE)]),
    (f"연락처 {MOBILE}, 02-123-45**", [("phone", MOBILE), ("phone", "02-123-45**")]),
    ("연락처 010-2345-67**, 02-123-4567 / 031-123-4567",
     [("phone", "010-2345-67**"), ("phone", "02-123-4567"), ("phone", "031-123-4567")]),
    ("연락처 02 123 4567-010.2345.6789", [("phone", "02 123 4567"), ("phone", "010.2345.6789")]),
    ("연락처 1588-1234, 010-2345-6789 ~ 02-123-4567 / 051-123-4567",
     [("phone", "1588-1234"), ("phone", "010-2345-6789"), ("phone", "02-123-4567"),
      ("phone", "051-123-4567")]),
    ("1,2/3~4·5 6.7-8 010-2345-6789 02.123.4567",
     [("phone", "010-2345-6789"), ("phone", "02.123.4567")]),
    # Pieces of masks with fewer than two digits are no runs, and no account.
    (f"계좌번호 ***-**-******, {MOBILE}", [("phone", MOBILE)]),
    (f"계좌번호 1**-**-******, {MOBILE}", [("phone", MOBILE)]),
    # ... and with two they are.
    (f"주민번호 12****-*******, {MOBILE}", [("resident", "12****-*******"), ("phone", MOBILE)]),
    (f"계좌번호 ***-**-*****12, {MOBILE}", [("bank_account", "***-**-*****12"), ("phone", MOBILE)]),
])
def test_numbers_side_by_side_are_each_found(text, expected):
    assert [(f.entity, f.text(text)) for f in kx.detect(text).findings] == expected


def test_a_piece_is_read_as_a_run_with_its_span_would_be():
    # The second phone: its own cost (two hyphens, not the comma and space before it), its
    # own cue distance (in the normalized text) and its own source span.
    text = f"연락처 {MOBILE}, 02-123-4567"
    first, second = kx.detect(text).findings
    ev = second.evidence
    assert (ev.rule, ev.normalizations) == ("phone.seoul", ["separator.hyphen"])
    assert (ev.cost.absorbed_separators, ev.cost.absorbed_whitespace) == (2, 0)
    assert [(h.cue, h.distance) for h in ev.context_hits] == [("연락처", 12)]
    assert second.score == score(0.6, c=weight(1.0, 12), cost=(0, 2, 0, 0))
    assert (second.source.char_start, second.source.char_end) == (19, 30)
    assert [(h.cue, h.distance) for h in first.evidence.context_hits] == [("연락처", 1)]


@pytest.mark.parametrize("text, refused", [
    ("생년월일 1950. 1. 13.-1958.01.28,3209", ["1958.01.28"]),
    ("생년월일 1988.09.02 010-7670-2369,1980.09.24/", ["1980.09.24"]),
    ("생년월일 1943. 5. 23.,1986.01.15,1987. 6. 9./", ["1986.01.15", "1987. 6. 9."]),
])
def test_a_refused_date_inside_a_joined_run_is_listed_once(text, refused):
    # The part of the run after the accepted date is read again as a run of its own and meets
    # the refused dates again.
    r = kx.detect(text)
    keys = [(x.entity, x.reason, x.source.byte_start, x.source.byte_end) for x in r.rejections]
    assert len(keys) == len(set(keys))
    assert [text[x.source.char_start:x.source.char_end] for x in r.rejections
            if x.entity == "birth_date"] == refused


def test_a_run_accepted_whole_is_never_split():
    # Twelve digits after 계좌번호 read as one account, although its pieces hold a phone number.
    text = "계좌번호 010-2345-678901"
    f, = kx.detect(text).findings
    assert (f.entity, f.text(text)) == ("bank_account", "010-2345-678901")


def test_piece_readings_add_no_rejections():
    texts = [f"연락처 {MOBILE}, 02-123-4567", "2024.08.18 550805-5273430"]
    for text, off in zip(texts, whole_runs_only(texts)):
        assert json.loads(kx.detect(text).to_json())["rejections"] == off["rejections"]


# Joined runs of at most ten digits that give nothing whole: those whose pieces could only be
# birth dates without a birth cue are passed over; every other reading their pieces may give is
# still read.
@pytest.mark.parametrize("text, settings, expected", [
    ("생년월일 2001-05-12 13", {}, [("birth_date", "2001-05-12")]),           # a birth cue
    ("1985. 11. 21.생일", {"context_window": 2}, [("birth_date", "1985. 11. 21.")]),  # past the dot
    ("2001-05-12 1", {"min_context": 0.0, "min_score": 0.05}, [("birth_date", "2001-05-12")]),
    ("1588-1234-12", {}, [("phone", "1588-1234")]),                         # at the run's start
    ("12-1588-1234", {}, [("phone", "1588-1234")]),                         # at a joint
    ("12 1688-1234", {}, [("phone", "1688-1234")]),
    ("12 1888-1234", {}, [("phone", "1888-1234")]),
    ("1-02-123-4567", {}, [("phone", "02-123-4567")]),                      # nine characters
    ("**15881234", {}, [("phone", "15881234")]),                            # after masks
    ("여권번호 M12345678, 12", {}, [("passport", "M12345678")]),             # letters before it
    ("2026-03-05 12", {}, []),
])
def test_short_joined_runs_keep_what_their_pieces_read(text, settings, expected):
    c = kx.Config()
    for k, v in settings.items():
        setattr(c, k, v)
    assert [(f.entity, f.text(text)) for f in kx.detect(text, c).findings] == expected


EVERY_PIECE_CHILD = r"""
import json, sys
import kestrix as kx
texts, settings = json.load(sys.stdin)
out = []
for s in settings:
    c = kx.Config()
    for k, v in s.items():
        setattr(c, k, v)
    out.append([kx.detect(t, c).to_json() for t in texts])
print(json.dumps(out))
"""


def joined_runs(n, seed):
    """Dates in three forms, phones, resident numbers, masked and short groups, joined by -, .,
    ",", " " and /, with and without cue words before them."""
    import random
    r = random.Random(seed)
    cues = ["", "", "", "생년월일 ", "DOB ", "출생 ", "생일 ", "연락처 ", "주민번호 ", "계좌번호 ",
            "주문번호 ", "카드 ", "여권 "]
    joins = ["-", ".", ",", " ", "/", ". ", ", "]

    def item():
        y = r.choice([r.randint(1950, 2030), r.randint(2001, 2012), 2026])
        m, d, h = r.randint(1, 12), r.randint(1, 31), r.randint(0, 23)
        k = r.randrange(8)
        if k == 0:
            return f"{y}-{m:02d}-{d:02d} {h:02d}"
        if k == 1:
            return r.choice([f"{y}. {m}. {d}.", f"{y}.{m:02d}.{d:02d}", f"{y}/{m:02d}/{d:02d}"])
        if k == 2:
            return rrn(f"{y % 100:02d}{m:02d}{d % 28 + 1:02d}{r.choice('1234')}{r.randint(0, 99999):05d}")
        if k == 3:
            return (f"{r.choice(['010', '02', '031', '1588', '1644', '1899', '+82 10'])}-"
                    f"{r.randint(100, 9999)}-{r.randint(0, 9999):04d}")
        if k == 4:
            return f"{r.randint(0, 99999999):08d}"[:r.randint(2, 8)] + "*" * r.randint(0, 3)
        if k == 5:
            return f"{r.choice(['15', '16', '18', '02', '20'])}{r.randint(0, 99):02d}"
        if k == 6:
            return f"{r.choice(['M', 'AB'])}{r.randint(1000000, 99999999)}"
        return str(r.randint(0, 999))

    out = []
    for _ in range(n):
        s = item()
        for _ in range(r.randrange(3)):
            s += r.choice(joins) + item()
        out.append(r.choice(cues) + s + r.choice(["", "", ".", ". 생일", " 연락주세요"]))
    return out


def test_runs_passed_over_report_what_reading_every_piece_reports():
    import os
    import subprocess
    import sys
    texts = joined_runs(6000, 5) + ["1985. 11. 21. 생일", "1985. 11. 21.생일"]
    texts.append("\n".join(texts))
    settings = [{}, {"context_window": 2}, {"context_window": 3},
                {"min_context": 0.0, "min_score": 0.05}]
    env = dict(os.environ, KESTRIX_READ_EVERY_PIECE="1",
               PYTHONPATH=os.pathsep.join(filter(None, [os.path.dirname(os.path.dirname(kx.__file__)),
                                                        os.environ.get("PYTHONPATH")])))
    r = subprocess.run([sys.executable, "-c", EVERY_PIECE_CHILD], input=json.dumps([texts, settings]),
                       capture_output=True, text=True, env=env, timeout=600)
    assert r.returncode == 0, r.stderr[-2000:]
    for s, every in zip(settings, json.loads(r.stdout)):
        c = kx.Config()
        for k, v in s.items():
            setattr(c, k, v)
        for text, want in zip(texts, every):
            assert kx.detect(text, c).to_json() == want, (s, text)


@pytest.mark.parametrize("text, expected, national", [
    ("+82 10-2345-6789", "+82 10-2345-6789", "010-2345-6789"),
    ("+82-2-123-4567", "+82-2-123-4567", "02-123-4567"),
    ("+82 (0)10-2345-6789", "+82 (0)10-2345-6789", "010-2345-6789"),
    ("+82.10.2345.6789", "+82.10.2345.6789", "010.2345.6789"),
    ("+821023456789", "+821023456789", "01023456789"),
    ("Tel: +82 31-123-4567 (ext. 2)", "+82 31-123-4567", "031-123-4567"),
    ("+82 10-2345-6789, +82 2-123-4567", "+82 10-2345-6789", "010-2345-6789"),
])
def test_international_phone_form(text, expected, national):
    f = kx.detect(text).findings[0]
    assert (f.entity, f.evidence.rule, f.text(text)) == ("phone", "phone.international", expected)
    # The national form's prior, cues and ceiling; what follows the country code costs what
    # it costs in the national form.
    for cue in ["", "연락처 "]:
        g = kx.detect(cue + national).findings[0]
        h = kx.detect(cue + expected).findings[0]
        assert (h.evidence.rule, h.score, h.certainty) == ("phone.international", g.score, g.certainty)


@pytest.mark.parametrize("text", ["+81 10-2345-6789", "+82 1234", "82 10-2345-6789", "+8210"])
def test_no_international_reading_without_the_country_code_after_a_plus(text):
    assert all(f.evidence.rule != "phone.international" for f in kx.detect(text).findings)


@pytest.mark.parametrize("ch", [
    "\u200b", "\u200c", "\u200d", "\u2060", "\ufeff",
    # Direction marks, embeddings and isolates (text copied from the web), invisible operators,
    # variation selectors, the Mongolian vowel separator and the Hangul fillers.
    "\u200e", "\u200f", "\u202a", "\u202e", "\u2061", "\u2064", "\u2066", "\u2069", "\ufe00",
    "\ufe0f", "\u180e", "\u115f", "\u1160", "\u3164", "\uffa0", "\u206a", "\u206f", "\u17b4",
    "\u17b5"])
def test_invisible_characters_between_digits_are_separators(ch):
    text = f"주민번호 880101{ch}-1234568"
    f, = kx.detect(text).findings
    assert (f.entity, f.text(text)) == ("resident", f"880101{ch}-1234568")
    assert f.evidence.normalizations == ["separator.hyphen", "separator.invisible"]
    assert f.evidence.cost.absorbed_separators == 2
    phone = f"010{ch}2345{ch}6789"
    assert [g.text(phone) for g in kx.detect(phone).findings] == [phone]
    # Anywhere else they stay as written: folding leaves them alone.
    for other in [f"가{ch}나", f"1{ch}", f"{ch}1", f"a{ch}1"]:
        assert kx.normalize(other).text == other
    # Inside an e-mail address they join it; after one they end it.
    for text, want in [(f"메일 ho{ch}ng@exa{ch}mple.com", f"ho{ch}ng@exa{ch}mple.com"),
                       (f"hong@example.com{ch}010-2345-6789", "hong@example.com")]:
        assert [g.text(text) for g in kx.detect(text).findings if g.entity == "email"] == [want]


WHOLE_RUNS_CHILD = r"""
import json, sys
import kestrix as kx
print(json.dumps([kx.detect(t).to_json() for t in json.load(sys.stdin)]))
"""


def whole_runs_only(texts):
    """The reports as whole runs alone give them (the reading of pieces switched off)."""
    import os
    import subprocess
    import sys
    env = dict(os.environ, KESTRIX_WHOLE_RUNS_ONLY="1",
               PYTHONPATH=os.pathsep.join(filter(None, [os.path.dirname(os.path.dirname(kx.__file__)),
                                                        os.environ.get("PYTHONPATH")])))
    r = subprocess.run([sys.executable, "-c", WHOLE_RUNS_CHILD], input=json.dumps(texts),
                       capture_output=True, text=True, env=env, timeout=600)
    assert r.returncode == 0, r.stderr[-2000:]
    return [json.loads(j) for j in json.loads(r.stdout)]


CUE_INDEX_CHILD = r"""
import json, sys
import kestrix as kx
texts, windows = json.load(sys.stdin)
reports = []
for t in texts:
    for w in windows:
        c = kx.Config()
        c.context_window = w
        reports.append(kx.detect(t, c).to_json())
print(json.dumps(reports))
"""


def spaced_records(window):
    """A long text of numbers far apart, each with cue words at every distance around the edge
    of its windows, written in characters of one, two, three and four bytes."""
    numbers = ["+82 10-2345-6789", "010-2345-6789", "880101-1234568", "1988. 1. 1.", "1988/01/01",
               "110-123-456789", "M123A4567", "1988년 1월 1일", "4572960112345671"]
    cues = ["연락처", "생년", "생년월일", "DOB", "passport", "계좌번호", "주문번호", "카드번호", "여권"]
    pads = ["x", "가", "😀", "\u00e9"]
    fillers = ["영화가 재미있었다 " * 8, "plain words here " * 12, "🎬" * 40, "정말 " * 200]
    out = []
    k = 0
    for number in numbers:
        for cue in cues:
            for pad in pads:
                for d in (window - 2, window - 1, window, window + 1, window + 2, window + 9):
                    if d < 0:
                        continue
                    k += 1
                    out.append(fillers[k % len(fillers)] * (1 + k % 3))
                    out.append(f"{cue}{pad * d}{number}" if k % 2 else f"{number}{pad * d}{cue}")
    return " ".join(out)


@pytest.mark.parametrize("window", [0, 1, 5, 24])
def test_a_long_text_indexed_around_its_candidates_reads_what_the_whole_index_reads(window):
    import os
    import subprocess
    import sys
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
    from corpus import generate
    reviews = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "corpus", "reviews.txt")
    # Numbers whose windows reach the ends of the text, too.
    ends = "연락처 010-2345-6789 " + "영화가 재미있었다 " * 2000 + " 계좌번호 110-123-456789 😀생년"
    texts = [spaced_records(window), generate("prose", 200_000), ends, "DOB 1988/01/01" + ends]
    if os.path.exists(reviews):
        with open(reviews, encoding="utf-8") as f:
            texts.append(f.read(150_000))
    env = dict(os.environ, KESTRIX_WHOLE_CUE_INDEX="1",
               PYTHONPATH=os.pathsep.join(filter(None, [os.path.dirname(os.path.dirname(kx.__file__)),
                                                        os.environ.get("PYTHONPATH")])))
    r = subprocess.run([sys.executable, "-c", CUE_INDEX_CHILD], input=json.dumps([texts, [window]]),
                       capture_output=True, text=True, env=env, timeout=600)
    assert r.returncode == 0, r.stderr[-2000:]
    config = kx.Config()
    config.context_window = window
    for text, whole in zip(texts, json.loads(r.stdout)):
        assert len(text.encode()) > 1 << 14
        assert kx.detect(text, config).to_json() == whole


def test_pieces_only_ever_add_findings():
    import os
    import sys
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
    from corpus import generate
    texts = [line for profile in ("mixed", "dense", "prose")
             for line in generate(profile, 300_000).splitlines()]
    texts += [f"연락처 {MOBILE}, 02-123-4567", "2024.08.18 550805-5273430", "+82 10-2345-6789"]
    same = added = 0
    for text, off in zip(texts, whole_runs_only(texts)):
        on = json.loads(kx.detect(text).to_json())
        if on == off:
            same += 1
            continue
        added += 1
        # Only findings are added; a finding of the whole runs can only have been taken in
        # by a longer one, as the nesting rule does.
        assert on["normalized_text"] == off["normalized_text"]
        rejected = [r for r in on["rejections"] if r not in off["rejections"]]
        assert all(r["reason"] == "outranked" for r in rejected)
        for f in off["findings"]:
            assert f in on["findings"] or any(
                r["source"] == f["source"] and r["reason"] == "outranked" for r in rejected)
        assert len(on["findings"]) > len(off["findings"]) - len(rejected)
    # The generated texts hold a few records with numbers side by side; most keep their
    # report byte for byte.
    assert added >= 3 and same > 10 * added
