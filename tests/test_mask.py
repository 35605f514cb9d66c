"""Policies, policy sets, the mask pass, restore maps and unmask."""

import hashlib
import hmac
import inspect
import json
import os
import struct
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import example, given, settings, strategies as st

import kestrix as kx
from conftest import business, luhn, rrn

P = kx.Policy
EMAIL = "hong.gildong@example.com"
PHONE = "010-1234-5678"
RRN = rrn("900101123456")
ENTITIES = ["resident", "foreigner_registration", "business_registration", "credit_card",
            "bank_account", "phone", "email", "driver_license", "birth_date", "passport"]
LABELS = dict(zip(ENTITIES, ["주민등록번호", "외국인등록번호", "사업자등록번호", "카드번호", "계좌번호",
                             "전화번호", "이메일", "운전면허번호", "생년월일", "여권번호"]))


def _detection_available():
    try:
        kx.detect("")
    except NotImplementedError:
        return False
    return True


needs_detection = pytest.mark.skipif(not _detection_available(), reason="detection is not built")


def notes(exc_info):
    return getattr(exc_info.value, "__notes__", [])


def table(*originals, prefix="PII"):
    """A restore map read from JSON, entries numbered from 0."""
    entries = [[f"[[{prefix}:{i}]]", o, "phone"] for i, o in enumerate(originals)]
    return kx.RestoreMap.from_json(json.dumps([prefix, entries]))


def expected_masking(text, out, render):
    """text with every applied finding's characters replaced by render(finding, piece)."""
    pieces, cursor = [], 0
    for f in out.applied:
        s = f.source
        pieces += [text[cursor:s.char_start], render(f, text[s.char_start:s.char_end])]
        cursor = s.char_end
    return "".join(pieces) + text[cursor:]


def masked_piece(text, policy):
    """Masks text whose only finding is expected to be one piece; returns (piece, rendering)."""
    out = kx.mask(text, kx.PolicySet(policy))
    assert len(out.applied) == 1, out.applied
    f = out.applied[0]
    piece = f.text(text)
    before, after = text[:f.source.char_start], text[f.source.char_end:]
    assert out.text.startswith(before) and out.text.endswith(after)
    return piece, out.text[len(before):len(out.text) - len(after)], f.entity


# ---- Policy surface -------------------------------------------------------------------------

@pytest.mark.parametrize(
    "name, signature",
    [
        ("redact_label", "()"),
        ("redact_code", "()"),
        ("redact_fill", "(fill)"),
        ("redact_fixed", "(text)"),
        ("partial", "(keep_prefix, keep_suffix, fill='*')"),
        ("hash", "(key, length=12)"),
        ("tokenize", "()"),
    ],
)
def test_policy_constructor_signatures(name, signature):
    assert str(inspect.signature(getattr(P, name))) == signature


@pytest.mark.parametrize(
    "policy, text",
    [
        (P.redact_label(), "Policy.redact_label()"),
        (P.redact_code(), "Policy.redact_code()"),
        (P.redact_fill("●"), "Policy.redact_fill()"),
        (P.redact_fixed("SECRET-FIXED"), "Policy.redact_fixed()"),
        (P.partial(1, 2), "Policy.partial()"),
        (P.hash(b"SECRET-KEY", 7), "Policy.hash()"),
        (P.tokenize(), "Policy.tokenize()"),
    ],
)
def test_policy_repr_shows_only_the_kind(policy, text):
    assert repr(policy) == text


@pytest.mark.parametrize(
    "make, exc, message, param",
    [
        (lambda: P.redact_fill("ab"), ValueError, "expected a string of length 1", "fill"),
        (lambda: P.redact_fill(""), ValueError, "expected a string of length 1", "fill"),
        (lambda: P.redact_fill(42), TypeError, None, "fill"),
        (lambda: P.partial(1, 1, "**"), ValueError, "expected a string of length 1", "fill"),
        (lambda: P.partial(-1, 0), OverflowError, None, "keep_prefix"),
        (lambda: P.partial(0, 2**64), OverflowError, None, "keep_suffix"),
        (lambda: P.partial("3", 4), TypeError, None, "keep_prefix"),
        (lambda: P.partial(1.0, 4), TypeError, None, "keep_prefix"),
        (lambda: P.redact_fill("\ud800"), ValueError, "a lone surrogate is not a character", "fill"),
        (lambda: P.redact_fill("\udfff"), ValueError, "a lone surrogate is not a character", "fill"),
        (lambda: P.hash("key"), TypeError, "'str' object is not an instance of 'bytes'", "key"),
        (lambda: P.hash(None), TypeError, "'None' is not an instance of 'bytes'", "key"),
        (lambda: P.hash(5), TypeError, "'int' object is not an instance of 'bytes'", "key"),
        (lambda: P.hash([1, 300]), TypeError, "byte must be in range(0, 256)", "key"),
        (lambda: P.hash([1, -1]), TypeError, "byte must be in range(0, 256)", "key"),
        (lambda: P.hash(b"k", -1), OverflowError, None, "length"),
        (lambda: P.redact_fixed(b"x"), TypeError, None, "text"),
    ],
)
def test_policy_argument_errors(make, exc, message, param):
    with pytest.raises(exc) as info:
        make()
    if message is not None:
        assert str(info.value) == message
    assert f"while processing '{param}'" in notes(info)


