import json

import pytest
from hypothesis import given, settings, strategies as st

import kestrix as kx

HYPHEN = "separator.hyphen"
COORD = "span map coordinate mismatch: "


def build(ops, text=None):
    b = kx.SpanMapBuilder(text)
    for op, *args in ops:
        getattr(b, op)(*args)
    return b.finish()


def segs(m):
    """(kind, src bytes, src chars, dst bytes, dst chars, rules, cost) per segment."""
    out = []
    for s in m.segments:
        c = s.cost
        out.append((
            s.kind,
            (s.src.byte_start, s.src.byte_end), (s.src.char_start, s.src.char_end),
            (s.dst.byte_start, s.dst.byte_end), (s.dst.char_start, s.dst.char_end),
            s.rules,
            (c.absorbed_whitespace, c.absorbed_separators, c.expanded_syllables, c.replaced_chars),
        ))
    return out


def ends(text):
    return (len(text.encode()), len(text))


NONE = (0, 0, 0, 0)


# ---- the map and its segments -----------------------------------------------------------

def test_empty_map():
    out, m = kx.SpanMapBuilder("ignored").finish()
    assert out == ""
    assert (len(m), m.is_identity(), m.src_end, m.dst_end) == (0, True, (0, 0), (0, 0))
    assert m.validate() is None
    assert m.to_json() == '{"segments":[]}'
    assert repr(m) == "SpanMap(segments=0, src_bytes=0, dst_bytes=0)"


def test_segment_views_and_json():
    out, m = build([("keep", "가"), ("replace", "Ａ", "A", "fold.fullwidth")])
    assert out == "가A"
    assert repr(m) == "SpanMap(segments=2, src_bytes=6, dst_bytes=4)"
    s = m.segments[1]
    assert repr(s) == 'Segment(kind="replace", src=3..6, dst=3..4)'
    assert (s.src, s.dst) == (kx.Span(3, 6, 1, 2), kx.Span(3, 4, 1, 2))
    assert (s.kind, s.rules, s.cost.replaced_chars, m.is_identity()) == ("replace", ["fold.fullwidth"], 1, False)
    s.rules.append("x")  # getters hand out copies
    assert m.segments[1].rules == ["fold.fullwidth"]
    assert m.to_json() == '{"segments":[' + ",".join(x.to_json() for x in m.segments) + "]}"
    assert json.loads(s.to_json())["kind"] == "replace"


@pytest.mark.parametrize("cls", [kx.SpanMap, kx.Segment])
def test_map_classes_are_not_constructible(cls):
    with pytest.raises(TypeError, match=f"cannot create 'kestrix.{cls.__name__}' instances"):
        cls()


# ---- the builder --------------------------------------------------------------------------

@pytest.mark.parametrize("ops, text, expected", [
    ([("keep", "ab"), ("keep", "cd")], "abcd",
     [("identity", (0, 4), (0, 4), (0, 4), (0, 4), [], NONE)]),
    ([("keep", "a"), ("absorb", "-", HYPHEN), ("keep", "b")], "ab",
     [("identity", (0, 1), (0, 1), (0, 1), (0, 1), [], NONE),
      ("delete", (1, 2), (1, 2), (1, 1), (1, 1), [HYPHEN], (0, 1, 0, 0)),
      ("identity", (2, 3), (2, 3), (1, 2), (1, 2), [], NONE)]),
    ([("numeral", "팔팔", "88", "hangul.digit_reading")], "88",
     [("replace", (0, 6), (0, 2), (0, 2), (0, 2), ["hangul.digit_reading"], (0, 0, 2, 0))]),
    ([("numeral", "십", "10", "r")], "10",
     [("expand", (0, 3), (0, 1), (0, 2), (0, 2), ["r"], (0, 0, 1, 0))]),
    ([("replace", "Ａ", "", "r")], "",
     [("delete", (0, 3), (0, 1), (0, 0), (0, 0), ["r"], (0, 0, 0, 1))]),
    ([("keep", "a"), ("replace", "", "x", "r"), ("absorb", "", "r"), ("keep", "")], "a",
     [("identity", (0, 1), (0, 1), (0, 1), (0, 1), [], NONE)]),
    ([("absorb", " ", "r", "other")], "", [("delete", (0, 1), (0, 1), (0, 0), (0, 0), ["r"], NONE)]),
    ([("absorb", "\t\t", "r", "whitespace"), ("absorb", "--", "r", None)], "",
     [("delete", (0, 2), (0, 2), (0, 0), (0, 0), ["r"], (2, 0, 0, 0)),
      ("delete", (2, 4), (2, 4), (0, 0), (0, 0), ["r"], (0, 2, 0, 0))]),
    # a keep after a rewrite starts a new identity segment; rewrites never fold
    ([("replace", "Ａ", "A", "r"), ("replace", "Ｂ", "B", "r"), ("keep", "c")], "ABc",
     [("replace", (0, 3), (0, 1), (0, 1), (0, 1), ["r"], (0, 0, 0, 1)),
      ("replace", (3, 6), (1, 2), (1, 2), (1, 2), ["r"], (0, 0, 0, 1)),
      ("identity", (6, 7), (2, 3), (2, 3), (2, 3), [], NONE)]),
])
def test_builder_operations(ops, text, expected):
    out, m = build(ops)
    assert out == text
    assert segs(m) == expected
    m.validate()


