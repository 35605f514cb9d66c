#include "text/utf32.hpp"

#include <array>
#include <cstdint>

#include "text/simd.hpp"

namespace kestrix::utf32 {

namespace {

// Code points [i, end) one at a time. Returns `end`.
std::expected<std::size_t, Unencodable> scalar(const char32_t* p, std::size_t i, std::size_t end,
                                               char*& out) {
  auto put = [&out](std::uint32_t b) { *out++ = static_cast<char>(b); };
  for (; i < end; ++i) {
    const std::uint32_t c = p[i];
    if (c < 0x80) {
      put(c);
    } else if (c < 0x800) {
      put(0xC0 | (c >> 6));
      put(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      if (c - 0xD800 < 0x800) return std::unexpected(Unencodable{i});
      put(0xE0 | (c >> 12));
      put(0x80 | ((c >> 6) & 0x3F));
      put(0x80 | (c & 0x3F));
    } else {
      if (c > 0x10FFFF) return std::unexpected(Unencodable{i});
      put(0xF0 | (c >> 18));
      put(0x80 | ((c >> 12) & 0x3F));
      put(0x80 | ((c >> 6) & 0x3F));
      put(0x80 | (c & 0x3F));
    }
  }
  return end;
}

}  // namespace

}  // namespace kestrix::utf32

#ifdef KESTRIX_SIMD_X86

namespace kestrix::utf32 {
namespace {

// Four 32-bit words, word j holding the UTF-8 form of one character (one to three bytes, from
// its low byte on), squeezed together: for each choice of lengths, the byte shuffle that packs
// them and how many bytes it keeps. Bit j of the index is set when word j is longer than one
// byte, bit 4 + j when it is longer than two.
struct Squeeze {
  std::array<std::uint8_t, 16> shuffle;
  std::uint8_t bytes;
};
constexpr std::array<Squeeze, 256> kSqueeze = [] {
  std::array<Squeeze, 256> t{};
  for (unsigned index = 0; index < 256; ++index) {
    Squeeze& s = t[index];
    s.shuffle.fill(0x80);  // a zero byte, past the kept ones
    unsigned at = 0;
    for (unsigned j = 0; j < 4; ++j) {
      const unsigned len = 1 + ((index >> j) & 1) + ((index >> (4 + j)) & 1);
      for (unsigned k = 0; k < len; ++k) s.shuffle[at++] = static_cast<std::uint8_t>(4 * j + k);
    }
    s.bytes = static_cast<std::uint8_t>(at);
  }
  return t;
}();
static_assert(kSqueeze[0].bytes == 4 && kSqueeze[255].bytes == 12 && kSqueeze[0x11].shuffle[2] == 2);

// Each 32-bit word of `words` (a code point below U+10000) made into its one to three UTF-8
// bytes, from its low byte up. Returns their lengths as put_half reads them: bit j set when word
// j is longer than one byte, bit 8 + j when longer than two.
template <int W>
[[gnu::always_inline]] inline unsigned utf8_words(simd::Vec<W>& words) {
  using V = simd::Vec<W>;
  const V c = words;
  const V longer = gt32(c, V::set1_32(0x7F)), longest = gt32(c, V::set1_32(0x7FF));
  const V x3f00 = V::set1_32(0x3F00);
  // 110xxxxx 10xxxxxx and 1110xxxx 10xxxxxx 10xxxxxx, from the low byte up.
  const V two = V::set1_32(0x80C0) | shr32<6>(c) | (shl32<8>(c) & x3f00);
  const V three = V::set1_32(0x8080E0) | shr32<12>(c) | (shl32<2>(c) & x3f00) |
                  (shl32<16>(c) & V::set1_32(0x3F0000));
  words = select(longest, three, select(longer, two, c));
  return (longer.bits32() & 0xFF) | (longest.bits32() << 8);
}

// The bytes of the 128-bit half l of words that utf8_words made, squeezed together at `out`.
template <int W>
[[gnu::always_inline]] inline void put_half(const simd::Vec<W>& words, unsigned index, int l, char*& out) {
  const unsigned k = ((index >> (4 * l)) & 15) | (((index >> (8 + 4 * l)) & 15) << 4);
  lookup(words.half(l), simd::Vec<16>::load(kSqueeze[k].shuffle.data())).store(out);
  out += kSqueeze[k].bytes;
}

// Code points W / 2 per step, as two vectors of 32-bit words: each word made into its one to
// three UTF-8 bytes and the bytes of each 128-bit half squeezed together; a step that holds a
// surrogate or a code point past U+FFFF goes one at a time. Returns the index of the first code
// point left (fewer than W / 2).
struct Points {
  template <int W>
  [[gnu::always_inline]] static std::expected<std::size_t, Unencodable> run(const char32_t* p, std::size_t n,
                                                                             char*& out) {
    using V = simd::Vec<W>;
    constexpr std::size_t kStep = W / 2, kWords = W / 4;
    const V below_surrogates = V::set1_32(0xD7FF), last_surrogate = V::set1_32(0xDFFF),
            xffff = V::set1_32(0xFFFF), zero = V::zero();
    std::size_t i = 0;
    while (i + kStep <= n) {
      V words[2] = {V::load(p + i), V::load(p + i + kWords)};
      // (The comparisons are signed: a word of 2^31 or more is below zero.)
      auto odd = [&](const V& c) __attribute__((always_inline)) {
        return and_not(gt32(c, below_surrogates), gt32(c, last_surrogate)) | gt32(c, xffff) | gt32(zero, c);
      };
      if ((odd(words[0]) | odd(words[1])).bits() != 0) {
        auto r = scalar(p, i, i + kStep, out);
        if (!r) return r;
        i = *r;
        continue;
      }
      const unsigned index[2] = {utf8_words(words[0]), utf8_words(words[1])};
      // Word order: the halves of the first vector, then those of the second.
      for (int h = 0; h < 2; ++h)
        for (int l = 0; l < W / 16; ++l) put_half(words[h], index[h], l, out);
      i += kStep;
    }
    return i;
  }
  static std::expected<std::size_t, Unencodable> fallback(const char32_t*, std::size_t, char*&) {
    return 0;
  }
};

}  // namespace
}  // namespace kestrix::utf32

#endif  // KESTRIX_SIMD_X86

namespace kestrix::utf32 {

std::expected<std::size_t, Unencodable> to_utf8(const char32_t* points, std::size_t n, char* out) {
  char* const start = out;
  std::size_t i = 0;
#ifdef KESTRIX_SIMD_X86
  auto r = simd::dispatch<Points>(points, n, out);
  if (!r) return std::unexpected(r.error());
  i = *r;
#endif
  auto rest = scalar(points, i, n, out);
  if (!rest) return std::unexpected(rest.error());
  return static_cast<std::size_t>(out - start);
}

}  // namespace kestrix::utf32
