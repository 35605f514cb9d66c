"""Settings and restore maps pickle, so that worker processes can be handed them."""

import copy
import pickle

import pytest

import kestrix as kx

from conftest import rrn

TEXT = f"연락처 010-2345-6789, 주민번호 {rrn('880101123456')}, 메일 someone@example.co.kr"
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
KEY = b"\x00secret-key\xff"


def roundtrip(x, protocol=pickle.HIGHEST_PROTOCOL):
    return pickle.loads(pickle.dumps(x, protocol))


POLICIES = {
    "label": kx.Policy.redact_label(),
    "code": kx.Policy.redact_code(),
    "fill": kx.Policy.redact_fill("●"),
    "fixed": kx.Policy.redact_fixed("<비공개 \"값\">"),
    "partial": kx.Policy.partial(3, 2, "#"),
    "hash": kx.Policy.hash(KEY, 20),
    "tokenize": kx.Policy.tokenize(),
}


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("name", POLICIES)
def test_policy_round_trip_masks_the_same(name, protocol):
    p = POLICIES[name]
    q = roundtrip(p, protocol)
    assert type(q) is kx.Policy and repr(q) == repr(p)
    assert kx.mask(TEXT, kx.PolicySet(q)).text == kx.mask(TEXT, kx.PolicySet(p)).text


def test_hash_key_and_length_survive():
    q = roundtrip(kx.Policy.hash(KEY, 20))
    hashed = kx.mask(TEXT, kx.PolicySet(q)).text
    assert hashed == kx.mask(TEXT, kx.PolicySet(kx.Policy.hash(KEY, 20))).text
    assert hashed != kx.mask(TEXT, kx.PolicySet(kx.Policy.hash(KEY[:-1], 20))).text
    assert hashed != kx.mask(TEXT, kx.PolicySet(kx.Policy.hash(KEY, 19))).text


@pytest.mark.parametrize("p", [kx.Policy.hash(KEY), kx.Policy.redact_fixed("비밀문구")])
def test_reprs_of_loaded_objects_show_no_secret(p):
    q = roundtrip(kx.PolicySet(p).with_entity("phone", p))
    for shown in (repr(q), repr(q.policy_for("phone")), repr(q.policy_for("email"))):
        assert "secret" not in shown and "비밀" not in shown


def test_policy_set_keeps_default_and_every_override():
    s = (kx.PolicySet(kx.Policy.redact_code())
         .with_entity("phone", kx.Policy.hash(KEY, 8))
         .with_entity("email", kx.Policy.tokenize())
         .with_entity("resident", kx.Policy.partial(6, 0)))
    for protocol in PROTOCOLS:
        t = roundtrip(s, protocol)
        assert type(t) is kx.PolicySet and repr(t) == repr(s)
        for entity in kx.entity_names():
            assert repr(t.policy_for(entity)) == repr(s.policy_for(entity))
        a, b = kx.mask(TEXT, s), kx.mask(TEXT, t)
        assert a.text == b.text and a.restore.to_json() == b.restore.to_json()
    assert repr(roundtrip(kx.PolicySet()).policy_for("phone")) == "Policy.redact_label()"


def test_restore_map_round_trip_unmasks():
    out = kx.mask(TEXT, kx.PolicySet(kx.Policy.tokenize()))
    for protocol in PROTOCOLS:
        r = roundtrip(out.restore, protocol)
        assert type(r) is kx.RestoreMap and repr(r) == repr(out.restore)
        assert r.to_json() == out.restore.to_json()
        assert kx.unmask(out.text, r) == TEXT


def test_config_keeps_every_setting_and_weight():
    c = kx.Config()
    c.numeral_min_digits_without_context = 9
    c.numeral_min_digits_with_context = 3
    c.nfc = c.fold = c.hangul = c.lookalike = c.separator = False
    c.context_window = 7
    c.min_score, c.min_context, c.min_veto = 0.7, 0.1, 0.9
    c.set_weights(checksum_passed=0.11, checksum_failed=-0.2, context=0.33, absorbed_whitespace=-0.04,
                  absorbed_separator=-0.05, expanded_syllable=-0.06, replaced_char=-0.07)
    settings = [n for n in dir(kx.Config) if not n.startswith("_") and n != "set_weights"]
    for d in [*(roundtrip(c, p) for p in PROTOCOLS), copy.copy(c), copy.deepcopy(c)]:
        assert type(d) is kx.Config and repr(d) == repr(c)
        assert {n: getattr(d, n) for n in settings} == {n: getattr(c, n) for n in settings}


def test_config_copy_is_independent():
    c = kx.Config()
    d = copy.copy(c)
    d.min_score = 1.5
    d.set_weights(context=0.0)
    assert c.min_score == kx.Config().min_score and c.weights == kx.Config().weights


@pytest.mark.parametrize(
    "state, exc, note",
    [
        ([1], TypeError, "state"),
        ({"weights": [0.1]}, TypeError, "weights"),
        ({"min_score": "high"}, TypeError, "value"),
        ({"context_window": -1}, OverflowError, "value"),
    ],
)
def test_bad_config_state_is_refused(state, exc, note):
    c = kx.Config()
    with pytest.raises(exc) as info:
        c.__setstate__(state)
    assert info.value.__notes__ == [f"while processing '{note}'"]
