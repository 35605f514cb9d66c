// The detection pass: normalize, scan, evaluate rules and cues, score, decide, settle competing
// readings and nested spans, map back to the source and order the report.
#include "detect/detect.hpp"

#include <algorithm>

#include "detect/context.hpp"
#include "detect/rules.hpp"
#include "detect/scanner.hpp"
#include "normalize/pipeline.hpp"
#include "span/mapping.hpp"
#include "text/pages.hpp"

namespace kestrix {
namespace {

using det::CueIndex;
using det::CueTable;
using det::RuleMatch;

// clamp(base + context*C - aw*a - as*b - es*e - rc*r, 0, 2) in float32, term by term in this
// order; NaN becomes 0.
float score_of(float base, float c, const NormalizationCost& cost, const Weights& w) {
  float s = base + w.context * c;
  s = s - w.absorbed_whitespace * static_cast<float>(cost.absorbed_whitespace);
  s = s - w.absorbed_separator * static_cast<float>(cost.absorbed_separators);
  s = s - w.expanded_syllable * static_cast<float>(cost.expanded_syllables);
  s = s - w.replaced_char * static_cast<float>(cost.replaced_chars);
  if (!(s >= 0.0f)) return 0.0f;
  return s > 2.0f ? 2.0f : s;
}

float base_of(float prior, ChecksumStatus status, const Weights& w) {
  switch (status) {
    case ChecksumStatus::passed: return prior + w.checksum_passed;
    case ChecksumStatus::failed: return prior - w.checksum_failed;
    case ChecksumStatus::not_applicable: break;
  }
  return prior;
}

Certainty context_certainty(float c) { return c > 0.0f ? Certainty::probable : Certainty::possible; }

Finding make_finding(const SourceSpan& src, const Span& normalized) {
  Finding f;
  f.normalizations = src.rules;
  f.cost = src.cost;
  f.snapped = src.snapped;
  f.source = src.span;
  f.normalized = normalized;
  return f;
}

// Per-call state shared by the passport and digit-run steps.
struct Pass {
  const Config& config;
  std::string_view text;  // normalized
  const SpanMap& map;
  Report& report;
  CueIndex index;
  det::CueCursor cursor;
  bool indexed = false;
  det::HitList hits;
  std::size_t map_hint = 0;  // candidates come in text order: to_source walks forward

  // Hits of `table` around `span` into `out`; the cue index is built on first use, so a text
  // without candidates is never searched for cue words.
  float context(const Span& span, CueTable table, det::HitList& out) {
    if (!indexed) {
      det::build_cue_index(text, index);
      det::reset_cursor(index, cursor);
      indexed = true;
    }
    det::find_hits(index, cursor, span.char_start, span.char_end, config.context_window, table,
                   out);
    return det::context_score(out);
  }

  void reject(const SourceSpan& src, float score, Entity e, RejectReason r) {
    report.rejections.push_back(Rejection{src.span, score, e, r});
  }

  void emails(const std::vector<Span>& spans) {
    for (const Span& span : spans) {
      SourceSpan src = to_source(map, span, map_hint);
      Finding f = make_finding(src, span);
      f.status = ChecksumStatus::not_applicable;
      f.reason = det::kEmailReason;
      f.rule = "email.structural";
      f.score = 0.9f;
      f.certainty = Certainty::probable;
      f.entity = Entity::email;
      report.findings.push_back(std::move(f));
    }
  }

  void passports(const std::vector<Span>& spans) {
    const Weights& w = config.weights;
    det::HitList veto;
    for (const Span& span : spans) {
      SourceSpan src = to_source(map, span, map_hint);
      float c = context(span, det::cues::passport, hits);
      float v = context(span, det::cues::veto, veto);
      float score = score_of(0.1f, c, src.cost, w);
      if (v > c && v >= config.min_veto) {
        reject(src, score, Entity::passport, RejectReason::business_context);
      } else if (c < config.min_context) {
        reject(src, score, Entity::passport, RejectReason::no_context);
      } else if (score < config.min_score) {
        reject(src, score, Entity::passport, RejectReason::below_threshold);
      } else {
        Finding f = make_finding(src, span);
        f.status = ChecksumStatus::not_applicable;
        f.reason = det::kPassportReason;
        f.context_hits.assign(hits.begin(), hits.end());
        f.rule = "passport.shape";
        f.score = score;
        f.certainty = context_certainty(c);
        f.entity = Entity::passport;
        report.findings.push_back(std::move(f));
      }
    }
  }

