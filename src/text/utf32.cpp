#include "text/utf32.hpp"

#include <array>
#include <bit>
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
// them (kSqueeze) and how many bytes it keeps (kSqueezed). Bit j of the index is set when word j
// is longer than one byte, bit 4 + j when it is longer than two.
struct alignas(16) Shuffle {
  std::array<std::uint8_t, 16> bytes;
};
constexpr std::array<Shuffle, 256> kSqueeze = [] {
  std::array<Shuffle, 256> t{};
  for (unsigned index = 0; index < 256; ++index) {
    std::array<std::uint8_t, 16>& s = t[index].bytes;
    s.fill(0x80);  // a zero byte, past the kept ones
    unsigned at = 0;
    for (unsigned j = 0; j < 4; ++j) {
      const unsigned len = 1 + ((index >> j) & 1) + ((index >> (4 + j)) & 1);
      for (unsigned k = 0; k < len; ++k) s[at++] = static_cast<std::uint8_t>(4 * j + k);
    }
  }
  return t;
}();
constexpr std::array<std::uint8_t, 256> kSqueezed = [] {
  std::array<std::uint8_t, 256> t{};
  for (unsigned index = 0; index < 256; ++index) t[index] = static_cast<std::uint8_t>(4 + std::popcount(index));
  return t;
}();
static_assert(kSqueezed[0] == 4 && kSqueezed[255] == 12 && kSqueeze[0x11].bytes[2] == 2);

// The constants of utf8_words.
template <int W>
struct Constants {
  simd::Vec<W> x7f, x7ff, lead3, mid, last, lead2;
};

// Each 32-bit word of `words` (a code point below U+10000) made into its one to three UTF-8
// bytes, from its low byte up; `longer` and `longest` mark the words longer than one and than
// two bytes. The two-byte form is the three-byte one's last two bytes with the lead's marks:
// below U+0800 the middle byte holds all the bits above the last six.
template <int W>
[[gnu::always_inline]] inline void utf8_words(simd::Vec<W>& words, simd::Vec<W>& longer, simd::Vec<W>& longest,
                                              const Constants<W>& k) {
  using V = simd::Vec<W>;
  const V c = words;
  longer = gt32(c, k.x7f);
  longest = gt32(c, k.x7ff);
  // 1110xxxx 10xxxxxx 10xxxxxx, from the low byte up.
  const V three = k.lead3 | shr32<12>(c) | (shl32<2>(c) & k.mid) | (shl32<16>(c) & k.last);
  // 110xxxxx 10xxxxxx
  const V two = shr32<8>(three) | k.lead2;
  words = select(longest, three, select(longer, two, c));
}

// The bytes of the 128-bit half `words` that utf8_words made, squeezed together at `out`; k is
// the half's index into kSqueeze.
[[gnu::always_inline]] inline void put_half(simd::Vec<16> words, unsigned k, char*& out) {
  lookup(words, simd::Vec<16>::load(kSqueeze[k].bytes.data())).store(out);
  out += kSqueezed[k];
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
    char* o = out;  // a local: the stores through it cannot move it
    Constants<W> k{V::set1_32(0x7F),   V::set1_32(0x7FF),    V::set1_32(0x8080E0),
                   V::set1_32(0x3F00), V::set1_32(0x3F0000), V::set1_32(0x40)};
    // Hidden from g++ here, made once: it would otherwise make each one again from an
    // immediate, three instructions, in every step (clang, which the fuzz targets build with,
    // does not, and takes no 256-bit operand here).
#ifndef __clang__
    asm("" : "+x"(k.x7f.v), "+x"(k.x7ff.v), "+x"(k.lead3.v), "+x"(k.mid.v), "+x"(k.last.v), "+x"(k.lead2.v));
#endif
    std::size_t i = 0;
    while (i + kStep <= n) {
      V words[2] = {V::load(p + i), V::load(p + i + kWords)};
      // Code points from U+D800 on (2^31 and more among them: the shift is logical) are
      // looked at closely; Hangul and everything before it are not.
      const V high = gt32(shr32<11>(words[0]), V::set1_32(0x1A)) | gt32(shr32<11>(words[1]), V::set1_32(0x1A));
      if (high.bits() != 0) [[unlikely]] {
        // (The comparisons are signed: a word of 2^31 or more is below zero.)
        auto odd = [&](const V& c) __attribute__((always_inline)) {
          return and_not(gt32(c, V::set1_32(0xD7FF)), gt32(c, V::set1_32(0xDFFF))) | gt32(c, V::set1_32(0xFFFF)) |
                 gt32(V::zero(), c);
        };
        if ((odd(words[0]) | odd(words[1])).bits() != 0) {
          char* at = o;  // apart from o, which stays in a register
          auto r = scalar(p, i, i + kStep, at);
          o = at;
          if (!r) {
            out = o;
            return r;
          }
          i = *r;
          continue;
        }
      }
      V longer[2], longest[2];
      utf8_words(words[0], longer[0], longest[0], k);
      utf8_words(words[1], longer[1], longest[1], k);
      // Byte 2 * l + h of the mask is the squeeze index of half l of words[h]: the packs keep
      // each half's lanes in place, four words' longer marks, then their longest marks.
      const std::uint32_t index =
          pack_s8(pack_s16(longer[0], longest[0]), pack_s16(longer[1], longest[1])).bits();
      for (int h = 0; h < 2; ++h)
        for (int l = 0; l < W / 16; ++l) put_half(words[h].half(l), (index >> (8 * (2 * l + h))) & 0xFF, o);
      i += kStep;
    }
    out = o;
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
