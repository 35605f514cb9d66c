// Composition on maps that no builder produces (gaps, overlaps, insertions), and the
// identity shortcut of compose checked against the full walk.
#include <string>
#include <utility>

#include "check.hpp"
#include "span/builder.hpp"
#include "span/mapping.hpp"
#include "span/span_map.hpp"
#include "text/utf8.hpp"

using namespace kestrix;

namespace {

// ASCII spans: characters equal bytes.
Span sp(std::uint32_t a, std::uint32_t b) { return {a, b, a, b}; }

Segment seg(SegmentKind k, Span src, Span dst) {
  Segment s{{}, src, dst, {}, k};
  if (k != SegmentKind::identity) s.rules = RuleSeq{"r"};
  return s;
}

constexpr auto I = SegmentKind::identity;
constexpr auto R = SegmentKind::replace;
constexpr auto D = SegmentKind::del;

std::string outcome(const std::expected<SpanMap, Error>& r) {
  return r ? std::string("ok") : r.error().display();
}

std::string json(const SpanMap& m) {
  std::string s;
  write_json(s, m);
  return s;
}

const char* kCoord = "span map coordinate mismatch: ";

// Deterministic random builder programs over a random text.
struct Lcg {
  std::uint64_t s;
  std::uint32_t next(std::uint32_t n) {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>((s >> 33) % n);
  }
};

std::string random_text(Lcg& g) {
  static const char* const kPool[] = {"a", "1", "-", " ", "가", "팔", "é", "😀", "Ａ"};
  std::string t;
  for (std::uint32_t k = g.next(14); k > 0; --k) t += kPool[g.next(9)];
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
    switch (g.next(5)) {
      case 0: keep(b, piece); break;
      case 1: replace(b, piece, kOut[g.next(5)], rule); break;
      case 2: numeral(b, piece, kOut[g.next(5)], rule); break;
      case 3: absorb(b, piece, rule, static_cast<AbsorbClass>(g.next(3))); break;
      default: keep(b, piece); break;
    }
    i = j;
  }
  return finish(b);
}

// An identity map cut in two at the first character boundary: equal in meaning to
// identity(text), but not the single segment that compose recognises, so it takes the walk.
SpanMap split_identity(std::string_view text) {
  SpanMap m = identity(text);
  if (text.size() < 2) return m;
  std::uint32_t cut = static_cast<std::uint32_t>(utf8::seq_len(static_cast<unsigned char>(text[0])));
  if (cut >= text.size()) return m;
  Segment second = m.segments[0];
  m.segments[0].src.byte_end = m.segments[0].dst.byte_end = cut;
  m.segments[0].src.char_end = m.segments[0].dst.char_end = 1;
  second.src.byte_start = second.dst.byte_start = cut;
  second.src.char_start = second.dst.char_start = 1;
  m.segments.push_back(second);
  return m;
}

}  // namespace

KX_TEST(compose_reports_each_coordinate_error) {
  struct Case {
    SpanMap inner, outer;
    const char* message;
  };
  Case cases[] = {
      // an insertion in the outer map
      {identity("ab"),
       {{seg(I, sp(0, 1), sp(0, 1)), seg(SegmentKind::expand, sp(1, 1), sp(1, 2)), seg(I, sp(1, 2), sp(2, 3))}},
       "outer segment 1 has an empty source range; insertion is not supported"},
      // the same after outer segments inside an unchanged inner one, which are taken a run at a time
      {identity("abcdefgh"),
       {{seg(I, sp(0, 2), sp(0, 2)), seg(D, sp(2, 3), sp(2, 2)), seg(SegmentKind::expand, sp(3, 3), sp(2, 3)),
         seg(I, sp(3, 8), sp(3, 8))}},
       "outer segment 2 has an empty source range; insertion is not supported"},
      // the outer map goes on after the inner one has ended
      {identity("a"), {{seg(I, sp(0, 1), sp(0, 1)), seg(R, sp(0, 1), sp(1, 2))}},
       "segment exhausted at B byte 1 (inner 1/1, outer 1/2)"},
      {{{seg(R, sp(0, 1), sp(0, 1))}}, {{seg(R, sp(0, 2), sp(0, 1)), seg(I, sp(1, 1), sp(1, 1))}},
       "inner exhausted while grouping at B byte 0"},
      {{{seg(R, sp(0, 1), sp(0, 2)), seg(I, sp(1, 2), sp(0, 1))}}, {{seg(R, sp(0, 1), sp(0, 1))}},
       "outer exhausted while grouping at B byte 0"},
      // overlapping inner output: the group start lands inside an inner replace
      {{{seg(I, sp(0, 1), sp(0, 1)), seg(R, sp(1, 2), sp(0, 2))}},
       {{seg(I, sp(0, 1), sp(0, 1)), seg(R, sp(1, 2), sp(1, 2))}},
       "dst byte 1 falls inside non-identity segment 1"},
      // overlapping outer input: the group start lands inside an outer replace
      {{{seg(I, sp(0, 1), sp(0, 1)), seg(R, sp(1, 2), sp(1, 2))}},
       {{seg(I, sp(0, 1), sp(0, 1)), seg(R, sp(0, 2), sp(1, 2))}},
       "src byte 1 falls inside non-identity segment 1"},
      // a deletion whose B position has no place in the outer map (a gap before segment 1)
      {{{seg(I, sp(0, 2), sp(0, 2)), seg(D, sp(2, 3), sp(2, 2)), seg(R, sp(3, 4), sp(2, 6))}},
       {{seg(I, sp(0, 2), sp(0, 2)), seg(R, sp(5, 6), sp(2, 3))}},
       "src byte 2 falls inside non-identity segment 1"},
  };
  for (Case& c : cases) {
    std::string before = json(c.inner) + json(c.outer);
    KX_CHECK_STR(outcome(compose(c.inner, c.outer)), kCoord + std::string(c.message));
    KX_CHECK_STR(outcome(compose(SpanMap(c.inner), SpanMap(c.outer))), kCoord + std::string(c.message));
    KX_CHECK_STR(json(c.inner) + json(c.outer), before);
  }
}

