// Finding the characters of a set of Hangul syllables quickly: every precomposed syllable is
// three bytes with a lead byte 0xEA..0xED, and its first two bytes already narrow it down to a
// block of 64 syllables. A PairSet holds a set of syllables by such (lead, second byte) pairs
// and, for the vector scans, by the low byte of their code points as well; find visits the
// positions that may begin one of them, testing sixteen or thirty-two positions at a time.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "text/bytes.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KESTRIX_PAIRS_SSSE3 1
#endif

#if defined(__clang__)
#define KESTRIX_PAIRS_NO_IPA
#else
#define KESTRIX_PAIRS_NO_IPA __attribute__((noipa))
#endif

namespace kestrix::pairs {

struct PairSet {
  // Bit (second & 0x3F) of word (lead - 0xEA): the scalar form.
  std::array<std::uint64_t, 4> bits{};
  // The same set for a sixteen-entry byte shuffle: row = (lead - 0xEA) * 4 + ((second >> 4) & 3),
  // column = second & 0x0F; bit r of low[column] (r < 8) or of high[column] (r >= 8) is set
  // for each pair of the set.
  alignas(16) std::array<std::uint8_t, 16> low{};
  alignas(16) std::array<std::uint8_t, 16> high{};
  // The vector scans also look at the third byte: the low eight bits of the character's code
  // point, (second & 3, third), in the same layout (row = (second & 3) * 4 + ((third >> 4) & 3),
  // column = third & 0x0F). With the pair they single out one syllable in four on ordinary
  // text where the pair alone lets through every syllable of a 64-block (이 and 은, 을, 인, 의).
  alignas(16) std::array<std::uint8_t, 16> low3{};
  alignas(16) std::array<std::uint8_t, 16> high3{};

  // Adds the syllable whose UTF-8 bytes are lead, second, third.
  constexpr void add(unsigned char lead, unsigned char second, unsigned char third) {
    bits[lead - 0xEA] |= std::uint64_t{1} << (second & 0x3F);
    put(low, high, (lead - 0xEAu) * 4 + ((second >> 4) & 3u), second & 0x0Fu);
    put(low3, high3, (second & 3u) * 4 + ((third >> 4) & 3u), third & 0x0Fu);
  }
  // Adds the syllable U+AC00 + index.
  constexpr void add_syllable(std::size_t index) {
    const std::size_t c = 0xAC00 + index;  // 1110xxxx 10xxxxxx 10xxxxxx
    add(static_cast<unsigned char>(0xE0 | (c >> 12)), static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F)),
        static_cast<unsigned char>(0x80 | (c & 0x3F)));
  }
  constexpr bool has(unsigned char lead, unsigned char second) const {
    return lead >= 0xEA && lead <= 0xED && ((bits[lead - 0xEA] >> (second & 0x3F)) & 1) != 0;
  }

 private:
  static constexpr void put(std::array<std::uint8_t, 16>& lo, std::array<std::uint8_t, 16>& hi,
                            unsigned row, unsigned column) {
    if (row < 8)
      lo[column] = static_cast<std::uint8_t>(lo[column] | (1u << row));
    else
      hi[column] = static_cast<std::uint8_t>(hi[column] | (1u << (row - 8)));
  }
};

namespace detail {

extern const bool has_ssse3;
extern const bool has_avx2;

template <class Accept>
std::size_t find_scalar(const unsigned char* s, std::size_t i, std::size_t n, const PairSet& set,
                        Accept& accept) {
  for (; i + 1 < n; ++i)
    if (set.has(s[i], s[i + 1]) && accept(i)) return i;
  return n;
}

// Lead bytes sixteen at a time, then each lead's pair looked up on its own.
template <class Accept>
std::size_t find_sse2(const unsigned char* s, std::size_t i, std::size_t n, const PairSet& set,
                      Accept& accept) {
  for (; i + 17 <= n; i += 16)
    for (std::uint32_t m = bytes::bits(bytes::in_range(bytes::load(s + i), 0xEA, 0xED)); m != 0;
         m &= m - 1) {
      const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(m));
      if (set.has(s[at], s[at + 1]) && accept(at)) return at;
    }
  return find_scalar(s, i, n, set, accept);
}

// The position `at` (with at + 4 < n) holds `ascii`, or a syllable whose pair is in `first`
// followed by one whose pair is in `second`.
inline bool two_pairs_at(const unsigned char* s, std::size_t at, const PairSet& first,
                         const PairSet& second, unsigned char ascii) {
  return s[at] == ascii || (first.has(s[at], s[at + 1]) && second.has(s[at + 3], s[at + 4]));
}

