// The one-line descriptions of the span layer's values that their Python reprs show.
#pragma once
#include <string>

#include "span/span.hpp"

namespace kestrix {

std::string describe(const Span& s);               // Span(byte=0..6, char=0..2)
std::string describe(const SourceSpan& s);         // SourceSpan(byte=.., char=.., snapped=true, rules=["a"])
std::string describe(const NormalizationCost& c);  // NormalizationCost(absorbed_whitespace=0, ...)
std::string describe(const Segment& s);            // Segment(kind="replace", src=0..3, dst=0..1)
std::string describe(const SpanMap& m);            // SpanMap(segments=2, src_bytes=6, dst_bytes=4)

// The byte range of a span as "start..end".
std::string byte_range(const Span& s);

}  // namespace kestrix
