// One vector type for the scans, Vec<16> over __m128i (SSE2, with SSSE3 for the byte lookup)
// and Vec<32> over __m256i (AVX2), so that a kernel is written once, as a template over the
// width, and compiled for each width inside a function that enables that width's instructions.
//
// How a kernel is written: a struct with
//     template <int W> [[gnu::always_inline]] static R run(args...)
// that uses only Vec<W> (and Vec<16> for a narrower tail); simd::dispatch<Kernel>(args...)
// calls run<32> inside an AVX2 function, run<16> inside an SSSE3 one, or Kernel::fallback
// below that, as the processor and KESTRIX_SIMD allow. The kernel itself has no target: it is
// inlined into the entry that has one, and the operations below (each carrying its own target)
// are inlined into it there.
//
// How to add an operation: one line in KESTRIX_VEC_OPS when its two intrinsics are named
// alike (_mm_X / _mm256_X), else a member of each of Vec<16> and Vec<32>, with the same name
// and meaning (see select); then a row in tests/core/test_simd.cpp, which holds every
// operation to its definition on one lane at both widths. AVX2's 256-bit byte lookup, packs
// and unpacks work within each 128-bit half: an operation that is lane-wise for Vec<32> says
// so, and a kernel that uses it arranges its data per half (as `repeat16` does for tables).
#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KESTRIX_SIMD_X86 1
#endif

#if defined(__clang__)
#define KESTRIX_SIMD_NO_IPA
#else
// g++ 12, specializing a scan for a constexpr table, folds the vector loads of the table to
// zeros (and so finds nothing); the entries below stop it from looking through them. A test
// of every numeral syllable at every place in a block catches it.
#define KESTRIX_SIMD_NO_IPA __attribute__((noipa))
#endif

