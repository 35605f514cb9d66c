// The normalization pipeline: nfc, fold, hangul, lookalike, separator, each switched by its
// flag, composed into one map from the caller's text to the final text.
#pragma once
#include <expected>
#include <string>
#include <string_view>

#include "normalize/config.hpp"
#include "span/error.hpp"
#include "span/span.hpp"
#include "text/kinds.hpp"

namespace kestrix {

struct Normalized {
  std::string text;
  SpanMap map;  // source -> text
};

std::expected<Normalized, Error> normalize(std::string_view source, const Config& config);

// The same, consuming the source: the passes rewrite its buffer in place, and it becomes the
// normalized text, so a long text is never held twice.
std::expected<Normalized, Error> normalize(std::string&& source, const Config& config);

// The passes of normalize for callers that can do without a copy of an unchanged text and its
// identity map: false when no pass changes anything (the normalized text is then `source`
// itself, its map the identity, and `out` is left alone), else true with the normalized text
// and its map in `out`. `owned_source`, when given, holds `source`; it may be consumed when
// true is returned, and is left as it is otherwise. `kinds`, when given, receives the kinds of
// bytes the normalized text may hold (see kinds::of). `source_copy`, when given with
// `owned_source`, receives a copy of the source when true is returned (made only then, before
// the first pass that changes the text writes over it).
std::expected<bool, Error> normalize_changes(std::string_view source, std::string* owned_source,
                                             const Config& config, Normalized& out,
                                             kinds::Set* kinds = nullptr, std::string* source_copy = nullptr);

// A copy of `source` made as normalize makes the copy of an unchanged text.
std::string copy_of(std::string_view source);

// Lets go of a map made by normalize whose caller is done with it: the buffer of its segments
// may serve the next call on this thread.
void recycle(SpanMap&& map);

}  // namespace kestrix
