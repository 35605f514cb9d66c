// Finding the characters of a set of Hangul syllables quickly: every precomposed syllable is
// three bytes with a lead byte 0xEA..0xED, and its first two bytes already narrow it down to a
// block of 64 syllables. A PairSet holds a set of syllables by such (lead, second byte) pairs
// and, for the vector scans, by two eight-bit pieces of their code points; find visits the
// positions that may begin one of them, testing sixteen or thirty-two positions at a time.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "text/bytes.hpp"
#include "text/simd.hpp"

namespace kestrix::pairs {

// Up to four ASCII bytes that a visit takes on their own (repeat one to take fewer), none of
// them 0 (the byte the vector scans read past the end of a short text), told apart by their
// bits 2..5: the vector scans look a byte's bits 2..5 up in `table` and compare what they find
// with the byte, one lookup and one compare instead of a compare per byte. A set that breaks
// this fails the build ('A', 'D', 'P' and 'p' give 0, 1, 4 and 12).
struct AsciiSet {
  std::array<unsigned char, 4> b;
  // table[k]: the byte of the set whose bits 2..5 are k, or a byte whose bits 2..5 are not k.
  alignas(16) std::array<std::uint8_t, 16> table{};
  consteval AsciiSet(std::array<unsigned char, 4> bytes) : b(bytes) {
    for (int k = 0; k < 16; ++k) table[k] = k == 15 ? 0x00 : 0xFF;
    for (unsigned char c : b) {
      const unsigned k = slot(c);
      if (c == 0 || c >= 0x80 || (table[k] != c && slot(table[k]) == k)) not_a_set();
      table[k] = c;
    }
  }
  static constexpr unsigned slot(unsigned char c) { return (c >> 2) & 0x0Fu; }
  static void not_a_set();  // not constexpr: reaching it fails the build
  constexpr bool has(unsigned char c) const { return c == b[0] || c == b[1] || c == b[2] || c == b[3]; }
};

struct PairSet {
  // Bit (second & 0x3F) of word (lead - 0xEA): the scalar form.
  std::array<std::uint64_t, 4> bits{};
  // The vector scans test two pieces of the code point c instead, each of eight bits for a
  // sixteen-entry byte shuffle: piece 1 is bits 0..3 of c (column) and 6..9 (row), piece 2 bits
  // 2..5 (column) and 9..12 (row). Bit r of low[column] (r < 8) or of high[column] (r >= 8) is
  // set for the piece 1 of each syllable of the set, and likewise low2 and high2 for piece 2.
  // Each piece is read from at most two bytes with no carry between them, and together they
  // cover bits 0..12: a syllable one bit away from one of the set (bit 13 aside) fails one of
  // them. They were chosen among such pairs of pieces for the fewest places let through on
  // Korean text: the cue index stops at a third as many places of the generated mixed text as
  // with the pair and the code point's low byte, tested before (습 passed as 승 and 통 did, 니
  // as 담), and the numeral scan at half as many of the movie reviews.
  alignas(16) std::array<std::uint8_t, 16> low{};
  alignas(16) std::array<std::uint8_t, 16> high{};
  alignas(16) std::array<std::uint8_t, 16> low2{};
  alignas(16) std::array<std::uint8_t, 16> high2{};

