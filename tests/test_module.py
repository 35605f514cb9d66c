import inspect
import pickle
import subprocess
import sys

import pytest

import kestrix as kx

CLASSES = [
    "Span", "NormalizationCost", "Segment", "SourceSpan", "SpanMap", "SpanMapBuilder", "Config",
    "Normalized", "ContextHit", "Evidence", "Finding", "Rejection", "Report", "Policy",
    "PolicySet", "RestoreEntry", "RestoreMap", "MaskOutput",
]
FUNCTIONS = ["normalize", "detect", "mask", "unmask", "entity_names"]
CONSTRUCTIBLE = {"Span", "SpanMapBuilder", "Config", "PolicySet"}


def test_attributes_and_registration_order():
    assert kx.__version__ == "0.1.0"
    assert kx.__status__ == "span, normalize, detect, and mask layers are available"
    assert kx.__has_hash_policy__ is True
    names = [n for n in vars(kx) if not n.startswith("__") or n in
             ("__version__", "__status__", "__has_hash_policy__")]
    expected = ["__version__", "__status__", "__has_hash_policy__", "SpanMapError",
                *CLASSES, *FUNCTIONS]
    assert [n for n in names if n in expected] == expected


def test_public_names_are_the_surface_and_nothing_more():
    # A fresh interpreter: in this one, a test that imported kestrix.cli added that submodule.
    r = subprocess.run([sys.executable, "-c", "import kestrix; print(*dir(kestrix))"], capture_output=True,
                       text=True, check=True)
    public = [n for n in r.stdout.split() if not n.startswith("_")]
    assert sorted(public) == sorted(["SpanMapError", *CLASSES, *FUNCTIONS])
    assert {getattr(kx, n).__module__ for n in public} == {"kestrix"}


def test_span_map_error_type():
    assert kx.SpanMapError.__mro__ == (kx.SpanMapError, Exception, BaseException, object)
    assert kx.SpanMapError.__module__ == "kestrix"
    assert kx.SpanMapError.__name__ == "SpanMapError"
    assert kx.SpanMapError.__doc__ == "구간 정렬 테이블의 불변식이 깨졌거나 좌표계가 맞지 않는다."


@pytest.mark.parametrize("name", CLASSES)
def test_class_shape(name):
    cls = getattr(kx, name)
    assert cls.__module__ == "kestrix"
    assert cls.__qualname__ == name
    assert cls.__doc__
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.some_attribute = 1
    if name not in CONSTRUCTIBLE:
        with pytest.raises(TypeError) as exc:
            cls()
        assert str(exc.value) == f"cannot create 'kestrix.{name}' instances"


@pytest.mark.parametrize(
    "fn, signature",
    [
        ("normalize", "(text, config=None)"),
        ("detect", "(text, config=None)"),
        ("mask", "(text, policies=None, config=None)"),
        ("unmask", "(masked, restore)"),
        ("entity_names", "()"),
    ],
)
def test_function_signatures(fn, signature):
    f = getattr(kx, fn)
    assert str(inspect.signature(f)) == signature
    assert f.__module__ == "kestrix"
    assert pickle.loads(pickle.dumps(f)) is f


def test_module_doc():
    assert kx.__doc__


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: kx.Span(1, 2, 3), "Span() missing 1 required positional argument: 'char_end'"),
        (lambda: kx.Span(1, 2), "Span() missing 2 required positional arguments: 'char_start' and 'char_end'"),
        (lambda: kx.Span(), "Span() missing 4 required positional arguments: 'byte_start', "
                            "'byte_end', 'char_start', and 'char_end'"),
        # the optional parameters left out are not named among the missing ones
        (lambda: kx.detect(), "detect() missing 1 required positional argument: 'text'"),
        (lambda: kx.mask(policies=None), "mask() missing 1 required positional argument: 'text'"),
        (lambda: kx.SpanMapBuilder().absorb("a"), "absorb() missing 1 required positional argument: 'rule'"),
        (lambda: kx.Span(1, 2, 3, 4, 5), "Span() takes 4 positional arguments but 5 were given"),
        (lambda: kx.Span(1, 2, 3, 4, x=1), "Span() got an unexpected keyword argument 'x'"),
        (lambda: kx.Span(1, 2, 3, 4, byte_start=1), "Span() got multiple values for argument 'byte_start'"),
        (lambda: kx.Span(0, 0, 0, 0).is_empty(1), "is_empty() takes 0 positional arguments but 1 was given"),
        # Functions and methods bind through the vector call: optional parameters are never
        # counted as missing, and keywords meet positional arguments as above.
        (lambda: kx.detect(), "detect() missing 1 required positional argument: 'text'"),
        (lambda: kx.mask(config=None), "mask() missing 1 required positional argument: 'text'"),
        (lambda: kx.Policy.partial(1), "partial() missing 1 required positional argument: 'keep_suffix'"),
        (lambda: kx.detect("a", None, None), "detect() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: kx.detect("a", text="b"), "detect() got multiple values for argument 'text'"),
        (lambda: kx.unmask(masked="a", restore=None, strict=True), "unmask() got an unexpected keyword argument 'strict'"),
        (lambda: kx.entity_names(None), "entity_names() takes 0 positional arguments but 1 was given"),
    ],
)
def test_binder_messages(call, message):
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value) == message