@pytest.mark.parametrize("key", [b"", b"\x00\xff", bytearray(b"abc"), [1, 2, 255], (0,), memoryview(b"m")])
def test_hash_accepts_bytes_like_keys(key):
    assert repr(P.hash(key)) == "Policy.hash()"


@pytest.mark.parametrize("fill", ["\ud7ff", "\ue000", "\U0010ffff"])
def test_characters_around_the_surrogates_fill(fill):
    assert kx.mask("전화 010-1234-5678", kx.PolicySet(P.redact_fill(fill))).text == "전화 " + fill * 13


# ---- PolicySet ------------------------------------------------------------------------------

def test_policy_set_default_and_overrides():
    assert repr(kx.PolicySet()) == "PolicySet(...)"
    assert repr(kx.PolicySet().policy_for("phone")) == "Policy.redact_label()"
    assert repr(kx.PolicySet(None).policy_for("email")) == "Policy.redact_label()"
    ps = kx.PolicySet(P.redact_code())
    a = ps.with_entity("phone", P.tokenize())
    b = a.with_entity("phone", P.partial(1, 1)).with_entity("email", P.hash(b"k"))
    # Every step leaves its receiver as it was.
    assert repr(ps.policy_for("phone")) == "Policy.redact_code()"
    assert repr(a.policy_for("phone")) == "Policy.tokenize()"
    assert repr(a.policy_for("email")) == "Policy.redact_code()"
    assert repr(b.policy_for("phone")) == "Policy.partial()"
    assert repr(b.policy_for("email")) == "Policy.hash()"
    assert repr(b.policy_for("resident")) == "Policy.redact_code()"


def test_policy_set_errors():
    message = ("unknown entity \"Phone\"; expected one of " + ", ".join(ENTITIES))
    for call in (lambda: kx.PolicySet().with_entity("Phone", P.tokenize()),
                 lambda: kx.PolicySet().policy_for("Phone")):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message
    with pytest.raises(TypeError) as info:
        kx.PolicySet().with_entity("phone", "tokenize")
    assert "while processing 'policy'" in notes(info)
    with pytest.raises(TypeError) as info:
        kx.PolicySet(default=P)
    assert "while processing 'default'" in notes(info)
    with pytest.raises(TypeError):
        kx.PolicySet().with_entity(5, P.tokenize())


# ---- mask: arguments and restore presence ---------------------------------------------------

@pytest.mark.parametrize(
    "kwargs, param",
    [
        ({"text": 123}, "text"),
        ({"text": "x", "policies": P.tokenize()}, "policies"),
        ({"text": "x", "config": kx.PolicySet()}, "config"),
    ],
)
def test_mask_argument_types(kwargs, param):
    with pytest.raises(TypeError) as info:
        kx.mask(**kwargs)
    assert f"while processing '{param}'" in notes(info)


@pytest.mark.parametrize(
    "policies, restore_json",
    [
        (None, None),
        (kx.PolicySet(P.hash(b"k")), None),
        (kx.PolicySet(P.tokenize()), '{"prefix":"PII","entries":[]}'),
        (kx.PolicySet().with_entity("passport", P.tokenize()), '{"prefix":"PII","entries":[]}'),
        (kx.PolicySet().with_entity("passport", P.tokenize()).with_entity("passport", P.redact_code()),
         None),
    ],
)
def test_restore_is_none_or_an_empty_map_without_findings(policies, restore_json):
    text = "오늘은 날씨가 맑다."
    out = kx.mask(text, policies)
    assert out.text == text and out.applied == [] and out.skipped == []
    if restore_json is None:
        assert out.restore is None
        assert repr(out) == "MaskOutput(applied=0, skipped=0, restore=false)"
    else:
        assert out.restore.to_json() == restore_json
        assert len(out.restore) == 0 and out.restore.is_empty()
        assert repr(out) == "MaskOutput(applied=0, skipped=0, restore=true)"
    assert repr(kx.mask(text, None, None)) == repr(kx.mask(text))


@pytest.mark.parametrize(
    "text, prefix",
    [
        ("평범한 문장", "PII"),
        ("[[PII0: 만 있다", "PII"),
        ("[[PII 와 PII: 는 따로", "PII"),
        ("이미 [[PII:0]] 이 있다", "PII0"),
        ("[[PII: 그리고 [[PII0:", "PII1"),
        ("[[PII1: [[PII:", "PII0"),
        ("[[PII: [[PII0: [[PII1: [[PII00: [[PII3:", "PII2"),
        ("[[[PII:", "PII0"),
    ],
)
def test_prefix_avoids_token_openings_in_the_source(text, prefix):
    out = kx.mask(text, kx.PolicySet(P.tokenize()))
    assert out.restore.prefix == prefix
    assert repr(out.restore) == f'RestoreMap(prefix="{prefix}", entries=0)'