  // Adds the syllable whose UTF-8 bytes are lead, second, third.
  constexpr void add(unsigned char lead, unsigned char second, unsigned char third) {
    bits[lead - 0xEA] |= std::uint64_t{1} << (second & 0x3F);
    const unsigned c = ((lead & 0x0Fu) << 12) | ((second & 0x3Fu) << 6) | (third & 0x3Fu);
    put(low, high, (c >> 6) & 0x0Fu, c & 0x0Fu);
    put(low2, high2, (c >> 9) & 0x0Fu, (c >> 2) & 0x0Fu);
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

// The position `at` (with at + 4 < n) holds one of the bytes of `ascii`, or a syllable whose
// pair is in `first` followed by one whose pair is in `second`.
inline bool two_pairs_at(const unsigned char* s, std::size_t at, const PairSet& first,
                         const PairSet& second, const AsciiSet& ascii) {
  return ascii.has(s[at]) || (first.has(s[at], s[at + 1]) && second.has(s[at + 3], s[at + 4]));
}

template <class Accept>
void visit_scalar(const unsigned char* s, std::size_t i, std::size_t n, const PairSet& first,
                  const PairSet& second, const AsciiSet& ascii, Accept& accept) {
  for (; i < n; ++i)
    if (i + 4 < n ? two_pairs_at(s, i, first, second, ascii) : ascii.has(s[i])) accept(i);
}

template <class Accept>
void visit_sse2(const unsigned char* s, std::size_t n, const PairSet& first, const PairSet& second,
                const AsciiSet& ascii, Accept& accept) {
  std::size_t i = 0;
  for (; i + 20 <= n; i += 16) {
    const bytes::V16 v = bytes::load(s + i);
    const bytes::V16 a = bytes::eq(v, ascii.b[0]) | bytes::eq(v, ascii.b[1]) | bytes::eq(v, ascii.b[2]) |
                         bytes::eq(v, ascii.b[3]);
    for (std::uint32_t m = bytes::bits(bytes::in_range(v, 0xEA, 0xED) | a); m != 0;
         m &= m - 1) {
      const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(m));
      if (two_pairs_at(s, at, first, second, ascii)) accept(at);
    }
  }
  visit_scalar(s, i, n, first, second, ascii, accept);
}

#ifdef KESTRIX_SIMD_X86
// The syllable test for W positions at a time, in vector registers. The byte lookup works within
// each 128-bit half, so each half gets a copy of the tables.
template <int W>
struct KeyConstants;
template <int W>
struct Tables {
  simd::Vec<W> low, high, low2, high2;
  const KeyConstants<W>& k;  // those of the scan, shared by its tables
  [[gnu::always_inline]] Tables(const PairSet& set, const KeyConstants<W>& constants)
      : low(simd::Vec<W>::repeat16(set.low.data())),
        high(simd::Vec<W>::repeat16(set.high.data())),
        low2(simd::Vec<W>::repeat16(set.low2.data())),
        high2(simd::Vec<W>::repeat16(set.high2.data())),
        k(constants) {}
};

// The constants of the syllable test's indices (SyllableKeys), made once per scan. Hidden from
// g++, which would otherwise make some of them again from immediates in every block, three
// instructions each, where a spilled copy is an operand read from memory (clang, which the
// fuzz targets build with, does not, and takes no 256-bit operand here).
template <int W>
struct KeyConstants {
  simd::Vec<W> fifteen, seven, eight, lead_bias, last_lead, row_bits;
  [[gnu::always_inline]] KeyConstants() {
    alignas(16) static constexpr std::uint8_t kRowBit[16] = {1, 2, 4, 8, 16, 32, 64, 128,
                                                             1, 2, 4, 8, 16, 32, 64, 128};
    using V = simd::Vec<W>;
    fifteen = V::set1(15);
    seven = V::set1(7);
    eight = V::set1(8);
    lead_bias = V::set1(0x6A);
    last_lead = V::set1(0x83);
    row_bits = V::repeat16(kRowBit);
#ifndef __clang__
    asm("" : "+x"(fifteen.v), "+x"(seven.v), "+x"(eight.v), "+x"(lead_bias.v), "+x"(last_lead.v), "+x"(row_bits.v));
#endif
  }
};

// The last bytes of a text, [i, n), fewer than W + Reach: too few for a block read in place,
// whose loads reach Reach bytes past its last position. Copied to the front of a buffer of
// zeros, they are read as whole blocks, so that a short text (a chat message) is tested a
// block at a time throughout instead of byte by byte after its last full block.
template <int W, std::size_t Reach>
struct Tail {
  unsigned char bytes[2 * W + Reach] = {};
  std::size_t size;
  [[gnu::always_inline]] Tail(const unsigned char* s, std::size_t i, std::size_t n) : size(n - i) {
    if (size != 0) std::memcpy(bytes, s + i, size);
  }
};

// The syllable test's indices for the positions whose first, second and third bytes are v0,
// v1, v2, made once for as many sets as a scan tests there: for each piece of the code point
// (see PairSet), its column, and its row as which table half and which bit of the byte looked
// up stand for it.
template <int W>
struct SyllableKeys {
  using V = simd::Vec<W>;
  V not_lead, high, bit, column, high2, bit2, column2;
  [[gnu::always_inline]] SyllableKeys(const KeyConstants<W>& k, const V& v0, const V& v1, const V& v2) {
    const V& fifteen = k.fifteen;
    const V& seven = k.seven;
    // v0 - 0x6A is -128..-125 (signed) exactly for the leads 0xEA..0xED.
    not_lead = gt8(sub8(v0, k.lead_bias), k.last_lead);
    // Code point bits 6..9 and 0..3; 9..12 (the lead's bit 0 above the second byte's bits
    // 3..5) and 2..5. (Shifts of sixteen-bit lanes: the masks keep each byte's bits its own.)
    const V row = v1 & fifteen;
    const V row2 = (shr16<3>(v1) & seven) | (shl16<3>(v0) & k.eight);
    high = gt8(row, seven);
    bit = lookup(k.row_bits, row);
    column = v2 & fifteen;
    high2 = gt8(row2, seven);
    bit2 = lookup(k.row_bits, row2);
    column2 = shr16<2>(v2) & fifteen;
  }
  // Zero at the positions that may begin a syllable of the set whose tables are t, other bytes
  // elsewhere: a byte of a table looked up lacks the row's bit, or no lead stands there. (Zero
  // or not, rather than a compare's 0xFF or 0x00: a test of two tables, or of a block and the
  // next three bytes on, is one OR, and only the last takes a compare.)
  [[gnu::always_inline]] V miss(const Tables<W>& t) const {
    const V piece = select(high, lookup(t.high, column), lookup(t.low, column));
    const V piece2 = select(high2, lookup(t.high2, column2), lookup(t.low2, column2));
    return and_not(bit, piece) | and_not(bit2, piece2) | not_lead;
  }
};

// The syllable test for the positions whose first, second and third bytes are v0, v1, v2, as
// SyllableKeys::miss gives it.
template <int W>
[[gnu::always_inline]] inline simd::Vec<W> pair_misses(const Tables<W>& t, const simd::Vec<W>& v0,
                                                       const simd::Vec<W>& v1, const simd::Vec<W>& v2) {
  return SyllableKeys<W>(t.k, v0, v1, v2).miss(t);
}

// The last block of a text of n bytes, at p = s + n - W - 2: the positions where a syllable of t1
// is followed by one of t2 (0xFF), both tests from one set of indices. The last three positions
// are too near the end to begin two syllables, and hold none.
template <int W>
[[gnu::always_inline]] inline simd::Vec<W> two_at_end(const Tables<W>& t1, const Tables<W>& t2,
                                                      const unsigned char* p) {
  using V = simd::Vec<W>;
  const SyllableKeys<W> k(t1.k, V::load(p), V::load(p + 1), V::load(p + 2));
  return eq8(k.miss(t1) | shift_out<3>(k.miss(t2), V::set1(0xFF)), V::zero());
}

// The blocks of W positions from i on, while each has the W + 2 bytes after it that the next
// block's indices read: for each, more(at, bits), the bits set for the positions where a
// syllable of t1 is followed by one of t2 or that also(v0) takes (v0: the block's bytes), until
// it returns false. Both tables' tests of a block come from one set of indices, the second
// table's moved three bytes back and taking the first three of the next block's: each block is
// indexed once, where block() indexes it and the block three bytes on. Returns the block where
// `more` stopped, or the first not visited, whose first table's test, made by then, is `first`.
template <int W>
struct Carried {
  simd::Vec<W> misses{};  // as SyllableKeys::miss gives them
  bool made = false;  // else no block was indexed
};
template <int W, class Also, class More>
[[gnu::always_inline]] inline std::size_t two_syllable_blocks(const unsigned char* s, std::size_t i,
                                                               std::size_t n, const Tables<W>& t1,
                                                               const Tables<W>& t2, Also also, More more,
                                                               Carried<W>& first) {
  using V = simd::Vec<W>;
  if (i + 2 * W + 2 > n) return i;
  auto tests = [&](std::size_t at, V& first_misses, V& second_misses) __attribute__((always_inline)) {
    const SyllableKeys<W> k(t1.k, V::load(s + at), V::load(s + at + 1), V::load(s + at + 2));
    first_misses = k.miss(t1);
    second_misses = k.miss(t2);
  };
  V first_misses, second_misses;
  tests(i, first_misses, second_misses);
  for (; i + 2 * W + 2 <= n; i += W) {
    V next_first, next_second;
    tests(i + W, next_first, next_second);
    const V hits = eq8(first_misses | shift_out<3>(second_misses, next_second), V::zero()) |
                   also(V::load(s + i));
    if (!more(i, hits.bits())) break;
    first_misses = next_first;
    second_misses = next_second;
  }
  first = {first_misses, true};
  return i;
}

#endif

// find and find_two. With Two, only positions where a syllable of `set` is followed by one of
// `next` are offered (the scalar tail offers those of `set` alone).
template <bool Two>
struct Find {
#ifdef KESTRIX_SIMD_X86
  // The positions of the W at p that may begin a syllable of the first table (followed by one
  // of the second, with Two), as bits; the first table's test is `first` when that was made.
  template <int W>
  [[gnu::always_inline]] static std::uint32_t block(const Tables<W>& t, const Tables<W>& t2,
                                                    const unsigned char* p, const Carried<W>& first = {}) {
    using V = simd::Vec<W>;
    V misses = first.made ? first.misses : pair_misses(t, V::load(p), V::load(p + 1), V::load(p + 2));
    if constexpr (Two) misses = misses | pair_misses(t2, V::load(p + 3), V::load(p + 4), V::load(p + 5));
    return eq8(misses, V::zero()).bits();
  }
  template <int W, class Accept>
  [[gnu::always_inline]] static std::size_t run(const unsigned char* s, std::size_t i, std::size_t n,
                                                const PairSet& set, const PairSet& next, Accept& accept) {
    constexpr std::size_t reach = Two ? 5 : 2;  // bytes read past a block's last position
    const KeyConstants<W> k;
    const Tables<W> t(set, k), t2(next, k);
    Carried<W> carried;  // the walk's test of the first block after it
    if constexpr (Two) {
      using V = simd::Vec<W>;
      std::size_t found = n;
      i = two_syllable_blocks<W>(
          s, i, n, t, t2, [](const V&) __attribute__((always_inline)) { return V::zero(); },
          [&](std::size_t at, std::uint32_t m) __attribute__((always_inline)) {
            for (; m != 0; m &= m - 1)
              if (accept(at + static_cast<std::size_t>(__builtin_ctz(m)))) {
                found = at + static_cast<std::size_t>(__builtin_ctz(m));
                return false;
              }
            return true;
          },
          carried);
      if (found != n) return found;
    }
    for (; i + W + reach <= n; i += W)
      for (std::uint32_t m = block<W>(t, t2, s + i, std::exchange(carried, {})); m != 0; m &= m - 1) {
        const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(m));
        if (accept(at)) return at;
      }
    if (i < n && n >= W + reach) {
      // The last block ends where the loads reach the end: its positions before i were
      // offered, and those after it are too few bytes from the end to begin a syllable (or,
      // with Two, two of them).
      const std::size_t last = n - W - reach;
      if (i - last >= W) return n;
      // With Two, one set of indices serves where the positions left begin in the last block of
      // W + 2 bytes.
      std::uint32_t m;
      if constexpr (Two)
        m = i >= n - W - 2 ? two_at_end<W>(t, t2, s + n - W - 2).bits() >> (i - (n - W - 2))
                           : block<W>(t, t2, s + last) >> (i - last);
      else
        m = block<W>(t, t2, s + last) >> (i - last);
      for (; m != 0; m &= m - 1) {
        const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(m));
        if (accept(at)) return at;
      }
      return n;
    }
    // The rest from a copy with zeros after it, in whole blocks (see Tail); a zero after the
    // last byte may complete a pair, so only positions with at + 1 < n are offered.
    const Tail<W, reach> tail(s, i, n);
    for (std::size_t j = 0; j < tail.size; j += W)
      for (std::uint32_t m = block<W>(t, t2, tail.bytes + j); m != 0; m &= m - 1) {
        const std::size_t at = i + j + static_cast<std::size_t>(__builtin_ctz(m));
        if (at + 1 >= n) return n;
        if (accept(at)) return at;
      }
    return n;
  }
#endif
  template <class Accept>
  static std::size_t fallback(const unsigned char* s, std::size_t i, std::size_t n, const PairSet& set,
                              const PairSet&, Accept& accept) {
    return find_sse2(s, i, n, set, accept);
  }
};

