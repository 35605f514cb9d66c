#include "text/pairs.hpp"

#include <cstdlib>
#include <string_view>

namespace kestrix::pairs::detail {

#ifdef KESTRIX_PAIRS_SSSE3
namespace {

// KESTRIX_SIMD=sse2 or =ssse3 caps the instruction set the scans use, so that the tests can
// hold every path against the others on one machine.
int cap() {
  const char* v = std::getenv("KESTRIX_SIMD");
  const std::string_view s = v ? v : "";
  return s == "sse2" ? 0 : s == "ssse3" ? 1 : 2;
}

}  // namespace

// Read once, before any text: every x86-64 processor of the last fifteen years has SSSE3.
const bool has_ssse3 = cap() >= 1 && (__builtin_cpu_init(), __builtin_cpu_supports("ssse3"));
const bool has_avx2 = cap() >= 2 && (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
#endif

}  // namespace kestrix::pairs::detail
