// Lookalike correction: I and l read as 1, O and o as 0, when digit-like characters stand on
// both sides (separators in between are skipped). Neighbours are judged on the input, so a
// lookalike letter never counts as a digit for the letter next to it.
#include <array>

#include "normalize/pass_writer.hpp"
#include "text/utf8.hpp"

namespace kestrix {
namespace {

using pass_detail::byte_at;
using pass_detail::digit_like;

constexpr std::string_view kRule = "lookalike.digit";

constexpr std::array<char, 256> kDigitFor = [] {
  std::array<char, 256> t{};
  t['I'] = t['l'] = '1';
  t['O'] = t['o'] = '0';
  return t;
}();
constexpr pass_detail::ByteTable kLetters = pass_detail::byte_table({'I', 'l', 'O', 'o'});

bool ascii_separator(unsigned char b) {
  return b == '\t' || b == ' ' || b == '(' || b == ')' || b == ',' || b == '-' || b == '.';
}

// The first character before byte i that is not a separator is digit-like.
bool digit_before(std::string_view s, std::size_t i) {
  while (i > 0) {
    unsigned char b = byte_at(s, i - 1);
    if (b < 0x80) {
      if (!ascii_separator(b)) return digit_like(b);
      --i;
      continue;
    }
    char32_t c = utf8::decode_back(s, i);
    if (c != 0x00B7 && c != 0x30FB) return false;
  }
  return false;
}

// The first character from byte i on that is not a separator is digit-like.
bool digit_from(std::string_view s, std::size_t i) {
  while (i < s.size()) {
    unsigned char b = byte_at(s, i);
    if (b < 0x80) {
      if (!ascii_separator(b)) return digit_like(b);
      ++i;
      continue;
    }
    std::size_t len = pass_detail::separator_len(s, i);
    if (!len) return false;
    i += len;
  }
  return false;
}

}  // namespace

PassResult pass_lookalike(std::string_view text, PassOutput& out) {
  const std::size_t n = text.size();
  auto block = [](bytes::V16 v) {
    return bytes::eq(v, 'I') | bytes::eq(v, 'l') | bytes::eq(v, 'O') | bytes::eq(v, 'o');
  };
  std::size_t i = pass_detail::scan(text, 0, kLetters, block);
  // A text without the letters is done before the writer is set up.
  if (i == n) return false;
  pass_detail::Writer w(text, out);
  for (; (i = pass_detail::scan(text, i, kLetters, block)) < n; ++i) {
    char digit = kDigitFor[byte_at(text, i)];
    if (!digit_before(text, i) || !digit_from(text, i + 1)) continue;
    w.keep_to(i);
    replace(w.b, text.substr(i, 1), std::string_view(&digit, 1), kRule);
    w.emitted = i + 1;
  }
  return w.done();
}

}  // namespace kestrix
