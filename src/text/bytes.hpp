// Sixteen bytes at a time: the byte classes the hot loops look for (one byte value, a range of
// values), as a bit mask per block, and character counting. SSE2 where the target has it (every
// x86-64), else a plain loop over the same sixteen bytes with the same results.
#pragma once
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrix::bytes {

#if defined(__SSE2__)

// One lane per byte; a lane of a class test is 0xFF where the byte belongs to the class.
struct V16 {
  __m128i v;
};

inline V16 load(const unsigned char* p) {
  return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))};
}
inline V16 eq(V16 a, unsigned char c) {
  return {_mm_cmpeq_epi8(a.v, _mm_set1_epi8(static_cast<char>(c)))};
}
// lo <= byte <= hi (unsigned).
inline V16 in_range(V16 a, unsigned char lo, unsigned char hi) {
  __m128i x = _mm_sub_epi8(a.v, _mm_set1_epi8(static_cast<char>(lo)));
  return {_mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(static_cast<char>(hi - lo))), x)};
}
inline V16 operator|(V16 a, V16 b) { return {_mm_or_si128(a.v, b.v)}; }
inline V16 operator&(V16 a, V16 b) { return {_mm_and_si128(a.v, b.v)}; }
// Bit k set when lane k is set.
inline std::uint32_t bits(V16 a) { return static_cast<std::uint32_t>(_mm_movemask_epi8(a.v)); }

#else

struct V16 {
  unsigned char b[16];
};

inline V16 load(const unsigned char* p) {
  V16 r;
  std::memcpy(r.b, p, 16);
  return r;
}
inline V16 eq(V16 a, unsigned char c) {
  for (auto& x : a.b) x = x == c ? 0xFF : 0;
  return a;
}
inline V16 in_range(V16 a, unsigned char lo, unsigned char hi) {
  for (auto& x : a.b) x = x >= lo && x <= hi ? 0xFF : 0;
  return a;
}
inline V16 operator|(V16 a, V16 b) {
  for (int k = 0; k < 16; ++k) a.b[k] |= b.b[k];
  return a;
}
inline V16 operator&(V16 a, V16 b) {
  for (int k = 0; k < 16; ++k) a.b[k] &= b.b[k];
  return a;
}
inline std::uint32_t bits(V16 a) {
  std::uint32_t m = 0;
  for (int k = 0; k < 16; ++k) m |= static_cast<std::uint32_t>(a.b[k] >> 7) << k;
  return m;
}

#endif

// The first position at or after i (and before n) whose byte `one` accepts, or n. `block`
// gives the mask of accepted bytes of sixteen loaded bytes and must agree with `one`.
template <class Block, class One>
inline std::size_t find(const unsigned char* s, std::size_t i, std::size_t n, Block block, One one) {
  while (i + 16 <= n) {
    if (std::uint32_t m = bits(block(load(s + i)))) return i + static_cast<std::size_t>(__builtin_ctz(m));
    i += 16;
  }
  if (i < n && n >= 16) {
    // The last sixteen bytes, of which the first 16 - (n - i) lie before i: one more block
    // instead of up to fifteen bytes one by one, which a short text would mostly be.
    const std::uint32_t m = bits(block(load(s + n - 16))) >> (16 - (n - i));
    return m ? i + static_cast<std::size_t>(__builtin_ctz(m)) : n;
  }
  while (i < n && !one(s[i])) ++i;
  return i;
}

// The first position at or after i (and before n) of the code point c in s (a wchar_t of four
// bytes, as on Linux), or n: eight at a time.
inline std::size_t find_point(const wchar_t* s, std::size_t i, std::size_t n, wchar_t c) {
#if defined(__SSE2__)
  if constexpr (sizeof(wchar_t) == 4) {
    const __m128i want = _mm_set1_epi32(static_cast<int>(c));
    for (; i + 8 <= n; i += 8) {
      const __m128i a = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)), want);
      const __m128i b = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 4)), want);
      if (const auto m = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_packs_epi32(a, b))))
        return i + static_cast<std::size_t>(__builtin_ctz(m)) / 2;
    }
  }
#endif
  while (i < n && s[i] != c) ++i;
  return i;
}

// Whether any of the n code points of s (a wchar_t of four bytes, as on Linux) is a surrogate,
// U+D800 to U+DFFF: eight at a time.
inline bool any_surrogate(const wchar_t* s, std::size_t n) {
  std::size_t i = 0;
#if defined(__SSE2__)
  if constexpr (sizeof(wchar_t) == 4) {
    const __m128i high = _mm_set1_epi32(static_cast<int>(0xFFFFF800u)), first = _mm_set1_epi32(0xD800);
    __m128i any = _mm_setzero_si128();
    for (; i + 8 <= n; i += 8) {
      const __m128i a = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)), high);
      const __m128i b = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 4)), high);
      any = _mm_or_si128(any, _mm_or_si128(_mm_cmpeq_epi32(a, first), _mm_cmpeq_epi32(b, first)));
    }
    if (_mm_movemask_epi8(any) != 0) return true;
  }