  void digit_runs(const std::vector<Span>& spans) {
    const Weights& w = config.weights;
    std::uint8_t digits[det::kMaxRuleLength];
    char text_form[det::kMaxRuleLength];
    det::RuleMatches matches;
    det::HitList veto, best_hits;
    for (const Span& span : spans) {
      std::size_t len = span.byte_end - span.byte_start;  // ASCII: bytes are characters
      if (len < det::kMinRuleLength || len > det::kMaxRuleLength) continue;
      det::digit_array(text.substr(span.byte_start, len), digits, text_form);
      det::evaluate_rules(digits, std::string_view(text_form, len), matches);
      if (matches.size == 0) continue;
      SourceSpan src = to_source(map, span, map_hint);
      float v = context(span, det::cues::veto, veto);

      const RuleMatch* best = nullptr;
      float best_score = 0;
      Certainty best_certainty = Certainty::possible;
      for (const RuleMatch& m : matches) {
        float c = context(span, m.cues, hits);
        float score = score_of(base_of(m.prior, m.status, w), c, src.cost, w);
        Certainty certainty = m.ceiling;
        bool accepted = false;
        if (m.status == ChecksumStatus::passed) {
          if (m.needs_context && c < config.min_context) {
            reject(src, score, m.entity, RejectReason::no_context);
          } else if (score < config.min_score) {
            reject(src, score, m.entity, RejectReason::below_threshold);
          } else {
            accepted = true;
          }
        } else if (v > c && v >= config.min_veto) {
          reject(src, score, m.entity, RejectReason::business_context);
        } else if (m.needs_context && c < config.min_context) {
          reject(src, score, m.entity, RejectReason::no_context);
        } else if (score >= config.min_score) {
          accepted = true;
          certainty = std::min(m.ceiling, context_certainty(c));
        } else {
          reject(src, score, m.entity,
                 m.status == ChecksumStatus::failed ? RejectReason::checksum_failed
                                                    : RejectReason::below_threshold);
        }
        if (!accepted) continue;
        if (best && !(score > best_score)) {
          reject(src, score, m.entity, RejectReason::outranked);
          continue;
        }
        if (best) reject(src, best_score, best->entity, RejectReason::outranked);
        best = &m;
        best_score = score;
        best_certainty = certainty;
        best_hits.size = hits.size;
        std::copy(hits.begin(), hits.end(), best_hits.items.begin());
      }
      if (!best) continue;
      Finding f = make_finding(src, span);
      f.status = best->status;
      f.reason = best->reason;
      f.context_hits.assign(best_hits.begin(), best_hits.end());
      f.rule = best->rule;
      f.score = best_score;
      f.certainty = best_certainty;
      f.entity = best->entity;
      report.findings.push_back(std::move(f));
    }
  }
};

// Source byte span of an item and its index: sorting these instead of the items keeps the
// sorts off the large Finding records.
struct Key {
  std::uint32_t start, end, index;
};

template <class T>
std::vector<Key> keys_of(const std::vector<T>& items) {
  std::vector<Key> keys(items.size());
  for (std::uint32_t k = 0; k < keys.size(); ++k)
    keys[k] = {items[k].source.byte_start, items[k].source.byte_end, k};
  return keys;
}

// Sorts keys that mostly arrive as a few ascending runs (each scanner reports in text order,
// and the report lists them scanner after scanner) by merging the runs; with many runs, by
// std::sort. The same order as std::sort wherever `less` orders every pair of keys.
template <class Less>
void sort_runs(std::vector<Key>& keys, Less less) {
  constexpr std::size_t kMaxRuns = 16;
  std::vector<std::size_t> bounds{0};
  for (std::size_t k = 1; k < keys.size(); ++k) {
    if (!less(keys[k], keys[k - 1])) continue;
    if (bounds.size() == kMaxRuns) {
      std::sort(keys.begin(), keys.end(), less);
      return;
    }
    bounds.push_back(k);
  }
  bounds.push_back(keys.size());
  while (bounds.size() > 2) {
    std::vector<std::size_t> merged{0};
    for (std::size_t r = 0; r + 1 < bounds.size(); r += 2) {
      const std::size_t end = r + 2 < bounds.size() ? bounds[r + 2] : bounds[r + 1];
      if (r + 2 < bounds.size())
        std::inplace_merge(keys.begin() + static_cast<std::ptrdiff_t>(bounds[r]),
                           keys.begin() + static_cast<std::ptrdiff_t>(bounds[r + 1]),
                           keys.begin() + static_cast<std::ptrdiff_t>(end), less);
      merged.push_back(end);
    }
    bounds = std::move(merged);
  }
}

// Removes every finding whose source byte span lies inside another finding's and is strictly
// shorter, appending it to the rejections as outranked. Containment is decided on the complete
// list first. With spans sorted by start ascending and end descending, a span is inside a
// longer one exactly when an earlier start reached at least its end, or a span with the same
// start ends later. (Spans that are equal are judged alike whatever their order.)
void remove_nested(Report& report) {
  auto& fs = report.findings;
  if (fs.size() < 2) return;
  auto before = [](const Key& a, const Key& b) {
    if (a.start != b.start) return a.start < b.start;
    return a.end > b.end;
  };
  // Each scanner's candidates come in text order, so the list is often in order already and
  // needs no keys at all.
  bool in_order = true;
  for (std::size_t k = 1; k < fs.size() && in_order; ++k)
    in_order = !before(Key{fs[k].source.byte_start, fs[k].source.byte_end, 0},
                       Key{fs[k - 1].source.byte_start, fs[k - 1].source.byte_end, 0});
  std::vector<Key> order;
  if (!in_order) {
    order = keys_of(fs);
    sort_runs(order, before);
  }
  auto key = [&](std::size_t k) {
    return in_order ? Key{fs[k].source.byte_start, fs[k].source.byte_end,
                          static_cast<std::uint32_t>(k)}
                    : order[k];
  };
  std::vector<bool> nested;
  bool have_before = false;
  std::uint32_t reach_before = 0;  // largest end among spans with a smaller start
  for (std::size_t g = 0; g < fs.size();) {
    const Key first = key(g);
    std::uint32_t group_end = first.end;  // largest end in this group
    std::size_t h = g;
    for (; h < fs.size(); ++h) {
      const Key k = key(h);
      if (k.start != first.start) break;
      if ((have_before && reach_before >= k.end) || group_end > k.end) {
        if (nested.empty()) nested.assign(fs.size(), false);
        nested[k.index] = true;
      }
    }
    if (!have_before || group_end > reach_before) reach_before = group_end;
    have_before = true;
    g = h;
  }
  if (nested.empty()) return;
  std::vector<Finding> kept;
  kept.reserve(fs.size());
  for (std::size_t k = 0; k < fs.size(); ++k) {
    if (nested[k])
      report.rejections.push_back(
          Rejection{fs[k].source, fs[k].score, fs[k].entity, RejectReason::outranked});
    else
      kept.push_back(std::move(fs[k]));
  }
  fs = std::move(kept);
}

// Stable sort by source start, then end: the index breaks ties, and a list already in order
// (the usual case) is left as it is.
template <class T>
void sort_by_source(std::vector<T>& items) {
  auto later = [](const Span& a, const Span& b) {  // a belongs after b
    return a.byte_start != b.byte_start ? a.byte_start > b.byte_start : a.byte_end > b.byte_end;
  };
  bool in_order = true;
  for (std::size_t k = 1; k < items.size() && in_order; ++k)
    in_order = !later(items[k - 1].source, items[k].source);
  if (in_order) return;
  std::vector<Key> keys = keys_of(items);
  auto before = [](const Key& a, const Key& b) {
    if (a.start != b.start) return a.start < b.start;
    if (a.end != b.end) return a.end < b.end;
    return a.index < b.index;
  };
  sort_runs(keys, before);
  // Position k takes the item at keys[k].index: applied cycle by cycle through one spare
  // item, so the list is permuted where it stands instead of beside a sorted copy.
  constexpr std::uint32_t kDone = ~std::uint32_t{0};
  for (std::size_t k = 0; k < keys.size(); ++k) {
    if (keys[k].index == kDone || keys[k].index == k) continue;
    T spare = std::move(items[k]);
    std::size_t at = k;
    while (keys[at].index != k) {
      const std::size_t from = keys[at].index;
      items[at] = std::move(items[from]);
      keys[at].index = kDone;
      at = from;
    }
    items[at] = std::move(spare);
    keys[at].index = kDone;
  }
}

std::expected<Report, Error> detect_in(std::expected<Normalized, Error>&& normalized,
                                       const Config& config) {
  if (!normalized) return std::unexpected(std::move(normalized.error()));
  Report report;
  report.normalized_text = std::move(normalized->text);
  Pass pass{config, report.normalized_text, normalized->map, report, {}, {}, false, {}, 0};

  std::vector<Span> emails, passports, runs;
  det::scan_emails(pass.text, emails);
  det::scan_passports(pass.text, passports);
  // Only runs of a length some rule can match; the others never reach the rule table.
  det::scan_digit_runs(pass.text, runs, det::kMinRuleLength, det::kMaxRuleLength);
  // A candidate gives at most one finding and usually a rejection or two: room for them
  // up front spares the report's lists their growth by doubling.
  const std::size_t candidates = emails.size() + passports.size() + runs.size();
  report.findings.reserve(candidates);
  report.rejections.reserve(2 * candidates);
  pages::advise_huge(report.findings.data(), report.findings.capacity() * sizeof(Finding));
  pages::advise_huge(report.rejections.data(), report.rejections.capacity() * sizeof(Rejection));
  pass.emails(emails);
  pass.passports(passports);
  pass.digit_runs(runs);
  // The map has served every candidate: let it go before the sorting below needs its keys.
  std::vector<Segment>().swap(normalized->map.segments);

  remove_nested(report);
  sort_by_source(report.findings);
  sort_by_source(report.rejections);
  return report;
}

}  // namespace

std::expected<Report, Error> detect(std::string_view text, const Config& config) {
  return detect_in(normalize(text, config), config);
}

std::expected<Report, Error> detect(std::string&& text, const Config& config) {
  return detect_in(normalize(std::move(text), config), config);
}

}  // namespace kestrix