def test_cost_counts_saturate():
    _, m = build([("replace", "x" * 70000, "y", "r")])
    assert m.segments[0].cost.replaced_chars == 65535
    _, m = build([("replace", "x" * 40000, "y", "r"), ("absorb", "-", "s"), ("numeral", "x" * 40000, "y", "r")])
    c = m.to_source(kx.Span(0, 2, 0, 2)).cost
    assert (c.absorbed_whitespace, c.absorbed_separators, c.expanded_syllables, c.replaced_chars) == (
        0, 1, 40000, 40000)
    _, m = build([("replace", "x" * 40000, "y", "r"), ("replace", "x" * 40000, "y", "r")])
    assert m.to_source(kx.Span(0, 2, 0, 2)).cost.replaced_chars == 65535


@pytest.mark.parametrize("value, shown", [
    ("tab", '"tab"'), ("Whitespace", '"Whitespace"'), ('a"b\\\n', '"a\\"b\\\\\\n"'),
])
def test_absorb_rejects_unknown_class(value, shown):
    b = kx.SpanMapBuilder()
    b.keep("a")
    with pytest.raises(ValueError) as exc:
        b.absorb("-", "r", class_=value)
    assert str(exc.value) == (
        f"unknown absorbed class {shown}; expected 'whitespace', 'separator', or 'other'")
    assert segs(b.finish()[1]) == [("identity", (0, 1), (0, 1), (0, 1), (0, 1), [], NONE)]


@pytest.mark.parametrize("call", [
    lambda b: b.keep(""), lambda b: b.replace("a", "b", "r"),
    lambda b: b.numeral("일", "1", "r"), lambda b: b.absorb("-", "r"), lambda b: b.finish(),
])
def test_consumed_builder_refuses_everything(call):
    b = kx.SpanMapBuilder()
    b.keep("a")
    assert repr(b) == "SpanMapBuilder(active)"
    b.finish()
    with pytest.raises(RuntimeError, match=r"^this builder was already consumed by finish\(\)$"):
        call(b)
    assert repr(b) == "SpanMapBuilder(consumed)"


def test_class_error_comes_before_consumed_error():
    b = kx.SpanMapBuilder()
    b.finish()
    with pytest.raises(ValueError, match="unknown absorbed class"):
        b.absorb("-", "r", "tab")


@pytest.mark.parametrize("call, param", [
    (lambda b: b.keep(1), "text"),
    (lambda b: b.replace("a", None, "r"), "dst_text"),
    (lambda b: b.absorb("a", "r", 3), "class_"),
    (lambda b: kx.SpanMap.compose(1, kx.SpanMap.identity("")), "inner"),
    (lambda b: kx.SpanMap.identity("").to_source((0, 0, 0, 0)), "dst"),
])
def test_wrong_argument_types_name_the_parameter(call, param):
    b = kx.SpanMapBuilder()
    with pytest.raises(TypeError) as exc:
        call(b)
    assert exc.value.__notes__ == [f"while processing '{param}'"]
    assert repr(b) == "SpanMapBuilder(active)"


# ---- mapping back -------------------------------------------------------------------------

def hyphen_map():
    return build([("keep", "가"), ("absorb", "-", HYPHEN, "separator"), ("keep", "나")])[1]


def fold_map():
    # "a" + full-width "１２" + "b"  ->  "a12b"; the replace covers bytes 1..7 of the source
    return build([("keep", "a"), ("replace", "１２", "12", "fold.fullwidth"), ("keep", "b")])[1]


