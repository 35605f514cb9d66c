"""Records: values that stand side by side in rows, lists, logs and forms are each masked.

The labeled lines come from bench/quality.py (the quality report measures the same lines at
larger scale). A value counts as masked when none of its characters is left in the output of
`mask`; the lines are masked with a fill policy, which keeps the output aligned with the line
character for character.
"""

import pathlib
import sys

import pytest

import kestrix as kx

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))

import quality  # noqa: E402
from quality import FILL, Gen, Line, masked_chars  # noqa: E402

PER_LAYOUT = 100
LINES = quality.generate(PER_LAYOUT * len(Gen.LAYOUTS), seed=11)
BY_LAYOUT = {lay: [ln for ln in LINES if ln.layout == lay] for lay in Gen.LAYOUTS}
RES, PHONE = quality.RES, quality.PHONE


def visible(line: Line) -> list[str]:
    """The labeled values of which some character is left after masking."""
    hidden = masked_chars(line.text)
    return [line.text[lab.start:lab.end] for lab in line.labels
            if not all(hidden[lab.start:lab.end])]


@pytest.mark.parametrize("layout", Gen.LAYOUTS)
def test_values_in_records_are_masked(layout):
    lines = BY_LAYOUT[layout]
    total = sum(len(ln.labels) for ln in lines)
    leaks = [(ln.text, v) for ln in lines for v in visible(ln)]
    recall = 1 - len(leaks) / total
    assert recall >= 0.99, f"{layout}: {len(leaks)} of {total} values left visible: {leaks[:6]}"


@pytest.mark.parametrize("layout", Gen.LAYOUTS)
def test_each_value_is_found_with_its_cue_word_alone(layout):
    # The labels are sound: every value, cut out of its line with its own cue word (if any),
    # is a finding that contains the whole value.
    missed = [(ln.text[lab.lone[0]:lab.lone[1]])
              for ln in BY_LAYOUT[layout]
              for lab, ok in zip(ln.labels, quality.lone_found(ln)) if not ok]
    assert missed == []


def test_nothing_a_finding_covers_is_left_visible():
    lines = LINES + list(quality.FIXED_LINES)
    leaks = []
    for ln in lines:
        hidden = masked_chars(ln.text)
        for f in kx.detect(ln.text).findings:
            a, b = f.source.char_start, f.source.char_end
            if not all(hidden[a:b]):
                leaks.append((ln.text, f.entity, ln.text[a:b]))
    assert leaks == []


# Invisible characters between digits, each of the five.
INVISIBLE_LINES = tuple(
    quality._fixed("invisible", f"주민번호 880101{c}-1234568", ("resident", f"880101{c}-1234568"))
    for c in quality.INVISIBLE) + tuple(
    quality._fixed("invisible", f"연락처 010-2345{c}6789", ("phone", f"010-2345{c}6789"))
    for c in quality.INVISIBLE) + (
    quality._fixed("invisible", f"카드번호 5409{chr(0x200b)}-2612-3456-7893",
                   ("credit_card", f"5409{chr(0x200b)}-2612-3456-7893")),
)
INTERNATIONAL_LINES = quality.INTERNATIONAL_LINES + (
    quality._fixed("international", "연락처 +82 (0)10-2345-6789", ("phone", "+82 (0)10-2345-6789")),
    quality._fixed("international", "+82.31.123.4567", ("phone", "+82.31.123.4567")),
    quality._fixed("international", f"홍길동,+82-10-2345-6789,{RES}",
                   ("phone", "+82-10-2345-6789"), ("resident", RES)),
)
FIXED = quality.ROW_LINES + INTERNATIONAL_LINES + INVISIBLE_LINES \
    + quality.OVERLAP_LINES


@pytest.mark.parametrize("line", FIXED, ids=lambda ln: ln.text)
def test_every_value_of_the_line_is_masked(line):
    assert visible(line) == []
    out = kx.mask(line.text).text
    for lab in line.labels:
        assert line.text[lab.start:lab.end] not in out


@pytest.mark.parametrize("line", FIXED, ids=lambda ln: ln.text)
def test_every_value_of_the_line_is_found_as_its_entity(line):
    findings = kx.detect(line.text).findings
    for lab in line.labels:
        assert any(f.entity == lab.entity and f.source.char_start <= lab.start
                   and lab.end <= f.source.char_end for f in findings), \
            (line.text[lab.start:lab.end], findings)


@pytest.mark.parametrize("line", quality.OVERLAP_LINES, ids=lambda ln: ln.text)
def test_overlapping_findings_are_tokenized_to_the_end_and_restored(line):
    # The e-mail's local part starts inside the phone number before it: its tail is tokenized
    # too, and unmask gives the line back.
    out = kx.mask(line.text, kx.PolicySet(kx.Policy.tokenize()))
    assert "naver" not in out.text
    assert kx.unmask(out.text, out.restore) == line.text