# ---- unmask ---------------------------------------------------------------------------------

# A long text that is not ASCII is read by its UTF-16 form, a short one by its UTF-8 form: both
# must give the same results and the same errors. (An emoji takes two units of UTF-16.)
LEADS = ["", "가" * 20000 + " ", "가" * 20000 + "😀 "]


@pytest.mark.parametrize(
    "masked, restored",
    [
        ("no tokens here", "no tokens here"),
        ("[[PII:0]]", "A"),
        ("a [[PII:1]] b [[PII:0]]", "a B b A"),
        ("[[PII:+1]]", "B"),
        ("[[PII:01]]", "B"),
        ("[[PII:0000]]", "A"),
        ("[[Q:0]] [PII:0] [[PII0:1]]", "[[Q:0]] [PII:0] [[PII0:1]]"),
        ("[[PII:2]]", "[[PII:0]]"),  # a restored original is not expanded again
        ("", ""),
    ],
)
@pytest.mark.parametrize("lead", LEADS, ids=["short", "long", "long-astral"])
def test_unmask_restores_by_prefix_and_number(masked, restored, lead):
    assert kx.unmask(lead + masked, table("A", "B", "[[PII:0]]")) == lead + restored


@pytest.mark.parametrize(
    "masked, message",
    [
        ("a [[PII:7]] b", "표에 없는 토큰 번호 7"),
        ("a [[PII:3]] b", "표에 없는 토큰 번호 3"),
        ("[[PII:18446744073709551615]]", "표에 없는 토큰 번호 18446744073709551615"),
        ("a [[PII:x]] b", "토큰 번호가 숫자가 아니다: 'x'"),
        ("[[PII:-1]]", "토큰 번호가 숫자가 아니다: '-1'"),
        ("[[PII:+]]", "토큰 번호가 숫자가 아니다: '+'"),
        ("[[PII:++1]]", "토큰 번호가 숫자가 아니다: '++1'"),
        ("[[PII:]]", "토큰 번호가 숫자가 아니다: ''"),
        ("[[PII: 1]]", "토큰 번호가 숫자가 아니다: ' 1'"),
        ("[[PII:18446744073709551616]]", "토큰 번호가 숫자가 아니다: '18446744073709551616'"),
        ("[[PII:１]]", "토큰 번호가 숫자가 아니다: '１'"),
        ("[[PII:a\x00b]]", "토큰 번호가 숫자가 아니다: 'a\x00b'"),
        ("[[PII:0]] then a [[PII:3", "[[PII:...  에 닫는 괄호가 없다"),
        # At the very end of the text, and a closing bracket too many.
        ("a [[PII:x]]", "토큰 번호가 숫자가 아니다: 'x'"),
        ("a [[PII:]]]", "토큰 번호가 숫자가 아니다: ''"),
        ("a [[PII:1]", "[[PII:...  에 닫는 괄호가 없다"),
        ("a [[PII:", "[[PII:...  에 닫는 괄호가 없다"),
    ],
)
@pytest.mark.parametrize("lead", LEADS, ids=["short", "long", "long-astral"])
def test_unmask_failures(masked, message, lead):
    with pytest.raises(kx.SpanMapError) as info:
        kx.unmask(lead + masked, table("A", "B", "C"))
    assert str(info.value) == "restore token error: " + message


@pytest.mark.parametrize("prefix", ["PII7", "가"])
def test_unmask_of_a_long_text_by_any_prefix(prefix):
    lead = "가" * 20000
    assert kx.unmask(lead + f"[[{prefix}:1]]", table("A", "B", prefix=prefix)) == lead + "B"


def test_unmask_of_a_long_text_without_tokens_gives_the_text_itself():
    text = "가나다 " * 10000
    assert kx.unmask(text, table("A")) is text


def test_unmask_unclosed_token_names_the_table_prefix():
    with pytest.raises(kx.SpanMapError) as info:
        kx.unmask("x [[PII7:0", table("A", prefix="PII7"))
    assert str(info.value) == "restore token error: [[PII7:...  에 닫는 괄호가 없다"


def test_unmask_argument_types():
    with pytest.raises(TypeError) as info:
        kx.unmask("x", None)
    assert str(info.value) == "'None' is not an instance of 'RestoreMap'"
    assert "while processing 'restore'" in notes(info)
    with pytest.raises(TypeError) as info:
        kx.unmask(b"x", table())
    assert "while processing 'masked'" in notes(info)


# ---- restore map JSON -----------------------------------------------------------------------

