// The code-point transcoder on any code points (surrogates, past U+10FFFF, every byte length)
// against the one-character encoder: the same bytes, or the same first code point without a
// UTF-8 form.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_common.hpp"
#include "text/utf32.hpp"
#include "text/utf8.hpp"

using namespace kestrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Four bytes a code point; the top two bits of each narrow it, so that most are valid and of
  // every byte length: below U+0800 or U+10000 as often as not, past U+10FFFF now and then.
  std::vector<char32_t> p(size / 4);
  for (std::size_t i = 0; i < p.size(); ++i) {
    std::uint32_t v;
    std::memcpy(&v, data + 4 * i, 4);
    char32_t c = v & 0x1FFFFF;
    if (v & 0x80000000u) c &= 0xFFFF;
    if (v & 0x40000000u) c &= 0x7FF;
    p[i] = c;
  }
  std::string want;
  std::size_t bad = p.size() + 1;
  for (std::size_t i = 0; i < p.size(); ++i) {
    if ((p[i] >= 0xD800 && p[i] < 0xE000) || p[i] > 0x10FFFF) {
      bad = i;
      break;
    }
    utf8::append(want, p[i]);
  }
  std::string out(utf32::room(p.size()), '\0');
  auto got = utf32::to_utf8(p.data(), p.size(), out.data());
  if (bad <= p.size()) {
    if (got) fuzz::fail("a code point without a UTF-8 form was transcoded");
    if (got.error().index != bad) fuzz::fail("the bad code point reported at the wrong index");
  } else {
    if (!got) fuzz::fail("valid code points refused");
    if (out.compare(0, *got, want) != 0 || *got != want.size()) fuzz::fail("transcoded bytes differ");
  }
  return 0;
}