template <class Accept>
void visit_scalar(const unsigned char* s, std::size_t i, std::size_t n, const PairSet& first,
                  const PairSet& second, unsigned char ascii, Accept& accept) {
  for (; i < n; ++i)
    if (i + 4 < n ? two_pairs_at(s, i, first, second, ascii) : s[i] == ascii) accept(i);
}

template <class Accept>
void visit_sse2(const unsigned char* s, std::size_t n, const PairSet& first, const PairSet& second,
                unsigned char ascii, Accept& accept) {
  std::size_t i = 0;
  for (; i + 20 <= n; i += 16) {
    const bytes::V16 v = bytes::load(s + i);
    for (std::uint32_t m = bytes::bits(bytes::in_range(v, 0xEA, 0xED) | bytes::eq(v, ascii)); m != 0;
         m &= m - 1) {
      const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(m));
      if (two_pairs_at(s, at, first, second, ascii)) accept(at);
    }
  }
  visit_scalar(s, i, n, first, second, ascii, accept);
}

#ifdef KESTRIX_PAIRS_SSSE3
// The pair test in vector registers for the sixteen positions whose first bytes are v0 and
// second bytes v1: the pair's row selects a bit of the byte that its column looks up.
struct Shuffled {
  __m128i low, high, low3, high3;
};
__attribute__((target("ssse3"))) inline Shuffled shuffled(const PairSet& set) {
  auto load = [](const std::array<std::uint8_t, 16>& a) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(a.data()));
  };
  return {load(set.low), load(set.high), load(set.low3), load(set.high3)};
}
// Whether bit `row` (0..15) of the table's byte at `column` is set, per byte.
__attribute__((target("ssse3"))) inline __m128i table_bit(__m128i low, __m128i high, __m128i row,
                                                         __m128i column) {
  const __m128i row_bit = _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
  const __m128i in_high = _mm_cmpgt_epi8(row, _mm_set1_epi8(7));
  const __m128i table = _mm_or_si128(_mm_and_si128(in_high, _mm_shuffle_epi8(high, column)),
                                     _mm_andnot_si128(in_high, _mm_shuffle_epi8(low, column)));
  const __m128i bit = _mm_shuffle_epi8(row_bit, row);
  return _mm_cmpeq_epi8(_mm_and_si128(table, bit), bit);
}
// The syllable test for the sixteen positions whose first, second and third bytes are v0, v1,
// v2: the pair's row selects a bit of the byte that its column looks up, and so does the
// code point's low byte.
__attribute__((target("ssse3"))) inline __m128i pair_hits(const Shuffled& t, __m128i v0, __m128i v1,
                                                         __m128i v2) {
  const __m128i three = _mm_set1_epi8(3), fifteen = _mm_set1_epi8(15);
  // v0 - 0xEA is 0..3 (unsigned) exactly for the leads 0xEA..0xED.
  const __m128i lead_index = _mm_sub_epi8(v0, _mm_set1_epi8(static_cast<char>(0xEA)));
  const __m128i is_lead = _mm_cmpeq_epi8(_mm_min_epu8(lead_index, three), lead_index);
  // (Shifts of sixteen-bit lanes: the masks keep each byte's bits its own.)
  const __m128i row = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(lead_index, three), 2),
                                   _mm_and_si128(_mm_srli_epi16(v1, 4), three));
  const __m128i row3 = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(v1, three), 2),
                                    _mm_and_si128(_mm_srli_epi16(v2, 4), three));
  return _mm_and_si128(_mm_and_si128(table_bit(t.low, t.high, row, _mm_and_si128(v1, fifteen)),
                                     table_bit(t.low3, t.high3, row3, _mm_and_si128(v2, fifteen))),
                       is_lead);
}

