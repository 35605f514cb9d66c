// A text the passes rewrite in place: the pages given back past its end, and its last bytes
// wherever the end falls against a page.
#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "check.hpp"
#include "normalize/pipeline.hpp"
#include "text/pages.hpp"

using namespace kestrix;

namespace {

constexpr std::size_t kPage = 4096;

}  // namespace

KX_TEST(released_pages_are_exactly_the_whole_ones_inside_the_range) {
  constexpr std::size_t kPages = 6;
  void* m = mmap(nullptr, kPages * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  KX_CHECK(m != MAP_FAILED);
  if (m == MAP_FAILED) return;
  auto* base = static_cast<unsigned char*>(m);
  struct Range {
    std::size_t from, bytes, first_zero, end_zero;  // the range, and the whole pages inside it
  };
  for (const Range& r : {Range{100, 3 * kPage, kPage, 3 * kPage}, Range{kPage, 2 * kPage, kPage, 3 * kPage},
                         Range{kPage + 1, 2 * kPage, 2 * kPage, 3 * kPage},
                         Range{kPage - 1, kPage + 1, kPage, 2 * kPage}, Range{10, kPage, 0, 0},
                         Range{kPage + 5, kPage - 10, 0, 0}}) {
    std::memset(base, 0xAB, kPages * kPage);
    pages::release(base + r.from, r.bytes);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < kPages * kPage; ++i)
      wrong += base[i] != (i >= r.first_zero && i < r.end_zero ? 0 : 0xAB);
    KX_CHECK(wrong == 0);
  }
  munmap(m, kPages * kPage);
}

// The normalized text takes the source's buffer; what lies past its end is given back. Its last
// byte stays whether it ends a page, begins one or sits anywhere else.
KX_TEST(a_text_shortened_in_place_keeps_its_last_bytes_at_any_end) {
  const Config config;
  for (std::size_t at : {kPage - 2, kPage - 1, kPage, kPage + 1, kPage + 2}) {
    std::string source;
    source.reserve(std::size_t{1} << 20);
    const auto start = reinterpret_cast<std::uintptr_t>(source.data());
    // The output (the source less two bytes: a full-width digit folded) ends `at` bytes past
    // the start of a page at least 64 KiB into the buffer.
    const std::size_t boundary = ((start + (std::size_t{96} << 10)) & ~(kPage - 1)) - start;
    const std::size_t out_size = boundary + at - kPage;
    source.append("\xEF\xBC\x91");  // U+FF11, folded to '1'
    source.append(out_size - 2, 'a');
    source.push_back('z');
    std::string expected(out_size, 'a');
    expected.front() = '1';
    expected.back() = 'z';
    auto r = normalize(std::move(source), config);
    KX_CHECK(r.has_value());
    if (!r) continue;
    KX_CHECK(reinterpret_cast<std::uintptr_t>(r->text.data()) == start);
    KX_CHECK(r->text.size() == out_size && r->text == expected);
    KX_CHECK(r->text.c_str()[out_size] == '\0');
  }
}
