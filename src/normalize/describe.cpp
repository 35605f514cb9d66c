#include "normalize/describe.hpp"

#include "text/debug_string.hpp"

namespace kestrix {

std::string describe(const Config& c) {
  return "Config(min_score=" + format_f32(c.min_score) + ", min_context=" + format_f32(c.min_context) +
         ", context_window=" + std::to_string(c.context_window) + ")";
}

std::string describe(const Normalized& n) {
  std::string s = "Normalized(text=";
  append_debug_string(s, n.text);
  s += ", segments=" + std::to_string(n.map.segments.size()) + ")";
  return s;
}

}  // namespace kestrix
