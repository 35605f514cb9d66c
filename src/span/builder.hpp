// The builder every normalization pass writes through: one call per piece of source text,
// front to back, so the segments tile both texts by construction.
#pragma once
#include <string>
#include <string_view>
#include <utility>

#include "span/span.hpp"

namespace kestrix {

enum class AbsorbClass : std::uint8_t { whitespace, separator, other };

struct Builder {
  std::vector<Segment> segments;
  std::string out;  // normalized text so far; dst cursor == (out.size(), dc)
  std::uint32_t sb = 0, sc = 0;  // source cursor (bytes, chars)
  std::uint32_t db = 0, dc = 0;  // destination cursor
};

// Reserves `bytes` for the output text.
void reserve(Builder& b, std::size_t bytes);

// Copies text unchanged; folds into a preceding identity segment.
void keep(Builder& b, std::string_view text);
// The counted variants take the character count the caller already knows.
void keep(Builder& b, std::string_view text, std::uint32_t chars);

void replace(Builder& b, std::string_view src, std::string_view dst, std::string_view rule);
void numeral(Builder& b, std::string_view src, std::string_view dst, std::string_view rule);
void absorb(Builder& b, std::string_view src, std::string_view rule, AbsorbClass cls);
// Output without source. Not used by any pass and not offered to Python: maps holding
// insertions break the invariants and associativity of composition.
void insert(Builder& b, std::string_view dst, std::string_view rule);

std::pair<std::string, SpanMap> finish(Builder& b);

// Process-lifetime copy of a rule name (one lock-guarded set).
std::string_view intern_rule(std::string_view name);

}  // namespace kestrix
