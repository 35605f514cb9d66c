// The kinds of a short text's bytes against the one-byte definition of each kind: every byte
// value at the ends and the middle, and a byte of each kind at every place, of texts of every
// length up to two blocks and a half, and at the most bytes looked at. Run at every vector
// width (see test_core.py).
#include <initializer_list>
#include <string>

#include "check.hpp"
#include "text/kinds.hpp"

using namespace kestrix;

namespace {

bool in(unsigned char b, std::initializer_list<unsigned char> bytes) {
  for (unsigned char x : bytes)
    if (b == x) return true;
  return false;
}

// Each kind, and the bytes that are of it (those it names and the few extra ones it allows).
struct Kind {
  kinds::Set set;
  bool (*of)(unsigned char);
};
const Kind kKinds[] = {
    {kinds::jamo_lead, [](unsigned char b) { return b == 0xE1; }},
    {kinds::fold_lead, [](unsigned char b) { return in(b, {0xC2, 0xE2, 0xE3, 0xEF}); }},
    {kinds::lookalike, [](unsigned char b) { return in(b, {'I', 'l', 'O', 'o', 'L', 'i'}); }},
    {kinds::upper_or_at, [](unsigned char b) { return b >= 0x40 && b <= 0x5F; }},
    {kinds::digit, [](unsigned char b) { return b >= '0' && b <= '9'; }},
    {kinds::syllable_lead, [](unsigned char b) { return b >= 0xEA && b <= 0xED; }},
    {kinds::mark, [](unsigned char b) { return in(b, {'*', 'X', 'x', '(', 'Z', 'z'}); }},
};

}  // namespace

KX_TEST(kinds_of_every_byte_at_every_place) {
  std::string s;
  auto check = [&](unsigned char b, std::size_t at) {
    s[at] = static_cast<char>(b);
    const kinds::Set got = kinds::of(s);
    for (const Kind& k : kKinds) KX_CHECK(((got & k.set) != 0) == k.of(b));
    s[at] = 'a';
  };
  for (std::size_t n = 1; n <= 80; ++n) {
    s.assign(n, 'a');  // a filler of no kind around the byte
    // Every byte value at the ends and in the middle, and one byte of each kind everywhere.
    for (int v = 0; v < 256; ++v)
      for (std::size_t at : {std::size_t{0}, n / 2, n - 1}) check(static_cast<unsigned char>(v), at);
    for (int b : {0xE1, 0xC2, 0xEF, int{'l'}, int{'@'}, int{'5'}, 0xEB, int{'*'}})
      for (std::size_t at = 0; at < n; ++at) check(static_cast<unsigned char>(b), at);
  }
  KX_CHECK(kinds::of("") == 0);
}

KX_TEST(kinds_of_the_longest_text_looked_at) {
  for (std::size_t n : {kinds::kMaxBytes - 1, kinds::kMaxBytes}) {
    for (std::size_t at : {std::size_t{0}, n / 2, n - 1}) {
      std::string s(n, 'a');
      s[at] = '7';
      KX_CHECK(kinds::of(s) == kinds::digit);
    }
  }
  // Past it, the text is not looked at and holds every kind.
  KX_CHECK(kinds::of(std::string(kinds::kMaxBytes + 1, 'a')) == kinds::all);
}
