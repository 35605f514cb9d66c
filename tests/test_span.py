import pytest

import kestrix as kx


def test_span_fields_repr_and_lengths():
    s = kx.Span(0, 6, 0, 2)
    assert repr(s) == "Span(byte=0..6, char=0..2)"
    assert (s.byte_start, s.byte_end, s.char_start, s.char_end) == (0, 6, 0, 2)
    assert (s.byte_len, s.char_len, s.is_empty()) == (6, 2, False)
    assert kx.Span(2**32 - 1, 0, 0, 0).byte_start == 2**32 - 1


def test_reversed_span_is_stored_and_empty():
    s = kx.Span(5, 2, 7, 1)
    assert (s.byte_len, s.char_len, s.is_empty()) == (0, 0, True)
    with pytest.raises(ValueError) as exc:
        s.slice("가나다")
    assert str(exc.value) == "span 5..2 is out of range for text of 9 bytes"


@pytest.mark.parametrize(
    "start, end, expected",
    [
        (1, 3, (3, 9, 1, 3)),
        (0, 0, (0, 0, 0, 0)),
        (3, 3, (9, 9, 3, 3)),
        (0, 3, (0, 9, 0, 3)),
    ],
)
def test_from_char_range(start, end, expected):
    assert kx.Span.from_char_range("가나다", start, end) == kx.Span(*expected)


def test_from_char_range_on_mixed_widths():
    text = "a가😀b"
    s = kx.Span.from_char_range(text, 1, 3)
    assert s == kx.Span(1, 8, 1, 3)
    assert s.slice(text) == text[1:3]


@pytest.mark.parametrize(
    "start, end, message",
    [
        (2, 1, "char_start 2 must not exceed char_end 1"),
        (0, 4, "char_end 4 is out of range; text has 3 characters"),
        (5, 4, "char_start 5 must not exceed char_end 4"),
    ],
)
def test_from_char_range_errors(start, end, message):
    with pytest.raises(ValueError) as exc:
        kx.Span.from_char_range("가나다", start, end)
    assert str(exc.value) == message


@pytest.mark.parametrize(
    "span, text, message",
    [
        ((1, 3, 0, 1), "가", "span 1..3, does not fall on UTF-8 character boundaries"),
        ((0, 2, 0, 1), "가", "span 0..2, does not fall on UTF-8 character boundaries"),
        ((0, 4, 0, 1), "가", "span 0..4 is out of range for text of 3 bytes"),
        ((2, 1, 0, 0), "abc", "span 2..1 is out of range for text of 3 bytes"),
    ],
)
def test_slice_errors(span, text, message):
    with pytest.raises(ValueError) as exc:
        kx.Span(*span).slice(text)
    assert str(exc.value) == message


@pytest.mark.parametrize(
    "span, text, piece",
    [((0, 3, 9, 9), "가나", "가"), ((3, 3, 0, 0), "가나", ""), ((6, 6, 0, 0), "가나", ""),
     ((0, 3, 0, 3), "a\x00b", "a\x00b")],
)
def test_slice_ignores_char_fields(span, text, piece):
    assert kx.Span(*span).slice(text) == piece


def test_equality_only():
    z = kx.Span(0, 0, 0, 0)
    assert z == kx.Span(0, 0, 0, 0)
    assert not (z != kx.Span(0, 0, 0, 0))
    assert z != kx.Span(0, 0, 0, 1)
    assert (z == (0, 0, 0, 0)) is False
    assert (z != (0, 0, 0, 0)) is True
    with pytest.raises(TypeError):
        hash(z)
    with pytest.raises(TypeError):
        z < kx.Span(0, 1, 0, 1)  # noqa: B015


def test_docstrings():
    assert kx.Span.__text_signature__ == "(byte_start, byte_end, char_start, char_end)"
    assert kx.Span.__doc__.startswith("텍스트 한 구간. 바이트 오프셋과 문자 오프셋을 둘 다 담는다.")
    assert kx.Span.slice.__doc__.startswith("이 스팬이 가리키는 조각을 잘라 낸다.")
    assert kx.Span.from_char_range.__text_signature__ == "(text, char_start, char_end)"
    assert kx.Span.is_empty.__doc__ in (None, "")
    assert kx.SourceSpan.__doc__ == "[`PySpanMap`] 의 `to_source` 결과. 원문 스팬과 그 판정 근거."
