// Composition fed a batch at a time against compose over the whole outer map: the pipeline
// only ever feeds consistent maps, so the error paths are reached from here alone.
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "span/builder.hpp"
#include "span/mapping.hpp"
#include "span/span_map.hpp"
#include "text/utf8.hpp"

using namespace kestrix;

namespace {

struct Lcg {
  std::uint64_t s;
  std::uint32_t next(std::uint32_t n) {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>((s >> 33) % n);
  }
};

std::string random_text(Lcg& g, std::uint32_t pieces) {
  static const char* const kPool[] = {"a", "1", "-", " ", "가", "팔", "é", "😀", "Ａ"};
  std::string t;
  for (std::uint32_t k = g.next(pieces); k > 0; --k) t += kPool[g.next(9)];
  return t;
}

std::pair<std::string, SpanMap> random_map(Lcg& g, std::string_view text) {
  static const char* const kOut[] = {"", "x", "12", "가나", "😀"};
  static const char* const kRules[] = {"b", "a", "c.d"};
  Builder b;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t j = i;
    for (std::uint32_t k = 1 + g.next(3); k > 0 && j < text.size(); --k)
      j += utf8::seq_len(static_cast<unsigned char>(text[j]));
    std::string_view piece = text.substr(i, j - i);
    const char* rule = kRules[g.next(3)];
    switch (g.next(6)) {
      case 0: replace(b, piece, kOut[g.next(5)], rule); break;
      case 1: numeral(b, piece, kOut[g.next(5)], rule); break;
      case 2: absorb(b, piece, rule, static_cast<AbsorbClass>(g.next(3))); break;
      default: keep(b, piece); break;
    }
    i = j;
  }
  return finish(b);
}

std::string json(const SpanMap& m) {
  std::string s;
  write_json(s, m);
  return s;
}

std::string outcome(const std::expected<SpanMap, Error>& r) {
  return r ? json(*r) : r.error().display();
}

// Feeds `outer` in batches of random sizes, appending to the pending batch as a builder would,
// some of them settled (their last segment final, as these all are).
std::string streamed(Lcg& g, const SpanMap& inner, const SpanMap& outer) {
  SpanMap result;
  result.segments.push_back(Segment{});  // whatever the target held is replaced
  ComposeStream st;
  compose_begin(st, inner, result, g.next(3) * outer.segments.size());
  std::vector<Segment> batch;
  std::size_t k = 0;
  while (k < outer.segments.size()) {
    for (std::uint32_t take = 1 + g.next(4); take > 0 && k < outer.segments.size(); --take)
      batch.push_back(outer.segments[k++]);
    switch (g.next(4)) {
      case 0:
        compose_feed(st, batch, false);
        // The last segment stays, for the builder to extend.
        KX_CHECK(!batch.empty() && batch.back().src == outer.segments[k - 1].src &&
                 batch.back().dst == outer.segments[k - 1].dst);
        break;
      case 1: compose_feed_settled(st, batch); break;
      default: break;
    }
  }
  compose_feed(st, batch, true);
  auto ok = compose_end(st);
  return ok ? json(result) : ok.error().display();
}

// Moves a boundary of one segment so that the maps no longer fit together somewhere.
void damage(Lcg& g, SpanMap& m) {
  if (m.segments.empty()) return;
  Segment& s = m.segments[g.next(static_cast<std::uint32_t>(m.segments.size()))];
  switch (g.next(4)) {
    case 0: s.src.byte_end += 1; break;
    case 1: s.dst.byte_start += 1; break;
    case 2: s.src = Span{s.src.byte_start, s.src.byte_start, s.src.char_start, s.src.char_start}; break;
    default: s.kind = s.kind == SegmentKind::identity ? SegmentKind::replace : SegmentKind::identity;
  }
}

}  // namespace

KX_TEST(streamed_composition_matches_compose) {
  Lcg g{2024};
  int errors = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string src = random_text(g, round % 10 == 0 ? 400 : 16);
    auto [mid, inner] = random_map(g, src);
    auto [out, outer] = random_map(g, mid);
    if (round % 3 == 0) damage(g, g.next(2) ? inner : outer);
    std::string want = outcome(compose(inner, outer));
    errors += want.rfind("span map", 0) == 0;
    KX_CHECK_STR(streamed(g, inner, outer), want);
  }
  KX_CHECK(errors > 100);  // the damaged maps reach the error paths
}