#endif
  for (; i < n; ++i)
    if ((static_cast<std::uint32_t>(s[i]) & 0xFFFFF800u) == 0xD800u) return true;
  return false;
}

namespace detail {

// Sixteen zero bytes, then sixteen 0xFF: the sixteen from k on keep the last k bytes of a block.
inline constexpr std::array<unsigned char, 32> kLastBytes = [] {
  std::array<unsigned char, 32> t{};
  for (std::size_t k = 16; k < 32; ++k) t[k] = 0xFF;
  return t;
}();

// The top bit of each byte of the result marks a continuation byte of the eight loaded ones.
inline std::uint64_t continuation_bits(const unsigned char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return (w & ~(w << 1)) & 0x8080808080808080ull;
}

inline std::size_t count_bits(std::uint64_t c) {  // c holds only bits 7 of its bytes
  return static_cast<std::size_t>(((c >> 7) * 0x0101010101010101ull) >> 56);
}

}  // namespace detail

// UTF-8 continuation bytes (10xxxxxx) in [s, s + n).
inline std::size_t count_continuations(const unsigned char* s, std::size_t n) {
  std::size_t i = 0, cont = 0;
  if (n < 16) {
    // Short pieces (most builder calls): two eight-byte words that may overlap, the overlap
    // taken out of the second (bytes are in little-endian order in the words).
    if (n >= 8 && std::endian::native == std::endian::little) {
      std::uint64_t last = detail::continuation_bits(s + n - 8);
      last &= n == 8 ? 0 : ~std::uint64_t{0} << (8 * (16 - n));
      return detail::count_bits(detail::continuation_bits(s)) + detail::count_bits(last);
    }
    for (; i < n; ++i) cont += (s[i] & 0xC0) == 0x80;
    return cont;
  }
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  const __m128i limit = _mm_set1_epi8(-64);  // continuation bytes are -128..-65 as signed bytes
  // Long pieces (a pass's unchanged stretches, a scanner's way to its next candidate) 64 bytes
  // at a time: four per-lane counters of the bytes that lead a character (above -65), each
  // compare made on its own load, which it may overwrite.
  __m128i lead_limit = _mm_set1_epi8(-65);
  // Hidden from g++, which would otherwise turn each compare with the known constant into a
  // compare the other way and a second one to invert it, with a copy of a register for each.
  asm("" : "+x"(lead_limit));
  while (i + 64 <= n) {
    __m128i a0 = zero, a1 = zero, a2 = zero, a3 = zero;
    std::size_t blocks = (n - i) / 64;
    if (blocks > 255) blocks = 255;
    for (std::size_t k = 0; k < blocks; ++k, i += 64) {
      const auto* p = reinterpret_cast<const __m128i*>(s + i);
      a0 = _mm_sub_epi8(a0, _mm_cmpgt_epi8(_mm_loadu_si128(p), lead_limit));
      a1 = _mm_sub_epi8(a1, _mm_cmpgt_epi8(_mm_loadu_si128(p + 1), lead_limit));
      a2 = _mm_sub_epi8(a2, _mm_cmpgt_epi8(_mm_loadu_si128(p + 2), lead_limit));
      a3 = _mm_sub_epi8(a3, _mm_cmpgt_epi8(_mm_loadu_si128(p + 3), lead_limit));
    }
    const __m128i sums = _mm_add_epi64(_mm_add_epi64(_mm_sad_epu8(a0, zero), _mm_sad_epu8(a1, zero)),
                                       _mm_add_epi64(_mm_sad_epu8(a2, zero), _mm_sad_epu8(a3, zero)));
    const std::size_t leads = static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                              static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    cont += 64 * blocks - leads;
  }
  if (i < n) {
    // The rest, fewer than 64 bytes: its blocks of sixteen and the last sixteen bytes, of which
    // those counted already are masked off, in one set of per-lane counters (four at most).
    __m128i acc = zero;
    for (; i + 16 <= n; i += 16)
      acc = _mm_sub_epi8(acc, _mm_cmplt_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)), limit));
    if (i < n) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + n - 16));
      const __m128i fresh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(detail::kLastBytes.data() + (n - i)));
      acc = _mm_sub_epi8(acc, _mm_and_si128(_mm_cmplt_epi8(v, limit), fresh));
    }
    const __m128i sums = _mm_sad_epu8(acc, zero);
    cont += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
            static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
  }
  return cont;
#else
  for (; i < n; ++i) cont += (s[i] & 0xC0) == 0x80;
  return cont;
#endif
}

// Characters (non-continuation bytes) in [s, s + n).
inline std::size_t count_chars(const unsigned char* s, std::size_t n) {
  return n - count_continuations(s, n);
}

// a == b, without a library call for short texts (up to 32 bytes): eight bytes at a time.
inline bool same(std::string_view a, std::string_view b) {
  const std::size_t n = a.size();
  if (n != b.size()) return false;
  if (n > 32) return a == b;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) return false;
  }
  for (; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

}  // namespace kestrix::bytes
