#include "span/describe.hpp"

#include "span/span_map.hpp"

namespace kestrix {
namespace {

std::string range(std::uint32_t start, std::uint32_t end) {
  return std::to_string(start) + ".." + std::to_string(end);
}

// "byte=1..2, char=3..4"
std::string ranges(const Span& s) { return "byte=" + byte_range(s) + ", char=" + range(s.char_start, s.char_end); }

// ["a", "b"] with backslash escapes for quote and backslash.
std::string rules_list(const RuleList& rules) {
  std::string s = "[";
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (i) s += ", ";
    s.push_back('"');
    for (char c : rules[i]) {
      if (c == '"' || c == '\\') s.push_back('\\');
      s.push_back(c);
    }
    s.push_back('"');
  }
  s += "]";
  return s;
}

}  // namespace

std::string byte_range(const Span& s) { return range(s.byte_start, s.byte_end); }

std::string describe(const Span& s) { return "Span(" + ranges(s) + ")"; }

std::string describe(const SourceSpan& s) {
  return "SourceSpan(" + ranges(s.span) + ", snapped=" + (s.snapped ? "true" : "false") +
         ", rules=" + rules_list(s.rules) + ")";
}

std::string describe(const NormalizationCost& c) {
  return "NormalizationCost(absorbed_whitespace=" + std::to_string(c.absorbed_whitespace) +
         ", absorbed_separators=" + std::to_string(c.absorbed_separators) +
         ", expanded_syllables=" + std::to_string(c.expanded_syllables) +
         ", replaced_chars=" + std::to_string(c.replaced_chars) + ")";
}

std::string describe(const Segment& s) {
  return "Segment(kind=\"" + std::string(kind_name(s.kind)) + "\", src=" + byte_range(s.src) +
         ", dst=" + byte_range(s.dst) + ")";
}

std::string describe(const SpanMap& m) {
  return "SpanMap(segments=" + std::to_string(m.segments.size()) + ", src_bytes=" + std::to_string(src_end(m).first) +
         ", dst_bytes=" + std::to_string(dst_end(m).first) + ")";
}

}  // namespace kestrix
