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

}  // namespace kestrix
