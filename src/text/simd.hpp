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
// How to add an operation: a member (or friend) of both Vec<16> and Vec<32>, with the same
// name and meaning, marked KESTRIX_VEC16 (or KESTRIX_VEC16_SSSE3 if it needs SSSE3) and
// KESTRIX_VEC32. AVX2's 256-bit byte lookup, packs and unpacks work within each 128-bit half:
// an operation that is lane-wise for Vec<32> says so, and a kernel that uses it arranges its
// data per half (as `repeat16` does for lookup tables).
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

#define KESTRIX_VEC16 [[gnu::always_inline]] inline
#define KESTRIX_VEC16_SSSE3 [[gnu::target("ssse3")]] inline
#define KESTRIX_VEC32 [[gnu::target("avx2")]] inline

template <int W>
struct Vec;

// Sixteen byte lanes (or eight 16-bit lanes for the *16 operations).
template <>
struct Vec<16> {
  static constexpr int width = 16;
  __m128i v;

  KESTRIX_VEC16 static Vec load(const void* p) { return {_mm_loadu_si128(static_cast<const __m128i*>(p))}; }
  KESTRIX_VEC16 void store(void* p) const { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
  // The sixteen bytes at p in every 128-bit half (for lookup tables).
  KESTRIX_VEC16 static Vec repeat16(const void* p) { return load(p); }
  KESTRIX_VEC16 static Vec set1(std::uint8_t b) { return {_mm_set1_epi8(static_cast<char>(b))}; }
  KESTRIX_VEC16 static Vec set1_16(std::uint16_t u) { return {_mm_set1_epi16(static_cast<short>(u))}; }
  KESTRIX_VEC16 static Vec zero() { return {_mm_setzero_si128()}; }

  KESTRIX_VEC16 friend Vec operator&(Vec a, Vec b) { return {_mm_and_si128(a.v, b.v)}; }
  KESTRIX_VEC16 friend Vec operator|(Vec a, Vec b) { return {_mm_or_si128(a.v, b.v)}; }
  KESTRIX_VEC16 friend Vec operator^(Vec a, Vec b) { return {_mm_xor_si128(a.v, b.v)}; }
  // a & ~b.
  KESTRIX_VEC16 friend Vec and_not(Vec a, Vec b) { return {_mm_andnot_si128(b.v, a.v)}; }
  // Per byte: a where the mask lane is set, else b (mask lanes are 0x00 or 0xFF).
  KESTRIX_VEC16 friend Vec select(Vec mask, Vec a, Vec b) { return (mask & a) | and_not(b, mask); }

  // Byte lanes: comparisons give 0xFF or 0x00.
  KESTRIX_VEC16 friend Vec eq8(Vec a, Vec b) { return {_mm_cmpeq_epi8(a.v, b.v)}; }
  KESTRIX_VEC16 friend Vec gt8(Vec a, Vec b) { return {_mm_cmpgt_epi8(a.v, b.v)}; }  // signed
  KESTRIX_VEC16 friend Vec lt8(Vec a, Vec b) { return {_mm_cmplt_epi8(a.v, b.v)}; }  // signed
  KESTRIX_VEC16 friend Vec add8(Vec a, Vec b) { return {_mm_add_epi8(a.v, b.v)}; }
  KESTRIX_VEC16 friend Vec sub8(Vec a, Vec b) { return {_mm_sub_epi8(a.v, b.v)}; }
  KESTRIX_VEC16 friend Vec min_u8(Vec a, Vec b) { return {_mm_min_epu8(a.v, b.v)}; }
  KESTRIX_VEC16 friend Vec max_u8(Vec a, Vec b) { return {_mm_max_epu8(a.v, b.v)}; }
  // The table's byte at each lane's index (0..15; an index with its top bit set gives 0).
  KESTRIX_VEC16_SSSE3 friend Vec lookup(Vec table, Vec index) { return {_mm_shuffle_epi8(table.v, index.v)}; }

  // 16-bit lanes.
  KESTRIX_VEC16 friend Vec eq16(Vec a, Vec b) { return {_mm_cmpeq_epi16(a.v, b.v)}; }
  KESTRIX_VEC16 friend Vec gt16(Vec a, Vec b) { return {_mm_cmpgt_epi16(a.v, b.v)}; }  // signed
  KESTRIX_VEC16 friend Vec lt16(Vec a, Vec b) { return {_mm_cmplt_epi16(a.v, b.v)}; }  // signed
  KESTRIX_VEC16 friend Vec add16(Vec a, Vec b) { return {_mm_add_epi16(a.v, b.v)}; }
  KESTRIX_VEC16 friend Vec sub16(Vec a, Vec b) { return {_mm_sub_epi16(a.v, b.v)}; }
  template <int K>
  KESTRIX_VEC16 friend Vec shl16(Vec a) { return {_mm_slli_epi16(a.v, K)}; }
  template <int K>
  KESTRIX_VEC16 friend Vec shr16(Vec a) { return {_mm_srli_epi16(a.v, K)}; }
  // Signed 16-bit lanes of a then of b to bytes, saturated to 0..255.
  KESTRIX_VEC16 friend Vec pack_u8(Vec a, Vec b) { return {_mm_packus_epi16(a.v, b.v)}; }
  // Interleaves the low (high) eight bytes of a and b: a0 b0 a1 b1 ...
  KESTRIX_VEC16 friend Vec unpack_lo8(Vec a, Vec b) { return {_mm_unpacklo_epi8(a.v, b.v)}; }
  KESTRIX_VEC16 friend Vec unpack_hi8(Vec a, Vec b) { return {_mm_unpackhi_epi8(a.v, b.v)}; }

  // Bit k set when the top bit of byte k is.
  KESTRIX_VEC16 std::uint32_t bits() const { return static_cast<std::uint32_t>(_mm_movemask_epi8(v)); }
};

// Thirty-two byte lanes (or sixteen 16-bit lanes). lookup, pack_u8 and the unpacks work within
// each 128-bit half, as two Vec<16> operations side by side.
template <>
struct Vec<32> {
  static constexpr int width = 32;
  __m256i v;