def test_restore_map_json_round_trip_and_views():
    original = 'q"uote\\ 홍길동\n\t\x01 😀'
    m = table(original, "둘", prefix='P"1')
    text = m.to_json()
    assert text == ('{"prefix":"P\\"1","entries":[{"token":"[[P\\"1:0]]","original":'
                    + json.dumps(original, ensure_ascii=False, separators=(",", ":"))
                    + ',"entity":"phone"},{"token":"[[P\\"1:1]]","original":"둘","entity":"phone"}]}')
    assert json.loads(text)["entries"][0]["original"] == original
    again = kx.RestoreMap.from_json(text)
    assert again.to_json() == text
    assert len(again) == 2 and not again.is_empty()
    e = again.entries[0]
    assert (e.token, e.original, e.entity, e.entity_label) == ('[[P"1:0]]', original, "phone", "전화번호")
    assert repr(e) == 'RestoreEntry(token="[[P\\"1:0]]", entity="phone")'
    assert repr(again) == 'RestoreMap(prefix="P\\"1", entries=2)'
    assert again.entries is not again.entries


@pytest.mark.parametrize(
    "text",
    [
        '{"entries":[{"entity":"email","original":"o","token":"t"}],"prefix":"X"}',
        '{"prefix":"X","entries":[["t","o","email"]]}',
        '["X",[{"original":"o","token":"t","entity":"email","extra":[[{"a":1}]]}]]',
        '{"note":{"prefix":5},"prefix":"X","junk":[1,2,{"entries":0}],"entries":[["t","o","email"]]}',
        ' \n\t{ "prefix" : "X" , "entries" : [ [ "t" , "o" , "email" ] ] } \n',
    ],
)
def test_from_json_accepts_objects_in_any_order_and_arrays(text):
    m = kx.RestoreMap.from_json(text)
    assert m.to_json() == '{"prefix":"X","entries":[{"token":"t","original":"o","entity":"email"}]}'


def test_from_json_takes_every_entity_name():
    m = kx.RestoreMap.from_json(json.dumps(["P", [[str(i), "o", n] for i, n in enumerate(ENTITIES)]]))
    assert [e.entity for e in m.entries] == ENTITIES


UNKNOWN = "unknown variant `Phone`, expected one of " + ", ".join(f"`{n}`" for n in ENTITIES)


@pytest.mark.parametrize(
    "text, message",
    [
        ("{}", "missing field `prefix` at line 1 column 2"),
        ('{"prefix":"P"}', "missing field `entries` at line 1 column 14"),
        ('{"entries":[]}', "missing field `prefix` at line 1 column 14"),
        ('{"prefix":"P","entries":[{"token":"t","original":"o"}]}',
         "missing field `entity` at line 1 column 53"),
        ('{"prefix":"P","entries":[],"entries":[]}', "duplicate field `entries` at line 1 column 36"),
        ('{"prefix":"P","prefix":"Q","entries":[]}', "duplicate field `prefix` at line 1 column 22"),
        ('["P",[["t","o","phone","x"]]]',
         "invalid length 4, expected struct RestoreEntry with 3 elements at line 1 column 27"),
        ('["P",[["t","o"]]]',
         "invalid length 2, expected struct RestoreEntry with 3 elements at line 1 column 15"),
        ('["P"]', "invalid length 1, expected struct RestoreMap with 2 elements at line 1 column 5"),
        ('["P",[],[]]', "invalid length 3, expected struct RestoreMap with 2 elements at line 1 column 11"),
        ("[]", "invalid length 0, expected struct RestoreMap with 2 elements at line 1 column 2"),
        ('["P",[["t","o","Phone"]]]', UNKNOWN + " at line 1 column 22"),
        ('{"prefix":"P","entries":[{"token":"t","original":"o","entity":"PHONE"}]}',
         UNKNOWN.replace("Phone", "PHONE") + " at line 1 column 69"),
        ('{"prefix":5,"entries":[]}', "invalid type: integer `5`, expected a string at line 1 column 11"),
        ('{"prefix":"P","entries":{}}', "invalid type: map, expected a sequence at line 1 column 25"),
        ('"just a string"',
         'invalid type: string "just a string", expected struct RestoreMap at line 1 column 15'),
        ("", "EOF while parsing a value at line 1 column 0"),
        ("[", "EOF while parsing a value at line 1 column 1"),
        ('{"prefix":"P"', "EOF while parsing an object at line 1 column 13"),
        ('{"prefix":"P","entries":[]', "EOF while parsing an object at line 1 column 26"),
        ('{"prefix":"P","entries":[{"token":"t","original":"o","entity":"phone"}',
         "EOF while parsing a list at line 1 column 70"),
        ('{"prefix":"P","entries":[]}}', "trailing characters at line 1 column 28"),
        ('{"prefix":"P",}', "key must be a string at line 1 column 15"),
        ('{"prefix":"P"\n,\n"entries":[],,}', "key must be a string at line 3 column 14"),
        ("{'prefix':'P'}", "key must be a string at line 1 column 2"),
        ('{"prefix" "P"}', "expected `:` at line 1 column 11"),
        ('{"prefix":"P" "entries":[]}', "expected `,` or `}` at line 1 column 15"),
        ('{"prefix":"P","entries":[["t","o","phone"] ["t"]]}', "expected `,` or `]` at line 1 column 44"),
        ('{"prefix":\n  1}', "invalid type: integer `1`, expected a string at line 2 column 3"),
        ('{"prefix":"P","entries":[]}\x00', "NUL character (\\u0000) found at line 1 column 28"),
        ('{"prefix":"a\x01","entries":[]}',
         "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 13"),
    ],
)
def test_from_json_errors(text, message):
    with pytest.raises(ValueError) as info:
        kx.RestoreMap.from_json(text)
    assert str(info.value) == "restore map JSON 을 읽지 못했다: " + message