// visit_two.
struct Visit {
#ifdef KESTRIX_SIMD_X86
  // The positions of the W at p that hold one of the bytes `a` or begin a syllable of the first
  // table followed by one of the second, as bits; the first table's test is `first` when that
  // was made.
  // 0xFF where v0 holds one of the bytes whose table is `ascii` (AsciiSet::table).
  template <int W>
  [[gnu::always_inline]] static simd::Vec<W> ascii_at(const simd::Vec<W>& ascii, const KeyConstants<W>& k,
                                                      const simd::Vec<W>& v0) {
    return eq8(v0, lookup(ascii, shr16<2>(v0) & k.fifteen));
  }
  template <int W>
  [[gnu::always_inline]] static std::uint32_t block(const Tables<W>& t1, const Tables<W>& t2,
                                                    const simd::Vec<W>& a, const unsigned char* p,
                                                    const Carried<W>& first = {}) {
    using V = simd::Vec<W>;
    const V v0 = V::load(p);
    const V hits = eq8((first.made ? first.misses : pair_misses(t1, v0, V::load(p + 1), V::load(p + 2))) |
                           pair_misses(t2, V::load(p + 3), V::load(p + 4), V::load(p + 5)),
                       V::zero()) |
                   ascii_at(a, t1.k, v0);
    return hits.bits();
  }
  template <int W, class Accept>
  [[gnu::always_inline]] static void run(const unsigned char* s, std::size_t i, std::size_t n,
                                         const PairSet& first, const PairSet& second, const AsciiSet& ascii,
                                         Accept& accept) {
    using V = simd::Vec<W>;
    const KeyConstants<W> k;
    const Tables<W> t1(first, k), t2(second, k);
    const V a = V::repeat16(ascii.table.data());
    Carried<W> carried;  // the walk's test of the first block after it
    i = two_syllable_blocks<W>(
        s, i, n, t1, t2,
        [&](const V& v0) __attribute__((always_inline)) { return ascii_at(a, k, v0); },
        [&](std::size_t at, std::uint32_t m) __attribute__((always_inline)) {
          for (; m != 0; m &= m - 1)
            accept(at + static_cast<std::size_t>(__builtin_ctz(m)));
          return true;
        },
        carried);
    for (; i + W + 5 <= n; i += W)
      for (std::uint32_t m = block<W>(t1, t2, a, s + i, std::exchange(carried, {})); m != 0; m &= m - 1)
        accept(i + static_cast<std::size_t>(__builtin_ctz(m)));
    if (i < n && n >= W + 5) {
      // The last block ends where the loads reach the end (its positions before i were
      // visited); after it, too few bytes are left for two syllables, and only the bytes of
      // `ascii` are looked for.
      const std::size_t last = n - W - 5;
      // Where the positions left begin in the last block of W + 2 bytes, one set of indices
      // serves it, and the bytes of `ascii` are looked for in it up to its end.
      std::size_t ascii_from = n - 5;
      if (i >= n - W - 2) {
        const V v0 = V::load(s + n - W - 2);
        const V hits = two_at_end<W>(t1, t2, s + n - W - 2) | ascii_at(a, k, v0);
        for (std::uint32_t m = hits.bits() >> (i - (n - W - 2)); m != 0; m &= m - 1)
          accept(i + static_cast<std::size_t>(__builtin_ctz(m)));
        ascii_from = n - 2;
      } else if (i - last < W) {
        for (std::uint32_t m = block<W>(t1, t2, a, s + last) >> (i - last); m != 0; m &= m - 1)
          accept(i + static_cast<std::size_t>(__builtin_ctz(m)));
      }
      const V v = V::load(s + n - W);
      for (std::uint32_t m = ascii_at(a, k, v).bits() >>
                             (W - (n - ascii_from));
           m != 0; m &= m - 1)
        accept(ascii_from + static_cast<std::size_t>(__builtin_ctz(m)));
      return;
    }
    // The rest from a copy with zeros after it (see Tail): a zero is no lead byte and none of
    // `ascii`, so no position at or past the end is visited.
    const Tail<W, 5> tail(s, i, n);
    for (std::size_t j = 0; j < tail.size; j += W)
      for (std::uint32_t m = block<W>(t1, t2, a, tail.bytes + j); m != 0; m &= m - 1)
        accept(i + j + static_cast<std::size_t>(__builtin_ctz(m)));
  }
#endif
  template <class Accept>
  static void fallback(const unsigned char* s, std::size_t, std::size_t n, const PairSet& first,
                       const PairSet& second, const AsciiSet& ascii, Accept& accept) {
    visit_sse2(s, n, first, second, ascii, accept);
  }
};

}  // namespace detail

