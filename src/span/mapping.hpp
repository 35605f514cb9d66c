// Carrying normalized spans back to the source, composing maps, identity maps.
#pragma once
#include <expected>
#include <string_view>

#include "span/error.hpp"
#include "span/span.hpp"

namespace kestrix {

// Never fails. O(log n) to find the covered segments, then linear in the covered ones.
SourceSpan to_source(const SpanMap& map, const Span& dst);
// The same result on any valid map, for callers that map many spans in text order (detection):
// the search starts from `hint` (0 at first; updated to where the covered segments began), so
// it costs the logarithm of the distance from the previous span, not of the map's length.
SourceSpan to_source(const SpanMap& map, const Span& dst, std::size_t& hint);

// One identity segment covering text (no segment for an empty text).
SpanMap identity(std::string_view text);

// inner: A -> B, outer: B -> C; the result maps A -> C. Linear in the total segment count.
std::expected<SpanMap, Error> compose(const SpanMap& inner, const SpanMap& outer);
// The same result, taking the maps over: composing with the identity map of a pass that
// changed nothing then hands the other map back without copying it. On error both maps are
// left as they were.
std::expected<SpanMap, Error> compose(SpanMap&& inner, SpanMap&& outer);
// The same result written into `result`, whose buffer is reused (the pipeline composes into
// the same two maps pass after pass). `result` must be neither input; on error its contents
// are unspecified.
std::expected<void, Error> compose_into(const SpanMap& inner, const SpanMap& outer, SpanMap& result);

}  // namespace kestrix
