// The debug form of a text used by reprs: double-quoted, with backslash escapes for the quote,
// the backslash, \n, \r, \t and \u{hex} for other non-printable characters.
#pragma once
#include <string>
#include <string_view>

namespace kestrix {

void append_debug_string(std::string& out, std::string_view s);

inline std::string debug_string(std::string_view s) {
  std::string out;
  append_debug_string(out, s);
  return out;
}

// Shortest decimal that reads back to the same float32 (1.0 gives "1").
std::string format_f32(float v);

// Fixed-point with `decimals` digits after the point, as printf("%.Nf") of the widened value.
std::string format_fixed(float v, int decimals);

}  // namespace kestrix
