// The UTF-16 transcoder against the one-character encoder (utf8::append) on texts that put
// every kind of unit (ASCII, two- and three-byte, pairs, lone surrogates) at every place of
// the vector blocks, for every length around them.
#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "text/utf16.hpp"
#include "text/utf8.hpp"

using namespace kestrix;

namespace {

// The reference: the UTF-8 form, or the index of the first lone surrogate.
std::expected<std::string, std::size_t> reference(const std::vector<char16_t>& u) {
  std::string out;
  for (std::size_t i = 0; i < u.size(); ++i) {
    const char32_t c = u[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < u.size() && u[i + 1] >= 0xDC00 && u[i + 1] < 0xE000) {
      utf8::append(out, 0x10000 + ((c - 0xD800) << 10) + (u[i + 1] - 0xDC00));
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      return std::unexpected(i);
    } else {
      utf8::append(out, c);
    }
  }
  return out;
}

void check_same(const std::vector<char16_t>& u) {
  std::string out(utf16::room(u.size()), '\0');
  auto got = utf16::to_utf8(u.data(), u.size(), out.data());
  auto want = reference(u);
  KX_CHECK(got.has_value() == want.has_value());
  if (got && want) KX_CHECK(out.substr(0, *got) == *want);
  if (!got && !want) KX_CHECK(got.error().index == want.error());
  // The whole form as a string, which replaces what it held and is empty on failure.
  std::string whole = "held before";
  KX_CHECK(utf16::to_utf8(std::u16string_view(u.data(), u.size()), whole) == want.has_value());
  KX_CHECK(whole == (want ? *want : std::string()));
}

}  // namespace

KX_TEST(transcoder_agrees_with_the_one_character_encoder) {
  const char16_t kinds[] = {u'a', u' ', 0x7F, 0x80, 0xE9, 0x7FF, 0x800, u'가', 0xD7A3, 0xFFFF, 0xE000};
  // One unusual unit at each place of a 40-unit run of another kind, and pairs across blocks.
  for (char16_t base : {u'a', u'가', char16_t{0x3B1}}) {
    for (char16_t odd : kinds) {
      for (std::size_t len = 0; len <= 40; ++len) {
        for (std::size_t at = 0; at < len; ++at) {
          std::vector<char16_t> u(len, base);
          u[at] = odd;
          check_same(u);
          if (at + 1 < len) {
            u[at] = 0xD83D, u[at + 1] = 0xDE00;  // a pair
            check_same(u);
            u[at + 1] = base;  // a lone high surrogate
            check_same(u);
          }
          u[at] = 0xDC00;  // a lone low surrogate
          check_same(u);
          if (at + 1 < len) {  // two low surrogates, or a low one before a high one: no pair
            for (char16_t first : {char16_t{0xDC00}, char16_t{0xDFFF}})
              for (char16_t second : {char16_t{0xDC00}, char16_t{0xD800}}) {
                u[at] = first, u[at + 1] = second;
                check_same(u);
              }
          }
        }
      }
    }
  }
  // Mixed texts from a fixed generator: every unit value class in every order.
  std::uint32_t seed = 7;
  for (int round = 0; round < 3000; ++round) {
    std::vector<char16_t> u;
    const std::size_t len = round % 97;
    for (std::size_t k = 0; k < len; ++k) {
      seed = seed * 1103515245u + 12345u;
      const std::uint32_t r = seed >> 8;
      const char16_t pick[] = {static_cast<char16_t>(r & 0x7F), static_cast<char16_t>(0x80 + r % 0x780),
                               static_cast<char16_t>(0xAC00 + r % 11172), static_cast<char16_t>(0xE000 + r % 0x2000)};
      u.push_back(pick[r % 4]);
      if (round % 5 == 0 && r % 13 == 0) u.back() = static_cast<char16_t>(0xD800 + r % 0x800);
    }
    check_same(u);
  }
}

namespace {

// The reference for code points: the UTF-8 form, or the index of the first without one.
std::expected<std::string, std::size_t> reference_points(const std::vector<char32_t>& p) {
  std::string out;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if ((p[i] >= 0xD800 && p[i] < 0xE000) || p[i] > 0x10FFFF) return std::unexpected(i);
    utf8::append(out, p[i]);
  }
  return out;
}

void check_points(const std::vector<char32_t>& p) {
  std::string out(utf16::points_room(p.size()), '\0');
  const auto got = utf16::points_to_utf8(p.data(), p.size(), out.data());
  const auto want = reference_points(p);
  KX_CHECK(got.has_value() == want.has_value());
  if (got && want) KX_CHECK(out.substr(0, *got) == *want);
  if (!got && !want) KX_CHECK(got.error().index == want.error());
}

}  // namespace

KX_TEST(code_points_agree_with_the_one_character_encoder) {
  // Each kind at each place of a run of another, for every length around two steps of the
  // widest vectors; the ends of each byte length, the surrogates and past U+10FFFF among them.
  const char32_t kinds[] = {U'a', 0x7F, 0x80, 0x7FF, 0x800, U'가', 0xD7FF, 0xD800, 0xDBFF, 0xDC00,
                            0xDFFF, 0xE000, 0xFF10, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF, 0x110000,
                            0xFFFFFFFF};
  for (char32_t base : {U'a', U'가', char32_t{0x3B1}, char32_t{0x1F600}}) {
    for (char32_t odd : kinds) {
      for (std::size_t len = 0; len <= 40; ++len) {
        check_points(std::vector<char32_t>(len, base));
        for (std::size_t at = 0; at < len; ++at) {
          std::vector<char32_t> p(len, base);
          p[at] = odd;
          check_points(p);
          if (at + 1 < len) {
            p[at + 1] = 0xDC00;  // a high and a low surrogate as two code points: no pair
            check_points(p);
          }
        }
      }
    }
  }
}
