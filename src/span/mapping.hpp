// Carrying normalized spans back to the source, composing maps, identity maps.
#pragma once
#include <expected>
#include <string_view>
#include <utility>
#include <vector>

#include "span/error.hpp"
#include "span/span.hpp"

namespace kestrix {

// Never fails. O(log n) to find the covered segments, then linear in the covered ones.
SourceSpan to_source(const SpanMap& map, const Span& dst);
// The same result on any valid map, for callers that map many spans in text order (detection):
// the search starts from `hint` (0 at first; updated to where the covered segments began), so
// it costs the logarithm of the distance from the previous span, not of the map's length.
SourceSpan to_source(const SpanMap& map, const Span& dst, std::size_t& hint);
// The two halves of that: the span, cost and snap with the rules left empty, and the rules
// alone, for a caller that keeps the rules of only some of the spans it maps (detection: of
// those that become findings). The same `hint` is searched from and updated.
SourceSpan to_source_without_rules(const SpanMap& map, const Span& dst, std::size_t& hint);
RuleList source_rules(const SpanMap& map, const Span& dst, std::size_t& hint);

// One identity segment covering text (no segment for an empty text).
SpanMap identity(std::string_view text);

// Appends an identity segment to a map being composed, folded into an identity segment before
// it (a composed map never holds two side by side).
inline void append_identity(std::vector<Segment>& out, const Span& src, const Span& dst) {
  if (!out.empty() && out.back().kind == SegmentKind::identity) {
    Segment& last = out.back();
    last.src.byte_end = src.byte_end;
    last.src.char_end = src.char_end;
    last.dst.byte_end = dst.byte_end;
    last.dst.char_end = dst.char_end;
  } else {
    out.push_back(Segment{{}, src, dst, {}, SegmentKind::identity});
  }
}

// inner: A -> B, outer: B -> C; the result maps A -> C. Linear in the total segment count.
std::expected<SpanMap, Error> compose(const SpanMap& inner, const SpanMap& outer);
// The same result, taking the maps over: composing with the identity map of a pass that
// changed nothing then hands the other map back without copying it. On error both maps are
// left as they were.
std::expected<SpanMap, Error> compose(SpanMap&& inner, SpanMap&& outer);
// compose(inner, outer) for an outer map handed over a batch at a time while it is being
// written: the pipeline composes each pass's segments as the pass produces them, so no pass
// map is ever held whole. The result and any error are exactly compose's. Linear in the total
// segment count, like compose.
struct ComposeStream {
  const SpanMap* inner = nullptr;
  SpanMap* result = nullptr;
  std::size_t inner_index = 0, outer_index = 0;  // where the walk stands
  std::size_t dropped = 0;  // outer segments used up and removed from the batch so far
  std::uint32_t b_byte = 0, b_char = 0;  // the walk's cursor in the shared (middle) text
  std::pair<std::uint32_t, std::uint32_t> outer_src_end{}, outer_dst_end{};
  bool failed = false;
  Error error;
  RuleList scratch;
};

// Starts composing `inner` with an outer map to come into `result` (its segments replaced,
// its buffer reused; `reserve` segments reserved for the outer ones). `result` must not be
// `inner`.
void compose_begin(ComposeStream& st, const SpanMap& inner, SpanMap& result, std::size_t reserve);
// Takes the next outer segments: `batch` holds, in order, the outer segments after the
// `st.dropped` ones already used. Unless `last`, its final segment may still change (a
// builder extends its last identity segment) and is left alone. The segments used up are
// removed from the front of `batch`.
void compose_feed(ComposeStream& st, std::vector<Segment>& batch, bool last);
// The same for a batch whose final segment is settled too (more outer segments follow, but none
// extends it): the walk goes as far as the batch lets it, and leaves the batch empty unless a
// group still needs segments to come.
void compose_feed_settled(ComposeStream& st, std::vector<Segment>& batch);
// After the feed with `last`: compose's error, if it has one.
std::expected<void, Error> compose_end(ComposeStream& st);

}  // namespace kestrix
