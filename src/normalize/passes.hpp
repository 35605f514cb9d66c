// The five normalization passes. Each reads its input text alone and writes through a
// builder, so its map runs from its input to its output.
//
// A pass that changes nothing returns false and leaves `out` alone instead of producing a copy
// of its input and an identity map: the caller keeps the input as the output. The two are
// observably the same, and the shortcut lets a pass whose trigger characters are absent cost
// one byte scan. A pass that changes something returns true with its text and map in `out`,
// whose earlier contents it discards but whose buffers it reuses: the pipeline hands the same
// buffers from pass to pass instead of allocating (and faulting in) fresh ones for each.
// `text` must not view `out.text`.
//
// When `out.compose_after` is set, `out.map` receives compose(*compose_after, the pass's map)
// instead of the pass's map, composed while the pass writes (see ComposeStream), and the only
// possible error is that composition's.
#pragma once
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "normalize/config.hpp"
#include "span/error.hpp"
#include "span/span.hpp"

namespace kestrix {

struct PassOutput {
  std::string text;
  SpanMap map;  // input -> text (never identity), or composed after compose_after
  const SpanMap* compose_after = nullptr;  // must not be &map
  std::vector<Segment> batch;  // the buffer of the pass's own segments while composing
  // When set: the pass's input is this string, which it rewrites in place when it changes
  // something; `text` is then left empty.
  std::string* in_place = nullptr;
  // When set with in_place: the pass copies its input there before it first writes over it,
  // for a caller that reads the text as it was.
  std::string* keep_input = nullptr;
  // Where the first change takes the buffer of `map` from when it has none: one of the
  // pipeline's buffers kept per thread (looked up only then) for a text of the given length,
  // or nullptr.
  std::vector<Segment> (*spare_map)(std::size_t text_bytes) = nullptr;
};
using PassResult = std::expected<bool, Error>;

// Composes conjoining Hangul jamo (L V, L V T, syllable T) into precomposed syllables.
PassResult pass_nfc(std::string_view text, PassOutput& out);
// Folds full-width ASCII forms, Unicode spaces and Unicode dashes to ASCII.
PassResult pass_fold(std::string_view text, PassOutput& out);
// Reads Hangul numerals (digit by digit or with units) as ASCII digits, under the length and
// context thresholds of the config.
PassResult pass_hangul(std::string_view text, const Config& config, PassOutput& out);
// Turns I, l, O and o standing between digit-like characters into 1 and 0.
PassResult pass_lookalike(std::string_view text, PassOutput& out);
// Deletes separator runs standing between digit-like characters.
PassResult pass_separator(std::string_view text, PassOutput& out);

}  // namespace kestrix
