// Spans, costs, segments and span maps: the alignment records shared by every layer.
#pragma once
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrix {

// A piece of text in UTF-8 bytes and in characters. Stored unchecked: nothing forces
// start <= end or that both ranges describe the same text.
struct Span {
  std::uint32_t byte_start = 0;
  std::uint32_t byte_end = 0;
  std::uint32_t char_start = 0;
  std::uint32_t char_end = 0;

  friend bool operator==(const Span&, const Span&) = default;
};

// How far a span moved from its source. Every addition saturates at 65535 per counter.
struct NormalizationCost {
  std::uint16_t absorbed_whitespace = 0;
  std::uint16_t absorbed_separators = 0;
  std::uint16_t expanded_syllables = 0;
  std::uint16_t replaced_chars = 0;

  bool is_zero() const {
    return (absorbed_whitespace | absorbed_separators | expanded_syllables | replaced_chars) == 0;
  }
  friend bool operator==(const NormalizationCost&, const NormalizationCost&) = default;
};

inline std::uint16_t sat_add16(std::uint16_t a, std::uint16_t b) {
  unsigned s = unsigned{a} + unsigned{b};
  return static_cast<std::uint16_t>(s > 0xFFFF ? 0xFFFF : s);
}

inline std::uint16_t clamp16(std::uint64_t n) {
  return static_cast<std::uint16_t>(n > 0xFFFF ? 0xFFFF : n);
}

inline NormalizationCost saturating_add(const NormalizationCost& a, const NormalizationCost& b) {
  return {sat_add16(a.absorbed_whitespace, b.absorbed_whitespace),
          sat_add16(a.absorbed_separators, b.absorbed_separators),
          sat_add16(a.expanded_syllables, b.expanded_syllables),
          sat_add16(a.replaced_chars, b.replaced_chars)};
}

enum class SegmentKind : std::uint8_t { identity = 0, replace = 1, del = 2, expand = 3 };

inline std::string_view kind_name(SegmentKind k) {
  switch (k) {
    case SegmentKind::identity: return "identity";
    case SegmentKind::replace: return "replace";
    case SegmentKind::del: return "delete";
    case SegmentKind::expand: return "expand";
  }
  return "identity";
}

// Rule names live for the whole process (literals or interned), so views are safe to keep.
using RuleList = std::vector<std::string_view>;

struct Segment {
  RuleList rules;  // ascending, no duplicates; empty for identity
  Span src;
  Span dst;
  NormalizationCost cost;  // zero for identity
  SegmentKind kind = SegmentKind::identity;
};

// Segments tile source and normalized text in order (see validate in span_map.hpp).
struct SpanMap {
  std::vector<Segment> segments;
};

struct SourceSpan {
  RuleList rules;  // de-duplicated, ascending byte-wise
  Span span;
  NormalizationCost cost;
  bool snapped = false;
};

// Sorts rule names ascending (byte-wise, stable) and drops adjacent duplicates.
inline void sort_unique_rules(RuleList& rules) {
  std::stable_sort(rules.begin(), rules.end());
  rules.erase(std::unique(rules.begin(), rules.end()), rules.end());
}

}  // namespace kestrix
