// Large working buffers (texts and span maps of many megabytes) are filled once, front to
// back, right after they are reserved. Faulting them in page by page cost a third of the time
// of a 10 MB detection; asking the kernel for huge pages on them (where it grants them on
// request) cuts the faults five hundred fold. A hint only: nothing depends on it being taken.
#pragma once
#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kestrix::pages {

#if defined(__linux__)
// madvise(advice) on the whole pages within [p, p + bytes), if any.
inline void advise_whole_pages(const void* p, std::size_t bytes, int advice) {
  constexpr std::uintptr_t kPage = 4096;
  const auto begin = (reinterpret_cast<std::uintptr_t>(p) + kPage - 1) & ~(kPage - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(p) + bytes) & ~(kPage - 1);
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, advice);
}
#endif

// Buffers smaller than this gain nothing: a huge page must fit inside them, aligned.
inline constexpr std::size_t kHugeHintMin = std::size_t{4} << 20;

// Hints that the whole pages within [p, p + bytes) will be used soon and in full.
inline void advise_huge(const void* p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes < kHugeHintMin) return;
  advise_whole_pages(p, bytes, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

// Gives the whole pages within [p, p + bytes) back to the system: what they hold is not needed
// any more (they read as zeros when next touched).
inline void release(const void* p, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_DONTNEED)
  advise_whole_pages(p, bytes, MADV_DONTNEED);
#else
  (void)p;
  (void)bytes;
#endif
}

}  // namespace kestrix::pages