@pytest.mark.parametrize(
    "args, exc_type, message, param",
    [
        (("a", 0, 0, 0), TypeError, "'str' object is not an instance of 'int'", "byte_start"),
        ((0, None, 0, 0), TypeError, "'None' is not an instance of 'int'", "byte_end"),
        ((0, 0, -1, 0), OverflowError, None, "char_start"),
        ((0, 0, 0, 2**32), OverflowError, "out of range integral type conversion attempted", "char_end"),
    ],
)
def test_conversion_errors_carry_the_parameter_note(args, exc_type, message, param):
    with pytest.raises(exc_type) as exc:
        kx.Span(*args)
    if message is not None:
        assert str(exc.value) == message
    assert exc.value.__notes__ == [f"while processing '{param}'"]


def test_lone_surrogate_is_refused_with_note():
    with pytest.raises(UnicodeEncodeError) as exc:
        kx.Span.from_char_range("a\ud800b", 0, 1)
    assert exc.value.__notes__ == ["while processing 'text'"]


def test_keyword_arguments_bind_like_positional():
    assert kx.Span(char_end=4, char_start=3, byte_end=2, byte_start=1) == kx.Span(1, 2, 3, 4)
    assert kx.Span.from_char_range(text="가나", char_start=0, char_end=1) == kx.Span(0, 3, 0, 1)


@pytest.mark.parametrize(
    "value, stored",
    [(3.4028235e38, 3.4028234663852886e38), (3.40282356e38, 3.4028234663852886e38),
     (-3.40282356e38, -3.4028234663852886e38), (0.1, 0.10000000149011612), (True, 1.0),
     # just below halfway to 2**128: still the largest float32
     (float.fromhex("0x1.fffffefffffffp+127"), 3.4028234663852886e38),
     (-float.fromhex("0x1.fffffefffffffp+127"), -3.4028234663852886e38)],
)
def test_float_settings_round_to_float32(value, stored):
    c = kx.Config()
    c.min_score = value
    assert c.min_score == stored


def test_children_outlive_their_results():
    # A finding, a map, an entry read from a result hold on to what they show after the
    # result itself is gone; every read still makes new objects.
    import gc
    import json

    text = "주민등록번호 900101-1234568, 전화 ０１０-1234-5678"
    report = kx.detect(text)
    finding = report.findings[0]
    evidence = finding.evidence
    hits = evidence.context_hits
    source = finding.source
    rejections = report.rejections
    expected = (report.to_json(), finding.to_json(), evidence.to_json(), repr(finding),
                [h.cue for h in hits], [r.to_json() for r in rejections])
    assert report.findings[0] is not finding and report.findings[0].to_json() == expected[1]
    assert finding.evidence is not evidence and finding.source is not source

    norm = kx.normalize(text)
    span_map = norm.map
    segments = span_map.segments
    map_json, seg_json = span_map.to_json(), [s.to_json() for s in segments]
    assert norm.map is not span_map and norm.map.to_json() == map_json
    dst = kx.Span.from_char_range(norm.text, 0, len(norm.text))

    out = kx.mask(text, kx.PolicySet(kx.Policy.tokenize()))
    masked, restore, applied = out.text, out.restore, out.applied
    entries = restore.entries
    originals = [e.original for e in entries]
    assert out.restore is not restore and out.restore.to_json() == restore.to_json()

    del report, norm, out
    gc.collect()
    assert (kx.Report.to_json(kx.detect(text)), finding.to_json(), evidence.to_json(), repr(finding),
            [h.cue for h in hits], [r.to_json() for r in rejections]) == expected
    assert source.slice(text) == finding.text(text) and finding.evidence.to_json() == expected[2]
    assert span_map.to_json() == map_json and [s.to_json() for s in segments] == seg_json
    assert span_map.to_source(dst).span == kx.Span.from_char_range(text, 0, len(text))
    assert json.loads(segments[-1].to_json())["src"] == json.loads(segments[-1].src.to_json())
    assert [e.original for e in entries] == originals and len(applied) == len(entries) == 2
    assert kx.unmask(masked, restore) == text
    del finding, span_map, restore
    gc.collect()
    assert [h.cue for h in hits] == expected[4] and segments[0].kind == "identity"
    assert source == kx.Span.from_char_range(text, 7, 21) and entries[1].entity == "phone"