def source(m, span):
    r = m.to_source(span)
    c = r.cost
    return ((r.byte_start, r.byte_end, r.char_start, r.char_end), r.snapped, r.rules,
            (c.absorbed_whitespace, c.absorbed_separators, c.expanded_syllables, c.replaced_chars))


@pytest.mark.parametrize("m, span, expected", [
    (hyphen_map, (0, 6, 0, 2), ((0, 7, 0, 3), False, [HYPHEN], (0, 1, 0, 0))),
    (hyphen_map, (0, 3, 0, 1), ((0, 3, 0, 1), False, [], NONE)),
    (hyphen_map, (3, 3, 1, 1), ((4, 4, 2, 2), False, [], NONE)),  # boundary: after the deletion
    (hyphen_map, (1, 5, 0, 2), ((1, 6, 0, 3), False, [HYPHEN], (0, 1, 0, 0))),
    (fold_map, (1, 3, 1, 3), ((1, 7, 1, 3), False, ["fold.fullwidth"], (0, 0, 0, 2))),
    (fold_map, (2, 3, 2, 3), ((1, 7, 1, 3), True, ["fold.fullwidth"], (0, 0, 0, 2))),
    (fold_map, (0, 4, 0, 4), ((0, 8, 0, 4), False, ["fold.fullwidth"], (0, 0, 0, 2))),
    # an empty span inside a replace still touches it, so the whole replace is taken
    (fold_map, (2, 2, 2, 2), ((1, 7, 1, 3), True, ["fold.fullwidth"], (0, 0, 0, 2))),
    (fold_map, (4, 4, 4, 4), ((8, 8, 4, 4), False, [], NONE)),
    (fold_map, (9, 12, 9, 12), ((8, 8, 4, 4), False, [], NONE)),  # past the end
    (fold_map, (3, 0, 3, 0), ((7, 7, 3, 3), False, [], NONE)),  # reversed across segments
    # reversed inside a replace: the point lies inside a rewrite, so the source end is used
    (fold_map, (2, 1, 2, 1), ((8, 8, 4, 4), False, [], NONE)),
    (lambda: kx.SpanMap.identity("abcdef"), (5, 2, 5, 2), ((5, 5, 5, 5), False, [], NONE)),
    # an empty span at the end, after a trailing deletion: the start of the deleted text
    (lambda: build([("keep", "ab"), ("absorb", "--", HYPHEN)])[1], (2, 2, 2, 2), ((2, 2, 2, 2), False, [], NONE)),
    (lambda: kx.SpanMap.identity(""), (0, 5, 0, 5), ((0, 0, 0, 0), False, [], NONE)),
    (lambda: kx.SpanMap.identity(""), (7, 2, 9, 1), ((0, 0, 0, 0), False, [], NONE)),
])
def test_to_source(m, span, expected):
    assert source(m(), kx.Span(*span)) == expected


@pytest.mark.parametrize("lists", range(1, 8))
@pytest.mark.parametrize("names", [["g.z", "c", "f.x", "a.b", "e", "b", "d"], ["a", "b.c", "c", "d", "e", "f", "g"]])
def test_rules_of_many_segments_are_collected_sorted_and_unique(lists, names):
    # A span over segments of up to seven different rules, each named more than once, apart
    # and side by side, met in any order, costs added over all of them.
    names = names[:lists]
    order = [names[k % lists] for k in (0, 1, 1, 2, 0, 3, 4, 5, 6, 2, 5, 6, 0)]
    ops = []
    for k, name in enumerate(order):
        ops += [("keep", "x"), ("absorb", "-", name)] if k % 2 else [("replace", "Ａ", "A", name)]
    text, m = build(ops + [("keep", "y")])
    r = m.to_source(kx.Span(0, len(text), 0, len(text)))
    assert r.rules == sorted(set(order))
    assert (r.cost.absorbed_separators, r.cost.replaced_chars) == (
        sum(k % 2 for k in range(len(order))), sum(1 - k % 2 for k in range(len(order))))
    # A span inside the list reads only its own segments.
    inner = m.to_source(kx.Span(2, 3, 2, 3))
    assert inner.rules == [order[2]] and inner.cost.replaced_chars == 1