KX_TEST(identity_shortcut_matches_the_full_walk) {
  Lcg g{12345};
  for (int round = 0; round < 3000; ++round) {
    std::string src = random_text(g);
    auto [mid, m] = random_map(g, src);
    auto [out, m2] = random_map(g, mid);
    std::string want = json(m);
    auto walked_outer = compose(m, split_identity(mid));
    auto walked_inner = compose(split_identity(src), m);
    KX_CHECK(walked_outer && json(*walked_outer) == want);
    KX_CHECK(walked_inner && json(*walked_inner) == want);
    auto fast_outer = compose(m, identity(mid));
    auto fast_inner = compose(identity(src), m);
    KX_CHECK(fast_outer && json(*fast_outer) == want);
    KX_CHECK(fast_inner && json(*fast_inner) == want);
    // Taking the maps over gives the same result as composing copies.
    auto both = compose(m, m2);
    auto moved = compose(SpanMap(m), SpanMap(m2));
    KX_CHECK(both && moved && json(*both) == json(*moved));
    if (!m.segments.empty()) {
      const Segment* data = m.segments.data();
      auto taken = compose(std::move(m), identity(mid));
      KX_CHECK(taken && taken->segments.data() == data);  // handed back, not copied
    }
  }
}

// Detection maps a candidate back in two halves, the span and costs first and the rule names
// only for a finding, each search starting from where the last began: both halves together are
// to_source, whatever order the spans come in (ahead, the same span again, behind, reversed,
// empty, past the end).
KX_TEST(to_source_in_halves_from_any_hint_is_to_source) {
  Lcg g{777};
  for (int round = 0; round < 3000; ++round) {
    std::string src = random_text(g);
    auto [mid, m] = random_map(g, src);
    auto [out, m2] = random_map(g, mid);
    auto composed = compose(m, m2);
    KX_CHECK(composed.has_value());
    if (!composed) continue;
    // Every character boundary of the normalized text, and one past its end.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> at;  // (byte, char)
    for (std::uint32_t b = 0, c = 0;; ++c) {
      at.emplace_back(b, c);
      if (b >= out.size()) break;
      b += static_cast<std::uint32_t>(utf8::seq_len(static_cast<unsigned char>(out[b])));
    }
    at.emplace_back(at.back().first + 1, at.back().second + 1);
    std::size_t hint = g.next(4) == 0 ? g.next(40) : 0, rules_hint = hint;
    Span last{};
    for (int q = 0; q < 12; ++q) {
      Span dst;
      if (q > 0 && g.next(4) == 0) {
        dst = last;  // mapped again, as a finding's rules are
      } else {
        auto a = at[g.next(static_cast<std::uint32_t>(at.size()))];
        auto b = at[g.next(static_cast<std::uint32_t>(at.size()))];
        if (g.next(8) != 0 && b.first < a.first) std::swap(a, b);
        dst = Span{a.first, b.first, a.second, b.second};
      }
      last = dst;
      const SourceSpan want = to_source(*composed, dst);
      const SourceSpan half = to_source_without_rules(*composed, dst, hint);
      const RuleList rules = source_rules(*composed, dst, q % 2 ? hint : rules_hint);
      std::size_t full_hint = hint;
      const SourceSpan whole = to_source(*composed, dst, full_hint);
      KX_CHECK(half.span == want.span && half.snapped == want.snapped && half.cost == want.cost);
      KX_CHECK(half.rules.empty());
      KX_CHECK(rules == want.rules);
      KX_CHECK(whole.span == want.span && whole.rules == want.rules && whole.cost == want.cost);
    }
  }
}
