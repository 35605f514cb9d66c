// Strict UTF-8 by blocks: each byte read with the one before it through three 16-entry tables
// (the high and low nibble of the byte before, the high nibble of the byte), which mark every
// pair of bytes that cannot stand together, plus the check that the second and third bytes
// after a three- or four-byte lead are continuations. Text that is all ASCII is passed over.
#include <array>
#include <cstdint>
#include <cstring>

#include "text/simd.hpp"
#include "text/utf8.hpp"

namespace kestrix::utf8 {
namespace {

// A set of nibbles, bit k for nibble k.
constexpr std::uint16_t nibbles(int lo, int hi) {
  std::uint16_t m = 0;
  for (int k = lo; k <= hi; ++k) m = static_cast<std::uint16_t>(m | 1u << k);
  return m;
}
constexpr std::uint16_t kAny = 0xFFFF;

// One way a byte and the byte before it cannot stand together: the nibbles of the pair it
// takes, and its own bit, so that the three tables' entries ANDed hold the bit exactly for
// those pairs. Bit 7 instead marks two continuation bytes in a row, which are right exactly
// where the byte two or three back leads three or four bytes.
struct PairRule {
  std::uint16_t before_high, before_low, high;
  std::uint8_t bit;
};
constexpr PairRule kPairRules[] = {
    // a lead before a byte that does not continue it
    {nibbles(0xC, 0xF), kAny, static_cast<std::uint16_t>(nibbles(0x0, 0x7) | nibbles(0xC, 0xF)), 0x01},
    // a continuation after ASCII
    {nibbles(0x0, 0x7), kAny, nibbles(0x8, 0xB), 0x02},
    // C0, C1: two bytes for a character of one
    {nibbles(0xC, 0xC), nibbles(0x0, 0x1), nibbles(0x8, 0xB), 0x04},
    // E0 80..9F: three bytes for a character of two
    {nibbles(0xE, 0xE), nibbles(0x0, 0x0), nibbles(0x8, 0x9), 0x08},
    // ED A0..BF: a surrogate
    {nibbles(0xE, 0xE), nibbles(0xD, 0xD), nibbles(0xA, 0xB), 0x10},
    // F0 80..8F: four bytes for a character of three; F5..FF 80..8F: above U+10FFFF
    {nibbles(0xF, 0xF), static_cast<std::uint16_t>(nibbles(0x0, 0x0) | nibbles(0x5, 0xF)), nibbles(0x8, 0x8), 0x20},
    // F4 90..BF, F5..FF 90..BF: above U+10FFFF
    {nibbles(0xF, 0xF), nibbles(0x4, 0xF), nibbles(0x9, 0xB), 0x40},
    // two continuations
    {nibbles(0x8, 0xB), kAny, nibbles(0x8, 0xB), 0x80},
};

// The tables by the byte before's high nibble, its low nibble, and the byte's high nibble.
using Table = std::array<std::uint8_t, 16>;
struct PairTables {
  alignas(16) Table before_high, before_low, high;
};
constexpr PairTables kPairs = [] {
  PairTables t{};
  for (const PairRule& r : kPairRules)
    for (int k = 0; k < 16; ++k) {
      if (r.before_high >> k & 1) t.before_high[k] |= r.bit;
      if (r.before_low >> k & 1) t.before_low[k] |= r.bit;
      if (r.high >> k & 1) t.high[k] |= r.bit;
    }
  return t;
}();

// The tables against the rules of UTF-8 written out, for every first byte and each high nibble
// of the second (the rules read no more of it: the lowest and highest byte of each nibble are
// taken, as all 65,536 pairs pass clang's limit on the steps of a constant): a fault bit exactly
// where the pair cannot stand in valid text whatever comes before it, bit 7 exactly for two
// continuations.
constexpr bool pair_fault(unsigned a, unsigned b) {
  const bool cont = is_cont(static_cast<unsigned char>(b));
  if (a < 0x80) return cont;
  if (a < 0xC0) return false;  // what may follow a continuation depends on the bytes before it
  if (!cont) return true;
  return a < 0xC2 || (a == 0xE0 && b < 0xA0) || (a == 0xED && b >= 0xA0) || (a == 0xF0 && b < 0x90) ||
         (a == 0xF4 && b >= 0x90) || a > 0xF4;
}
constexpr bool tables_read_every_pair() {
  for (unsigned a = 0; a < 256; ++a)
    for (unsigned b = 0; b < 256; b += (b & 15) == 0 ? 15 : 1) {
      const unsigned bits = kPairs.before_high[a >> 4] & kPairs.before_low[a & 15] & kPairs.high[b >> 4];
      const bool two_cont = is_cont(static_cast<unsigned char>(a)) && is_cont(static_cast<unsigned char>(b));
      if (((bits & 0x7F) != 0) != pair_fault(a, b) || ((bits & 0x80) != 0) != two_cont) return false;
    }
  return true;
}
static_assert(tables_read_every_pair());

}  // namespace
}  // namespace kestrix::utf8

