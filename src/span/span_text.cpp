#include "span/span_text.hpp"

#include "text/utf8.hpp"

namespace kestrix {

std::expected<Span, std::string> span_from_char_range(std::string_view text, std::uint32_t cs,
                                                      std::uint32_t ce) {
  if (cs > ce)
    return std::unexpected("char_start " + std::to_string(cs) + " must not exceed char_end " +
                           std::to_string(ce));
  // One pass finds both byte offsets; the count of characters comes from the same walk.
  std::uint32_t chars = 0;
  std::uint32_t bs = 0, be = 0;
  bool have_s = false, have_e = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (utf8::is_cont(static_cast<unsigned char>(text[i]))) continue;
    if (chars == cs) { bs = static_cast<std::uint32_t>(i); have_s = true; }
    if (chars == ce) { be = static_cast<std::uint32_t>(i); have_e = true; }
    ++chars;
  }
  if (ce > chars)
    return std::unexpected("char_end " + std::to_string(ce) + " is out of range; text has " +
                           std::to_string(chars) + " characters");
  auto len = static_cast<std::uint32_t>(text.size());
  if (!have_s) bs = len;
  if (!have_e) be = len;
  return Span{bs, be, cs, ce};
}

std::expected<std::string_view, std::string> slice(const Span& s, std::string_view text) {
  auto len = text.size();
  if (s.byte_end > len || s.byte_start > s.byte_end)
    return std::unexpected("span " + std::to_string(s.byte_start) + ".." + std::to_string(s.byte_end) +
                           " is out of range for text of " + std::to_string(len) + " bytes");
  auto inside_cont = [&](std::uint32_t p) {
    return p > 0 && p < len && utf8::is_cont(static_cast<unsigned char>(text[p]));
  };
  if (inside_cont(s.byte_start) || inside_cont(s.byte_end))
    return std::unexpected("span " + std::to_string(s.byte_start) + ".." + std::to_string(s.byte_end) +
                           ", does not fall on UTF-8 character boundaries");
  return text.substr(s.byte_start, s.byte_end - s.byte_start);
}

}  // namespace kestrix
