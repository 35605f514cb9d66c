// The normalization pipeline: nfc, fold, hangul, lookalike, separator, each switched by its
// flag, composed into one map from the caller's text to the final text.
#pragma once
#include <expected>
#include <string>
#include <string_view>

#include "normalize/config.hpp"
#include "span/error.hpp"
#include "span/span.hpp"

namespace kestrix {

struct Normalized {
  std::string text;
  SpanMap map;  // source -> text
};

std::expected<Normalized, Error> normalize(std::string_view source, const Config& config);

// The same, consuming the source: its buffer is let go as soon as the first pass has copied
// what it needs, and becomes the normalized text when no pass changes anything, so a long text
// is not held twice while the later passes and their maps are built.
std::expected<Normalized, Error> normalize(std::string&& source, const Config& config);

// Lets go of a map made by normalize whose caller is done with it: the buffer of its segments
// may serve the next call on this thread.
void recycle(SpanMap&& map);

}  // namespace kestrix
