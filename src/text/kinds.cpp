#include "text/kinds.hpp"

#include <array>
#include <initializer_list>

#include "text/simd.hpp"

namespace kestrix::kinds {
namespace {

// Each kind by a byte's two nibbles: a byte is of a kind where the entries of its low and of its
// high nibble share the kind's bit, so every bit stands for the bytes of one set of high nibbles
// and one set of low nibbles (the build checks every byte against the kinds' definitions).
struct NibbleTables {
  alignas(16) std::array<std::uint8_t, 16> low{}, high{};
};
constexpr NibbleTables kNibbles = [] {
  struct Rect {
    Set bit;
    std::initializer_list<int> high, low;
  };
  const Rect rects[] = {
      {0x01, {0xE}, {0x1}},
      {0x02, {0xE}, {0x2, 0x3, 0xF}},
      {0x04, {0xC}, {0x2}},
      {lookalike, {0x4, 0x6}, {0x9, 0xC, 0xF}},
      {upper_or_at, {0x4, 0x5}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
      {digit, {0x3}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {syllable_lead, {0xE}, {0xA, 0xB, 0xC, 0xD}},
      {mark, {0x2, 0x5, 0x7}, {0x8, 0xA}},
  };
  NibbleTables t;
  for (const Rect& r : rects) {
    for (int h : r.high) t.high[static_cast<std::size_t>(h)] |= r.bit;
    for (int l : r.low) t.low[static_cast<std::size_t>(l)] |= r.bit;
  }
  return t;
}();

constexpr Set kind_of(unsigned char b) { return kNibbles.low[b & 15] & kNibbles.high[b >> 4]; }

// Every byte the kinds name is of its kind, and a byte of a kind is one it names or one of the
// few extra ones said beside it.
static_assert([] {
  auto in = [](unsigned b, std::initializer_list<unsigned> bytes) {
    for (unsigned x : bytes)
      if (b == x) return true;
    return false;
  };
  for (unsigned b = 0; b < 256; ++b) {
    const Set k = kind_of(static_cast<unsigned char>(b));
    const bool want[8] = {b == 0xE1,
                          in(b, {0xE2, 0xE3, 0xEF}),
                          b == 0xC2,
                          in(b, {'I', 'l', 'O', 'o', 'L', 'i'}),
                          b >= 0x40 && b <= 0x5F,
                          b >= '0' && b <= '9',
                          b >= 0xEA && b <= 0xED,
                          in(b, {'*', 'X', 'x', '(', 'Z', 'z'})};
    for (int bit = 0; bit < 8; ++bit)
      if (((k >> bit) & 1) != want[bit]) return false;
  }
  return true;
}(), "the nibble tables must hold exactly the bytes of each kind");

constexpr std::array<Set, 256> kKind = [] {
  std::array<Set, 256> t{};
  for (unsigned b = 0; b < 256; ++b) t[b] = kind_of(static_cast<unsigned char>(b));
  return t;
}();

Set of_scalar(const unsigned char* s, std::size_t n) {
  Set k = 0;
  for (std::size_t i = 0; i < n; ++i) k |= kKind[s[i]];
  return k;
}

#ifdef KESTRIX_SIMD_X86
// The text's kinds W bytes at a time, each byte's kinds looked up by its nibbles, the last ones
// as the W bytes before its end; a text shorter than W (but not than 16) sixteen at a time.
struct Blocks {
  template <int W>
  [[gnu::always_inline]] static Set blocks(const unsigned char* s, std::size_t n) {
    using V = simd::Vec<W>;
    const V low = V::repeat16(kNibbles.low.data()), high = V::repeat16(kNibbles.high.data()),
            nibble = V::set1(0x0F);
    auto kinds = [&](const V& v) __attribute__((always_inline)) {
      return lookup(low, v & nibble) & lookup(high, shr16<4>(v) & nibble);
    };
    V acc = V::zero();
    std::size_t i = 0;
    for (; i + W <= n; i += W) acc = acc | kinds(V::load(s + i));
    if (i < n) acc = acc | kinds(V::load(s + n - W));
    alignas(W) std::uint64_t words[W / 8];
    acc.store(words);
    std::uint64_t x = 0;
    for (std::uint64_t w : words) x |= w;
    x |= x >> 32;
    x |= x >> 16;
    x |= x >> 8;
    return static_cast<Set>(x);
  }
  // The text holds at least 16 bytes.
  template <int W>
  [[gnu::always_inline]] static Set run(const unsigned char* s, std::size_t n) {
    if (W > 16 && n < W) return blocks<16>(s, n);
    return blocks<W>(s, n);
  }
  static Set fallback(const unsigned char* s, std::size_t n) { return of_scalar(s, n); }
};
#endif

}  // namespace

Set of(std::string_view text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  if (n > kMaxBytes) return all;
#ifdef KESTRIX_SIMD_X86
  if (n >= 16) return simd::dispatch<Blocks>(s, n);
#endif
  return of_scalar(s, n);
}

}  // namespace kestrix::kinds
