#include "text/pairs.hpp"

namespace kestrix::pairs::detail {

#ifdef KESTRIX_PAIRS_SSSE3
// Read once, before any text: every x86-64 processor of the last fifteen years has SSSE3.
const bool has_ssse3 = (__builtin_cpu_init(), __builtin_cpu_supports("ssse3"));
#endif

}  // namespace kestrix::pairs::detail