// noipa on the loops: g++ 12, specializing them for a constexpr set, folds the vector loads
// of its tables to zeros (and so finds nothing); a test of every numeral syllable at every
// place in a block catches it.
// With Two, only positions where a syllable of `set` is followed by one of `next` are offered
// (the scalar tail offers those of `set` alone).
template <bool Two, class Accept>
__attribute__((target("ssse3"))) KESTRIX_PAIRS_NO_IPA std::size_t find_ssse3(const unsigned char* s, std::size_t i,
                                                         std::size_t n, const PairSet& set,
                                                         const PairSet& next, Accept& accept) {
  const Shuffled t = shuffled(set), t2 = shuffled(next);
  for (; i + 16 + (Two ? 5 : 2) <= n; i += 16) {
    auto at_offset = [&](std::size_t k) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + k));
    };
    __m128i hits = pair_hits(t, at_offset(0), at_offset(1), at_offset(2));
    if constexpr (Two) hits = _mm_and_si128(hits, pair_hits(t2, at_offset(3), at_offset(4), at_offset(5)));
    for (auto m = static_cast<std::uint32_t>(_mm_movemask_epi8(hits)); m != 0; m &= m - 1) {
      const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(m));
      if (accept(at)) return at;
    }
  }
  return find_scalar(s, i, n, set, accept);
}

template <class Accept>
__attribute__((target("ssse3"))) KESTRIX_PAIRS_NO_IPA void visit_ssse3(const unsigned char* s, std::size_t i,
                                                  std::size_t n, const PairSet& first,
                                                  const PairSet& second, unsigned char ascii,
                                                  Accept& accept) {
  const Shuffled t1 = shuffled(first), t2 = shuffled(second);
  const __m128i a = _mm_set1_epi8(static_cast<char>(ascii));
  for (; i + 21 <= n; i += 16) {
    auto at_offset = [&](std::size_t k) {
      return _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + k));
    };
    const __m128i v0 = at_offset(0);
    const __m128i hits = _mm_or_si128(_mm_and_si128(pair_hits(t1, v0, at_offset(1), at_offset(2)),
                                                    pair_hits(t2, at_offset(3), at_offset(4), at_offset(5))),
                                      _mm_cmpeq_epi8(v0, a));
    for (auto m = static_cast<std::uint32_t>(_mm_movemask_epi8(hits)); m != 0; m &= m - 1)
      accept(i + static_cast<std::size_t>(__builtin_ctz(m)));
  }
  visit_scalar(s, i, n, first, second, ascii, accept);
}

// The same tests thirty-two positions at a time; the byte shuffle looks up within each
// 128-bit half, so each half gets a copy of the tables.
struct Shuffled2 {
  __m256i low, high, low3, high3;
};
__attribute__((target("avx2"))) inline __m256i both_halves(const std::array<std::uint8_t, 16>& a) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(a.data())));
}
__attribute__((target("avx2"))) inline Shuffled2 shuffled2(const PairSet& set) {
  return {both_halves(set.low), both_halves(set.high), both_halves(set.low3), both_halves(set.high3)};
}
__attribute__((target("avx2"))) inline __m256i table_bit2(__m256i low, __m256i high, __m256i row,
                                                         __m256i column) {
  const __m256i row_bit = _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128,
                                           1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
  const __m256i in_high = _mm256_cmpgt_epi8(row, _mm256_set1_epi8(7));
  const __m256i table = _mm256_blendv_epi8(_mm256_shuffle_epi8(low, column),
                                           _mm256_shuffle_epi8(high, column), in_high);
  const __m256i bit = _mm256_shuffle_epi8(row_bit, row);
  return _mm256_cmpeq_epi8(_mm256_and_si256(table, bit), bit);
}
__attribute__((target("avx2"))) inline __m256i pair_hits2(const Shuffled2& t, __m256i v0, __m256i v1,
                                                         __m256i v2) {
  const __m256i three = _mm256_set1_epi8(3), fifteen = _mm256_set1_epi8(15);
  const __m256i lead_index = _mm256_sub_epi8(v0, _mm256_set1_epi8(static_cast<char>(0xEA)));
  const __m256i is_lead = _mm256_cmpeq_epi8(_mm256_min_epu8(lead_index, three), lead_index);
  const __m256i row = _mm256_or_si256(_mm256_slli_epi16(_mm256_and_si256(lead_index, three), 2),
                                      _mm256_and_si256(_mm256_srli_epi16(v1, 4), three));
  const __m256i row3 = _mm256_or_si256(_mm256_slli_epi16(_mm256_and_si256(v1, three), 2),
                                       _mm256_and_si256(_mm256_srli_epi16(v2, 4), three));
  return _mm256_and_si256(
      _mm256_and_si256(table_bit2(t.low, t.high, row, _mm256_and_si256(v1, fifteen)),
                       table_bit2(t.low3, t.high3, row3, _mm256_and_si256(v2, fifteen))),
      is_lead);
}

