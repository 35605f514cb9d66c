"""A small program against the typed surface; the test suite checks it with mypy --strict."""

import kestrix as kx


def masked_with_tokens(text: str) -> tuple[str, str]:
    policies = kx.PolicySet(kx.Policy.redact_label()).with_entity("phone", kx.Policy.tokenize())
    out: kx.MaskOutput = kx.mask(text, policies)
    restore = out.restore
    return out.text, restore.to_json() if restore is not None else "{}"


def explain(text: str) -> list[str]:
    config = kx.Config()
    config.context_window = 16
    config.set_weights(context=0.6)
    lines: list[str] = []
    for f in kx.detect(text, config).findings:
        ev = f.evidence
        hits = ", ".join(f"{h.cue}@{h.distance}" for h in ev.context_hits)
        lines.append(f"{f.entity} {f.certainty} {f.score:.2f} {ev.rule} {ev.checksum} [{hits}]")
    return lines


def source_of(text: str) -> list[tuple[int, int]]:
    n = kx.normalize(text)
    spans: list[tuple[int, int]] = []
    for seg in n.map.segments:
        if seg.kind != "identity":
            s = n.map.to_source(seg.dst)
            spans.append((s.char_start, s.char_end))
    return spans


if __name__ == "__main__":
    sample = "연락처 010-1234-5678, 주민번호 900101-1234568"
    masked, restore_json = masked_with_tokens(sample)
    print(masked)
    assert "010-1234-5678" in kx.unmask(masked, kx.RestoreMap.from_json(restore_json))
    print("\n".join(explain(sample)))
    print(source_of(sample))
