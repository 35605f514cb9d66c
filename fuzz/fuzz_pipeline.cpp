// Arbitrary text through normalize, detect and mask with several policy sets: the composed
// map validates and spans both texts, every finding is a well-formed piece of the source,
// findings are ordered and never nested, each maps back and finds its cues as the plain paths
// do (the pieces of joined runs included), masking copies everything outside applied spans and
// leaves no byte of a finding visible, and tokenize + unmask gives the input back. The forms that consume their text give what
// the forms that view it give.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "detect/context.hpp"
#include "detect/detect.hpp"
#include "detect/report_json.hpp"
#include "fuzz/fuzz_common.hpp"
#include "mask/mask.hpp"
#include "normalize/pipeline.hpp"
#include "span/mapping.hpp"
#include "span/span_map.hpp"
#include "span/span_text.hpp"
#include "text/utf32.hpp"
#include "text/utf8.hpp"

using namespace kestrix;

namespace {

Config config_from(fuzz::Reader& in) {
  Config c;
  std::uint8_t flags = in.byte();
  c.nfc = !(flags & 1);
  c.fold = !(flags & 2);
  c.hangul = !(flags & 4);
  c.lookalike = !(flags & 8);
  c.separator = !(flags & 16);
  if (flags & 32) c.context_window = in.byte();
  if (flags & 64) c.numeral_min_digits_without_context = in.byte() % 12;
  if (flags & 128) c.min_score = static_cast<float>(in.byte()) / 128.0f;
  return c;
}

// What masking must produce, rebuilt from the applied findings alone: each one from its start,
// or from the end of the previous one when it reaches past it.
std::string expected_output(std::string_view text, const MaskOutput& out, const PolicySet& ps) {
  std::string s;
  std::uint32_t cursor = 0;
  RestoreMap scratch = out.restore ? RestoreMap{out.restore->prefix, {}} : RestoreMap{};
  for (const Finding& f : out.applied) {
    if (f.source.byte_end <= cursor) fuzz::fail("applied finding inside an earlier one");
    const std::uint32_t start = std::max(f.source.byte_start, cursor);
    s.append(text.substr(cursor, start - cursor));
    render(s, policy_for(ps, f.entity), f.entity, text.substr(start, f.source.byte_end - start),
           &scratch);
    cursor = f.source.byte_end;
  }
  s.append(text.substr(cursor));
  return s;
}

// No byte of any finding stays visible: every finding lies inside the applied spans.
void check_nothing_visible(const std::vector<Finding>& findings, const MaskOutput& out) {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> covered;  // merged, in order
  for (const Finding& f : out.applied) {
    if (!covered.empty() && f.source.byte_start <= covered.back().second)
      covered.back().second = std::max(covered.back().second, f.source.byte_end);
    else
      covered.emplace_back(f.source.byte_start, f.source.byte_end);
  }
  for (const Finding& f : findings) {
    if (f.source.byte_start == f.source.byte_end) continue;
    bool inside = false;
    for (auto [a, b] : covered) inside = inside || (a <= f.source.byte_start && f.source.byte_end <= b);
    if (!inside) fuzz::fail("a finding stays visible after masking");
  }
}

void check_mask(std::string_view text, const Config& c, const PolicySet& ps,
                const std::vector<Finding>& findings) {
  auto out = mask(text, ps, c);
  if (!out) fuzz::fail("mask failed: " + out.error().display());
  if (out->text != expected_output(text, *out, ps)) fuzz::fail("mask changed text outside findings");
  check_nothing_visible(findings, *out);
  if (tokenizes(ps) != out->restore.has_value()) fuzz::fail("restore presence");
  if (out->restore) {
    auto back = unmask(out->text, *out->restore);
    if (ps.overrides.empty() && (!back || *back != text)) fuzz::fail("tokenize + unmask lost text");
    std::string json;
    write_json(json, *out->restore);
    auto again = restore_map_from_json(json);
    if (!again || again->entries.size() != out->restore->entries.size()) fuzz::fail("restore JSON");
  }
}

// The cue table each rule searches (none for e-mail).
det::CueTable cue_table_of(std::string_view rule) {
  using namespace det::cues;
  if (rule.starts_with("resident.korean")) return resident;
  if (rule.starts_with("resident.foreigner")) return foreigner;
  if (rule == "business.10") return business;
  if (rule == "card.luhn") return card;
  if (rule.starts_with("phone.")) return phone;
  if (rule == "license.12") return license;
  if (rule == "account.length") return account;
  if (rule.starts_with("birth.")) return birth;
  if (rule.starts_with("passport.")) return passport;
  return {};
}

template <class T>
std::string json_of(const T& v) {
  std::string out;
  write_json(out, v);
  return out;
}

std::string json_of(const Report& r) {
  std::string out = r.normalized_text;
  for (const Finding& f : r.findings) write_json(out, f);
  for (const Rejection& x : r.rejections) write_json(out, x);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  Config c = config_from(in);
  std::string text = fuzz::valid_utf8(in.rest());
  {
    // The module reads long texts as code points and transcodes them: the round trip is exact.
    std::u32string points;
    for (std::size_t i = 0; i < text.size();) points.push_back(utf8::decode(text, i));
    std::string back(utf32::room(points.size()), '\0');
    auto written = utf32::to_utf8(points.data(), points.size(), back.data());
    if (!written || back.compare(0, *written, text) != 0 || *written != text.size())
      fuzz::fail("code point round trip differs");
  }

  auto n = normalize(text, c);
  if (!n) fuzz::fail("normalize failed: " + n.error().display());
  if (!validate(n->map)) fuzz::fail("normalized map does not validate");
  if (!text.empty()) {
    if (src_end(n->map) != std::pair{static_cast<std::uint32_t>(text.size()), utf8::count_chars(text)})
      fuzz::fail("map src end");
    if (dst_end(n->map) !=
        std::pair{static_cast<std::uint32_t>(n->text.size()), utf8::count_chars(n->text)})
      fuzz::fail("map dst end");
  }

  auto r = detect(text, c);
  if (!r) fuzz::fail("detect failed: " + r.error().display());
  if (r->normalized_text != n->text) fuzz::fail("detect normalized differently");
  const auto& fs = r->findings;
  for (std::size_t i = 0; i < fs.size(); ++i) {
    const Span& s = fs[i].source;
    auto piece = slice(s, text);
    if (!piece) fuzz::fail("finding off the source: " + piece.error());
    if (s.char_end - s.char_start != utf8::count_chars(*piece)) fuzz::fail("finding char span");
    if (!slice(fs[i].normalized, n->text)) fuzz::fail("finding off the normalized text");
    if (!(fs[i].score >= 0 && fs[i].score <= 2)) fuzz::fail("score out of range");
    if (i > 0) {
      const Span& p = fs[i - 1].source;
      if (p.byte_start > s.byte_start || (p.byte_start == s.byte_start && p.byte_end > s.byte_end))
        fuzz::fail("findings out of order");
    }
    for (std::size_t j = 0; j < fs.size(); ++j) {
      const Span& o = fs[j].source;
      if (j != i && o.byte_start <= s.byte_start && s.byte_end <= o.byte_end &&
          s.byte_end - s.byte_start < o.byte_end - o.byte_start)
        fuzz::fail("finding nested in another");
    }
  }

  // Findings are mapped back with a cursor and their cues looked up with one that walks back
  // for the pieces of a joined run: the plain mapping and a fresh index must agree.
  det::CueIndex index;
  det::build_cue_index(n->text, index);
  for (const Finding& f : fs) {
    if (f.rule != "phone.international") {  // its cost leaves out the country code's
      SourceSpan plain = to_source(n->map, f.normalized);
      // A dotted birth date's own dots and spaces cost nothing.
      const bool own_cost = f.rule == "birth.dot";
      if (plain.span != f.source || !(plain.rules == f.normalizations) ||
          (!own_cost && !(plain.cost == f.cost)) || plain.snapped != f.snapped)
        fuzz::fail("a finding maps back otherwise than the plain mapping");
    }
    const det::CueTable table = cue_table_of(f.rule);
    if (table.count == 0) continue;
    det::CueCursor fresh;
    det::reset_cursor(index, fresh);
    det::HitList hits;
    det::find_hits(index, fresh, f.normalized.char_start, f.normalized.char_end,
                   c.context_window, table, hits);
    if (!std::equal(hits.begin(), hits.end(), f.context_hits.begin(), f.context_hits.end(),
                    [](const ContextHit& a, const ContextHit& b) {
                      return a.cue == b.cue && a.distance == b.distance && a.weight == b.weight;
                    }))
      fuzz::fail("a finding's cues differ from a fresh lookup");
  }

  auto n2 = normalize(std::string(text), c);
  if (!n2 || n2->text != n->text || json_of(n2->map) != json_of(n->map))
    fuzz::fail("normalize of a consumed text differs");
  auto r2 = detect(std::string(text), c);
  if (!r2 || json_of(*r2) != json_of(*r)) fuzz::fail("detect of a consumed text differs");

  check_mask(text, c, PolicySet{Policy::tokenize(), {}}, fs);
  check_mask(text, c, PolicySet{}, fs);
  PolicySet mixed{Policy::partial(2, 2, U'#'), {}};
  mixed = with_entity(mixed, Entity::phone, Policy::tokenize());
  mixed = with_entity(mixed, Entity::email, Policy::hash("k", 16));
  mixed = with_entity(mixed, Entity::resident, Policy::redact_fill(U'●'));
  check_mask(text, c, mixed, fs);
  return 0;
}
