#include "span/mapping.hpp"

#include <algorithm>
#include <optional>

#include "span/span_map.hpp"
#include "text/pages.hpp"
#include "text/utf8.hpp"

namespace kestrix {
namespace {

struct Pos {
  std::uint32_t b = 0, c = 0;
};

bool byte_empty(const Span& s) { return s.byte_end <= s.byte_start; }

std::uint32_t char_len(std::uint32_t start, std::uint32_t end) { return end > start ? end - start : 0; }

// Carries p across one segment from side X to side Y. Empty when p falls strictly inside a
// segment that is not identity (or outside the segment altogether). Unsigned arithmetic wraps
// for inconsistent character positions, which are taken as given.
std::optional<Pos> map_point(const Span& x, const Span& y, bool ident, Pos p) {
  if (p.b == x.byte_start) return Pos{y.byte_start, y.char_start};
  if (p.b == x.byte_end) return Pos{y.byte_end, y.char_end};
  if (ident && x.byte_start < p.b && p.b < x.byte_end)
    return Pos{p.b - x.byte_start + y.byte_start, p.c - x.char_start + y.char_start};
  return std::nullopt;
}

// Rule lists are tiny (usually one name), so a small insertion sort avoids the buffer that
// std::stable_sort allocates. Equal names are equal bytes, so stability is not observable.
void sort_unique(RuleList& r) {
  if (r.size() <= 1) return;
  if (r.size() <= 16) {
    for (std::size_t i = 1; i < r.size(); ++i) {
      std::string_view v = r[i];
      std::size_t j = i;
      for (; j > 0 && v < r[j - 1]; --j) r[j] = r[j - 1];
      r[j] = v;
    }
  } else {
    std::sort(r.begin(), r.end());
  }
  r.erase(std::unique(r.begin(), r.end()), r.end());
}

bool strictly_ascending(const RuleSeq& r) { return r.strictly_ascending(); }

// Appends rather than `"(" + std::to_string(..)`, which g++ 12 flags with a false -Wrestrict.
std::string pair_text(std::pair<std::uint32_t, std::uint32_t> p) {
  std::string s = "(";
  s += std::to_string(p.first);
  s += ", ";
  s += std::to_string(p.second);
  s += ')';
  return s;
}

std::unexpected<Error> coord(std::string msg) { return std::unexpected(Error::coordinate(std::move(msg))); }

std::unexpected<Error> inside(const char* side, std::uint32_t byte, std::size_t seg) {
  return coord(std::string(side) + " byte " + std::to_string(byte) +
               " falls inside non-identity segment " + std::to_string(seg));
}

// The kind the walk gives a group that holds a non-identity segment.
SegmentKind group_kind(const Span& a, const Span& c) {
  if (byte_empty(c)) return SegmentKind::del;
  return char_len(a.char_start, a.char_end) < char_len(c.char_start, c.char_end) ? SegmentKind::expand
                                                                                : SegmentKind::replace;
}

// Appends a segment, folding an identity segment into an identity predecessor.
void push_merged(std::vector<Segment>& out, Segment&& s) {
  if (s.kind == SegmentKind::identity && !out.empty() &&
      out.back().kind == SegmentKind::identity) {
    Segment& last = out.back();
    last.src.byte_end = s.src.byte_end;
    last.src.char_end = s.src.char_end;
    last.dst.byte_end = s.dst.byte_end;
    last.dst.char_end = s.dst.char_end;
    return;
  }
  out.push_back(std::move(s));
}

// The map of a pass that changed nothing: no segment (an empty text), or one identity
// segment whose two sides coincide and hold at least one byte. Composing with it changes
// nothing, given the checks below.
bool is_plain_identity(const SpanMap& m) {
  if (m.segments.empty()) return true;
  if (m.segments.size() != 1) return false;
  const Segment& s = m.segments[0];
  return s.kind == SegmentKind::identity && s.src == s.dst && !byte_empty(s.src) &&
         s.src.char_end >= s.src.char_start;
}

// True when the full walk of compose(map, plain identity) (Side = &Segment::dst) or of
// compose(plain identity, map) (Side = &Segment::src) returns `map` unchanged: every step of
// the walk then copies each segment (deletions with their dst, groups of one segment with
// their kind recomputed and rules re-sorted), so these are the conditions for each copy to be
// exact. The ends have been checked to match already.
template <Span Segment::*Side>
bool unchanged_by_identity(const SpanMap& m) {
  Pos cur;
  bool prev_identity = false;
  for (const Segment& s : m.segments) {
    const Span& x = s.*Side;
    if (x.byte_start != cur.b || x.char_start != cur.c) return false;
    if (x.byte_end < x.byte_start || x.char_end < x.char_start) return false;
    if (byte_empty(x)) {
      // Only a deletion is empty, and only on the output side.
      if (Side != &Segment::dst || s.kind != SegmentKind::del || x.char_end != x.char_start)
        return false;
      prev_identity = false;
      continue;
    }
    if (s.kind == SegmentKind::identity) {
      if (prev_identity || !s.rules.empty() || !s.cost.is_zero()) return false;
      prev_identity = true;
    } else {
      if (s.kind != group_kind(s.src, s.dst) || !strictly_ascending(s.rules)) return false;
      prev_identity = false;
    }
    cur = {x.byte_end, x.char_end};
  }
  return true;
}

// Cost, kind and rules of a group whose only non-identity member is `member` (nothing when
// that too is identity): a sorted rule list is copied as it is. Forced inline: it sits in the
// composition's innermost loops, where a call cost 0.7 M instructions per 1.1 MB of text.
[[gnu::always_inline]] inline void take_lone_member(Segment& seg, const Segment& member,
                                                   RuleList& scratch) {
  if (member.kind == SegmentKind::identity) return;
  seg.cost = member.cost;
  seg.kind = group_kind(seg.src, seg.dst);
  if (strictly_ascending(member.rules)) {
    seg.rules = member.rules;
  } else {
    scratch.assign(member.rules.begin(), member.rules.end());
    sort_unique(scratch);
    seg.rules = RuleSeq(scratch);
  }
}

// The segments of one map from list[k] on that end inside the identity segment `host` of the
// other map, after bcur, a group each with host alone: each is itself with its far side (A for
// an outer segment, C for an inner one) moved by host's offset, which is what the points mapped
// one by one in the walk come to. Near is the side of list's segments in the middle text B,
// HostNear and HostFar host's; the walk stands at bcur, the start of list[k], inside host.
template <Span Segment::*Near, Span Segment::*HostNear, Span Segment::*HostFar>
void groups_inside(const std::vector<Segment>& list, std::size_t n, std::size_t& k, const Segment& host,
                   Pos& bcur, std::vector<Segment>& out, RuleList& scratch) {
  constexpr bool outer = Near == &Segment::src;  // list is the outer map
  const Span& near_host = host.*HostNear;
  const std::uint32_t db = (host.*HostFar).byte_start - near_host.byte_start;
  const std::uint32_t dc = (host.*HostFar).char_start - near_host.char_start;
  for (;;) {
    const Segment& X = list[k];
    const Span& x = X.*Near;
    const Span moved{bcur.b + db, x.byte_end + db, bcur.c + dc, x.char_end + dc};
    const Span& src = outer ? moved : X.src;
    const Span& dst = outer ? X.dst : moved;
    if (X.kind == SegmentKind::identity) {
      append_identity(out, src, dst);
    } else {
      Segment& seg = out.emplace_back();
      seg.src = src;
      seg.dst = dst;
      take_lone_member(seg, X, scratch);
    }
    bcur = {x.byte_end, x.char_end};
    if (++k >= n) return;
    const Span& y = list[k].*Near;
    if (byte_empty(y) || y.byte_start != bcur.b || y.byte_end >= near_host.byte_end) return;
  }
}

// The run of two-segment groups at (i, o); see compose_walk. Stops before anything else
// (deletions, empty sources, the end of a list, a group of more segments, a point that would
// be an error), leaving it to the full walk. True when it emitted at least one group.
bool pair_groups(const std::vector<Segment>& in, const std::vector<Segment>& ou, std::size_t no,
                 std::size_t& i, std::size_t& o, Pos& bcur, std::vector<Segment>& out,
                 RuleList& scratch) {
  bool any = false;
  while (i < in.size() && o < no) {
    const Segment& I = in[i];
    const Segment& O = ou[o];
    if (byte_empty(I.dst) || byte_empty(O.src)) break;
    const bool i_ident = I.kind == SegmentKind::identity, o_ident = O.kind == SegmentKind::identity;
    if (i_ident && O.src.byte_end < I.dst.byte_end && bcur.b == O.src.byte_start &&
        bcur.b > I.dst.byte_start) {
      // Long runs of the later map's segments inside one unchanged segment of the earlier one
      // (the separators absorbed within a stretch the earlier passes kept).
      groups_inside<&Segment::src, &Segment::dst, &Segment::src>(ou, no, o, I, bcur, out, scratch);
      any = true;
      continue;
    }
    if (o_ident && I.dst.byte_end < O.src.byte_end && bcur.b == I.dst.byte_start &&
        bcur.b > O.src.byte_start) {
      // And the other way round (the earlier passes' few changes within a stretch this one keeps).
      groups_inside<&Segment::dst, &Segment::src, &Segment::dst>(in, in.size(), i, O, bcur, out, scratch);
      any = true;
      continue;
    }
    Pos gend;
    bool outer_ends;
    if (i_ident && O.src.byte_end < I.dst.byte_end) {
      gend = {O.src.byte_end, O.src.char_end};
      outer_ends = true;
    } else if (o_ident && I.dst.byte_end < O.src.byte_end) {
      gend = {I.dst.byte_end, I.dst.char_end};
      outer_ends = false;
    } else {
      break;
    }
    auto a0 = map_point(I.dst, I.src, i_ident, bcur);
    auto a1 = map_point(I.dst, I.src, i_ident, gend);
    auto c0 = map_point(O.src, O.dst, o_ident, bcur);
    auto c1 = map_point(O.src, O.dst, o_ident, gend);
    if (!a0 || !a1 || !c0 || !c1) break;
    Segment seg;
    seg.src = {a0->b, a1->b, a0->c, a1->c};
    seg.dst = {c0->b, c1->b, c0->c, c1->c};
    take_lone_member(seg, i_ident ? O : I, scratch);  // at most one member is not identity
    push_merged(out, std::move(seg));
    bcur = gend;
    if (outer_ends)
      ++o;
    else
      ++i;
    any = true;
  }
  return any;
}

// The walk of compose into `result` (its segments replaced, its buffer reused).
// The walk state of compose between calls of walk.
struct WalkState {
  std::size_t i = 0, o = 0;  // inner index; index into the outer segments at hand
  Pos bcur;                  // the B cursor
};

// The walk of compose over the outer segments ou[0..avail), which continue `base` segments
// already walked and dropped. Unless `last`, more outer segments follow: the walk then stops
// before any step that needs one beyond avail (returning false), and resumes there on the next
// call. Errors name outer segments by their index in the whole outer map.
std::expected<bool, Error> walk(const SpanMap& inner, const std::vector<Segment>& ou,
                                std::size_t avail, bool last, std::size_t base, Pos ou_dst_end,
                                WalkState& st, std::vector<Segment>& out, RuleList& scratch) {
  const std::vector<Segment>& in = inner.segments;
  const std::size_t ni = in.size(), no = avail;
  const auto in_src_end = src_end(inner);
  std::size_t& i = st.i;
  std::size_t& o = st.o;
  Pos& bcur = st.bcur;

  auto back = [&](std::size_t k, Pos p) -> std::optional<Pos> {
    if (k >= ni) return Pos{in_src_end.first, in_src_end.second};
    const Segment& s = in[k];
    return map_point(s.dst, s.src, s.kind == SegmentKind::identity, p);
  };
  auto fwd = [&](std::size_t k, Pos p) -> std::optional<Pos> {
    if (k >= no) return ou_dst_end;  // only reached when `last`
    const Segment& s = ou[k];
    return map_point(s.src, s.dst, s.kind == SegmentKind::identity, p);
  };

  for (;;) {
    if (i >= ni && o >= no) return last;
    // Deletions first: they consume A without touching B.
    while (i < ni && byte_empty(in[i].dst)) {
      if (o >= no && !last) return false;
      auto c = fwd(o, bcur);
      if (!c) return inside("src", bcur.b, base + o);
      const Segment& s = in[i];
      out.push_back(Segment{s.rules, s.src, Span{c->b, c->b, c->c, c->c}, s.cost, SegmentKind::del});
      ++i;
    }
    if (o >= no && !last) return false;
    if (i >= ni && o >= no) return true;
    if (o < no && byte_empty(ou[o].src))
      return coord("outer segment " + std::to_string(base + o) +
                   " has an empty source range; insertion is not supported");
    if (i >= ni || o >= no)
      return coord("segment exhausted at B byte " + std::to_string(bcur.b) + " (inner " +
                   std::to_string(i) + "/" + std::to_string(ni) + ", outer " +
                   std::to_string(base + o) + "/" + std::to_string(base + no) + ")");

    // A segment that ends strictly inside an identity segment of the other map forms a group
    // with that segment alone. Long runs of such groups (thousands of absorbed separators
    // within one unchanged stretch of the earlier passes' map) take this loop, which builds
    // each one exactly as the grouping below would, without searching for its end.
    if (pair_groups(in, ou, no, i, o, bcur, out, scratch)) continue;

    // Grow the group until both sides end at the same B position, or one side is identity
    // and may be cut where the other ends.
    std::size_t j = i, p = o;
    Pos gend;
    for (;;) {
      std::uint32_t e_in = in[j].dst.byte_end, e_out = ou[p].src.byte_end;
      if (e_in < e_out) {
        if (ou[p].kind == SegmentKind::identity) {
          gend = {e_in, in[j].dst.char_end};
          break;
        }
        if (++j >= ni)
          return coord("inner exhausted while grouping at B byte " + std::to_string(bcur.b));
      } else if (e_in > e_out) {
        if (in[j].kind == SegmentKind::identity) {
          gend = {e_out, ou[p].src.char_end};
          break;
        }
        if (++p >= no) {
          if (!last) return false;  // the group may end in a segment not written yet
          return coord("outer exhausted while grouping at B byte " + std::to_string(bcur.b));
        }
      } else {
        gend = {e_in, in[j].dst.char_end};
        break;
      }
    }

    auto a0 = back(i, bcur);
    if (!a0) return inside("dst", bcur.b, i);
    auto a1 = back(j, gend);
    if (!a1) return inside("dst", gend.b, j);
    auto c0 = fwd(o, bcur);
    if (!c0) return inside("src", bcur.b, base + o);
    auto c1 = fwd(p, gend);
    if (!c1) return inside("src", gend.b, base + p);

    Segment seg;
    seg.src = {a0->b, a1->b, a0->c, a1->c};
    seg.dst = {c0->b, c1->b, c0->c, c1->c};
    // Rules and cost of the non-identity members; a lone member's sorted list is copied as is.
    const RuleSeq* only = nullptr;
    std::size_t members = 0;
    auto take = [&](const Segment& s) {
      if (s.kind == SegmentKind::identity) return;
      ++members;
      only = &s.rules;
      seg.cost = saturating_add(seg.cost, s.cost);
    };
    for (std::size_t k = i; k <= j; ++k) take(in[k]);
    for (std::size_t k = o; k <= p; ++k) take(ou[k]);
    if (members == 0) {
      seg.kind = SegmentKind::identity;
    } else {
      seg.kind = group_kind(seg.src, seg.dst);
      if (members == 1 && strictly_ascending(*only)) {
        seg.rules = *only;
      } else {
        scratch.clear();
        auto collect = [&](const Segment& s) {
          if (s.kind != SegmentKind::identity) scratch.insert(scratch.end(), s.rules.begin(), s.rules.end());
        };
        for (std::size_t k = i; k <= j; ++k) collect(in[k]);
        for (std::size_t k = o; k <= p; ++k) collect(ou[k]);
        sort_unique(scratch);
        seg.rules = RuleSeq(scratch);
      }
    }
    push_merged(out, std::move(seg));

    i = j + (in[j].dst.byte_end <= gend.b ? 1 : 0);
    o = p + (ou[p].src.byte_end <= gend.b ? 1 : 0);
    bcur = gend;
  }
}

// The whole walk of compose into `result` (its segments replaced, its buffer reused).
std::expected<void, Error> compose_walk(const SpanMap& inner, const SpanMap& outer, SpanMap& result) {
  std::vector<Segment>& out = result.segments;
  out.clear();
  // Every emitted segment advances i or o, so this is an upper bound.
  out.reserve(inner.segments.size() + outer.segments.size());
  RuleList scratch;
  WalkState st;
  const auto e = dst_end(outer);
  auto done = walk(inner, outer.segments, outer.segments.size(), true, 0, Pos{e.first, e.second},
                   st, out, scratch);
  if (!done) return std::unexpected(std::move(done.error()));
  return {};
}

}  // namespace

namespace {

// The rule names of covered segments: the lists are told apart by their handles (equal lists
// have equal handles), and the names read only from the distinct ones, of which a span holds
// one or two (a number with absorbed hyphens and a space).
struct RuleGather {
  static constexpr std::size_t kDistinct = 4;
  RuleSeq distinct[kDistinct];
  std::size_t lists = 0;
  bool more = false;  // more distinct lists than kDistinct

