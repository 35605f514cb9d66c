// Separator absorption: a run of separators standing between two digit-like characters is
// deleted, one absorbed segment per maximal group of one class, so the map keeps what was
// removed and what it costs.
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "normalize/pass_writer.hpp"
#include "text/bytes.hpp"

namespace kestrix {
namespace {

using pass_detail::byte_at;
using pass_detail::digit_like;
using pass_detail::separator_len;

struct SepClass {
  std::string_view rule;
  AbsorbClass absorb;
};

constexpr SepClass kWhitespace{"separator.whitespace", AbsorbClass::whitespace};
constexpr SepClass kHyphen{"separator.hyphen", AbsorbClass::separator};
constexpr SepClass kDot{"separator.dot", AbsorbClass::separator};
constexpr SepClass kParen{"separator.paren", AbsorbClass::separator};
constexpr SepClass kComma{"separator.comma", AbsorbClass::separator};
constexpr SepClass kMiddot{"separator.middot", AbsorbClass::separator};
constexpr SepClass kInvisible{"separator.invisible", AbsorbClass::separator};

// Byte length of the invisible format character (U+200B, U+200C, U+200D, U+2060, U+FEFF) at
// byte i, or 0. Only this pass absorbs them: between digits they are a way to slip a number
// past a scanner, elsewhere they stay as written.
std::size_t invisible_len(std::string_view s, std::size_t i) {
  if (i + 2 >= s.size()) return 0;
  const unsigned char a = byte_at(s, i), b = byte_at(s, i + 1), c = byte_at(s, i + 2);
  if (a == 0xE2)
    return (b == 0x80 && c >= 0x8B && c <= 0x8D) || (b == 0x81 && c == 0xA0) ? 3 : 0;
  return a == 0xEF && b == 0xBB && c == 0xBF ? 3 : 0;
}

// The class of the separator that a byte may begin, by index into kClasses (0: none).
constexpr const SepClass* kClasses[] = {nullptr, &kWhitespace, &kHyphen, &kDot,
                                        &kParen, &kComma,      &kMiddot, &kInvisible};
constexpr std::array<std::uint8_t, 256> kLeadClass = [] {
  std::array<std::uint8_t, 256> t{};
  t['\t'] = t[' '] = 1;
  t['-'] = 2;
  t['.'] = 3;
  t['('] = t[')'] = 4;
  t[','] = 5;
  t[0xC2] = t[0xE3] = 6;
  t[0xE2] = t[0xEF] = 7;
  return t;
}();

// Byte length of the separator of any class at byte i (0 for none), and its class in `cls`.
[[gnu::always_inline]] inline std::size_t separator_at(std::string_view s, std::size_t i,
                                                       const SepClass*& cls) {
  const unsigned char b = byte_at(s, i);
  const std::uint8_t k = kLeadClass[b];
  if (k == 0) return 0;
  cls = kClasses[k];
  if (b < 0x80) return 1;
  return k == 6 ? separator_len(s, i) : invisible_len(s, i);
}

// Absorbs the run [start, end) as maximal groups of one class.
void absorb_run(Builder& b, std::string_view s, std::size_t start, std::size_t end) {
  std::size_t g = start;
  const SepClass* cls = nullptr;
  separator_at(s, start, cls);
  for (std::size_t i = start; i < end;) {
    const SepClass* c = nullptr;
    const std::size_t len = separator_at(s, i, c);
    if (c != cls) {
      absorb(b, s.substr(g, i - g), cls->rule, cls->absorb);
      g = i;
      cls = c;
    }
    i += len;
  }
  absorb(b, s.substr(g, end - g), cls->rule, cls->absorb);
}

// Bytes that begin a separator: the ASCII ones and the lead bytes of U+00B7, U+30FB and the
// invisible characters.
constexpr pass_detail::ByteTable kSeparatorStart =
    pass_detail::byte_table({'\t', ' ', '(', ')', ',', '-', '.', 0xC2, 0xE2, 0xE3, 0xEF});
inline bytes::V16 separator_start_block(bytes::V16 v) {
  return bytes::eq(v, '\t') | bytes::eq(v, ' ') | bytes::in_range(v, '(', ')') |
         bytes::in_range(v, ',', '.') | bytes::eq(v, 0xC2) | bytes::in_range(v, 0xE2, 0xE3) |
         bytes::eq(v, 0xEF);
}

// The first position d at or after i, with d + 1 < n, whose byte is digit-like and the next
// one may begin a separator; n when there is none. Digits stand in rows and most rows end at
// a letter: those are passed over sixteen bytes at a time.
std::size_t next_digit_before_separator(const unsigned char* s, std::size_t i, std::size_t n) {
  for (; i + 17 <= n; i += 16) {
    const std::uint32_t m = bytes::bits(pass_detail::digit_like_block(bytes::load(s + i)) &
                                        separator_start_block(bytes::load(s + i + 1)));
    if (m != 0) return i + static_cast<std::size_t>(__builtin_ctz(m));
  }
  for (; i + 1 < n; ++i)
    if (digit_like(s[i]) && kSeparatorStart[s[i + 1]]) return i;
  return n;
}

}  // namespace

PassResult pass_separator(std::string_view text, PassOutput& out) {
  const std::size_t n = text.size();
  // First the runs to absorb, then the rewrite: knowing how many segments it makes, the
  // rewrite reserves them once instead of growing the largest map of the pipeline by doubling.
  std::vector<std::pair<std::size_t, std::size_t>> runs;
  std::size_t segments = 1;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t d = 0; (d = next_digit_before_separator(p, d, n)) < n; ++d) {
    std::size_t i = d + 1;
    const SepClass* cls = nullptr;
    std::size_t len = separator_at(text, i, cls);
    if (!len) continue;
    std::size_t end = i + len;
    std::size_t groups = 1;
    for (const SepClass* c = nullptr; end < n && (len = separator_at(text, end, c)) != 0;) {
      groups += c != cls;
      cls = c;
      end += len;
    }
    if (end == n) break;  // a run that reaches the end of the text stays
    if (digit_like(byte_at(text, end))) {
      runs.emplace_back(i, end);
      segments += groups + 1;
    }
    d = end - 1;  // text[end] is no separator; the scan resumes there
  }
  if (runs.empty()) return false;
  pass_detail::Writer w(text, out);
  w.segments_hint = segments;
  for (auto [i, end] : runs) {
    w.keep_to(i);
    absorb_run(w.b, text, i, end);
    w.emitted = end;
  }
  PassResult r = w.done();
  if (r && *r && out.in_place) {
    // The output is the input without the runs: moved down over them, front to back.
    std::string& s = *out.in_place;
    std::size_t to = runs.front().first, from = runs.front().second;
    for (std::size_t k = 1; k < runs.size(); ++k) {
      const std::size_t len = runs[k].first - from;
      std::memmove(s.data() + to, s.data() + from, len);
      to += len;
      from = runs[k].second;
    }
    std::memmove(s.data() + to, s.data() + from, n - from);
    s.resize(to + (n - from));
  }
  return r;
}

}  // namespace kestrix
