"""Masks the bundled customer-service transcript and explains what was found and why.

Run it from anywhere: the sample is found next to this file. Only invented data is used.
"""

import sys
from pathlib import Path

import kestrix as kx

SAMPLE = Path(__file__).resolve().parent / "sample_transcript.txt"


def position(text, char_offset):
    """1-based line and column of a character offset, so a finding can be located without
    printing the personal data itself."""
    before = text[:char_offset]
    line = before.count("\n") + 1
    column = char_offset - (before.rfind("\n") + 1) + 1
    return line, column


def explain(text, finding):
    ev = finding.evidence
    line, column = position(text, finding.source.char_start)
    checksum = ev.checksum if ev.checksum_reason is None else f"{ev.checksum} ({ev.checksum_reason})"
    cues = ", ".join(hit.cue for hit in ev.context_hits) or "없음"
    normalizations = ", ".join(ev.normalizations) or "없음"
    return (
        f"- {finding.entity_label} ({finding.entity}) {line}행 {column}열, "
        f"{finding.source.char_len}글자\n"
        f"    확신도 {finding.certainty}, 점수 {finding.score:.2f}, 규칙 {ev.rule}\n"
        f"    검증식 {checksum}\n"
        f"    문맥 단서 {cues}\n"
        f"    정규화 {normalizations}"
    )


def main():
    text = SAMPLE.read_text(encoding="utf-8")

    out = kx.mask(text)
    print("== 기본 정책(한국어 이름 자리표시자)으로 가린 텍스트 ==")
    print(out.text.rstrip("\n"))
    print()
    print(f"== 가린 것 {len(out.applied)}건과 그 근거 ==")
    for finding in out.applied:
        print(explain(text, finding))
    if out.skipped:
        print(f"(앞선 구간과 겹쳐 건너뛴 결과 {len(out.skipped)}건)")

    # Candidates that had the right shape but were left in the text, and why.
    masked_spans = [(f.source.byte_start, f.source.byte_end) for f in out.applied]
    left = [r for r in kx.detect(text).rejections
            if not any(s < r.source.byte_end and r.source.byte_start < e for s, e in masked_spans)]
    if left:
        print()
        print(f"== 형식은 맞았지만 가리지 않고 남긴 후보 {len(left)}건 ==")
        for r in left:
            line, column = position(text, r.source.char_start)
            print(f"- {r.entity_label} ({r.entity}) {line}행 {column}열: {r.reason}, 점수 {r.score:.2f}")

    # Reversible masking: tokens in the text, the originals in a restore map that is saved
    # as JSON (and must be kept apart from the masked text), then restored from that JSON.
    tokenized = kx.mask(text, kx.PolicySet(kx.Policy.tokenize()))
    saved = tokenized.restore.to_json()
    restored = kx.unmask(tokenized.text, kx.RestoreMap.from_json(saved))
    print()
    print("== 토큰화로 가린 텍스트 ==")
    print(tokenized.text.rstrip("\n"))
    print()
    print(f"복원 맵 {tokenized.restore!r}, JSON {len(saved.encode('utf-8'))}바이트")
    print(f"JSON 에서 되읽은 표로 복원한 텍스트가 원문과 같다: {restored == text}")
    return 0 if restored == text else 1


if __name__ == "__main__":
    sys.exit(main())