// Calls accept(at), in order, for every position at whose byte is one of `ascii`, or that begins a
// syllable of `first` followed by one of `second` (two syllables in a row, as the first two of
// a word). Some other positions may be visited too.
template <class Accept>
void visit_two(const unsigned char* s, std::size_t n, const PairSet& first, const PairSet& second,
               const AsciiSet& ascii, Accept accept) {
  simd::dispatch<detail::Visit>(s, std::size_t{0}, n, first, second, ascii, accept);
}

// The first position at or after i, with at + 1 < n, that `accept` takes, of the positions that
// may begin a syllable of the set (every one that does, and some that only share its first two
// bytes); n when there is none. `accept` sees positions in order.
template <class Accept>
std::size_t find(const unsigned char* s, std::size_t i, std::size_t n, const PairSet& set,
                 Accept accept) {
  return simd::dispatch<detail::Find<false>>(s, i, n, set, set, accept);
}

// As find, where `accept` takes only positions at which a syllable of `set` is followed by a
// syllable of `next`: every such position is offered (with some others).
template <class Accept>
std::size_t find_two(const unsigned char* s, std::size_t i, std::size_t n, const PairSet& set,
                     const PairSet& next, Accept accept) {
  return simd::dispatch<detail::Find<true>>(s, i, n, set, next, accept);
}

}  // namespace kestrix::pairs