template <bool Two, class Accept>
__attribute__((target("avx2"))) KESTRIX_PAIRS_NO_IPA std::size_t find_avx2(const unsigned char* s, std::size_t i,
                                                       std::size_t n, const PairSet& set,
                                                       const PairSet& next, Accept& accept) {
  const Shuffled2 t = shuffled2(set), t2 = shuffled2(next);
  for (; i + 32 + (Two ? 5 : 2) <= n; i += 32) {
    const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
    const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + 1));
    const __m256i v2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + 2));
    __m256i hits = pair_hits2(t, v0, v1, v2);
    if constexpr (Two) {
      const __m256i v3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + 3));
      const __m256i v4 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + 4));
      const __m256i v5 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + 5));
      hits = _mm256_and_si256(hits, pair_hits2(t2, v3, v4, v5));
    }
    for (auto m = static_cast<std::uint32_t>(_mm256_movemask_epi8(hits)); m != 0; m &= m - 1) {
      const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(m));
      if (accept(at)) return at;
    }
  }
  return find_ssse3<Two>(s, i, n, set, next, accept);
}

template <class Accept>
__attribute__((target("avx2"))) KESTRIX_PAIRS_NO_IPA void visit_avx2(const unsigned char* s, std::size_t n,
                                                 const PairSet& first, const PairSet& second,
                                                 unsigned char ascii, Accept& accept) {
  const Shuffled2 t1 = shuffled2(first), t2 = shuffled2(second);
  const __m256i a = _mm256_set1_epi8(static_cast<char>(ascii));
  std::size_t i = 0;
  for (; i + 37 <= n; i += 32) {
    // (A lambda here would not inherit the function's target.)
    const auto* p = reinterpret_cast<const __m256i*>(s + i);
    const __m256i v0 = _mm256_loadu_si256(p);
    const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + 1));
    const __m256i v2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + 2));
    const __m256i v3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + 3));
    const __m256i v4 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + 4));
    const __m256i v5 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i + 5));
    const __m256i hits = _mm256_or_si256(
        _mm256_and_si256(pair_hits2(t1, v0, v1, v2), pair_hits2(t2, v3, v4, v5)), _mm256_cmpeq_epi8(v0, a));
    for (auto m = static_cast<std::uint32_t>(_mm256_movemask_epi8(hits)); m != 0; m &= m - 1)
      accept(i + static_cast<std::size_t>(__builtin_ctz(m)));
  }
  visit_ssse3(s, i, n, first, second, ascii, accept);
}
#endif

}  // namespace detail

// Calls accept(at), in order, for every position at whose byte is `ascii`, or that begins a
// syllable of `first` followed by one of `second` (two syllables in a row, as the first two of
// a word). Some other positions may be visited too.
template <class Accept>
void visit_two(const unsigned char* s, std::size_t n, const PairSet& first, const PairSet& second,
               unsigned char ascii, Accept accept) {
#ifdef KESTRIX_PAIRS_SSSE3
  if (detail::has_avx2) return detail::visit_avx2(s, n, first, second, ascii, accept);
  if (detail::has_ssse3) return detail::visit_ssse3(s, 0, n, first, second, ascii, accept);
#endif
  detail::visit_sse2(s, n, first, second, ascii, accept);
}

// The first position at or after i, with at + 1 < n, that `accept` takes, of the positions that
// may begin a syllable of the set (every one that does, and some that only share its first two
// bytes); n when there is none. `accept` sees positions in order.
template <class Accept>
std::size_t find(const unsigned char* s, std::size_t i, std::size_t n, const PairSet& set,
                 Accept accept) {
#ifdef KESTRIX_PAIRS_SSSE3
  if (detail::has_avx2) return detail::find_avx2<false>(s, i, n, set, set, accept);
  if (detail::has_ssse3) return detail::find_ssse3<false>(s, i, n, set, set, accept);
#endif
  return detail::find_sse2(s, i, n, set, accept);
}

// As find, where `accept` takes only positions at which a syllable of `set` is followed by a
// syllable of `next`: every such position is offered (with some others).
template <class Accept>
std::size_t find_two(const unsigned char* s, std::size_t i, std::size_t n, const PairSet& set,
                     const PairSet& next, Accept accept) {
#ifdef KESTRIX_PAIRS_SSSE3
  if (detail::has_avx2) return detail::find_avx2<true>(s, i, n, set, next, accept);
  if (detail::has_ssse3) return detail::find_ssse3<true>(s, i, n, set, next, accept);
#endif
  return detail::find_sse2(s, i, n, set, accept);
}

}  // namespace kestrix::pairs