def test_rules_are_collected_sorted_and_unique():
    _, m = build([("replace", "Ａ", "A", "b.z"), ("absorb", "-", "a.y"), ("replace", "Ｂ", "B", "b.z"),
                  ("absorb", " ", "a", "whitespace"), ("keep", "c")])
    r = m.to_source(kx.Span(0, 3, 0, 3))
    assert r.rules == ["a", "a.y", "b.z"]
    assert (r.byte_start, r.byte_end, r.cost.absorbed_separators, r.cost.absorbed_whitespace) == (0, 9, 1, 1)


@pytest.mark.parametrize("span, shown, cost", [
    ((0, 4, 0, 4), r'SourceSpan(byte=0..12, char=0..6, snapped=false, rules=["a", "n", "q\"\\", "s"])', (1, 1, 2, 1)),
    ((1, 2, 1, 2), 'SourceSpan(byte=4..10, char=2..4, snapped=true, rules=["n"])', (0, 0, 2, 0)),
    ((3, 4, 3, 4), "SourceSpan(byte=11..12, char=5..6, snapped=false, rules=[])", (0, 0, 0, 0)),
])
def test_source_span_and_cost_reprs(span, shown, cost):
    _, m = build([("replace", "Ａ", "A", 'q"\\'), ("absorb", " ", "a", "whitespace"), ("numeral", "일이", "12", "n"),
                  ("absorb", "-", "s"), ("keep", "x")])
    r = m.to_source(kx.Span(*span))
    assert repr(r) == shown
    assert repr(r.cost) == ("NormalizationCost(absorbed_whitespace=%d, absorbed_separators=%d, "
                            "expanded_syllables=%d, replaced_chars=%d)" % cost)


def test_to_source_from_chars():
    m = fold_map()
    r = m.to_source_from_chars("a12b", 2, 3)
    assert (r.span, r.snapped, r.rules) == (kx.Span(1, 7, 1, 3), True, ["fold.fullwidth"])
    with pytest.raises(ValueError, match="^char_end 5 is out of range; text has 4 characters$"):
        m.to_source_from_chars("a12b", 0, 5)
    with pytest.raises(ValueError, match="^char_start 3 must not exceed char_end 2$"):
        m.to_source_from_chars("a12b", 3, 2)


# ---- composition --------------------------------------------------------------------------

def test_compose_groups_across_both_maps():
    # "ab-cd" -> "abcd" -> "aXd"
    text1, inner = build([("keep", "ab"), ("absorb", "-", HYPHEN), ("keep", "cd")])
    text2, outer = build([("keep", "a"), ("replace", "bc", "X", "r.fold"), ("keep", "d")])
    assert (text1, text2) == ("abcd", "aXd")
    m = kx.SpanMap.compose(inner, outer)
    assert segs(m) == [
        ("identity", (0, 1), (0, 1), (0, 1), (0, 1), [], NONE),
        ("replace", (1, 4), (1, 4), (1, 2), (1, 2), ["r.fold", HYPHEN], (0, 1, 0, 2)),
        ("identity", (4, 5), (4, 5), (2, 3), (2, 3), [], NONE),
    ]


@pytest.mark.parametrize("inner_ops, outer_ops, expected", [
    ([("keep", "ab")], [("keep", "ab")], [("identity", (0, 2), (0, 2), (0, 2), (0, 2), [], NONE)]),
    # a replace survives an identity outer map with its rules and cost
    ([("keep", "a"), ("replace", "Ｂ", "B", "fold.fullwidth")], [("keep", "aB")],
     [("identity", (0, 1), (0, 1), (0, 1), (0, 1), [], NONE),
      ("replace", (1, 4), (1, 2), (1, 2), (1, 2), ["fold.fullwidth"], (0, 0, 0, 1))]),
    # deletions at both ends stay deletions, placed at the C position of the B cursor
    ([("absorb", "-", HYPHEN), ("keep", "가"), ("absorb", " ", "ws", "whitespace")],
     [("numeral", "가", "11", "n")],
     [("delete", (0, 1), (0, 1), (0, 0), (0, 0), [HYPHEN], (0, 1, 0, 0)),
      ("expand", (1, 4), (1, 2), (0, 2), (0, 2), ["n"], (0, 0, 1, 0)),
      ("delete", (4, 5), (2, 3), (2, 2), (2, 2), ["ws"], (1, 0, 0, 0))]),
    # the outer map deletes what the inner map produced
    ([("replace", "ab", "x", "r1"), ("keep", "c")], [("absorb", "x", "r2", "other"), ("keep", "c")],
     [("delete", (0, 2), (0, 2), (0, 0), (0, 0), ["r1", "r2"], (0, 0, 0, 2)),
      ("identity", (2, 3), (2, 3), (0, 1), (0, 1), [], NONE)]),
    # overlapping rewrites on both sides chain into one group
    ([("replace", "ab", "xy", "r1"), ("keep", "c")], [("keep", "x"), ("replace", "yc", "z", "r2")],
     [("replace", (0, 3), (0, 3), (0, 2), (0, 2), ["r1", "r2"], (0, 0, 0, 4))]),
    ([("keep", "ab"), ("replace", "c", "c", "r")], [("keep", "ab"), ("replace", "c", "x", "r")],
     [("identity", (0, 2), (0, 2), (0, 2), (0, 2), [], NONE),
      ("replace", (2, 3), (2, 3), (2, 3), (2, 3), ["r"], (0, 0, 0, 2))]),
])
def test_compose_cases(inner_ops, outer_ops, expected):
    _, inner = build(inner_ops)
    _, outer = build(outer_ops)
    m = kx.SpanMap.compose(inner, outer)
    assert segs(m) == expected
    m.validate()


