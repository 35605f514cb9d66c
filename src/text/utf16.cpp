#include "text/utf16.hpp"

#include <array>
#include <cstdint>
#include <cstring>

#include "text/pairs.hpp"

namespace kestrix::utf16 {

namespace {

inline std::uint32_t unit_at(const unsigned char* p, std::size_t i) {
  std::uint16_t u;
  std::memcpy(&u, p + 2 * i, 2);
  return u;
}

// Units [i, end) one at a time (a pair that begins before `end` is read whole, so the result
// may pass `end` by one). Returns the index reached.
std::expected<std::size_t, LoneSurrogate> scalar(const unsigned char* p, std::size_t i, std::size_t end,
                                                 std::size_t n, char*& out) {
  auto put = [&out](std::uint32_t b) { *out++ = static_cast<char>(b); };
  while (i < end) {
    const std::uint32_t c = unit_at(p, i);
    if (c < 0x80) {
      put(c);
    } else if (c < 0x800) {
      put(0xC0 | (c >> 6));
      put(0x80 | (c & 0x3F));
    } else if (c - 0xD800 >= 0x800) {
      put(0xE0 | (c >> 12));
      put(0x80 | ((c >> 6) & 0x3F));
      put(0x80 | (c & 0x3F));
    } else {
      const std::uint32_t low = i + 1 < n ? unit_at(p, i + 1) : 0;
      if (c >= 0xDC00 || (low & 0xFC00) != 0xDC00) return std::unexpected(LoneSurrogate{i});
      const std::uint32_t cp = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      put(0xF0 | (cp >> 18));
      put(0x80 | ((cp >> 12) & 0x3F));
      put(0x80 | ((cp >> 6) & 0x3F));
      put(0x80 | (cp & 0x3F));
      ++i;
    }
    ++i;
  }
  return i;
}

}  // namespace

}  // namespace kestrix::utf16

#ifdef KESTRIX_PAIRS_SSSE3

namespace kestrix::utf16 {
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

}  // namespace
}  // namespace kestrix::utf16