  void add(RuleSeq rules) {
    if (rules.empty() || (lists > 0 && rules == distinct[lists - 1])) return;
    bool known = false;
    for (std::size_t j = 0; j + 1 < lists; ++j) known = known || rules == distinct[j];
    if (known) return;
    if (lists < kDistinct)
      distinct[lists++] = rules;
    else
      more = true;
  }

  // The de-duplicated, ascending names of S[first..last), whose lists were added.
  void names(const std::vector<Segment>& segs, std::size_t first, std::size_t last, RuleList& out) const {
    if (lists == 1 && distinct[0].strictly_ascending()) {
      out.assign(distinct[0].begin(), distinct[0].end());
    } else if (lists == 2 && distinct[0].size() == 1 && distinct[1].size() == 1) {
      // Two names (a number with hyphens and a space absorbed): distinct lists of one name each
      // name different rules, so the list is the two in order.
      std::string_view a = distinct[0][0], b = distinct[1][0];
      if (b < a) std::swap(a, b);
      const std::string_view both[2] = {a, b};
      out.assign(both, both + 2);
    } else if (lists > 0) {
      auto add_names = [&out](RuleSeq rules) {
        for (std::string_view name : rules)
          if (std::find(out.begin(), out.end(), name) == out.end()) out.push_back(name);
      };
      if (more) {
        for (std::size_t k = first; k < last; ++k) add_names(segs[k].rules);
      } else {
        for (std::size_t j = 0; j < lists; ++j) add_names(distinct[j]);
      }
      sort_unique(out);
    }
  }
};

// Whether to_source covers S[first..last) of `dst` (else its span is empty and has no rules).
bool covers_segments(const Span& dst, std::size_t first, std::size_t last) {
  return first < last && dst.byte_start <= dst.byte_end;
}

// The span and snap of to_source once the covered segments S[first..last) are known; false
// when nothing is covered (the span is then empty, where bs lands in the source).
bool source_ends(const SpanMap& map, const Span& dst, std::size_t first, std::size_t last, SourceSpan& r) {
  const std::vector<Segment>& segs = map.segments;
  const std::size_t n = segs.size();
  const std::uint32_t bs = dst.byte_start, be = dst.byte_end;
  // A reversed request is never covered, even when both ends fall inside one segment (where
  // the two searches alone would pick that segment and hand back a reversed source span).
  if (covers_segments(dst, first, last)) {
    const Segment& s = segs[first];
    if (s.kind == SegmentKind::identity && s.dst.byte_start < bs) {
      r.span.byte_start = bs - s.dst.byte_start + s.src.byte_start;
      r.span.char_start = dst.char_start - s.dst.char_start + s.src.char_start;
    } else {
      r.span.byte_start = s.src.byte_start;
      r.span.char_start = s.src.char_start;
      r.snapped = bs != s.dst.byte_start;
    }
    const Segment& t = segs[last - 1];
    if (t.kind == SegmentKind::identity && be < t.dst.byte_end) {
      r.span.byte_end = be - t.dst.byte_start + t.src.byte_start;
      r.span.char_end = dst.char_end - t.dst.char_start + t.src.char_start;
    } else {
      r.span.byte_end = t.src.byte_end;
      r.span.char_end = t.src.char_end;
      r.snapped = r.snapped || be != t.dst.byte_end;
    }
    return true;
  }

  // Nothing covered: an empty span at the point where bs lands in the source.
  const Segment& s = segs[std::min(first, n - 1)];
  auto p = map_point(s.dst, s.src, s.kind == SegmentKind::identity, Pos{bs, dst.char_start});
  Pos at = p ? *p : Pos{src_end(map).first, src_end(map).second};
  r.span = {at.b, at.b, at.c, at.c};
  return false;
}

// The costs of segments add up in wide counters, clamped once at the end: a sum of
// non-negative terms saturated term by term is the whole sum saturated.
struct CostSum {
  std::uint64_t whitespace = 0, separators = 0, syllables = 0, replaced = 0;
  void add(const NormalizationCost& c) {
    whitespace += c.absorbed_whitespace;
    separators += c.absorbed_separators;
    syllables += c.expanded_syllables;
    replaced += c.replaced_chars;
  }
  NormalizationCost total() const {
    return {clamp16(whitespace), clamp16(separators), clamp16(syllables), clamp16(replaced)};
  }
};

// The result of to_source once the covered segments S[first..last) are known.
SourceSpan covered_source(const SpanMap& map, const Span& dst, std::size_t first, std::size_t last) {
  SourceSpan r;
  if (!source_ends(map, dst, first, last, r)) return r;
  const std::vector<Segment>& segs = map.segments;
  CostSum cost;
  RuleGather rules;
  for (std::size_t k = first; k < last; ++k) {
    cost.add(segs[k].cost);
    rules.add(segs[k].rules);
  }
  r.cost = cost.total();
  rules.names(segs, first, last, r.rules);
  return r;
}

// partition_point(segs, pred) found by galloping from `hint` instead of halving the whole
// list: the same index whenever pred holds on a prefix of the list, as both searches' do on
// any valid map.
template <class Pred>
std::size_t gallop(const std::vector<Segment>& segs, std::size_t hint, Pred pred) {
  const std::size_t n = segs.size();
  const auto* base = segs.data();
  auto search = [&](std::size_t lo, std::size_t hi) {
    return static_cast<std::size_t>(std::partition_point(base + lo, base + hi, pred) - base);
  };
  if (hint > n) hint = n;
  if (hint < n && pred(segs[hint])) {
    std::size_t lo = hint + 1, step = 1;  // pred holds before lo
    for (;;) {
      if (lo + step > n) return search(lo, n);
      if (!pred(segs[lo + step - 1])) return search(lo, lo + step - 1);
      lo += step;
      step *= 2;
    }
  }
  std::size_t hi = hint, step = 1;  // pred fails from hi on
  for (;;) {
    if (hi < step) return search(0, hi);
    if (pred(segs[hi - step])) return search(hi - step + 1, hi);
    hi -= step;
    step *= 2;
  }
}

}  // namespace

SourceSpan to_source(const SpanMap& map, const Span& dst) {
  const std::vector<Segment>& segs = map.segments;
  if (segs.empty()) return {};
  const std::uint32_t bs = dst.byte_start, be = dst.byte_end;
  const std::size_t first = static_cast<std::size_t>(
      std::partition_point(segs.begin(), segs.end(),
                           [bs](const Segment& s) { return s.dst.byte_end <= bs; }) -
      segs.begin());
  const std::size_t last = static_cast<std::size_t>(
      std::partition_point(segs.begin(), segs.end(),
                           [be](const Segment& s) { return s.dst.byte_start < be; }) -
      segs.begin());
  return covered_source(map, dst, first, last);
}

namespace {

// The first segment that to_source covers for `dst`, searched from `hint` (updated to it); the
// map holds a segment.
std::size_t first_covered(const std::vector<Segment>& segs, const Span& dst, std::size_t& hint) {
  const std::uint32_t bs = dst.byte_start;
  auto before = [bs](const Segment& s) { return s.dst.byte_end <= bs; };
  // Spans come in text order a few segments apart: a short walk forward finds most, and the
  // gallop the rest (the same index, as pred holds on a prefix of the list).
  constexpr std::size_t kWalk = 8;
  std::size_t first = std::min(hint, segs.size());
  if (first < segs.size() && before(segs[first])) {
    for (std::size_t steps = 0; first < segs.size() && before(segs[first]); ++first)
      if (++steps == kWalk) {
        first = gallop(segs, first, before);
        break;
      }
  } else if (first > 0 && !before(segs[first - 1])) {
    // Behind the last span (a piece of a joined run before the one mapped last). A span that
    // starts in the segment where the last one began (it again, for its rules) is there already.
    first = gallop(segs, first, before);
  }
  hint = first;
  return first;
}

// The covered segments follow `first`: every segment before it ends by bs. (Where the search
// from the start would stop before `first`, on an empty span, no segment from `first` on starts
// before be either; a reversed span is mapped by `first` alone.) `each` is called on each
// segment covered; returns the end of the covered ones.
template <class Each>
std::size_t covered_after(const std::vector<Segment>& segs, const Span& dst, std::size_t first, Each each) {
  std::size_t last = first;
  for (; last < segs.size() && segs[last].dst.byte_start < dst.byte_end; ++last) each(segs[last]);
  return last;
}

}  // namespace

SourceSpan to_source(const SpanMap& map, const Span& dst, std::size_t& hint) {
  const std::vector<Segment>& segs = map.segments;
  if (segs.empty()) return {};
  const std::size_t first = first_covered(segs, dst, hint);
  return covered_source(map, dst, first, covered_after(segs, dst, first, [](const Segment&) {}));
}

// The two halves each find the covered segments and read them in the same walk.
SourceSpan to_source_without_rules(const SpanMap& map, const Span& dst, std::size_t& hint) {
  const std::vector<Segment>& segs = map.segments;
  if (segs.empty()) return {};
  const std::size_t first = first_covered(segs, dst, hint);
  CostSum cost;
  const std::size_t last = covered_after(segs, dst, first, [&](const Segment& g) { cost.add(g.cost); });
  SourceSpan r;
  if (source_ends(map, dst, first, last, r)) r.cost = cost.total();
  return r;
}

RuleList source_rules(const SpanMap& map, const Span& dst, std::size_t& hint) {
  RuleList out;
  const std::vector<Segment>& segs = map.segments;
  if (segs.empty()) return out;
  const std::size_t first = first_covered(segs, dst, hint);
  RuleGather rules;
  const std::size_t last = covered_after(segs, dst, first, [&](const Segment& g) { rules.add(g.rules); });
  if (covers_segments(dst, first, last)) rules.names(segs, first, last, out);
  return out;
}

SpanMap identity(std::string_view text) {
  SpanMap m;
  if (text.empty()) return m;
  auto n = static_cast<std::uint32_t>(text.size());
  std::uint32_t k = utf8::count_chars(text);
  m.segments.push_back(Segment{{}, Span{0, n, 0, k}, Span{0, n, 0, k}, {}, SegmentKind::identity});
  return m;
}

std::expected<SpanMap, Error> compose(const SpanMap& inner, const SpanMap& outer) {
  auto ie = dst_end(inner), oe = src_end(outer);
  if (ie != oe) return coord("inner output " + pair_text(ie) + " != outer input " + pair_text(oe));
  if (is_plain_identity(outer) && unchanged_by_identity<&Segment::dst>(inner)) return inner;
  if (is_plain_identity(inner) && unchanged_by_identity<&Segment::src>(outer)) return outer;
  SpanMap result;
  if (auto ok = compose_walk(inner, outer, result); !ok) return std::unexpected(std::move(ok.error()));
  return result;
}

std::expected<SpanMap, Error> compose(SpanMap&& inner, SpanMap&& outer) {
  auto ie = dst_end(inner), oe = src_end(outer);
  if (ie != oe) return coord("inner output " + pair_text(ie) + " != outer input " + pair_text(oe));
  if (is_plain_identity(outer) && unchanged_by_identity<&Segment::dst>(inner)) return std::move(inner);
  if (is_plain_identity(inner) && unchanged_by_identity<&Segment::src>(outer)) return std::move(outer);
  SpanMap result;
  if (auto ok = compose_walk(inner, outer, result); !ok) return std::unexpected(std::move(ok.error()));
  return result;
}

void compose_begin(ComposeStream& st, const SpanMap& inner, SpanMap& result, std::size_t reserve) {
  st = ComposeStream{};
  st.inner = &inner;
  st.result = &result;
  result.segments.clear();
  result.segments.reserve(inner.segments.size() + reserve);
  pages::advise_huge(result.segments.data(), result.segments.capacity() * sizeof(Segment));
}

namespace {

// compose_feed over the first `avail` segments of the batch.
void feed(ComposeStream& st, std::vector<Segment>& batch, std::size_t avail, bool last) {
  if (!batch.empty()) {
    st.outer_src_end = {batch.back().src.byte_end, batch.back().src.char_end};
    st.outer_dst_end = {batch.back().dst.byte_end, batch.back().dst.char_end};
  }
  if (st.failed) {
    st.dropped += avail;
    batch.erase(batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(avail));
    return;
  }
  WalkState ws{st.inner_index, st.outer_index, Pos{st.b_byte, st.b_char}};
  auto done = walk(*st.inner, batch, avail, last, st.dropped,
                   Pos{st.outer_dst_end.first, st.outer_dst_end.second}, ws, st.result->segments,
                   st.scratch);
  if (!done) {
    st.failed = true;
    st.error = std::move(done.error());
    return;
  }
  batch.erase(batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(ws.o));
  st.dropped += ws.o;
  st.inner_index = ws.i;
  st.outer_index = 0;
  st.b_byte = ws.bcur.b;
  st.b_char = ws.bcur.c;
}

}  // namespace

void compose_feed(ComposeStream& st, std::vector<Segment>& batch, bool last) {
  const std::size_t all_but_last = batch.empty() ? 0 : batch.size() - 1;
  // A failed walk drops all but the last segment even of the last batch.
  feed(st, batch, last && !st.failed ? batch.size() : all_but_last, last);
}

void compose_feed_settled(ComposeStream& st, std::vector<Segment>& batch) {
  feed(st, batch, batch.size(), false);
}

std::expected<void, Error> compose_end(ComposeStream& st) {
  // compose checks the ends before it walks, so that error comes first.
  auto ie = dst_end(*st.inner), oe = st.outer_src_end;
  if (ie != oe) return coord("inner output " + pair_text(ie) + " != outer input " + pair_text(oe));
  if (st.failed) return std::unexpected(std::move(st.error));
  return {};
}

}  // namespace kestrix
