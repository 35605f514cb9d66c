// The builder every normalization pass writes through: one call per piece of source text,
// front to back, so the segments tile both texts by construction.
#pragma once
#include <array>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include "span/span.hpp"
#include "text/debug_string.hpp"
#include "text/utf8.hpp"

namespace kestrix {

enum class AbsorbClass : std::uint8_t { whitespace, separator, other };

// The class of its name ("whitespace", "separator" or "other"), or why there is none.
inline std::expected<AbsorbClass, std::string> parse_absorb_class(std::string_view name) {
  if (name == "whitespace") return AbsorbClass::whitespace;
  if (name == "separator") return AbsorbClass::separator;
  if (name == "other") return AbsorbClass::other;
  return std::unexpected("unknown absorbed class " + debug_string(name) +
                         "; expected 'whitespace', 'separator', or 'other'");
}

struct Builder {
  std::vector<Segment> segments;
  std::string out;  // normalized text so far; dst cursor == (out.size(), dc) while write_text
  // False for a caller that makes the output text itself (a pass that only deletes, compacting
  // its input in place): then only the segments are built and `out` stays empty.
  bool write_text = true;
  std::uint32_t sb = 0, sc = 0;  // source cursor (bytes, chars)
  std::uint32_t db = 0, dc = 0;  // destination cursor
  // The handles of the rule names used last: a pass names a few rules over and over (the
  // separator pass alternates between its classes), and interning a name costs a lookup.
  std::array<std::pair<std::string_view, RuleSeq>, 4> recent_rules{};
  std::size_t next_recent = 0;
};

// The one-name rule list of `rule`, remembered for the next segments.
inline RuleSeq rules_of(Builder& b, std::string_view rule) {
  for (const auto& [name, rules] : b.recent_rules)
    if (!rules.empty() && rule.size() == name.size() &&
        (rule.data() == name.data() || rule == name))
      return rules;
  auto& slot = b.recent_rules[b.next_recent++ % b.recent_rules.size()];
  slot = {rule, RuleSeq::one(rule)};
  return slot.second;
}

// Reserves `bytes` for the output text.
inline void reserve(Builder& b, std::size_t bytes) { b.out.reserve(bytes); }

// Copies text unchanged; folds into a preceding identity segment.
// The counted variant takes the character count the caller already knows.
inline void keep(Builder& b, std::string_view text, std::uint32_t k) {
  if (text.empty()) return;
  std::uint32_t n = static_cast<std::uint32_t>(text.size());
  if (b.write_text) b.out.append(text);
  if (!b.segments.empty() && b.segments.back().kind == SegmentKind::identity) {
    Segment& last = b.segments.back();
    last.src.byte_end = b.sb + n;
    last.src.char_end = b.sc + k;
    last.dst.byte_end = b.db + n;
    last.dst.char_end = b.dc + k;
  } else {
    b.segments.push_back(Segment{{},
                                 Span{b.sb, b.sb + n, b.sc, b.sc + k},
                                 Span{b.db, b.db + n, b.dc, b.dc + k},
                                 {},
                                 SegmentKind::identity});
  }
  b.sb += n;
  b.sc += k;
  b.db += n;
  b.dc += k;
}
inline void keep(Builder& b, std::string_view text) {
  keep(b, text, utf8::count_chars(text));
}

namespace builder_detail {

enum class Bump { replaced, expanded, whitespace, separator, none };

// The shared step of replace, numeral and absorb: one segment that never folds, whose rule
// list is `rules`.
inline void emit(Builder& b, std::string_view src, std::string_view dst, RuleSeq rules, Bump bump) {
  if (src.empty()) return;
  const std::uint32_t n = static_cast<std::uint32_t>(src.size());
  const std::uint32_t k = utf8::count_chars(src);
  const std::uint32_t m = static_cast<std::uint32_t>(dst.size());
  const std::uint32_t j = dst.empty() ? 0 : utf8::count_chars(dst);
  Segment& s = b.segments.emplace_back();
  s.src = {b.sb, b.sb + n, b.sc, b.sc + k};
  s.dst = {b.db, b.db + m, b.dc, b.dc + j};
  b.sb += n;
  b.sc += k;
  if (b.write_text) b.out.append(dst);
  b.db += m;
  b.dc += j;
  s.kind = m == 0 ? SegmentKind::del : j > k ? SegmentKind::expand : SegmentKind::replace;
  const std::uint16_t c = clamp16(k);
  switch (bump) {
    case Bump::replaced: s.cost.replaced_chars = c; break;
    case Bump::expanded: s.cost.expanded_syllables = c; break;
    case Bump::whitespace: s.cost.absorbed_whitespace = c; break;
    case Bump::separator: s.cost.absorbed_separators = c; break;
    case Bump::none: break;
  }
  s.rules = rules;
}

inline Bump absorb_bump(AbsorbClass cls) {
  return cls == AbsorbClass::whitespace  ? Bump::whitespace
         : cls == AbsorbClass::separator ? Bump::separator
                                         : Bump::none;
}

}  // namespace builder_detail

inline void replace(Builder& b, std::string_view src, std::string_view dst, std::string_view rule) {
  if (!src.empty()) builder_detail::emit(b, src, dst, rules_of(b, rule), builder_detail::Bump::replaced);
}
inline void numeral(Builder& b, std::string_view src, std::string_view dst, std::string_view rule) {
  if (!src.empty()) builder_detail::emit(b, src, dst, rules_of(b, rule), builder_detail::Bump::expanded);
}
inline void absorb(Builder& b, std::string_view src, std::string_view rule, AbsorbClass cls) {
  if (!src.empty()) builder_detail::emit(b, src, {}, rules_of(b, rule), builder_detail::absorb_bump(cls));
}
// The same with the rule's one-name list at hand (a pass's own rule, looked up once per process).
inline void absorb(Builder& b, std::string_view src, RuleSeq rules, AbsorbClass cls) {
  builder_detail::emit(b, src, {}, rules, builder_detail::absorb_bump(cls));
}
std::pair<std::string, SpanMap> finish(Builder& b);

// Process-lifetime copy of a rule name (one lock-guarded set).
std::string_view intern_rule(std::string_view name);

}  // namespace kestrix
