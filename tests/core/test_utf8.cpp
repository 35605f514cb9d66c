// Decoding a whole text into code points against the validator and the one-character decoder:
// every code point, and the byte strings around every form that is not valid UTF-8 (which no
// str of the Python surface can produce), at the end of a text and before more of it.
#include <algorithm>
#include <string>
#include <vector>

#include "check.hpp"
#include "text/utf8.hpp"

using namespace kestrix;

namespace {

// decode_all of `s` against utf8::valid and utf8::decode over the same bytes.
void check_decoded(const std::string& s) {
  std::vector<char32_t> got(s.size() + 1);
  const std::size_t n = utf8::decode_all(s, got.data());
  if (!utf8::valid(s)) {
    KX_CHECK(n == SIZE_MAX);
    return;
  }
  std::vector<char32_t> want;
  for (std::size_t i = 0; i < s.size();) want.push_back(utf8::decode(s, i));
  KX_CHECK(n == want.size());
  if (n == want.size()) KX_CHECK(std::equal(want.begin(), want.end(), got.begin()));
}

void check_placed(const std::string& piece) {
  for (const char* after : {"", "a", "\xEA\xB0\x80"}) {
    check_decoded(piece + after);
    check_decoded("a" + piece + after);
  }
}

}  // namespace

KX_TEST(decode_all_reads_every_code_point) {
  for (char32_t c = 0; c <= 0x10FFFF; c += c < 0x3000 ? 1 : 7) {
    std::string s;
    utf8::append(s, c);  // surrogates too: their bytes are refused
    check_placed(s);
  }
  for (char32_t c : {0xD7FFu, 0xD800u, 0xDFFFu, 0xE000u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
    std::string s;
    utf8::append(s, c);
    check_placed(s);
  }
}

KX_TEST(decode_all_refuses_what_is_not_utf8) {
  const unsigned char edges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF};
  for (unsigned lead = 0x80; lead <= 0xFF; ++lead) {
    check_placed(std::string(1, static_cast<char>(lead)));
    for (unsigned char b1 : edges) {
      const std::string two{static_cast<char>(lead), static_cast<char>(b1)};
      check_placed(two);
      for (unsigned char b2 : edges) {
        check_placed(two + static_cast<char>(b2));
        for (unsigned char b3 : edges) check_placed(two + static_cast<char>(b2) + static_cast<char>(b3));
      }
    }
  }
  // Overlong forms at the edges, and past U+10FFFF.
  for (const char* s : {"\xC1\xBF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80"})
    check_placed(s);
}

KX_TEST(ascii_prefix_stops_at_the_first_byte_past_ascii) {
  for (std::size_t n = 0; n <= 40; ++n)
    for (std::size_t at = 0; at <= n; ++at) {
      std::string s(n, 'a');
      if (at < n) s[at] = static_cast<char>(0x80);
      KX_CHECK(utf8::ascii_prefix(s) == at);
    }
}
