// The code-point transcoder against the one-character encoder (utf8::append) on texts that put
// every kind of code point (each byte length and its ends, surrogates, past U+10FFFF) at every
// place of the vector steps, for every length around them.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "text/utf32.hpp"
#include "text/utf8.hpp"

using namespace kestrix;

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
  std::string out(utf32::room(p.size()), '\0');
  const auto got = utf32::to_utf8(p.data(), p.size(), out.data());
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
  // Mixed texts from a fixed generator: every byte length in every order, a bad one now and then.
  std::uint32_t seed = 7;
  for (int round = 0; round < 3000; ++round) {
    std::vector<char32_t> p;
    const std::size_t len = round % 97;
    for (std::size_t k = 0; k < len; ++k) {
      seed = seed * 1103515245u + 12345u;
      const std::uint32_t r = seed >> 8;
      const char32_t pick[] = {r & 0x7F, 0x80 + r % 0x780, 0xAC00 + r % 11172, 0xE000 + r % 0x2000,
                               0x10000 + r % 0x100000};
      p.push_back(pick[r % 5]);
      if (round % 5 == 0 && r % 13 == 0) p.back() = 0xD800 + r % 0x800;
    }
    check_points(p);
  }
}

KX_TEST(a_text_read_by_pieces_is_the_whole_texts_form_or_nothing) {
  // Lengths around the piece size, all four-byte code points past the room reserved for three;
  // a surrogate or a failed read in the last piece leaves nothing, whatever was written before.
  const std::size_t n = utf32::kPiece;
  for (std::size_t len : {std::size_t{1}, n - 1, n, n + 1, 3 * n + 5}) {
    for (char32_t c : {U'a', U'가', char32_t{0x1F600}}) {
      const std::vector<char32_t> p(len, c);
      std::size_t reads = 0;
      const auto copy = [&](std::size_t at, std::size_t k, char32_t* points) {
        ++reads;
        std::copy_n(p.begin() + static_cast<std::ptrdiff_t>(at), k, points);
        return true;
      };
      std::string out = "stale";
      out.clear();
      KX_CHECK(utf32::to_utf8_by_pieces(len, copy, out));
      KX_CHECK(out == *reference_points(p) && reads == (len + n - 1) / n);
      for (bool fail_read : {false, true}) {
        const auto last_bad = [&](std::size_t at, std::size_t k, char32_t* points) {
          if (at + k == len && fail_read) return false;
          copy(at, k, points);
          if (at + k == len) points[k - 1] = 0xDC00;
          return true;
        };
        std::string bad;
        KX_CHECK(!utf32::to_utf8_by_pieces(len, last_bad, bad) && bad.empty() && bad.capacity() < 16);
      }
    }
  }
}