@pytest.mark.parametrize("inner_text, outer_text, message", [
    ("가나다라", "가나다a", "inner output (12, 4) != outer input (10, 4)"),
    ("가", "abc", "inner output (3, 1) != outer input (3, 3)"),
    ("", "a", "inner output (0, 0) != outer input (1, 1)"),
])
def test_compose_refuses_mismatched_coordinates(inner_text, outer_text, message):
    inner, outer = kx.SpanMap.identity(inner_text), kx.SpanMap.identity(outer_text)
    before = (inner.to_json(), outer.to_json())
    with pytest.raises(kx.SpanMapError) as exc:
        kx.SpanMap.compose(inner, outer)
    assert exc.value.args == (COORD + message,)
    assert (inner.to_json(), outer.to_json()) == before


# ---- properties ---------------------------------------------------------------------------

CHARS = st.sampled_from(list("ab-1 가나팔") + ["é", "😀", "Ａ", "\u3000", "\n"])
PIECES = st.text(CHARS, max_size=4)
RULES = st.sampled_from(["fold.fullwidth", "separator.hyphen", "hangul.digit_reading", "a", "a.b", "z"])
CLASSES = st.sampled_from(["whitespace", "separator", "other"])


KINDS = ["keep", "replace", "numeral", "absorb"]


@st.composite
def ops_over(draw, text, kinds=KINDS):
    """Builder calls that consume `text` front to back, with calls on empty pieces mixed in."""
    def op(piece):
        kind = draw(st.sampled_from(kinds))
        if kind == "keep":
            return ("keep", piece)
        if kind == "absorb":
            return ("absorb", piece, draw(RULES), draw(CLASSES))
        return (kind, piece, draw(PIECES), draw(RULES))

    ops, i = [], 0
    while True:
        if draw(st.integers(0, 5)) == 0:
            ops.append(op(""))
        if i >= len(text):
            return ops
        j = draw(st.integers(i + 1, min(len(text), i + 4)))
        ops.append(op(text[i:j]))
        i = j


@st.composite
def chain(draw, length, size=12, kinds=KINDS):
    """A source text and `length` successive maps, each over the previous map's output."""
    texts = [draw(st.text(CHARS, max_size=size))]
    maps = []
    for _ in range(length):
        out, m = build(draw(ops_over(texts[-1], kinds)))
        texts.append(out)
        maps.append(m)
    return texts, maps


def pieces(text, spans):
    data = text.encode()
    return [data[s.byte_start:s.byte_end].decode() for s in spans]


def check_tiles(m, src, dst):
    """Each segment's sides cut both texts on character boundaries, in order, with no gap."""
    m.validate()
    assert (m.src_end, m.dst_end) == (ends(src), ends(dst))
    for s in m.segments:
        for side, text in ((s.src, src), (s.dst, dst)):
            assert side == kx.Span.from_char_range(text, side.char_start, side.char_end)
        if s.kind == "identity":
            assert s.src.slice(src) == s.dst.slice(dst)
    assert "".join(pieces(src, [s.src for s in m.segments])) == src
    assert "".join(pieces(dst, [s.dst for s in m.segments])) == dst


