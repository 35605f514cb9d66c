// The five normalization passes. Each reads its input text alone and writes through a
// builder, so its map runs from its input to its output.
//
// A pass that changes nothing returns std::nullopt instead of a copy of its input and an
// identity map: the caller keeps the input as the output. The two are observably the same,
// and the shortcut lets a pass whose trigger characters are absent cost one byte scan.
#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "normalize/config.hpp"
#include "span/span.hpp"

namespace kestrix {

struct PassOutput {
  std::string text;
  SpanMap map;  // input -> text; never identity
};
using PassResult = std::optional<PassOutput>;

// Composes conjoining Hangul jamo (L V, L V T, syllable T) into precomposed syllables.
PassResult pass_nfc(std::string_view text);
// Folds full-width ASCII forms, Unicode spaces and Unicode dashes to ASCII.
PassResult pass_fold(std::string_view text);
// Reads Hangul numerals (digit by digit or with units) as ASCII digits, under the length and
// context thresholds of the config.
PassResult pass_hangul(std::string_view text, const Config& config);
// Turns I, l, O and o standing between digit-like characters into 1 and 0.
PassResult pass_lookalike(std::string_view text);
// Deletes separator runs standing between digit-like characters.
PassResult pass_separator(std::string_view text);

}  // namespace kestrix
