// Lookalike correction: I and l read as 1, O and o as 0, when digit-like characters stand on
// both sides (separators in between are skipped). Neighbours are judged on the input, so a
// lookalike letter never counts as a digit for the letter next to it.
#include <array>
#include <vector>

#include "normalize/pass_writer.hpp"
#include "text/recycled.hpp"
#include "text/simd.hpp"
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

// The positions corrected in place, kept per thread (see recycled.hpp).
struct SparePositions {
  std::vector<std::size_t> v;
};

inline bytes::V16 letters_block(bytes::V16 v) {
  return bytes::eq(v, 'I') | bytes::eq(v, 'l') | bytes::eq(v, 'O') | bytes::eq(v, 'o');
}

// Calls f(i) for each position i, ascending, whose byte is one of the letters: sixteen bytes at
// a time, or W at a time in a text of 64 bytes or more (the last ones as the W before its end).
struct EachLetter {
  template <class F>
  static void fallback(const unsigned char* s, std::size_t n, F& f) {
    const std::string_view text(reinterpret_cast<const char*>(s), n);
    for (std::size_t i = 0; (i = pass_detail::scan(text, i, kLetters, letters_block)) < n; ++i) f(i);
  }
#ifdef KESTRIX_SIMD_X86
  // The text holds at least W bytes.
  template <int W, class F>
  [[gnu::always_inline]] static void run(const unsigned char* s, std::size_t n, F& f) {
    using V = simd::Vec<W>;
    const V upper_i = V::set1('I'), lower_l = V::set1('l'), case_bit = V::set1(0x20), lower_o = V::set1('o');
    auto block = [&](std::size_t at) __attribute__((always_inline)) {
      const V v = V::load(s + at);
      return (eq8(v, upper_i) | eq8(v, lower_l) | eq8(v | case_bit, lower_o)).bits();
    };
    auto each = [&](std::size_t at, std::uint32_t m) __attribute__((always_inline)) {
      for (; m != 0; m &= m - 1) f(at + static_cast<std::size_t>(__builtin_ctz(m)));
    };
    std::size_t i = 0;
    for (; i + W <= n; i += W) each(i, block(i));
    if (i < n) each(i, block(n - W) >> (i - (n - W)));
  }
#endif
};

}  // namespace

PassResult pass_lookalike(std::string_view text, PassOutput& out) {
  const std::size_t n = text.size();
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  // A text without the letters is done before the writer is set up.
  if (pass_detail::scan(text, 0, kLetters, letters_block) == n) return false;
  pass_detail::Writer w(text, out);
  // In place (the input is out.in_place), the letters are corrected once all are judged: each
  // is judged by the letters around it as they were.
  recycled::Buffer<std::size_t> corrected_buffer(recycled::per_thread<SparePositions>().v);
  std::vector<std::size_t>& corrected = corrected_buffer.v;
  auto correct = [&](std::size_t i) __attribute__((always_inline)) {
    char digit = kDigitFor[s[i]];
    if (!digit_before(text, i) || !digit_from(text, i + 1)) return;
    if (out.in_place) corrected.push_back(i);
    w.keep_to(i);
    replace(w.b, text.substr(i, 1), std::string_view(&digit, 1), kRule);
    w.emitted = i + 1;
  };
  if (n < 64)
    EachLetter::fallback(s, n, correct);
  else
    simd::dispatch<EachLetter>(s, n, correct);
  PassResult r = w.done();
  if (r && *r && out.in_place) {
    // The output is the input with the judged letters corrected, each where it stands.
    std::string& t = *out.in_place;
    for (std::size_t i : corrected) t[i] = kDigitFor[static_cast<unsigned char>(t[i])];
  }
  return r;
}

}  // namespace kestrix
