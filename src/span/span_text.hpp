// Spans against a concrete text: building one from a character range, cutting one out.
// Failures are messages for ValueError, not span-map errors.
#pragma once
#include <expected>
#include <string>
#include <string_view>

#include "span/span.hpp"

namespace kestrix {

std::expected<Span, std::string> span_from_char_range(std::string_view text, std::uint32_t char_start,
                                                      std::uint32_t char_end);

// The piece of text at the span's byte range, checked against length and char boundaries.
std::expected<std::string_view, std::string> slice(const Span& span, std::string_view text);

}  // namespace kestrix
