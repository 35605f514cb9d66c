// The UTF-16 transcoder on any units (lone surrogates, pairs, every unit value) against the
// one-character encoder: the same bytes, or the same first lone surrogate.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_common.hpp"
#include "text/utf16.hpp"
#include "text/utf8.hpp"

using namespace kestrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<char16_t> u(size / 2);
  if (!u.empty()) std::memcpy(u.data(), data, 2 * u.size());
  std::string want;
  std::size_t lone = u.size() + 1;
  for (std::size_t i = 0; i < u.size(); ++i) {
    const char32_t c = u[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < u.size() && u[i + 1] >= 0xDC00 && u[i + 1] < 0xE000) {
      utf8::append(want, 0x10000 + ((c - 0xD800) << 10) + (u[i + 1] - 0xDC00));
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      lone = i;
      break;
    } else {
      utf8::append(want, c);
    }
  }
  std::string out(utf16::room(u.size()), '\0');
  auto got = utf16::to_utf8(u.data(), u.size(), out.data());
  if (lone <= u.size()) {
    if (got) fuzz::fail("a lone surrogate was transcoded");
    if (got.error().index != lone) fuzz::fail("lone surrogate reported at the wrong unit");
  } else {
    if (!got) fuzz::fail("valid units refused");
    if (out.compare(0, *got, want) != 0 || *got != want.size()) fuzz::fail("transcoded bytes differ");
  }
  return 0;
}
