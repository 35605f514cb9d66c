// Every operation of the vector type at both widths against its definition on one lane, on
// random bytes with the edge values mixed in. The 32-byte lookup, packs and unpacks work within
// each 128-bit half, and are held to that.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>

#include "check.hpp"
#include "text/simd.hpp"

#ifdef KESTRIX_SIMD_X86
using namespace kestrix;

namespace {

constexpr int kOps = 35;

// Stores each operation's result on (a, b) as one row of out.
struct AllOps {
  template <int W>
  [[gnu::always_inline]] static int run(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out) {
    using V = simd::Vec<W>;
    const V x = V::load(a), y = V::load(b);
    const V rows[kOps] = {x & y, x | y, x ^ y, and_not(x, y), select(gt8(x, y), x, y),
                          eq8(x, y), gt8(x, y), lt8(x, y), add8(x, y), sub8(x, y),
                          min_u8(x, y), max_u8(x, y), lookup(V::repeat16(a), y), eq16(x, y), gt16(x, y),
                          lt16(x, y), add16(x, y), sub16(x, y), shl16<3>(x), shr16<5>(x),
                          pack_u8(x, y), unpack_lo8(x, y), unpack_hi8(x, y), gt32(x, y), shl32<3>(x),
                          shr32<5>(x), unpack_lo16(x, y), unpack_hi16(x, y), sub_sat_u8(x, y),
                          shift_in<1>(x, y), shift_in<3>(x, y), shift_out<1>(x, y),
                          shift_out<3>(x, y), pack_s8(x, y), pack_s16(x, y)};
    for (int k = 0; k < kOps; ++k) rows[k].store(out + k * W);
    return static_cast<int>(x.bits() ^ (x.bits32() << (W / 2)));
  }
};

std::uint8_t u8(long v) { return static_cast<std::uint8_t>(v & 0xFF); }
std::int8_t s8(std::uint8_t v) { return static_cast<std::int8_t>(v); }
std::int16_t s16(const std::uint8_t* p, int lane) {
  return static_cast<std::int16_t>(p[2 * lane] | (p[2 * lane + 1] << 8));
}
std::uint32_t u32(const std::uint8_t* p, int lane) {
  std::uint32_t v;
  std::memcpy(&v, p + 4 * lane, 4);
  return v;
}

// Row k, byte i (of half h, byte j within it) as the operation defines it, at width w.
std::uint8_t expected(int k, int i, const std::uint8_t* a, const std::uint8_t* b, int w) {
  const int h = i / 16 * 16, j = i % 16, lane = i / 2, hi = i % 2, lane32 = i / 4;
  auto dword = [&](std::uint32_t v) { return u8(v >> (8 * (i % 4))); };
  auto word = [&](long v) { return u8(hi ? v >> 8 : v); };
  auto mask = [&](bool t) { return static_cast<std::uint8_t>(t ? 0xFF : 0); };
  const std::uint8_t x = a[i], y = b[i];
  switch (k) {
    case 0: return x & y;
    case 1: return x | y;
    case 2: return x ^ y;
    case 3: return x & ~y;
    case 4: return s8(x) > s8(y) ? x : y;
    case 5: return mask(x == y);
    case 6: return mask(s8(x) > s8(y));
    case 7: return mask(s8(x) < s8(y));
    case 8: return u8(x + y);
    case 9: return u8(x - y);
    case 10: return x < y ? x : y;
    case 11: return x > y ? x : y;
    case 12: return (y & 0x80) ? 0 : a[y & 15];
    case 13: return mask(s16(a, lane) == s16(b, lane));
    case 14: return mask(s16(a, lane) > s16(b, lane));
    case 15: return mask(s16(a, lane) < s16(b, lane));
    case 16: return word(s16(a, lane) + s16(b, lane));
    case 17: return word(s16(a, lane) - s16(b, lane));
    case 18: return word(static_cast<std::uint16_t>(s16(a, lane)) << 3);
    case 19: return word(static_cast<std::uint16_t>(s16(a, lane)) >> 5);
    case 20: {
      const int v = s16(j < 8 ? a : b, h / 2 + j % 8);
      return u8(v < 0 ? 0 : v > 255 ? 255 : v);
    }
    case 21: return (j % 2 ? b : a)[h + j / 2];
    case 22: return (j % 2 ? b : a)[h + 8 + j / 2];
    case 23: return dword(static_cast<std::int32_t>(u32(a, lane32)) > static_cast<std::int32_t>(u32(b, lane32)) ? ~0u : 0u);
    case 24: return dword(u32(a, lane32) << 3);
    case 25: return dword(u32(a, lane32) >> 5);
    // 16-bit lanes interleaved within each half: a0 b0 a1 b1 a2 b2 a3 b3 (or a4 b4 ...).
    case 26: return (j % 4 < 2 ? a : b)[h + (j / 4) * 2 + j % 2];
    case 27: return (j % 4 < 2 ? a : b)[h + 8 + (j / 4) * 2 + j % 2];
    case 28: return x > y ? u8(x - y) : 0;
    // b with the last bytes of a (the block before it) shifted in, across the whole width.
    case 29: return i >= 1 ? b[i - 1] : a[w - 1 + i];
    case 30: return i >= 3 ? b[i - 3] : a[w - 3 + i];
    // a with the first bytes of b (the block after it) shifted in, across the whole width.
    case 31: return i + 1 < w ? a[i + 1] : b[i + 1 - w];
    case 32: return i + 3 < w ? a[i + 3] : b[i + 3 - w];
    case 33: {
      const int v = s16(j < 8 ? a : b, h / 2 + j % 8);
      return u8(v < -128 ? -128 : v > 127 ? 127 : v);
    }
    default: {
      // Lane j / 2 of the half's eight: four 32-bit lanes of a, then four of b.
      const int k32 = h / 4 + (j / 2) % 4;
      const auto v = static_cast<std::int32_t>(u32(j < 8 ? a : b, k32));
      return word(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
    }
  }
}

template <int W, class Run>
void check_width(Run run) {
  static_assert(simd::Vec<W>::width == W && sizeof(simd::Vec<W>) == W);
  std::mt19937 rng(W);
  const std::uint8_t edges[] = {0x00, 0x01, 0x7F, 0x80, 0x81, 0xEA, 0xFE, 0xFF};
  alignas(32) std::uint8_t a[W], b[W], out[kOps * W];
  for (int round = 0; round < 2000; ++round) {
    for (int i = 0; i < W; ++i) {
      a[i] = static_cast<std::uint8_t>(rng() % 4 ? rng() : edges[rng() % 8]);
      b[i] = static_cast<std::uint8_t>(rng() % 4 == 0 ? a[i] : rng() % 4 ? rng() : edges[rng() % 8]);
    }
    const auto bits = static_cast<std::uint32_t>(run(a, b, out));
    std::uint32_t want = 0, want32 = 0;
    for (int i = 0; i < W; ++i) want |= static_cast<std::uint32_t>(a[i] >> 7) << i;
    for (int k = 0; k < W / 4; ++k) want32 |= static_cast<std::uint32_t>(a[4 * k + 3] >> 7) << k;
    want ^= want32 << (W / 2);
    KX_CHECK(bits == want);
    for (int k = 0; k < kOps; ++k)
      for (int i = 0; i < W; ++i)
        if (out[k * W + i] != expected(k, i, a, b, W)) {
          KX_CHECK(out[k * W + i] == expected(k, i, a, b, W));
          std::fprintf(stderr, "  width %d, operation %d, byte %d\n", W, k, i);
          return;
        }
  }
}

}  // namespace

// The width a kernel runs at is the widest that `level` allows.
struct Width {
  template <int W>
  [[gnu::always_inline]] static int run(int) { return W; }
  static int fallback(int) { return 0; }
};

KX_TEST(dispatch_takes_the_widest_width_the_level_allows) {
  KX_CHECK(simd::dispatch<Width>(0) == (simd::level >= 2 ? 32 : simd::level == 1 ? 16 : 0));
  __builtin_cpu_init();
  const char* cap = std::getenv("KESTRIX_SIMD");
  if (!cap && __builtin_cpu_supports("avx2")) KX_CHECK(simd::level == 2);
}

KX_TEST(vector_operations_agree_with_their_lane_definitions) {
  __builtin_cpu_init();
  if (__builtin_cpu_supports("ssse3"))
    check_width<16>([](auto... p) { return simd::detail::run16<AllOps>(p...); });
  if (__builtin_cpu_supports("avx2"))
    check_width<32>([](auto... p) { return simd::detail::run32<AllOps>(p...); });
}
#endif

#ifdef KESTRIX_SIMD_X86
#include <cpuid.h>

#include "text/pairs.hpp"

// An AVX2 entry that leaves the upper halves of the vector registers in use makes every SSE
// instruction after it slow (a short text's whole call). XGETBV(1) tells whether they are.
[[gnu::target("xsave")]] static unsigned long long upper_in_use() { return _xgetbv(1) & 4; }

KX_TEST(avx2_scans_leave_the_upper_halves_clear) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (simd::level < 2 || !__get_cpuid_count(0xD, 1, &a, &b, &c, &d) || !(a & 4)) return;
  pairs::PairSet set;
  set.add_syllable(0);
  const std::string text = "가 가나 ";  // shorter than one 32-byte block, and longer
  for (std::size_t n : {text.size(), std::size_t{8}}) {
    std::string s;
    while (s.size() < n * 9) s += text;
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    for (std::size_t len : {n, s.size()}) {
      pairs::find(p, 0, len, set, [](std::size_t) { return false; });
      KX_CHECK(upper_in_use() == 0);
      pairs::find_two(p, 0, len, set, set, [](std::size_t) { return false; });
      KX_CHECK(upper_in_use() == 0);
      pairs::visit_two(p, len, set, set, pairs::AsciiSet{{'A', 'A', 'A', 'A'}}, [](std::size_t) {});
      KX_CHECK(upper_in_use() == 0);
    }
  }
}
#endif