@given(chain(2))
def test_builder_and_composed_maps_tile_their_texts(c):
    (a, b, cc), (x, y) = c
    m = kx.SpanMap.compose(x, y)
    for mm, src, dst in ((x, a, b), (y, b, cc), (m, a, cc)):
        check_tiles(mm, src, dst)
        assert all(p.kind != "identity" or q.kind != "identity" for p, q in zip(mm.segments, mm.segments[1:]))
    rules = {r for s in x.segments + y.segments for r in s.rules}
    assert {r for s in m.segments for r in s.rules} == rules
    for s in m.segments:
        assert s.rules == sorted(set(s.rules))
    for f in ("absorbed_whitespace", "absorbed_separators", "expanded_syllables", "replaced_chars"):
        assert sum(getattr(s.cost, f) for s in m.segments) == sum(
            getattr(s.cost, f) for s in x.segments + y.segments)


@given(chain(3))
def test_compose_is_associative_and_identity_is_neutral(c):
    (src, dst, _, _), (x, y, z) = c
    assert kx.SpanMap.compose(x, kx.SpanMap.identity(dst)).to_json() == x.to_json()
    assert kx.SpanMap.compose(kx.SpanMap.identity(src), x).to_json() == x.to_json()
    left = kx.SpanMap.compose(kx.SpanMap.compose(x, y), z)
    right = kx.SpanMap.compose(x, kx.SpanMap.compose(y, z))
    assert left.to_json() == right.to_json()


@given(chain(1), chain(1))
def test_compose_of_unrelated_maps_fails_only_on_mismatched_ends(c1, c2):
    (_, _), (x,) = c1
    (_, _), (y,) = c2
    if x.dst_end != y.src_end:
        with pytest.raises(kx.SpanMapError) as exc:
            kx.SpanMap.compose(x, y)
        assert str(exc.value) == COORD + "inner output ({}, {}) != outer input ({}, {})".format(
            *x.dst_end, *y.src_end)
    else:
        m = kx.SpanMap.compose(x, y)
        assert (m.src_end, m.dst_end) == (x.src_end, y.dst_end)


@given(chain(1))
def test_whole_output_maps_back_to_the_whole_source_minus_outer_deletions(c):
    (src, dst), (m,) = c
    r = m.to_source(kx.Span(*[0, ends(dst)[0], 0, ends(dst)[1]]))
    kept = [s for s in m.segments if s.dst.byte_start < s.dst.byte_end]
    if kept:
        # deletions before the first and after the last output character are not covered
        assert (r.byte_start, r.char_start) == (kept[0].src.byte_start, kept[0].src.char_start)
        assert (r.byte_end, r.char_end) == (kept[-1].src.byte_end, kept[-1].src.char_end)
        assert not r.snapped
        inside = [s for s in m.segments if kept[0].src.byte_start <= s.src.byte_start < kept[-1].src.byte_end]
        assert r.rules == sorted({x for s in inside for x in s.rules})
    else:
        assert r.byte_start == r.byte_end


@given(chain(1), st.data())
def test_to_source_gives_source_spans_on_character_boundaries(c, data):
    (src, dst), (m,) = c
    n = len(dst)
    i = data.draw(st.integers(0, n))
    j = data.draw(st.integers(i, n))
    r = m.to_source_from_chars(dst, i, j)
    assert r.span == kx.Span.from_char_range(src, r.char_start, r.char_end)
    # any span at all, even reversed or out of range, maps somewhere inside the source
    span = kx.Span(*data.draw(st.tuples(*[st.integers(0, 2**32 - 1)] * 4)))
    r = m.to_source(span)
    assert r.byte_start <= r.byte_end <= ends(src)[0]


