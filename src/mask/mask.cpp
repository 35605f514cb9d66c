#include "mask/mask.hpp"

#include <algorithm>

#include "text/recycled.hpp"

namespace kestrix {

PolicySet with_entity(const PolicySet& set, Entity entity, Policy policy) {
  PolicySet out = set;
  for (auto& [e, p] : out.overrides) {
    if (e == entity) {
      p = std::move(policy);
      return out;
    }
  }
  out.overrides.emplace_back(entity, std::move(policy));
  return out;
}

const Policy& policy_for(const PolicySet& set, Entity entity) {
  for (const auto& [e, p] : set.overrides)
    if (e == entity) return p;
  return set.default_policy;
}

bool tokenizes(const PolicySet& set) {
  if (set.default_policy.kind == PolicyKind::tokenize) return true;
  for (const auto& [e, p] : set.overrides)
    if (p.kind == PolicyKind::tokenize) return true;
  return false;
}

bool reads_pieces(const PolicySet& set) {
  auto reads = [](const Policy& p) { return p.kind != PolicyKind::redact || p.redact == RedactKind::fill; };
  if (reads(set.default_policy)) return true;
  for (const auto& [e, p] : set.overrides)
    if (reads(p)) return true;
  return false;
}

namespace {

// The fixed replacement texts of the set: the token prefix must not occur in them either, or
// unmask would take such a replacement for a token.
std::vector<std::string_view> fixed_texts(const PolicySet& set) {
  std::vector<std::string_view> texts;
  auto add = [&](const Policy& p) {
    if (p.kind == PolicyKind::redact && p.redact == RedactKind::fixed) texts.push_back(p.text);
  };
  add(set.default_policy);
  for (const auto& [e, p] : set.overrides) add(p);
  return texts;
}

bool on_boundary(std::string_view text, std::size_t i) {
  return i >= text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
}

}  // namespace

namespace {

// The mask pass over a text of `size` bytes, which `text` holds, or, where no policy reads the
// pieces it replaces and the findings come from detection of the text (inside it, on character
// boundaries, so that nothing is checked against its bytes), an empty `text` of replacements.
MaskOutput mask_pass(std::string_view text, std::size_t size, std::vector<Finding> findings,
                     const PolicySet& policies, MaskedText made) {
  const bool unchanged_parts = made != MaskedText::replacements;
  const bool read = text.size() == size;
  auto before = [](const Finding& a, const Finding& b) {
    if (a.source.byte_start != b.source.byte_start) return a.source.byte_start < b.source.byte_start;
    return a.source.byte_end < b.source.byte_end;
  };
  // Detection hands its findings over in this order already; sorting them again would move
  // every record through a temporary copy of the list.
  if (!std::is_sorted(findings.begin(), findings.end(), before))
    std::stable_sort(findings.begin(), findings.end(), before);
  MaskOutput out;
  if (tokenizes(policies)) out.restore = new_restore_map(text, fixed_texts(policies));
  RestoreMap* restore = out.restore ? &*out.restore : nullptr;
  if (restore) restore->entries.reserve(findings.size());
  out.rendered_ends.reserve(findings.size());
  // The applied findings stay where they are in `findings`, moved forward over the skipped
  // ones, so that the list becomes `applied` without copying its records.
  std::size_t kept = 0;
  std::size_t cursor = 0;
  // Detection read the normalized copy, so the source bytes of a long text have left the
  // cache by now: each finding's bytes are asked for a few findings ahead, instead of every
  // finding waiting on memory in turn.
  constexpr std::size_t kAhead = 8;
  auto prefetch = [&](std::size_t k) {
    if (k < findings.size() && findings[k].source.byte_start < text.size())
      __builtin_prefetch(text.data() + findings[k].source.byte_start);
  };
  for (std::size_t k = 0; k < kAhead; ++k) prefetch(k);
  for (std::size_t k = 0; k < findings.size(); ++k) {
    prefetch(k + kAhead);
    Finding& f = findings[k];
    // A finding that reaches past the previous replacement is masked from its end on: none
    // of its bytes may stay visible. One wholly inside it is skipped.
    const std::size_t start = std::max<std::size_t>(f.source.byte_start, cursor);
    const std::size_t end = f.source.byte_end;
    // A span that would cut a character in two is skipped like one outside the text: the
    // output must stay valid UTF-8.
    const bool inside = f.source.byte_start < cursor && end <= cursor;
    if (inside || end > size || end < f.source.byte_start ||
        (read && (!on_boundary(text, start) || !on_boundary(text, end)))) {
      out.skipped.push_back(std::move(f));
      continue;
    }
    if (unchanged_parts) {
      // A label is often longer than what it replaces: room for a few such is spared a
      // short text's copy growing once more.
      if (kept == 0) out.text.reserve(text.size() + 64);
      out.text.append(text.substr(cursor, start - cursor));
    }
    render(out.text, policy_for(policies, f.entity), f.entity,
           read ? text.substr(start, end - start) : std::string_view(), restore);
    cursor = end;
    out.rendered_ends.push_back(out.text.size());
    if (kept != k) findings[kept] = std::move(f);
    ++kept;
  }
  findings.resize(kept);
  out.applied = std::move(findings);
  // Without an applied finding the masked text is the text itself.
  if (made == MaskedText::whole || (made == MaskedText::unless_unchanged && kept > 0))
    out.text.append(text.substr(cursor));
  return out;
}

}  // namespace

MaskOutput mask_findings(std::string_view text, std::vector<Finding> findings,
                         const PolicySet& policies, MaskedText made) {
  return mask_pass(text, text.size(), std::move(findings), policies, made);
}

std::expected<MaskOutput, Error> mask(std::string_view text, const PolicySet& policies,
                                      const Config& config, MaskedText made) {
  auto report = detect_findings(text, config);
  if (!report) return std::unexpected(std::move(report.error()));
  recycled::recycle_text(std::move(report->normalized_text));  // masking reads the source
  // Most short texts have nothing to mask: their output is the text, or nothing (see MaskedText).
  if (report->findings.empty() && !tokenizes(policies)) {
    std::expected<MaskOutput, Error> out(std::in_place);
    if (made == MaskedText::whole) out->text.assign(text);
    return out;
  }
  return mask_findings(text, std::move(report->findings), policies, made);
}

std::expected<MaskOutput, Error> mask_replacements(std::string&& text, const PolicySet& policies,
                                                   const Config& config) {
  // A policy that reads what it replaces (a token, a hash, a partial mask) reads it from a copy
  // of the source made before the first pass that changes the text writes over it, or from the
  // unchanged text itself: detection rewrites the call's own text in place, as under any other
  // policy, instead of writing its first normalized form into a buffer beside the source.
  const bool read = reads_pieces(policies);
  const std::size_t size = text.size();
  std::string source;
  auto report = read ? detect_findings(std::move(text), config, source) : detect_findings(std::move(text), config);
  if (!report) return std::unexpected(std::move(report.error()));
  const std::string_view pieces = !read ? std::string_view() : source.empty() ? report->normalized_text : source;
  MaskOutput out = mask_pass(pieces, size, std::move(report->findings), policies, MaskedText::replacements);
  recycled::recycle_text(std::move(report->normalized_text));
  recycled::recycle_text(std::move(source));
  return out;
}

}  // namespace kestrix
