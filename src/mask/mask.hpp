// Policy sets and the mask pass.
#pragma once
#include <algorithm>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "detect/detect.hpp"
#include "mask/policy.hpp"
#include "mask/restore.hpp"

namespace kestrix {

// A default policy plus per-entity overrides: at most one pair per entity, in the order in
// which entities first got an override.
struct PolicySet {
  Policy default_policy;
  std::vector<std::pair<Entity, Policy>> overrides;
};

// A copy of `set` whose override for `entity` is `policy` (replaced in place if present,
// appended otherwise).
PolicySet with_entity(const PolicySet& set, Entity entity, Policy policy);

// The override for `entity`, else the default.
const Policy& policy_for(const PolicySet& set, Entity entity);

// True when the default or any override tokenizes.
bool tokenizes(const PolicySet& set);

// True when some policy of the set makes its replacement from the piece it replaces (or counts
// its characters): any but a label, a code or a fixed text.
bool reads_pieces(const PolicySet& set);

struct MaskOutput {
  std::string text;
  std::vector<Finding> applied;
  // For each applied finding, the byte offset in `text` where its replacement ends (and,
  // with MaskedText::replacements, where the next one begins).
  std::vector<std::size_t> rendered_ends;
  std::vector<Finding> skipped;
  std::optional<RestoreMap> restore;  // present exactly when the set tokenizes
};

// What MaskOutput::text holds, for callers that make the masked text themselves.
enum class MaskedText : std::uint8_t {
  whole,             // the masked text
  unless_unchanged,  // the masked text, or nothing when no finding is applied (the text itself)
  replacements,      // only the replacements, one after another
};

// Calls f(start_char, end_char, end_byte, replacement) for each applied finding of a mask
// output made with MaskedText::replacements, in text order: the source characters it
// replaces and where its bytes end, and its rendered piece. A finding that reaches past the
// previous one was rendered from that one's end on.
template <class F>
void each_replacement(const MaskOutput& out, F f) {
  std::size_t at = 0;  // where the next replacement begins in out.text
  std::uint32_t masked_to = 0;  // character end of the previous replacement
  for (std::size_t k = 0; k < out.applied.size(); ++k) {
    const Span& src = out.applied[k].source;
    f(std::max(src.char_start, masked_to), src.char_end, src.byte_end,
      std::string_view(out.text).substr(at, out.rendered_ends[k] - at));
    at = out.rendered_ends[k];
    masked_to = src.char_end;
  }
}

// Rewrites `text` at the source spans of `findings` (any order; sorted stably by start, then
// end). A finding that starts inside an already rewritten part and ends after it is rewritten
// from the end of that part on (its policy renders that remaining piece); one that lies wholly
// inside it, or whose span is reversed or runs past the text, is skipped. Text outside the
// applied spans is copied byte for byte.
MaskOutput mask_findings(std::string_view text, std::vector<Finding> findings,
                         const PolicySet& policies, MaskedText made = MaskedText::whole);

// Detects with `config` and masks the accepted findings.
std::expected<MaskOutput, Error> mask(std::string_view text, const PolicySet& policies,
                                      const Config& config, MaskedText made = MaskedText::whole);

// mask(text, policies, config, MaskedText::replacements), consuming `text` (see detect): where a
// policy reads the pieces it replaces, they are read from a copy of the source.
std::expected<MaskOutput, Error> mask_replacements(std::string&& text, const PolicySet& policies,
                                                   const Config& config);

}  // namespace kestrix
