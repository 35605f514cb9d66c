#include "text/simd.hpp"

#include <cstdlib>
#include <string_view>

namespace kestrix::simd {

namespace {

int cap() {
  const char* v = std::getenv("KESTRIX_SIMD");
  const std::string_view s = v ? v : "";
  return s == "sse2" ? 0 : s == "ssse3" ? 1 : 2;
}

int detect() {
#ifdef KESTRIX_SIMD_X86
  // Every x86-64 processor of the last fifteen years has SSSE3.
  __builtin_cpu_init();
  const int cpu = __builtin_cpu_supports("avx2") ? 2 : __builtin_cpu_supports("ssse3") ? 1 : 0;
  return cpu < cap() ? cpu : cap();
#else
  return 0;
#endif
}

}  // namespace

const int level = detect();

}  // namespace kestrix::simd