def test_from_json_empty_object_message_in_full():
    with pytest.raises(ValueError) as info:
        kx.RestoreMap.from_json("{}")
    assert str(info.value) == "restore map JSON 을 읽지 못했다: missing field `prefix` at line 1 column 2"


@pytest.mark.parametrize(
    "text",
    [
        '{"prefix":"\\udc00","entries":[]}',
        '{"prefix":"P","entries":[["t","\\ud800","phone"]]}',
        '{"prefix":"P","entries":[["t","\\ud800\\u0041","phone"]]}',
        '["\\udfff\\ud800",[]]',
        '["P",[["\\udc00x","o","phone"]]]',
    ],
)
def test_from_json_refuses_strings_that_are_not_unicode(text):
    with pytest.raises(ValueError, match="^restore map JSON 을 읽지 못했다: "):
        kx.RestoreMap.from_json(text)


@given(st.lists(st.sampled_from(["가나다라마바사아자차", "abcdefghijklm", "\\ud800", "\\udfff", "\\ud83d", "\\ude00",
                                  "\\ud83d\\ude00", "\\u00e9", "\\uac00", "é"]), max_size=16).map("".join))
def test_from_json_refuses_exactly_the_strings_that_are_not_unicode(body):
    # Escapes decode to surrogate bytes whose place among long runs of text falls anywhere in a
    # block of the UTF-8 check.
    text = '["P",[["t","' + body + '","email"]]]'
    original = json.loads(text)[1][0][1]
    try:
        original.encode("utf-8")
    except UnicodeEncodeError:
        with pytest.raises(ValueError, match="^restore map JSON 을 읽지 못했다: "):
            kx.RestoreMap.from_json(text)
    else:
        assert kx.RestoreMap.from_json(text).entries[0].original == original


def test_from_json_surrogate_pair_escape_is_one_character():
    m = kx.RestoreMap.from_json('["P",[["t","\\ud83d\\ude00\\u0000\\/","email"]]]')
    assert m.entries[0].original == "😀\x00/"


@pytest.mark.parametrize(
    "text",
    [
        "[" * 10**6,
        "[" * 10**6 + "]" * 10**6,
        '{"prefix":"P","x":' + "[" * 10**6,
        "{" * 10**6,
    ],
)
def test_from_json_deep_nesting_fails_cleanly(text):
    with pytest.raises(ValueError, match="^restore map JSON 을 읽지 못했다: "):
        kx.RestoreMap.from_json(text)


def test_from_json_skips_deeply_nested_unknown_values():
    deep = "[" * 10**6 + "]" * 10**6
    m = kx.RestoreMap.from_json('{"x":' + deep + ',"prefix":"P","entries":[{"y":' + deep
                                + ',"token":"t","original":"o","entity":"email"}]}')
    assert (m.prefix, len(m)) == ("P", 1)
    with pytest.raises(ValueError, match="invalid length 3, expected"):
        kx.RestoreMap.from_json('["P",[["t","o","email"]],' + deep + "]")


def test_from_json_argument_type():
    with pytest.raises(TypeError) as info:
        kx.RestoreMap.from_json(b"{}")
    assert "while processing 'text'" in notes(info)


# ---- the mask pass with detection -----------------------------------------------------------

@needs_detection
def test_default_policies_replace_with_labels():
    text = f"전화번호 {PHONE} 이메일 {EMAIL} 입니다"
    out = kx.mask(text)
    assert [f.entity for f in out.applied] == ["phone", "email"]
    assert out.text == "전화번호 [전화번호] 이메일 [이메일] 입니다"
    assert kx.mask(text, kx.PolicySet()).text == out.text
    assert kx.mask(text, kx.PolicySet(P.redact_code())).text == "전화번호 [PHONE] 이메일 [EMAIL] 입니다"
    assert kx.mask(text, kx.PolicySet(P.redact_fixed(""))).text == "전화번호  이메일  입니다"
    assert out.restore is None
    assert repr(out) == "MaskOutput(applied=2, skipped=0, restore=false)"


