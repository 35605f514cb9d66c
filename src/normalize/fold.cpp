// Width and punctuation folding: full-width ASCII forms, Unicode spaces and Unicode dashes
// become their ASCII counterparts, one character per replacement.
#include "normalize/pass_writer.hpp"
#include "text/simd.hpp"
#include "text/utf8.hpp"

namespace kestrix {
namespace {

constexpr std::string_view kFullwidth = "fold.fullwidth";
constexpr std::string_view kSpace = "fold.space";
constexpr std::string_view kDash = "fold.dash";

// Lead bytes of every folded character: U+00A0/U+00AD (0xC2), U+2000..U+2212 (0xE2),
// U+3000 (0xE3 0x80), U+FE58..U+FF5E (0xEF). Continuation bytes never take these values. Of the
// characters led by 0xE3 only U+3000 folds, and the Hangul jamo that fill Korean chat
// (ㅋㅋ, ㅠㅠ: 0xE3 0x84..0x86) are passed over sixteen at a time by their second byte.
constexpr pass_detail::ByteTable kLead = pass_detail::byte_table({0xC2, 0xE2, 0xE3, 0xEF});

// The first position at or after i that may begin a folded character, or n.
std::size_t next_lead16(const unsigned char* s, std::size_t i, std::size_t n) {
  auto block_at = [s](std::size_t at) {
    const bytes::V16 v = bytes::load(s + at);
    return bytes::bits(bytes::eq(v, 0xC2) | bytes::eq(v, 0xE2) | bytes::eq(v, 0xEF) |
                       (bytes::eq(v, 0xE3) & bytes::eq(bytes::load(s + at + 1), 0x80)));
  };
  for (; i + 17 <= n; i += 16)
    if (const std::uint32_t m = block_at(i); m != 0) return i + static_cast<std::size_t>(__builtin_ctz(m));
  if (i + 1 < n && n >= 17) {
    // The last block, positions n - 17 .. n - 2, of which those before i were looked at; the
    // last byte is left to the loop below.
    const std::size_t last = n - 17;
    if (const std::uint32_t m = block_at(last) >> (i - last); m != 0)
      return i + static_cast<std::size_t>(__builtin_ctz(m));
    i = n - 1;
  }
  for (; i < n; ++i)
    if (kLead[s[i]] && (s[i] != 0xE3 || (i + 1 < n && s[i + 1] == 0x80))) return i;
  return n;
}

// The same with the widest vectors: 0xC2 and 0xE2 as one with the bit 0x20 set. What is left
// (fewer than W + 1 bytes) is read sixteen bytes at a time.
struct NextLead {
  static std::size_t fallback(const unsigned char* s, std::size_t i, std::size_t n) {
    return next_lead16(s, i, n);
  }
#ifdef KESTRIX_SIMD_X86
  template <int W>
  [[gnu::always_inline]] static std::size_t run(const unsigned char* s, std::size_t i, std::size_t n) {
    using V = simd::Vec<W>;
    const V bit = V::set1(0x20), e2 = V::set1(0xE2), e3 = V::set1(0xE3), ef = V::set1(0xEF),
            x80 = V::set1(0x80);
    for (; i + W + 1 <= n; i += W) {
      const V v = V::load(s + i);
      const V lead = eq8(v | bit, e2) | eq8(v, ef) | (eq8(v, e3) & eq8(V::load(s + i + 1), x80));
      if (const std::uint32_t m = lead.bits(); m != 0) return i + static_cast<std::size_t>(__builtin_ctz(m));
    }
    return next_lead16(s, i, n);
  }
#endif
};

std::size_t next_lead(const unsigned char* s, std::size_t i, std::size_t n) {
  // What is short (most texts, and the ends of long ones) stays with the sixteen-byte search.
  return n - i < 64 ? next_lead16(s, i, n) : simd::dispatch<NextLead>(s, i, n);
}

struct Fold {
  char out = 0;  // 0: not folded
  std::string_view rule;
};

Fold classify(char32_t c) {
  if (c >= 0xFF01 && c <= 0xFF5E) return {static_cast<char>(c - 0xFEE0), kFullwidth};
  if (c == 0x00A0 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F || c == 0x205F || c == 0x3000)
    return {' ', kSpace};
  if (c == 0x00AD || (c >= 0x2010 && c <= 0x2015) || c == 0x2043 || c == 0x2212 || c == 0xFE58 ||
      c == 0xFE63)
    return {'-', kDash};
  return {};
}

}  // namespace

PassResult pass_fold(std::string_view text, PassOutput& out) {
  const std::size_t n = text.size();
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t start = next_lead(p, 0, n);
  // Most texts hold no lead byte at all: they are done before the writer is set up.
  if (start == n) return false;
  // Every replacement is one byte for a character of two or three, and the search reads only
  // from the read position on: in place, the output is written over the input.
  pass_detail::OverWriter w(text, out);
  for (; (start = next_lead(p, start, n)) < n;) {
    std::size_t i = start;
    char32_t c = utf8::decode(text, i);
    Fold f = classify(c);
    if (!f.out) {
      start = i;
      continue;
    }
    w.keep_to(start);
    replace(w.b, text.substr(start, i - start), std::string_view(&f.out, 1), f.rule);
    w.write(std::string_view(&f.out, 1));
    w.emitted = start = i;
  }
  return w.done();
}

}  // namespace kestrix