// The vector loop is written once (utf16_blocks.inc) over a type V of width-specific operations,
// and compiled twice: for sixteen-byte vectors with SSSE3 and for thirty-two-byte ones with AVX2.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("ssse3"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("ssse3")
#endif
namespace kestrix::utf16::w16 {
namespace {
// Eight units per load; words are four units as 32-bit lanes; one 128-bit lane.
struct V {
  using Units = __m128i;
  using Words = __m128i;
  static constexpr std::size_t kUnits = 8;
  static Units load(const unsigned char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  static Units set16(std::uint16_t x) { return _mm_set1_epi16(static_cast<short>(x)); }
  static bool none(Units v) { return _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())) == 0xFFFF; }
  static Units eq16(Units a, Units b) { return _mm_cmpeq_epi16(a, b); }
  static Units and_(Units a, Units b) { return _mm_and_si128(a, b); }
  // Units all below 0x80, stored as bytes.
  static void store_bytes(Units v, char* out) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(v, v));
  }
  static Words widen(Units v, int half) {
    return half == 0 ? _mm_unpacklo_epi16(v, _mm_setzero_si128()) : _mm_unpackhi_epi16(v, _mm_setzero_si128());
  }
  static Words set32(std::uint32_t x) { return _mm_set1_epi32(static_cast<int>(x)); }
  static Words gt32(Words a, Words b) { return _mm_cmpgt_epi32(a, b); }
  template <int k> static Words shl(Words a) { return _mm_slli_epi32(a, k); }
  template <int k> static Words shr(Words a) { return _mm_srli_epi32(a, k); }
  static Words and_w(Words a, Words b) { return _mm_and_si128(a, b); }
  static Words or_w(Words a, Words b) { return _mm_or_si128(a, b); }
  static Words pick(Words mask, Words a, Words b) {  // mask ? a : b
    return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
  }
  static unsigned signs(Words m) { return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(m))); }
  // The words squeezed four at a time by the shuffle of each lane's index (bits 4l.. of
  // `longer` and `longest` for lane l), stored one after the other.
  static char* squeeze(Words w, unsigned longer, unsigned longest, char* out) {
    const unsigned index = (longer & 15) | ((longest & 15) << 4);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_shuffle_epi8(w, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSqueeze[index].shuffle.data()))));
    return out + kSqueeze[index].bytes;
  }
};
#include "text/utf16_blocks.inc"
}  // namespace
}  // namespace kestrix::utf16::w16
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace kestrix::utf16::w32 {
namespace {
// Sixteen units per load; words are eight units as 32-bit lanes, in two 128-bit lanes.
struct V {
  using Units = __m256i;
  using Words = __m256i;
  static constexpr std::size_t kUnits = 16;
  static Units load(const unsigned char* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
  static Units set16(std::uint16_t x) { return _mm256_set1_epi16(static_cast<short>(x)); }
  static bool none(Units v) { return _mm256_testz_si256(v, v) != 0; }
  static Units eq16(Units a, Units b) { return _mm256_cmpeq_epi16(a, b); }
  static Units and_(Units a, Units b) { return _mm256_and_si256(a, b); }
  static void store_bytes(Units v, char* out) {
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(v, v), 0x08);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
  }
  static Words widen(Units v, int half) {
    return _mm256_cvtepu16_epi32(half == 0 ? _mm256_castsi256_si128(v) : _mm256_extracti128_si256(v, 1));
  }
  static Words set32(std::uint32_t x) { return _mm256_set1_epi32(static_cast<int>(x)); }
  static Words gt32(Words a, Words b) { return _mm256_cmpgt_epi32(a, b); }
  template <int k> static Words shl(Words a) { return _mm256_slli_epi32(a, k); }
  template <int k> static Words shr(Words a) { return _mm256_srli_epi32(a, k); }
  static Words and_w(Words a, Words b) { return _mm256_and_si256(a, b); }
  static Words or_w(Words a, Words b) { return _mm256_or_si256(a, b); }
  static Words pick(Words mask, Words a, Words b) { return _mm256_blendv_epi8(b, a, mask); }
  static unsigned signs(Words m) { return static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(m))); }
  static char* squeeze(Words w, unsigned longer, unsigned longest, char* out) {
    const unsigned lo = (longer & 15) | ((longest & 15) << 4);
    const unsigned hi = ((longer >> 4) & 15) | (longest & 0xF0);
    const __m256i mask = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(kSqueeze[hi].shuffle.data()),
                                             reinterpret_cast<const __m128i*>(kSqueeze[lo].shuffle.data()));
    const __m256i packed = _mm256_shuffle_epi8(w, mask);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
    out += kSqueeze[lo].bytes;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_extracti128_si256(packed, 1));
    return out + kSqueeze[hi].bytes;
  }
};
#include "text/utf16_blocks.inc"
}  // namespace
}  // namespace kestrix::utf16::w32
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif  // KESTRIX_PAIRS_SSSE3

namespace kestrix::utf16 {

std::expected<std::size_t, LoneSurrogate> to_utf8(const void* units, std::size_t n, char* out) {
  const auto* p = static_cast<const unsigned char*>(units);
  char* const start = out;
  std::size_t i = 0;
#ifdef KESTRIX_PAIRS_SSSE3
  std::expected<std::size_t, LoneSurrogate> r =
      pairs::detail::has_avx2    ? w32::blocks(p, n, out)
      : pairs::detail::has_ssse3 ? w16::blocks(p, n, out)
                                 : std::expected<std::size_t, LoneSurrogate>(0);
  if (!r) return std::unexpected(r.error());
  i = *r;
#endif
  auto rest = scalar(p, i, n, n, out);
  if (!rest) return std::unexpected(rest.error());
  return static_cast<std::size_t>(out - start);
}

}  // namespace kestrix::utf16