#ifdef KESTRIX_SIMD_X86

namespace kestrix::utf8 {
namespace {

// W bytes a step (a text shorter than W goes to the scalar check). Leading ASCII blocks are
// passed over before the tables are loaded, and a text that is ASCII to its end is done there.
// The bytes after the last whole block are checked as a block followed by zeros: the zeros find
// a sequence cut at the end of the text as ASCII after it would (a block of zeros alone when
// the text fills its last block). Faults gather in one vector, read once at the end.
struct Blocks {
  template <int W>
  [[gnu::always_inline]] static bool run(const unsigned char* s, std::size_t n) {
    using V = simd::Vec<W>;
    if (n < W) return fallback(s, n);
    std::size_t i = 0;
    while (i + W <= n && V::load(s + i).bits() == 0) i += W;
    if (i + W > n && V::load(s + n - W).bits() == 0) return true;
    const V before_high = V::repeat16(kPairs.before_high.data()),
            before_low = V::repeat16(kPairs.before_low.data()), high = V::repeat16(kPairs.high.data());
    const V low_nibble = V::set1(0x0F), top = V::set1(0x80);
    // A byte two back at E0 or above is at 0x80 or above once 0x60 is taken off; three back
    // at F0, once 0x70 is.
    const V third = V::set1(0x60), fourth = V::set1(0x70);
    V prev = V::zero(), fault = V::zero();  // the blocks passed over were ASCII, which reads as zeros
    auto check = [&](V cur) __attribute__((always_inline)) {
      const V p1 = shift_in<1>(prev, cur);
      const V pairs = lookup(before_high, shr16<4>(p1) & low_nibble) & lookup(before_low, p1 & low_nibble) &
                      lookup(high, shr16<4>(cur) & low_nibble);
      const V must_continue = (sub_sat_u8(shift_in<2>(prev, cur), third) | sub_sat_u8(shift_in<3>(prev, cur), fourth)) & top;
      fault = fault | (pairs ^ must_continue);
    };
    bool prev_ascii = true;
    for (; i + W <= n; i += W) {
      const V cur = V::load(s + i);
      const bool ascii = cur.bits() == 0;
      // ASCII after ASCII can hold no fault; after anything else it may end a cut sequence.
      if (!ascii || !prev_ascii) check(cur);
      prev = cur;
      prev_ascii = ascii;
    }
    // The last W bytes of the text stored so that its last n - i bytes begin tail[W], with
    // zeros after them.
    alignas(W) unsigned char tail[2 * W] = {};
    V::load(s + n - W).store(tail + (n - i));
    check(V::load(tail + W));
    return eq8(fault, V::zero()).bits() == (W == 32 ? 0xFFFFFFFFu : 0xFFFFu);
  }
  static bool fallback(const unsigned char* s, std::size_t n) {
    return valid_scalar({reinterpret_cast<const char*>(s), n});
  }
};

}  // namespace

bool valid_blocks(std::string_view s) {
  return simd::dispatch<Blocks>(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

}  // namespace kestrix::utf8

#else

namespace kestrix::utf8 {
bool valid_blocks(std::string_view s) { return valid_scalar(s); }
}  // namespace kestrix::utf8

#endif