  KESTRIX_VEC32 static Vec load(const void* p) { return {_mm256_loadu_si256(static_cast<const __m256i*>(p))}; }
  KESTRIX_VEC32 void store(void* p) const { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }
  KESTRIX_VEC32 static Vec repeat16(const void* p) {
    return {_mm256_broadcastsi128_si256(_mm_loadu_si128(static_cast<const __m128i*>(p)))};
  }
  KESTRIX_VEC32 static Vec set1(std::uint8_t b) { return {_mm256_set1_epi8(static_cast<char>(b))}; }
  KESTRIX_VEC32 static Vec set1_16(std::uint16_t u) { return {_mm256_set1_epi16(static_cast<short>(u))}; }
  KESTRIX_VEC32 static Vec zero() { return {_mm256_setzero_si256()}; }

  KESTRIX_VEC32 friend Vec operator&(Vec a, Vec b) { return {_mm256_and_si256(a.v, b.v)}; }
  KESTRIX_VEC32 friend Vec operator|(Vec a, Vec b) { return {_mm256_or_si256(a.v, b.v)}; }
  KESTRIX_VEC32 friend Vec operator^(Vec a, Vec b) { return {_mm256_xor_si256(a.v, b.v)}; }
  KESTRIX_VEC32 friend Vec and_not(Vec a, Vec b) { return {_mm256_andnot_si256(b.v, a.v)}; }
  KESTRIX_VEC32 friend Vec select(Vec mask, Vec a, Vec b) { return {_mm256_blendv_epi8(b.v, a.v, mask.v)}; }

  KESTRIX_VEC32 friend Vec eq8(Vec a, Vec b) { return {_mm256_cmpeq_epi8(a.v, b.v)}; }
  KESTRIX_VEC32 friend Vec gt8(Vec a, Vec b) { return {_mm256_cmpgt_epi8(a.v, b.v)}; }
  KESTRIX_VEC32 friend Vec lt8(Vec a, Vec b) { return {_mm256_cmpgt_epi8(b.v, a.v)}; }
  KESTRIX_VEC32 friend Vec add8(Vec a, Vec b) { return {_mm256_add_epi8(a.v, b.v)}; }
  KESTRIX_VEC32 friend Vec sub8(Vec a, Vec b) { return {_mm256_sub_epi8(a.v, b.v)}; }
  KESTRIX_VEC32 friend Vec min_u8(Vec a, Vec b) { return {_mm256_min_epu8(a.v, b.v)}; }
  KESTRIX_VEC32 friend Vec max_u8(Vec a, Vec b) { return {_mm256_max_epu8(a.v, b.v)}; }
  KESTRIX_VEC32 friend Vec lookup(Vec table, Vec index) { return {_mm256_shuffle_epi8(table.v, index.v)}; }

  KESTRIX_VEC32 friend Vec eq16(Vec a, Vec b) { return {_mm256_cmpeq_epi16(a.v, b.v)}; }
  KESTRIX_VEC32 friend Vec gt16(Vec a, Vec b) { return {_mm256_cmpgt_epi16(a.v, b.v)}; }
  KESTRIX_VEC32 friend Vec lt16(Vec a, Vec b) { return {_mm256_cmpgt_epi16(b.v, a.v)}; }
  KESTRIX_VEC32 friend Vec add16(Vec a, Vec b) { return {_mm256_add_epi16(a.v, b.v)}; }
  KESTRIX_VEC32 friend Vec sub16(Vec a, Vec b) { return {_mm256_sub_epi16(a.v, b.v)}; }
  template <int K>
  KESTRIX_VEC32 friend Vec shl16(Vec a) { return {_mm256_slli_epi16(a.v, K)}; }
  template <int K>
  KESTRIX_VEC32 friend Vec shr16(Vec a) { return {_mm256_srli_epi16(a.v, K)}; }
  KESTRIX_VEC32 friend Vec pack_u8(Vec a, Vec b) { return {_mm256_packus_epi16(a.v, b.v)}; }
  KESTRIX_VEC32 friend Vec unpack_lo8(Vec a, Vec b) { return {_mm256_unpacklo_epi8(a.v, b.v)}; }
  KESTRIX_VEC32 friend Vec unpack_hi8(Vec a, Vec b) { return {_mm256_unpackhi_epi8(a.v, b.v)}; }

  KESTRIX_VEC32 std::uint32_t bits() const { return static_cast<std::uint32_t>(_mm256_movemask_epi8(v)); }
};

namespace detail {
template <class Kernel, class... A>
[[gnu::target("avx2")]] KESTRIX_SIMD_NO_IPA auto run32(A&&... a) {
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