@needs_detection
@pytest.mark.parametrize(
    "text, policy, expected",
    [
        (f"전화번호 {PHONE}", P.partial(3, 4), "010******5678"),
        (f"전화번호 {PHONE}", P.partial(0, 0, "#"), "#" * 13),
        (f"전화번호 {PHONE}", P.partial(6, 7), "*" * 13),      # p + s == n covers all
        (f"전화번호 {PHONE}", P.partial(13, 0), "*" * 13),
        (f"전화번호 {PHONE}", P.partial(2**64 - 1, 2**64 - 1), "*" * 13),
        (f"전화번호 {PHONE}", P.partial(12, 0, "●"), "010-1234-567●"),
        (f"전화번호 {PHONE}", P.redact_fill("●"), "●" * 13),
        ("전화번호 ０１０－１２３４－５６７８", P.partial(3, 4), "０１０******５６７８"),
        ("전화번호 ０１０－１２３４－５６７８", P.redact_fill("x"), "x" * 13),
        ("전화번호 ０１０－１２３４－５６７８", P.redact_fill("😀"), "😀" * 13),
    ],
)
def test_partial_and_fill_count_characters(text, policy, expected):
    piece, rendered, _ = masked_piece(text, policy)
    assert len(piece) == 13
    assert rendered == expected


@needs_detection
@pytest.mark.parametrize("length, digits", [(0, 0), (1, 1), (7, 7), (12, 12), (64, 64), (65, 64), (100, 64), (2**64 - 1, 64)])
@pytest.mark.parametrize("key", [b"", b"k", b"0123456789abcdef" * 4, b"x" * 65, bytes(range(256)) * 3],
                         ids=["empty", "one", "block", "block+1", "long"])
def test_hash_matches_hmac_sha256_over_utf8(length, digits, key):
    piece, rendered, entity = masked_piece(f"메일 {EMAIL} 로", P.hash(key, length))
    code = entity.upper()
    want = hmac.new(key, piece.encode("utf-8"), hashlib.sha256).hexdigest()[:digits]
    assert rendered == f"[{code}:{want}]"


@needs_detection
def test_hash_default_length_and_determinism():
    a = kx.mask(f"메일 {EMAIL}", kx.PolicySet(P.hash(b"key"))).text
    assert a == kx.mask(f"메일 {EMAIL}", kx.PolicySet(P.hash([107, 101, 121], 12))).text
    assert len(a) == len("메일 [EMAIL:]") + 12
    assert a != kx.mask(f"메일 {EMAIL}", kx.PolicySet(P.hash(b"key2"))).text


@needs_detection
def test_overrides_choose_the_policy_by_entity():
    text = f"주민등록번호 {RRN} 전화번호 {PHONE}"
    out = kx.mask(text, kx.PolicySet().with_entity("phone", P.tokenize()))
    assert sorted(f.entity for f in out.applied) == ["phone", "resident"]
    assert out.text == "주민등록번호 [주민등록번호] 전화번호 [[PII:0]]"
    assert [(e.token, e.original, e.entity) for e in out.restore.entries] == [("[[PII:0]]", PHONE, "phone")]
    assert kx.unmask(out.text, out.restore) == f"주민등록번호 [주민등록번호] 전화번호 {PHONE}"


@needs_detection
def test_equal_pieces_get_distinct_tokens_and_reprs_hide_originals():
    text = f"{EMAIL} 그리고 다시 {EMAIL}"
    out = kx.mask(text, kx.PolicySet(P.tokenize()))
    assert out.text == "[[PII:0]] 그리고 다시 [[PII:1]]"
    assert [e.original for e in out.restore.entries] == [EMAIL, EMAIL]
    shown = repr(out) + repr(out.restore) + "".join(map(repr, out.restore.entries)) + repr(out.applied)
    assert EMAIL not in shown and "hong" not in shown
    assert out.restore is not out.restore and out.applied is not out.applied


@needs_detection
def test_tokens_past_a_short_strings_room_are_written_whole():
    # Openings of PII and of PII0 to PII999 in the text push the table to PII1000, and two
    # thousand findings to four-digit numbers: tokens of sixteen characters and more.
    openings = "[[PII:" + "".join(f"[[PII{k}:" for k in range(1000))
    phones = [f"010-{1000 + k}-5678" for k in range(2000)]
    text = openings + "\n" + "\n".join(phones)
    out = kx.mask(text, kx.PolicySet(P.tokenize()))
    tokens = [e.token for e in out.restore.entries]
    assert tokens == [f"[[PII1000:{n}]]" for n in range(2000)]
    assert out.text == openings + "\n" + "\n".join(tokens)
    assert kx.unmask(out.text, out.restore) == text


def check_mask_pass(text, out, report):
    """The applied findings are in order, never overlap, and together with the skipped ones
    are exactly the report's findings, evidence and all; everything else is copied."""
    spans = [(f.source.byte_start, f.source.byte_end) for f in out.applied]
    assert spans == sorted(spans)
    for (s1, e1), (s2, e2) in zip(spans, spans[1:]):
        assert e1 <= s2
    key = lambda f: f.to_json()
    assert sorted(map(key, out.applied + out.skipped)) == sorted(map(key, report.findings))
    for f in out.skipped:
        assert any(s <= f.source.byte_start < e for s, e in spans)


