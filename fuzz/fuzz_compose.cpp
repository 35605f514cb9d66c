// Random builder programs over a random text, composed pairwise: every map validates, its
// ends match the texts, composition succeeds on matching maps and is associative, and
// to_source of any span stays inside the source.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/fuzz_common.hpp"
#include "span/builder.hpp"
#include "span/mapping.hpp"
#include "span/span_map.hpp"
#include "text/utf8.hpp"

using namespace kestrix;

namespace {


// Runs one builder program over `text`: each op consumes 1..4 characters.
std::pair<std::string, SpanMap> run(std::string_view text, fuzz::Reader& in) {
  Builder b;
  std::size_t i = 0;
  while (i < text.size()) {
    std::uint8_t op = in.byte();
    std::size_t take = 1 + (op >> 4) % 4;
    std::size_t j = i;
    for (std::size_t k = 0; k < take && j < text.size(); ++k) j += utf8::seq_len(static_cast<unsigned char>(text[j]));
    std::string_view piece = text.substr(i, j - i);
    switch (op & 7) {
      case 0:
      case 1: keep(b, piece); break;
      case 2: replace(b, piece, "x", "fuzz.replace"); break;
      case 3: replace(b, piece, "", "fuzz.replace"); break;
      case 4: numeral(b, piece, "12345", "fuzz.numeral"); break;
      case 5: absorb(b, piece, "fuzz.absorb", AbsorbClass::separator); break;
      case 6: replace(b, piece, "가나", "fuzz.wide"); break;
      default: absorb(b, piece, "fuzz.space", AbsorbClass::whitespace); break;
    }
    i = j;
  }
  return finish(b);
}

void check_map(const SpanMap& m, std::string_view src, std::string_view dst) {
  if (!validate(m)) fuzz::fail("map does not validate");
  if (!src.empty() || !m.segments.empty()) {
    auto se = src_end(m);
    auto de = dst_end(m);
    if (se.first != src.size() || se.second != utf8::count_chars(src)) fuzz::fail("src end");
    if (de.first != dst.size() || de.second != utf8::count_chars(dst)) fuzz::fail("dst end");
  }
}

bool same(const SpanMap& a, const SpanMap& b) {
  if (a.segments.size() != b.segments.size()) return false;
  for (std::size_t i = 0; i < a.segments.size(); ++i) {
    const Segment& x = a.segments[i];
    const Segment& y = b.segments[i];
    if (!(x.src == y.src) || !(x.dst == y.dst) || x.kind != y.kind || !(x.cost == y.cost) ||
        x.rules != y.rules)
      return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  std::string text = fuzz::valid_utf8(in.take(in.byte() % 64));
  auto [b_text, ab] = run(text, in);
  auto [c_text, bc] = run(b_text, in);
  auto [d_text, cd] = run(c_text, in);
  check_map(ab, text, b_text);
  check_map(bc, b_text, c_text);
  check_map(cd, c_text, d_text);

  auto ac = compose(ab, bc);
  if (!ac) fuzz::fail("compose(ab, bc) failed: " + ac.error().display());
  check_map(*ac, text, c_text);
  auto bd = compose(bc, cd);
  if (!bd) fuzz::fail("compose(bc, cd) failed: " + bd.error().display());
  auto left = compose(*ac, cd);
  auto right = compose(ab, *bd);
  if (!left || !right) fuzz::fail("three-way compose failed");
  check_map(*left, text, d_text);
  if (!same(*left, *right)) fuzz::fail("compose is not associative");

  // Identity on either side is neutral.
  auto li = compose(identity(text), ab);
  auto ri = compose(ab, identity(b_text));
  if (!li || !ri || !same(*li, ab) || !same(*ri, ab)) fuzz::fail("identity is not neutral");

  // Any span, even reversed or out of range, maps back inside the source.
  for (int k = 0; k < 4; ++k) {
    Span s{in.u32() % (static_cast<std::uint32_t>(d_text.size()) + 3),
           in.u32() % (static_cast<std::uint32_t>(d_text.size()) + 3), in.u32() % 70, in.u32() % 70};
    SourceSpan r = to_source(*left, s);
    // A reversed span may map to a reversed source span, but never outside the source.
    if (r.span.byte_end > text.size() || r.span.byte_start > text.size()) fuzz::fail("to_source out of range");
    if (s.byte_start <= s.byte_end && r.span.byte_start > r.span.byte_end) fuzz::fail("to_source reversed");
  }
  return 0;
}
