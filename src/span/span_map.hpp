// Invariant check and JSON of span maps, and the JSON forms of spans and costs.
#pragma once
#include <expected>
#include <string>

#include "span/error.hpp"
#include "span/span.hpp"

namespace kestrix {

// Checks that the segments tile both sides from (0, 0) in order and that each kind agrees
// with its lengths; the first failing check names its segment.
std::expected<void, Error> validate(const SpanMap& map);

// (byte, char) end of the source side and of the normalized side; (0, 0) when empty.
std::pair<std::uint32_t, std::uint32_t> src_end(const SpanMap& map);
std::pair<std::uint32_t, std::uint32_t> dst_end(const SpanMap& map);
bool is_identity(const SpanMap& map);

void write_json(std::string& out, const Span& s);
void write_json(std::string& out, const NormalizationCost& c);
void write_json(std::string& out, const Segment& s);
void write_json(std::string& out, const SpanMap& m);
void write_json(std::string& out, const SourceSpan& s);
void write_json_rules(std::string& out, const RuleList& rules);
void write_json_rules(std::string& out, const RuleSeq& rules);

}  // namespace kestrix