namespace kestrix::simd {

// The widest vectors the scans use: 0 = SSE2 only, 1 = SSSE3 (Vec<16>), 2 = AVX2 (Vec<32>).
// Read once, before any text, from the processor, capped by KESTRIX_SIMD=sse2 or =ssse3 so
// that the tests can hold every path against the others on one machine.
extern const int level;

#ifdef KESTRIX_SIMD_X86

template <int W>
struct Vec;

// The operations of both widths, whose intrinsics differ only by prefix (P: _mm_ or _mm256_)
// and register suffix (S: si128 or si256). A marks a member for the width's instructions, L
// the byte lookup (SSSE3 for Vec<16>). Comparisons give 0xFF or 0x00 per byte (per 16-bit lane
// for the *16 ones); gt and lt are signed.
#define KESTRIX_VEC_OPS(P, S, A, L)                                                                       \
  A static Vec load(const void* p) { return {P##loadu_##S(static_cast<const Reg*>(p))}; }                 \
  A void store(void* p) const { P##storeu_##S(static_cast<Reg*>(p), v); }                                 \
  A static Vec set1(std::uint8_t b) { return {P##set1_epi8(static_cast<char>(b))}; }                      \
  A static Vec set1_16(std::uint16_t u) { return {P##set1_epi16(static_cast<short>(u))}; }                \
  A static Vec zero() { return {P##setzero_##S()}; }                                                      \
  A friend Vec operator&(Vec a, Vec b) { return {P##and_##S(a.v, b.v)}; }                                 \
  A friend Vec operator|(Vec a, Vec b) { return {P##or_##S(a.v, b.v)}; }                                  \
  A friend Vec operator^(Vec a, Vec b) { return {P##xor_##S(a.v, b.v)}; }                                 \
  /* a & ~b */                                                                                            \
  A friend Vec and_not(Vec a, Vec b) { return {P##andnot_##S(b.v, a.v)}; }                                \
  A friend Vec eq8(Vec a, Vec b) { return {P##cmpeq_epi8(a.v, b.v)}; }                                    \
  A friend Vec gt8(Vec a, Vec b) { return {P##cmpgt_epi8(a.v, b.v)}; }                                    \
  A friend Vec lt8(Vec a, Vec b) { return {P##cmpgt_epi8(b.v, a.v)}; }                                    \
  A friend Vec add8(Vec a, Vec b) { return {P##add_epi8(a.v, b.v)}; }                                     \
  A friend Vec sub8(Vec a, Vec b) { return {P##sub_epi8(a.v, b.v)}; }                                     \
  A friend Vec min_u8(Vec a, Vec b) { return {P##min_epu8(a.v, b.v)}; }                                   \
  A friend Vec max_u8(Vec a, Vec b) { return {P##max_epu8(a.v, b.v)}; }                                   \
  /* a - b per unsigned byte, 0 where b > a. */                                                           \
  A friend Vec sub_sat_u8(Vec a, Vec b) { return {P##subs_epu8(a.v, b.v)}; }                              \
  /* The table's byte at each lane's index (0..15; an index with its top bit set gives 0). */             \
  L friend Vec lookup(Vec table, Vec index) { return {P##shuffle_epi8(table.v, index.v)}; }               \
  A friend Vec eq16(Vec a, Vec b) { return {P##cmpeq_epi16(a.v, b.v)}; }                                  \
  A friend Vec gt16(Vec a, Vec b) { return {P##cmpgt_epi16(a.v, b.v)}; }                                  \
  A friend Vec lt16(Vec a, Vec b) { return {P##cmpgt_epi16(b.v, a.v)}; }                                  \
  A friend Vec add16(Vec a, Vec b) { return {P##add_epi16(a.v, b.v)}; }                                   \
  A friend Vec sub16(Vec a, Vec b) { return {P##sub_epi16(a.v, b.v)}; }                                   \
  template <int K>                                                                                        \
  A friend Vec shl16(Vec a) { return {P##slli_epi16(a.v, K)}; }                                           \
  template <int K>                                                                                        \
  A friend Vec shr16(Vec a) { return {P##srli_epi16(a.v, K)}; }                                           \
  /* Signed 16-bit lanes of a then of b to bytes, saturated to 0..255. */                                 \
  A friend Vec pack_u8(Vec a, Vec b) { return {P##packus_epi16(a.v, b.v)}; }                              \
  /* Signed 16-bit lanes of a then of b to signed bytes, saturated to -128..127. */                       \
  A friend Vec pack_s8(Vec a, Vec b) { return {P##packs_epi16(a.v, b.v)}; }                               \
  /* Signed 32-bit lanes of a then of b to signed 16-bit lanes, saturated. */                             \
  A friend Vec pack_s16(Vec a, Vec b) { return {P##packs_epi32(a.v, b.v)}; }                              \
  /* Interleaves the low (high) eight bytes of a and b: a0 b0 a1 b1 ... */                                \
  A friend Vec unpack_lo8(Vec a, Vec b) { return {P##unpacklo_epi8(a.v, b.v)}; }                          \
  A friend Vec unpack_hi8(Vec a, Vec b) { return {P##unpackhi_epi8(a.v, b.v)}; }                          \
  /* Bit k set when the top bit of byte k is. */                                                          \
  A std::uint32_t bits() const { return static_cast<std::uint32_t>(P##movemask_epi8(v)); }               \
  /* The same over 32-bit lanes (signed compare; shifts fill with zeros). */                              \
  A static Vec set1_32(std::uint32_t u) { return {P##set1_epi32(static_cast<int>(u))}; }                 \
  A friend Vec gt32(Vec a, Vec b) { return {P##cmpgt_epi32(a.v, b.v)}; }                                  \
  template <int K>                                                                                        \
  A friend Vec shl32(Vec a) { return {P##slli_epi32(a.v, K)}; }                                           \
  template <int K>                                                                                        \
  A friend Vec shr32(Vec a) { return {P##srli_epi32(a.v, K)}; }                                           \
  /* Interleaves the low (high) four 16-bit lanes of a and b: a0 b0 a1 b1 ... */                          \
  A friend Vec unpack_lo16(Vec a, Vec b) { return {P##unpacklo_epi16(a.v, b.v)}; }                        \
  A friend Vec unpack_hi16(Vec a, Vec b) { return {P##unpackhi_epi16(a.v, b.v)}; }                        \
  /* Bit k set when the top bit of 32-bit lane k is. */                                                   \
  A std::uint32_t bits32() const { return static_cast<std::uint32_t>(P##movemask_ps(P##cast##S##_ps(v))); }

#define KESTRIX_VEC16 [[gnu::always_inline]] inline
#define KESTRIX_VEC32 [[gnu::target("avx2")]] inline

// Sixteen byte lanes, or eight 16-bit lanes.
template <>
struct Vec<16> {
  using Reg = __m128i;
  static constexpr int width = 16;
  Reg v;
  KESTRIX_VEC_OPS(_mm_, si128, KESTRIX_VEC16, [[gnu::target("ssse3")]] inline)
  // The sixteen bytes at p in every 128-bit half (for lookup tables).
  KESTRIX_VEC16 static Vec repeat16(const void* p) { return load(p); }
  // Per byte: a where the mask lane is set, else b (mask lanes are 0x00 or 0xFF).
  KESTRIX_VEC16 friend Vec select(Vec mask, Vec a, Vec b) { return (mask & a) | and_not(b, mask); }
  // The 128-bit half l (only 0 here), and a vector of two sixteen-byte halves.
  KESTRIX_VEC16 Vec<16> half(int) const { return *this; }
  KESTRIX_VEC16 static Vec halves(const void* lo, const void*) { return load(lo); }
  // The last K bytes of prev, then the first W - K of cur: cur with the block before shifted in.
  template <int K>
  [[gnu::target("ssse3")]] inline friend Vec shift_in(Vec prev, Vec cur) {
    return {_mm_alignr_epi8(cur.v, prev.v, 16 - K)};
  }
  // The last W - K bytes of cur, then the first K of next: cur with the block after it shifted in.
  template <int K>
  [[gnu::target("ssse3")]] inline friend Vec shift_out(Vec cur, Vec next) {
    return {_mm_alignr_epi8(next.v, cur.v, K)};
  }
};

// Thirty-two byte lanes, or sixteen 16-bit lanes. lookup, the packs and the unpacks work within
// each 128-bit half, as two Vec<16> operations side by side.
template <>
struct Vec<32> {
  using Reg = __m256i;
  static constexpr int width = 32;
  Reg v;
  KESTRIX_VEC_OPS(_mm256_, si256, KESTRIX_VEC32, KESTRIX_VEC32)
  KESTRIX_VEC32 static Vec repeat16(const void* p) {
    return {_mm256_broadcastsi128_si256(_mm_loadu_si128(static_cast<const __m128i*>(p)))};
  }
  KESTRIX_VEC32 friend Vec select(Vec mask, Vec a, Vec b) { return {_mm256_blendv_epi8(b.v, a.v, mask.v)}; }
  KESTRIX_VEC32 Vec<16> half(int l) const {
    return {l == 0 ? _mm256_castsi256_si128(v) : _mm256_extracti128_si256(v, 1)};
  }
  KESTRIX_VEC32 static Vec halves(const void* lo, const void* hi) {
    return {_mm256_loadu2_m128i(static_cast<const __m128i*>(hi), static_cast<const __m128i*>(lo))};
  }
  template <int K>
  KESTRIX_VEC32 friend Vec shift_in(Vec prev, Vec cur) {
    // The upper half of prev and the lower of cur, so that each half's shift finds its bytes.
    const __m256i mid = _mm256_permute2x128_si256(prev.v, cur.v, 0x21);
    return {_mm256_alignr_epi8(cur.v, mid, 16 - K)};
  }
  template <int K>
  KESTRIX_VEC32 friend Vec shift_out(Vec cur, Vec next) {
    const __m256i mid = _mm256_permute2x128_si256(cur.v, next.v, 0x21);
    return {_mm256_alignr_epi8(mid, cur.v, K)};
  }
};

#undef KESTRIX_VEC_OPS
#undef KESTRIX_VEC16
#undef KESTRIX_VEC32

namespace detail {
// Clears the upper halves of the vector registers on the way out of an AVX2 entry. g++ 12
// leaves them set where the entry ends in a jump to a plain function (a kernel's scalar tail,
// after tables were loaded for a text too short for the loop), and every SSE instruction of
// the caller then runs slowly until the next clear: a third more time per call on a short text.
struct ClearUpper {
  [[gnu::target("avx2")]] ~ClearUpper() { _mm256_zeroupper(); }
};
template <class Kernel, class... A>
[[gnu::target("avx2")]] KESTRIX_SIMD_NO_IPA auto run32(A&&... a) {
  const ClearUpper clear;
  return Kernel::template run<32>(std::forward<A>(a)...);
}
template <class Kernel, class... A>
[[gnu::target("ssse3")]] KESTRIX_SIMD_NO_IPA auto run16(A&&... a) {
  return Kernel::template run<16>(std::forward<A>(a)...);
}
}  // namespace detail

#endif

// Kernel::run<32>, run<16> or fallback on the arguments, by `level`.
template <class Kernel, class... A>
auto dispatch(A&&... a) {
#ifdef KESTRIX_SIMD_X86
  if (level >= 2) return detail::run32<Kernel>(std::forward<A>(a)...);
  if (level >= 1) return detail::run16<Kernel>(std::forward<A>(a)...);
#endif
  return Kernel::fallback(std::forward<A>(a)...);
}

}  // namespace kestrix::simd