FRAGMENTS = st.sampled_from([
    PHONE, EMAIL, RRN, "전화번호", "주민등록번호", "카드번호", "계좌번호 ", " ", "-", "\n", "[[PII:",
    "[[PII0:", "]]", "０１０－９８７６－５４３２", "팔팔공일공일", "4111111111111111", "2024-01-01",
    "M12345678", "여권번호 ", "가", "😀", "a@b.co", "1234567890", "02-123-4567",
])
TEXTS = st.lists(st.one_of(FRAGMENTS, st.text(max_size=8)), max_size=12).map("".join)


def reference_partial(piece, p, s, fill):
    n = len(piece)
    if p + s >= n:
        return fill * n
    return piece[:p] + fill * (n - p - s) + piece[n - s:]


# (policy, Python rendering of a piece of the given entity)
RENDERINGS = [
    (P.redact_label(), lambda e, piece: f"[{LABELS[e]}]"),
    (P.redact_code(), lambda e, piece: f"[{e.upper()}]"),
    (P.redact_fill("#"), lambda e, piece: "#" * len(piece)),
    (P.redact_fixed("<가림>"), lambda e, piece: "<가림>"),
    (P.partial(2, 3, "•"), lambda e, piece: reference_partial(piece, 2, 3, "•")),
    (P.hash(b"k", 9), lambda e, piece: "[%s:%s]" % (
        e.upper(), hmac.new(b"k", piece.encode(), hashlib.sha256).hexdigest()[:9])),
]


@needs_detection
@given(TEXTS, st.sampled_from(RENDERINGS), st.sampled_from([None, "phone", "email", "resident"]))
def test_mask_copies_everything_outside_the_applied_findings(text, rendering, override):
    policy, render = rendering
    policies = kx.PolicySet(policy)
    if override:
        policies = policies.with_entity(override, P.redact_code())
    out = kx.mask(text, policies)
    check_mask_pass(text, out, kx.detect(text))
    expected = expected_masking(
        text, out, lambda f, piece: f"[{f.entity.upper()}]" if f.entity == override
        else render(f.entity, piece))
    assert out.text == expected
    assert out.restore is None


# The detection of a mask call keeps no rejections, and so leaves out the work that only they
# need: its findings are still detect's, with the same scores, costs and evidence. Vetoed
# readings beside one whose checksum passes (which no veto refuses), readings with and without
# the context they need, dates beside birth cues, all in one text and alone; a reading whose
# context is exactly the least needed; generated chats and rows.
MASKED_AS_FOUND = [
    "주문번호" + business("123456789"), "주문번호1234567890", "주문번호 계좌번호1234567890",
    "1234567890 주문번호", "계좌번호1234567890", "1234567890", "고객센터 1588-1234 연락처 010-2345-6789",
    "카드 " + luhn("412345678901234") + " 주문번호", "주문번호 " + rrn("900101123456"),
    "생년월일 1990.01.01.", "DOB 1988/01/01", "생일은 1985. 11. 21. 입니다",
    "운송장 " + luhn("412345678901234"), "여권번호 M12345678 주문번호 M12345678",
]


@needs_detection
@pytest.mark.parametrize("text", MASKED_AS_FOUND + [" ".join(MASKED_AS_FOUND)])
def test_masking_finds_what_detect_finds_beside_vetoes_and_cues(text):
    report = kx.detect(text)
    check_mask_pass(text, kx.mask(text), report)


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


@needs_detection
@pytest.mark.parametrize("above", [False, True])
def test_masking_finds_a_reading_with_just_the_context_it_needs(above):
    # An account number needs context; with the least context set to exactly what its cues sum
    # to (in float32, in their order), detect finds it, and so does a mask call, whose detection
    # passes over the readings short of it without scoring them. One step above, neither does.
    text = "계좌번호 110-234-567890"
    need = 0.0
    for hit in kx.detect(text).findings[0].evidence.context_hits:
        need = f32(need + hit.weight)
    if above:
        need = struct.unpack("f", struct.pack("I", struct.unpack("I", struct.pack("f", need))[0] + 1))[0]
    config = kx.Config()
    config.min_context, config.min_score = need, 0.0
    report = kx.detect(text, config)
    assert [f.entity for f in report.findings] == ([] if above else ["bank_account"])
    check_mask_pass(text, kx.mask(text, config=config), report)


@needs_detection
@pytest.mark.parametrize("profile", ["mixed", "dense"])
@pytest.mark.parametrize("seed", [7, 11])
def test_masking_finds_what_detect_finds(profile, seed):
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
    from corpus import generate
    text = generate(profile, 200_000, seed)
    report = kx.detect(text)
    assert len(report.findings) > 500 and len(report.rejections) > 500
    check_mask_pass(text, kx.mask(text), report)


