// Width and punctuation folding: full-width ASCII forms, Unicode spaces and Unicode dashes
// become their ASCII counterparts, one character per replacement.
#include "normalize/pass_writer.hpp"
#include "text/utf8.hpp"

namespace kestrix {
namespace {

constexpr std::string_view kFullwidth = "fold.fullwidth";
constexpr std::string_view kSpace = "fold.space";
constexpr std::string_view kDash = "fold.dash";

// Lead bytes of every folded character: U+00A0/U+00AD (0xC2), U+2000..U+2212 (0xE2),
// U+3000 (0xE3), U+FE58..U+FF5E (0xEF). Continuation bytes never take these values.
constexpr pass_detail::ByteTable kLead = pass_detail::byte_table({0xC2, 0xE2, 0xE3, 0xEF});

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
  pass_detail::Writer w(text, out);
  const std::size_t n = text.size();
  std::size_t start = 0;
  auto block = [](bytes::V16 v) {
    return bytes::eq(v, 0xC2) | bytes::in_range(v, 0xE2, 0xE3) | bytes::eq(v, 0xEF);
  };
  while ((start = pass_detail::scan(text, start, kLead, block)) < n) {
    std::size_t i = start;
    char32_t c = utf8::decode(text, i);
    Fold f = classify(c);
    if (!f.out) {
      start = i;
      continue;
    }
    w.keep_to(start);
    replace(w.b, text.substr(start, i - start), std::string_view(&f.out, 1), f.rule);
    w.emitted = start = i;
  }
  return w.done();
}

}  // namespace kestrix
