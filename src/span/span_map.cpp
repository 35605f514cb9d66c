#include "span/span_map.hpp"

#include "text/json_writer.hpp"

namespace kestrix {

std::expected<void, Error> validate(const SpanMap& map) {
  std::uint32_t sb = 0, sc = 0, db = 0, dc = 0;
  auto at = [](std::size_t i, std::string msg) {
    return std::unexpected(Error::invariant(static_cast<std::uint32_t>(i), std::move(msg)));
  };
  auto pos = [](std::uint32_t eb, std::uint32_t ec, std::uint32_t fb, std::uint32_t fc) {
    return "expected byte " + std::to_string(eb) + " char " + std::to_string(ec) + ", found byte " +
           std::to_string(fb) + " char " + std::to_string(fc);
  };
  for (std::size_t i = 0; i < map.segments.size(); ++i) {
    const Segment& s = map.segments[i];
    if (s.src.byte_start != sb || s.src.char_start != sc)
      return at(i, "src not contiguous: " + pos(sb, sc, s.src.byte_start, s.src.char_start));
    if (s.dst.byte_start != db || s.dst.char_start != dc)
      return at(i, "dst not contiguous: " + pos(db, dc, s.dst.byte_start, s.dst.char_start));
    if (s.src.byte_end < s.src.byte_start || s.dst.byte_end < s.dst.byte_start)
      return at(i, "reversed byte range");
    if (s.src.char_end < s.src.char_start || s.dst.char_end < s.dst.char_start)
      return at(i, "reversed char range");
    std::uint32_t src_bytes = s.src.byte_end - s.src.byte_start;
    std::uint32_t dst_bytes = s.dst.byte_end - s.dst.byte_start;
    std::uint32_t src_chars = s.src.char_end - s.src.char_start;
    std::uint32_t dst_chars = s.dst.char_end - s.dst.char_start;
    switch (s.kind) {
      case SegmentKind::replace:
        if (src_bytes == 0 || dst_bytes == 0) return at(i, "replace segment must have both sides");
        break;
      case SegmentKind::del:
        if (src_bytes == 0 || dst_bytes != 0)
          return at(i, "delete segment must consume src and produce nothing");
        break;
      case SegmentKind::expand:
        if (src_chars >= dst_chars) return at(i, "expand segment must grow in chars");
        break;
      case SegmentKind::identity:
        if (src_bytes != dst_bytes || src_chars != dst_chars)
          return at(i, "identity segment has unequal lengths");
        if (!s.rules.empty() || !s.cost.is_zero())
          return at(i, "identity segment carries rules or cost");
        break;
    }
    if (src_bytes == 0)
      return at(i, "segment has an empty source range; insertion is not supported");
    sb = s.src.byte_end;
    sc = s.src.char_end;
    db = s.dst.byte_end;
    dc = s.dst.char_end;
  }
  return {};
}

std::pair<std::uint32_t, std::uint32_t> src_end(const SpanMap& map) {
  if (map.segments.empty()) return {0, 0};
  const Span& s = map.segments.back().src;
  return {s.byte_end, s.char_end};
}

std::pair<std::uint32_t, std::uint32_t> dst_end(const SpanMap& map) {
  if (map.segments.empty()) return {0, 0};
  const Span& s = map.segments.back().dst;
  return {s.byte_end, s.char_end};
}

bool is_identity(const SpanMap& map) {
  for (const Segment& s : map.segments)
    if (s.kind != SegmentKind::identity) return false;
  return true;
}

void write_json(std::string& out, const Span& s) {
  out += "{\"byte\":{\"start\":";
  json::write_uint(out, s.byte_start);
  out += ",\"end\":";
  json::write_uint(out, s.byte_end);
  out += "},\"char\":{\"start\":";
  json::write_uint(out, s.char_start);
  out += ",\"end\":";
  json::write_uint(out, s.char_end);
  out += "}}";
}

void write_json(std::string& out, const NormalizationCost& c) {
  out += "{\"absorbed_whitespace\":";
  json::write_uint(out, c.absorbed_whitespace);
  out += ",\"absorbed_separators\":";
  json::write_uint(out, c.absorbed_separators);
  out += ",\"expanded_syllables\":";
  json::write_uint(out, c.expanded_syllables);
  out += ",\"replaced_chars\":";
  json::write_uint(out, c.replaced_chars);
  out += "}";
}

namespace {
template <class Rules>
void write_rules(std::string& out, const Rules& rules) {
  out.push_back('[');
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (i) out.push_back(',');
    json::write_string(out, rules[i]);
  }
  out.push_back(']');
}
}  // namespace

void write_json_rules(std::string& out, const RuleList& rules) { write_rules(out, rules); }
void write_json_rules(std::string& out, const RuleSeq& rules) { write_rules(out, rules); }

void write_json(std::string& out, const Segment& s) {
  out += "{\"src\":";
  write_json(out, s.src);
  out += ",\"dst\":";
  write_json(out, s.dst);
  out += ",\"kind\":";
  json::write_string(out, kind_name(s.kind));
  out += ",\"rules\":";
  write_json_rules(out, s.rules);
  out += ",\"cost\":";
  write_json(out, s.cost);
  out += "}";
}

void write_json(std::string& out, const SpanMap& m) {
  out += "{\"segments\":[";
  for (std::size_t i = 0; i < m.segments.size(); ++i) {
    if (i) out.push_back(',');
    write_json(out, m.segments[i]);
  }
  out += "]}";
}

void write_json(std::string& out, const SourceSpan& s) {
  out += "{\"span\":";
  write_json(out, s.span);
  out += ",\"snapped\":";
  json::write_bool(out, s.snapped);
  out += ",\"rules\":";
  write_json_rules(out, s.rules);
  out += ",\"cost\":";
  write_json(out, s.cost);
  out += "}";
}

}  // namespace kestrix
