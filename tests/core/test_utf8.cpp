// Decoding a whole text into code points against the validator and the one-character decoder:
// every code point, and the byte strings around every form that is not valid UTF-8 (which no
// str of the Python surface can produce), at the end of a text and before more of it.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
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

namespace {

// Every form of each length at its edges, and every kind of fault, with whether it is UTF-8
// wherever it stands.
struct Piece {
  const char* bytes;
  bool valid;
};
constexpr Piece kPieces[] = {
    {"a", true}, {"\x7F", true}, {"\xC2\x80", true}, {"\xC3\xA9", true}, {"\xDF\xBF", true},
    {"\xE0\xA0\x80", true}, {"\xEA\xB0\x80", true}, {"\xED\x9F\xBF", true}, {"\xEE\x80\x80", true},
    {"\xEF\xBF\xBF", true}, {"\xF0\x90\x80\x80", true}, {"\xF1\x80\x80\x80", true}, {"\xF4\x8F\xBF\xBF", true},
    // overlong
    {"\xC0\x80", false}, {"\xC1\xBF", false}, {"\xE0\x80\x80", false}, {"\xE0\x9F\xBF", false},
    {"\xF0\x80\x80\x80", false}, {"\xF0\x8F\xBF\xBF", false},
    // surrogates
    {"\xED\xA0\x80", false}, {"\xED\xBF\xBF", false},
    // above U+10FFFF, and leads that never begin a character
    {"\xF4\x90\x80\x80", false}, {"\xF4\xBF\xBF\xBF", false}, {"\xF5\x80\x80\x80", false},
    {"\xF7\xBF\xBF\xBF", false}, {"\xF8\x88\x80\x80\x80", false}, {"\xFF", false}, {"\xFE\x80", false},
    // continuations with no lead, or one too many
    {"\x80", false}, {"\xBF", false}, {"\xC3\xA9\xA9", false}, {"\xEA\xB0\x80\x80", false},
    {"\xF0\x90\x80\x80\x80", false},
    // cut, at the end or before ASCII
    {"\xC3", false}, {"\xEA\xB0", false}, {"\xEA", false}, {"\xF0\x90\x80", false}, {"\xF0\x90", false},
    {"\xF4", false}, {"\xC3"
                      "a",
                      false},
    {"\xEA\xB0"
     "a",
     false},
    {"\xF0\x90\x80"
     "a",
     false},
};

// `n` bytes of ASCII or of Hangul (with up to two ASCII bytes to make up the count).
std::string background(bool hangul, std::size_t n) {
  std::string s;
  if (hangul)
    while (s.size() + 3 <= n) s += "\xEA\xB0\x80";
  s.resize(n, 'a');
  return s;
}

}  // namespace

KX_TEST(blocks_and_scalar_agree_on_every_form_at_every_place) {
  // Places across three 64-byte blocks: every 16- and 32-byte edge on both sides of every byte.
  for (const Piece& p : kPieces)
    for (bool hangul : {false, true})
      for (std::size_t at = 0; at <= 140; ++at)
        for (std::size_t after : {std::size_t{0}, std::size_t{1}, std::size_t{70}}) {
          const std::string s = background(hangul, at) + p.bytes + background(hangul, after);
          if (utf8::valid_blocks(s) != p.valid || utf8::valid_scalar(s) != p.valid || utf8::valid(s) != p.valid) {
            KX_CHECK(utf8::valid_blocks(s) == p.valid);
            KX_CHECK(utf8::valid_scalar(s) == p.valid);
            std::fprintf(stderr, "  piece of %zu bytes at %zu of %zu, hangul %d\n", std::strlen(p.bytes), at,
                         s.size(), hangul);
            return;
          }
        }
}

KX_TEST(blocks_and_scalar_agree_on_random_bytes) {
  std::mt19937 rng(7);
  const unsigned char edges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1,
                                 0xC2, 0xDF, 0xE0, 0xEA, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  for (int round = 0; round < 20000; ++round) {
    // Mostly the values where the rules change, so that whole sequences form often.
    std::string s(rng() % 200, '\0');
    for (char& c : s) c = static_cast<char>(rng() % 3 ? edges[rng() % std::size(edges)] : rng());
    KX_CHECK(utf8::valid_blocks(s) == utf8::valid_scalar(s));
  }
}

KX_TEST(blocks_refuse_valid_text_with_one_byte_changed_as_scalar_does) {
  std::mt19937 rng(11);
  int refused = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string s;
    for (std::size_t n = rng() % 80; n > 0; --n) {
      const unsigned kind = rng() % 4;
      const char32_t c = kind == 0   ? rng() % 0x80
                         : kind == 1 ? 0xAC00 + rng() % 11172
                                     : (rng() % 0x10F800 + 0x800) % 0x110000;
      utf8::append(s, c - 0xD800 < 0x800 ? U'가' : c);
    }
    KX_CHECK(utf8::valid_blocks(s));
    if (s.empty()) continue;
    s[rng() % s.size()] = static_cast<char>(rng());
    const bool got = utf8::valid_blocks(s);
    KX_CHECK(got == utf8::valid_scalar(s));
    refused += !got;
  }
  KX_CHECK(refused > 5000);  // the changes reach the faults, not only other valid text
}