@needs_detection
@given(TEXTS)
def test_tokenize_round_trip_is_exact(text):
    out = kx.mask(text, kx.PolicySet(P.tokenize()))
    assert len(out.restore) == len(out.applied)
    assert kx.unmask(out.text, out.restore) == text
    again = kx.RestoreMap.from_json(out.restore.to_json())
    assert again.to_json() == out.restore.to_json()
    assert kx.unmask(out.text, again) == text
    numbers = iter(range(len(out.applied)))
    prefix = out.restore.prefix
    assert out.text == expected_masking(text, out, lambda f, piece: f"[[{prefix}:{next(numbers)}]]")
    assert [e.original for e in out.restore.entries] == [f.text(text) for f in out.applied]


@needs_detection
def test_applied_evidence_does_not_carry_over_from_earlier_numbers():
    # A card and a resident number first, so a stale checksum outcome would show up.
    text = f"카드번호 4111111111111111 주민등록번호 {RRN} 휴대폰 {PHONE} 계좌번호 110-234-567890"
    out = kx.mask(text)
    phone = next(f for f in out.applied if f.entity == "phone")
    assert phone.evidence.checksum == "not_applicable"
    assert phone.evidence.checksum_reason == "전화번호에는 검증식이 없다"
    account = next(f for f in out.applied if f.entity == "bank_account")
    assert account.evidence.checksum == "not_applicable"


@needs_detection
def test_demo_hides_every_number_of_the_sample():
    demo = Path(__file__).resolve().parent.parent / "examples" / "demo.py"
    run = subprocess.run([sys.executable, str(demo)], capture_output=True, text=True,
                         env=os.environ, cwd="/", timeout=120)
    assert run.returncode == 0, run.stderr
    assert "원문과 같다: True" in run.stdout
    for secret in ["880101-1234568", "5409 2612 3456 7893", "010-2345-6789", "０２－３４５６－７８９０",
                   "19880101", "공일공-구팔칠육-오사삼이", "110-234-567890", "minsu.kim@example.co.kr"]:
        assert secret not in run.stdout


# ---- nothing of a finding stays visible -------------------------------------------------------

@pytest.mark.parametrize("text, masked, originals", [
    ("연락처 010-****-5678kim.minsu@naver.com", "연락처 [전화번호][이메일]",
     ["010-****-5678", "kim.minsu@naver.com"]),
    ("전화 02**영빵7893@naver.com", "전화 [전화번호][이메일]", ["02**영빵7893", "@naver.com"]),
])
def test_a_finding_reaching_past_a_replacement_is_masked_to_its_end(text, masked, originals):
    out = kx.mask(text)
    assert out.text == masked
    assert ([f.entity for f in out.applied], out.skipped) == (["phone", "email"], [])
    # The email's restore entry holds exactly the piece that its token replaced.
    tok = kx.mask(text, kx.PolicySet(P.tokenize()))
    assert [e.original for e in tok.restore.entries] == originals
    assert kx.unmask(tok.text, tok.restore) == text
    assert kx.mask(text, kx.PolicySet(P.redact_fill("#"))).text == text[:text.index(originals[0])] + \
        "#" * len("".join(originals))


def test_fixed_texts_cannot_pose_as_tokens():
    ps = kx.PolicySet(P.redact_fixed("[[PII:0]]")).with_entity("phone", P.tokenize())
    text = f"주민번호 {RRN} 전화 {PHONE}"
    out = kx.mask(text, ps)
    assert out.restore.prefix == "PII0"
    assert kx.unmask(out.text, out.restore) == f"주민번호 [[PII:0]] 전화 {PHONE}"
    # Fixed texts of the overrides count too, and a free prefix stays the plain one.
    ps = kx.PolicySet(P.tokenize()).with_entity("resident", P.redact_fixed("<[[PII:7]]>"))
    assert kx.mask(text, ps).restore.prefix == "PII0"
    assert kx.mask(text, kx.PolicySet(P.tokenize())).restore.prefix == "PII"


HIDDEN = "\ue000"  # a fill character that no generated text holds
RECORD_PIECES = st.sampled_from([
    "010-2345-6789", "02-123-4567", "880101-1234568", "5409-2612-3456-7893", "+82 10-2345-6789",
    "010-****-5678", "02**영빵7893", "**",
    "kim@mail.co.kr", "M1234567", "20240312", "1988", "1", "0", "*", "-", " ", ",", ".", "\t",
    "|", "(", ")", "\u200b", "\ufeff", "가", "영", "빵", "일", "연락처", "주민번호", "계좌", "주문번호",
    "전화 ", "a", "k", "@", "\n"])


@settings(max_examples=600, deadline=None)
@given(st.lists(RECORD_PIECES, max_size=24).map("".join))
@example("연락처 010-****-5678kim.minsu@naver.com")
@example("전화 02**영빵7893@naver.com, 010-****-5678k@mail.co.kr")
def test_no_character_of_any_finding_stays_visible(text):
    masked = kx.mask(text, kx.PolicySet(P.redact_fill(HIDDEN))).text
    assert len(masked) == len(text)
    for f in kx.detect(text).findings:
        assert set(masked[f.source.char_start:f.source.char_end]) == {HIDDEN}, f
    assert all(m == c for m, c in zip(masked, text) if m != HIDDEN)