def plain_compose(inner, outer):
    """compose as its definition walks it, for maps whose ends meet and which hold no error."""
    ins, outs = inner.segments, outer.segments

    def point(seg, frm, to, b, c):
        x, y = getattr(seg, frm), getattr(seg, to)
        if b == x.byte_start:
            return (y.byte_start, y.char_start)
        if b == x.byte_end:
            return (y.byte_end, y.char_end)
        assert seg.kind == "identity" and x.byte_start < b < x.byte_end
        return (b - x.byte_start + y.byte_start, c - x.char_start + y.char_start)

    def back(k, p):
        return tuple(inner.src_end) if k >= len(ins) else point(ins[k], "dst", "src", *p)

    def fwd(k, p):
        return tuple(outer.dst_end) if k >= len(outs) else point(outs[k], "src", "dst", *p)

    def cost(group):
        lanes = [0, 0, 0, 0]
        for s in group:
            c = s.cost
            for n, v in enumerate((c.absorbed_whitespace, c.absorbed_separators, c.expanded_syllables,
                                   c.replaced_chars)):
                lanes[n] = min(lanes[n] + v, 0xFFFF)
        return tuple(lanes)

    out, i, o, cur = [], 0, 0, (0, 0)
    while i < len(ins) or o < len(outs):
        while i < len(ins) and ins[i].dst.byte_end <= ins[i].dst.byte_start:
            s, c = ins[i], fwd(o, cur)
            out.append(["delete", (s.src.byte_start, s.src.byte_end, s.src.char_start, s.src.char_end),
                        (c[0], c[0], c[1], c[1]), list(s.rules), cost([s])])
            i += 1
        if i >= len(ins) and o >= len(outs):
            break
        j, p = i, o
        while True:
            e_in, e_out = ins[j].dst.byte_end, outs[p].src.byte_end
            if e_in < e_out:
                if outs[p].kind == "identity":
                    end = (e_in, ins[j].dst.char_end)
                    break
                j += 1
            elif e_in > e_out:
                if ins[j].kind == "identity":
                    end = (e_out, outs[p].src.char_end)
                    break
                p += 1
            else:
                end = (e_in, ins[j].dst.char_end)
                break
        a0, a1, c0, c1 = back(i, cur), back(j, end), fwd(o, cur), fwd(p, end)
        members = [s for s in ins[i:j + 1] + outs[o:p + 1] if s.kind != "identity"]
        if not members:
            kind = "identity"
        elif c0[0] == c1[0]:
            kind = "delete"
        else:
            kind = "expand" if a1[1] - a0[1] < c1[1] - c0[1] else "replace"
        out.append([kind, (a0[0], a1[0], a0[1], a1[1]), (c0[0], c1[0], c0[1], c1[1]),
                    sorted(set(r for s in members for r in s.rules)), cost(members)])
        i = j + (ins[j].dst.byte_end <= end[0])
        o = p + (outs[p].src.byte_end <= end[0])
        cur = end
    merged = []
    for s in out:
        if merged and s[0] == merged[-1][0] == "identity":
            merged[-1][1] = merged[-1][1][:1] + (s[1][1],) + merged[-1][1][2:3] + (s[1][3],)
            merged[-1][2] = merged[-1][2][:1] + (s[2][1],) + merged[-1][2][2:3] + (s[2][3],)
        else:
            merged.append(s)
    return merged


def composed(m):
    c = [s.cost for s in m.segments]
    return [[s.kind, (s.src.byte_start, s.src.byte_end, s.src.char_start, s.src.char_end),
             (s.dst.byte_start, s.dst.byte_end, s.dst.char_start, s.dst.char_end), list(s.rules),
             (k.absorbed_whitespace, k.absorbed_separators, k.expanded_syllables, k.replaced_chars)]
            for s, k in zip(m.segments, c)]


# Mostly kept pieces over longer texts: runs of one map's changes stand inside the unchanged
# stretches of the other, on either side, which the composition takes a run at a time.
SPARSE = ["keep"] * 5 + ["replace", "numeral", "absorb"]


@settings(max_examples=400)
@given(st.one_of(chain(2), chain(2, 60, SPARSE)))
def test_compose_is_its_definition_walked(c):
    _, (x, y) = c
    assert composed(kx.SpanMap.compose(x, y)) == plain_compose(x, y)


@pytest.mark.parametrize("outer_first", [("absorb", "x", HYPHEN, "separator"), ("numeral", "x", "12", "n")])
def test_compose_moves_inner_changes_inside_an_outer_kept_stretch(outer_first):
    # The changes after the stretch's first character, and what is kept between them, are
    # moved by the stretch's offset, which the outer change before it makes.
    _, x = build([("keep", "xw"), ("replace", "Ａ", "A", "fold.fullwidth"), ("keep", "y"),
                  ("numeral", "가", "1", "hangul.digit_reading"), ("keep", "z")])
    _, y = build([outer_first, ("keep", "wAy1z")])
    assert composed(kx.SpanMap.compose(x, y)) == plain_compose(x, y)
