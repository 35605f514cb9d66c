// The detection pass: normalize, scan, evaluate rules and cues, score, decide, settle competing
// readings and nested spans, map back to the source and order the report.
#include "detect/detect.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <optional>

#include "detect/context.hpp"
#include "detect/rules.hpp"
#include "detect/scanner.hpp"
#include "normalize/pipeline.hpp"
#include "span/mapping.hpp"
#include "text/bytes.hpp"
#include "text/kinds.hpp"
#include "text/pages.hpp"
#include "text/recycled.hpp"

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

// KESTRIX_WHOLE_RUNS_ONLY (set to anything) turns the reading of pieces of joined runs off,
// so that the tests can hold every report against what whole runs alone give.
bool pieces_enabled() {
  static const bool on = std::getenv("KESTRIX_WHOLE_RUNS_ONLY") == nullptr;
  return on;
}

// KESTRIX_WHOLE_CUE_INDEX (set to anything) indexes every text whole, so that the tests can
// hold the reports of texts indexed in stretches against it.
bool whole_cue_index() {
  static const bool on = std::getenv("KESTRIX_WHOLE_CUE_INDEX") != nullptr;
  return on;
}

// KESTRIX_READ_EVERY_PIECE (set to anything) reads the pieces of every joined run that gives
// nothing whole, even where they are known to give nothing, so that the tests can hold the
// reports against that reading.
bool piece_shortcuts() {
  static const bool on = std::getenv("KESTRIX_READ_EVERY_PIECE") == nullptr;
  return on;
}

Certainty context_certainty(float c) { return c > 0.0f ? Certainty::probable : Certainty::possible; }

// A new finding of `src`, whose rules it takes, at the end of the report's list (made in place:
// a finding holds lists), its other fields left to the caller.
Finding& new_finding(Report& report, SourceSpan&& src, const Span& normalized) {
  Finding& f = report.findings.emplace_back();
  f.normalizations = std::move(src.rules);
  f.cost = src.cost;
  f.snapped = src.snapped;
  f.source = src.span;
  f.normalized = normalized;
  return f;
}

// The candidate lists and the cue index's starts of a detection, kept per thread so that a
// call allocates none of them when an earlier one left them big enough (see recycled.hpp). A
// detection borrows the thread's set whole, through one lookup of it, and leaves every list
// empty. A detection nested in another finds the set lent, and one of a short text finds it
// holding a long text's lists: each uses a set of its own.
struct Spare {
  std::vector<Span> emails, passports, runs, date_starts;
  std::vector<std::uint32_t> cue_starts;
  std::vector<std::uint64_t> cue_order;
  std::vector<det::WrittenDate> dates;
  std::size_t large = 0;  // bytes of the lists above recycled::kKeepBytes (see recycled::trim)
  bool lent = false;
};

struct Borrowed {
  explicit Borrowed(std::size_t text_bytes) : set(&recycled::per_thread<Spare>()) {
    if (set->lent || (set->large != 0 && text_bytes < recycled::kLongText))
      set = &own.emplace();
    else if (set->large != 0) [[unlikely]]
      recycled::lend(set->large, text_bytes, set->emails, set->passports, set->runs, set->date_starts,
                     set->cue_starts, set->cue_order, set->dates);
    set->lent = true;
  }
  ~Borrowed() {
    if (filled && !own) {
      recycled::trim(set->emails, set->large);
      recycled::trim(set->passports, set->large);
      recycled::trim(set->runs, set->large);
      recycled::trim(set->date_starts, set->large);
      recycled::trim(set->cue_starts, set->large);
      recycled::trim(set->cue_order, set->large);
      recycled::trim(set->dates, set->large);
    }
    set->lent = false;
  }
  Borrowed(const Borrowed&) = delete;
  Borrowed& operator=(const Borrowed&) = delete;

  std::optional<Spare> own;
  Spare* set;
  bool filled = false;  // a list may hold something (each is empty, and small, until then)
};

// The buffers of a long text's report lists, kept per thread (see recycled.hpp): the report
// goes to the caller, who hands them back through recycle once done with it.
struct SpareReport {
  std::vector<Finding> findings;
  std::vector<Rejection> rejections;
};

// Per-call state shared by the passport and digit-run steps.
struct Pass {
  Pass(const Config& c, std::string_view normalized, const SpanMap& m, Report& r, Spare& s,
       bool rejections)
      : config(c), text(normalized), map(m), report(r), home(s), keep_rejections(rejections) {
    index.starts.swap(home.cue_starts);
    index.by_start.swap(home.cue_order);
  }
  ~Pass() {
    index.starts.swap(home.cue_starts);
    index.by_start.swap(home.cue_order);
  }
  Pass(const Pass&) = delete;
  Pass& operator=(const Pass&) = delete;

  const Config& config;
  std::string_view text;  // normalized
  const SpanMap& map;
  Report& report;
  Spare& home;  // borrowed for the call
  bool keep_rejections;  // else the report's rejections stay empty
  CueIndex index;
  det::CueCursor cursor;
  det::HitList hits, veto;
  det::RuleMatches matches, national;
  std::size_t map_hint = 0;  // candidates come in text order: to_source walks forward
  // The dotted dates of the run being read that were decided and refused: a part of a joined
  // run after one, read as a run of its own, meets it again, and it would be listed twice.
  std::vector<Span> refused_dates;

  // Hits of `table` around `span` into `out`. The cue index is built on first use, so a text
  // without candidates is never searched for cue words.
  float context(const Span& span, CueTable table, det::HitList& out) {
    if (!whole) cover(span);
    const std::uint32_t start = span.char_start - index_char, end = span.char_end - index_char;
    // Most candidates ask for two or three tables, and most stand where no cue word does, or
    // ask for a table of which no word occurs in the whole text.
    if (!det::table_occurs(index, table) || det::sees_no_cue(cursor, start, end, config.context_window)) {
      out.size = 0;
      return 0.0f;
    }
    det::find_hits(index, cursor, start, end, config.context_window, table, out);
    return det::context_score(out);
  }

  // The index holds the cues of the text's bytes [index_lo, index_hi): the whole text, or, in
  // a long text whose candidates stand far apart (a few numbers a page of reviews or prose),
  // one stretch around some of them. A stretch holds every occurrence its candidates' windows
  // can see, and enough after them to tell 생년 from 생년월일, so the hits are those of the
  // whole text's index; most of such a text is never searched.
  bool indexed = false, whole = false;
  std::size_t index_lo = 0, index_hi = 0;
  std::uint32_t index_char = 0;  // the character offset of index_lo
  // The planned stretches, ascending and apart, in bytes; empty: the whole text.
  std::vector<std::pair<std::size_t, std::size_t>> stretches;

  // Bytes a window may reach before and after its span: 4 a character, one more character
  // each way for what a reading adds to its run (the "+" before, the "." after a date).
  std::uint64_t reach_before() const { return 4 * (std::uint64_t{std::max<std::uint32_t>(config.context_window, 1)} + 1); }
  std::uint64_t reach_after() const { return 4 * (std::uint64_t{config.context_window} + det::kCueLookahead + 1); }

  // Plans the stretches when the candidates' reaches cover at most a quarter of a long text;
  // else the text is indexed whole, as a short or crowded one is.
  void plan_index(const std::vector<Span>& passports, const std::vector<Span>& runs,
                  const std::vector<det::WrittenDate>& dates) {
    constexpr std::size_t kLongText = 1 << 14;
    const std::size_t n = text.size();
    const std::uint64_t reach = reach_before() + reach_after();
    const std::size_t candidates = passports.size() + runs.size() + dates.size();
    if (n < kLongText || candidates == 0 || reach * candidates > n / 4 || whole_cue_index()) return;
    auto add = [&](const Span& s) {
      const std::uint64_t lo = s.byte_start, hi = s.byte_end + reach_after();
      stretches.emplace_back(lo > reach_before() ? lo - reach_before() : 0, std::min<std::uint64_t>(hi, n));
    };
    for (const Span& s : passports) add(s);
    for (const Span& s : runs) add(s);
    for (const det::WrittenDate& d : dates) add(d.span);
    std::sort(stretches.begin(), stretches.end());
    // Stretches closer than this are one: a build has a fixed cost.
    constexpr std::size_t kJoin = 256;
    std::size_t out = 0;
    for (const auto& r : stretches) {
      if (out > 0 && r.first <= stretches[out - 1].second + kJoin)
        stretches[out - 1].second = std::max(stretches[out - 1].second, r.second);
      else
        stretches[out++] = r;
    }
    stretches.resize(out);
    std::size_t covered = 0;
    for (const auto& r : stretches) covered += r.second - r.first;
    if (covered > n / 4) stretches.clear();
  }

  // Whether the index holds the windows of `span`: at once when the span stands a whole reach
  // inside it, else by walking its windows' characters.
  bool covers(const Span& span) const {
    if (!indexed || span.byte_start < index_lo || span.byte_end > index_hi) return false;
    const std::size_t n = text.size();
    const bool before = index_lo == 0 || span.byte_start - index_lo >= reach_before();
    const bool after = index_hi == n || index_hi - span.byte_end >= reach_after();
    if (before && after) return true;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t lo = span.byte_start, hi = span.byte_end;
    window_bytes(s, lo, hi);
    return (lo >= index_lo || index_lo == 0) && (hi <= index_hi || index_hi == n);
  }

  // Widens [lo, hi) by the windows: back over max(w, 1) characters and forward over
  // w + kCueLookahead (a window may be as large as the text: the walks stop at its ends).
  void window_bytes(const unsigned char* s, std::size_t& lo, std::size_t& hi) const {
    const std::uint32_t w = config.context_window;
    for (std::uint32_t back = 0, want = std::max<std::uint32_t>(w, 1); lo > 0 && back < want;) {
      --lo;
      back += (s[lo] & 0xC0) != 0x80;
    }
    for (std::uint64_t ahead = 0, want = std::uint64_t{w} + det::kCueLookahead;
         hi < text.size() && ahead < want;) {
      ++hi;
      while (hi < text.size() && (s[hi] & 0xC0) == 0x80) ++hi;
      ++ahead;
    }
  }

  void cover(const Span& span) {
    if (whole || covers(span)) return;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t lo = 0, hi = text.size();
    if (!stretches.empty()) {
      // The planned stretch that holds the span, widened to its windows (a reading may reach
      // a little past what was planned); a span outside every stretch gets its windows alone.
      lo = span.byte_start;
      hi = span.byte_end;
      window_bytes(s, lo, hi);
      auto it = std::upper_bound(stretches.begin(), stretches.end(),
                                 std::pair<std::size_t, std::size_t>{span.byte_start, SIZE_MAX});
      if (it != stretches.begin() && span.byte_end <= (--it)->second) {
        lo = std::min(lo, it->first);
        hi = std::max(hi, it->second);
      }
      while (lo > 0 && (s[lo] & 0xC0) == 0x80) --lo;
      while (hi < text.size() && (s[hi] & 0xC0) == 0x80) ++hi;
    }
    // A span's character offset counts the characters before it: an index from the start of
    // the text (every short one) starts at character 0.
    index_char = lo == 0 ? 0
                         : span.char_start - static_cast<std::uint32_t>(bytes::count_chars(s + lo, span.byte_start - lo));
    det::build_cue_index(text.substr(lo, hi - lo), index);
    det::reset_cursor(index, cursor);
    indexed = true;
    whole = lo == 0 && hi == text.size();
    index_lo = lo;
    index_hi = hi;
  }

  void reject(const SourceSpan& src, float score, Entity e, RejectReason r) {
    if (keep_rejections) report.rejections.push_back(Rejection{src.span, score, e, r});
  }

  void emails(const std::vector<Span>& spans) {
    for (const Span& span : spans) {
      SourceSpan src = to_source(map, span, map_hint);
      Finding& f = new_finding(report, std::move(src), span);
      f.status = ChecksumStatus::not_applicable;
      f.reason = det::kEmailReason;
      f.rule = "email.structural";
      f.score = 0.9f;
      f.certainty = Certainty::probable;
      f.entity = Entity::email;
    }
  }

  void passports(const std::vector<Span>& spans) {
    const Weights& w = config.weights;
    for (const Span& span : spans) {
      SourceSpan src = to_source_without_rules(map, span, map_hint);
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
        src.rules = source_rules(map, span, map_hint);
        Finding& f = new_finding(report, std::move(src), span);
        f.status = ChecksumStatus::not_applicable;
        f.reason = det::kPassportReason;
        f.context_hits.assign(hits.begin(), hits.end());
        f.rule = det::new_passport_shape(text.substr(span.byte_start, span.byte_end - span.byte_start))
                     ? "passport.new"
                     : "passport.shape";
        f.score = score;
        f.certainty = context_certainty(c);
        f.entity = Entity::passport;
      }
    }
  }

  // The best accepted reading of one candidate span of digits: a run, or a piece of one.
  struct Reading {
    RuleMatch match;
    SourceSpan src;  // without its rules, which add_finding gives a finding
    Span span;  // normalized; with the "+" for an international phone number
    float score = 0;
    Certainty certainty = Certainty::possible;
    det::HitList hits;
  };

  // The digits that write the country code 82 at the start of `run`: 2 when the run follows
  // a "+", 4 when it starts with the dialling prefix 00 ("0082"); 0 for neither.
  std::size_t country_code(const Span& run, const char* text_form, std::size_t len) const {
    const bool plus = run.byte_start > 0 && text[run.byte_start - 1] == '+';
    const std::size_t code = plus ? 2 : 4;
    if (len <= code || (!plus && (text_form[0] != '0' || text_form[1] != '0')) ||
        text_form[code - 2] != '8' || text_form[code - 1] != '2')
      return 0;
    return code;
  }

  // A run that follows a "+", or starts with "00", and then has the country code 82 is a phone
  // number in international form, if the rest reads as one: the national number is the rest
  // with its leading 0 put back (a 0 written after the code, as in +82 (0)10-..., is that 0
  // already). Then its international reading is the run's only one in `matches`, and the
  // number of digits of the code is returned (0 otherwise).
  std::size_t international(const Span& run, const std::uint8_t* digits, const char* text_form,
                            std::size_t len) {
    const std::size_t code = country_code(run, text_form, len);
    if (code == 0) return 0;
    std::uint8_t nd[det::kMaxRuleLength];
    char nt[det::kMaxRuleLength];
    std::size_t n = 0;
    if (digits[code] != 0) {
      nd[n] = 0;
      nt[n++] = '0';
    }
    std::copy(digits + code, digits + len, nd + n);
    std::copy(text_form + code, text_form + len, nt + n);
    n += len - code;
    det::evaluate_rules(nd, std::string_view(nt, n), national);
    for (const RuleMatch& m : national) {
      if (m.entity != Entity::phone) continue;
      matches.items[0] = m;
      matches.items[0].rule = "phone.international";
      matches.size = 1;
      return code;
    }
    return 0;
  }

  // Reads the digits of `span` as the rule table does and decides each reading; the
  // rejections go to the report when `record`. Returns whether a reading was accepted, the
  // best one in `best`.
  bool read(const Span& span, bool record, Reading& best) {
    const std::size_t len = span.byte_end - span.byte_start;  // ASCII: bytes are characters
    if (!det::rule_length(len)) return false;
    det::digit_array(text.substr(span.byte_start, len), whole_digits, whole_form);
    whole_read = span;
    return read(span, whole_digits, whole_form, record, best);
  }
  // The digit array and text form of the run last read whole, `whole_read`: read again by its
  // pieces when it gives nothing whole.
  Span whole_read{UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX};
  std::uint8_t whole_digits[det::kMaxRuleLength];
  char whole_form[det::kMaxRuleLength];

  // The same, with the run's digit array and text form given.
  bool read(const Span& span, const std::uint8_t* digits, const char* text_form, bool record,
            Reading& best) {
    const std::size_t len = span.byte_end - span.byte_start;
    Span read_span = span;  // the international reading covers a "+" as well
    std::uint32_t cost_skip = 0;
    if (const std::size_t code = international(span, digits, text_form, len)) {
      // The "+" or "00", the country code, and a 0 written after it, are the form's own: the
      // separators that follow them cost what they cost in the national form, nothing.
      cost_skip = static_cast<std::uint32_t>(code + (digits[code] == 0));
      if (code == 2) {
        --read_span.byte_start;
        --read_span.char_start;
        ++cost_skip;
      }
    } else {
      det::evaluate_rules(digits, std::string_view(text_form, len), matches);
      if (matches.size == 0) return false;
    }
    return decide(read_span, cost_skip, record, best);
  }

  // Decides each reading in `matches` of the candidate `read_span`, as the digit-run step
  // does; the rejections go to the report when `record`. The cost is that of the span mapped
  // back from `cost_skip` characters in; with `own_separators`, the separators absorbed inside
  // the span are the form's own and cost nothing. Returns whether a reading was accepted, the
  // best one in `best`.
  bool decide(const Span& read_span, std::uint32_t cost_skip, bool record, Reading& best,
              bool own_separators = false) {
    const Weights& w = config.weights;
    // Rejections are kept only with `keep_rejections`: without, a recorded reading is decided
    // as a piece's is.
    record = record && keep_rejections;
    // Mapped back when first needed: a piece of a run mostly ends on a rejection that needs no
    // score, and then it is never mapped. The rules wait for a finding. (Mapped into `best`,
    // which holds nothing a caller reads when no reading is accepted.)
    SourceSpan& src = best.src;
    bool mapped = false;
    auto map_back = [&] {
      if (mapped) return;
      mapped = true;
      src = to_source_without_rules(map, read_span, map_hint);
      if (cost_skip)
        src.cost = to_source_without_rules(map,
                                           Span{read_span.byte_start + cost_skip, read_span.byte_end,
                                                read_span.char_start + cost_skip, read_span.char_end},
                                           map_hint)
                       .cost;
      if (own_separators) src.cost.absorbed_whitespace = src.cost.absorbed_separators = 0;
    };
    if (record) map_back();
    // The veto score, looked up when a reading first needs it (one whose checksum passed
    // never does).
    float v = 0;
    bool vetoed_known = false;
    auto vetoed = [&](float c) {
      if (!vetoed_known) {
        v = context(read_span, det::cues::veto, veto);
        vetoed_known = true;
      }
      return v > c && v >= config.min_veto;
    };
    auto reject_if = [&](float score, Entity e, RejectReason r) {
      if (record) report.rejections.push_back(Rejection{src.span, score, e, r});
    };
    bool found = false;
    for (const RuleMatch& m : matches) {
      float c = context(read_span, m.cues, hits);
      if (!record && ((m.needs_context && c < config.min_context) ||
                      (m.status != ChecksumStatus::passed && vetoed(c))))
        continue;  // rejected whatever its score
      map_back();
      float score = score_of(base_of(m.prior, m.status, w), c, src.cost, w);
      Certainty certainty = m.ceiling;
      bool accepted = false;
      if (m.status == ChecksumStatus::passed) {
        if (m.needs_context && c < config.min_context) {
          reject_if(score, m.entity, RejectReason::no_context);
        } else if (score < config.min_score) {
          reject_if(score, m.entity, RejectReason::below_threshold);
        } else {
          accepted = true;
        }
      } else if (vetoed(c)) {
        reject_if(score, m.entity, RejectReason::business_context);
      } else if (m.needs_context && c < config.min_context) {
        reject_if(score, m.entity, RejectReason::no_context);
      } else if (score >= config.min_score) {
        accepted = true;
        certainty = std::min(m.ceiling, context_certainty(c));
      } else {
        reject_if(score, m.entity,
                  m.status == ChecksumStatus::failed ? RejectReason::checksum_failed
                                                     : RejectReason::below_threshold);
      }
      if (!accepted) continue;
      if (found && !(score > best.score)) {
        reject_if(score, m.entity, RejectReason::outranked);
        continue;
      }
      if (found) reject_if(best.score, best.match.entity, RejectReason::outranked);
      found = true;
      best.match = m;
      best.score = score;
      best.certainty = certainty;
      best.hits.size = hits.size;
      std::copy(hits.begin(), hits.end(), best.hits.items.begin());
    }
    if (!found) return false;
    best.span = read_span;
    return true;
  }

  // Birth dates written with slashes or in words: valid dates are read as the digit forms
  // are. Dates in words fill ordinary prose (an order placed on 2024년 3월 5일), so a written
  // date is a candidate only with a birth cue word in its window; without one it is neither a
  // finding nor a rejection.
  void written_dates(const std::vector<det::WrittenDate>& dates) {
    Reading r;
    for (const det::WrittenDate& d : dates) {
      if (!det::valid_birth_date(d.year_digits, d.year, d.month, d.day)) continue;
      const bool cued = context(d.span, det::cues::birth, hits) > 0.0f;
      bool accepted = false;
      if (cued) {
        matches.items[0] =
            det::birth_match(d.form == det::DateForm::slash ? "birth.slash" : "birth.words");
        matches.size = 1;
        accepted = decide(d.span, 0, true, r);
      }
      if (accepted) add_finding(r);
    }
  }

  // Keeps the date starts near which a birth cue may stand: within the windows of any date
  // that could begin there (4 bytes a character, and the longest date, which may begin two
  // bytes after the start: a year of two digits at the end of a run).
  void keep_dates_near_birth_cues(std::vector<Span>& starts) const {
    const std::size_t reach = 4 * std::max<std::size_t>(config.context_window, 1);
    det::keep_near_birth_cues(text, starts, reach, 2 + det::kMaxWrittenDateBytes + reach);
  }

  // Whether separators were deleted at normalized byte `at` (see det::JointTest).
  bool separator_joint_at(std::uint32_t at) {
    const std::vector<Segment>& segs = map.segments;
    auto it = std::partition_point(segs.begin(), segs.end(),
                                   [&](const Segment& g) { return g.dst.byte_start < at; });
    for (; it != segs.end() && it->dst.byte_start == at; ++it)
      if (it->dst.byte_end == at && separator_kind(it->rules) != 0) return true;
    return false;
  }
  det::JointTest joint_test() {
    return {this, [](void* p, std::size_t at) {
              return static_cast<Pass*>(p)->separator_joint_at(static_cast<std::uint32_t>(at));
            }};
  }

  // Takes r's source span, given its rules here.
  void add_finding(Reading& r) {
    r.src.rules = source_rules(map, r.span, map_hint);
    Finding& f = new_finding(report, std::move(r.src), r.span);
    f.status = r.match.status;
    f.reason = r.match.reason;
    f.context_hits.assign(r.hits.begin(), r.hits.end());
    f.rule = r.match.rule;
    f.score = r.score;
    f.certainty = r.certainty;
    f.entity = r.match.entity;
  }

  void digit_runs(const std::vector<Span>& spans, bool with_pieces) {
    Reading r;
    for (const Span& span : spans) {
      refused_dates.clear();
      // A run as short as a dotted date may be one: read first as that, since its digits
      // also read whole as another date (2001. 1. 1. as 200111, a YYMMDD).
      const std::uint32_t len = span.byte_end - span.byte_start;
      const bool date_length = with_pieces && (len == 6 || len == 7);
      if (date_length) {
        find_joints(span);
        if (dotted_date(span, r)) {
          add_finding(r);
          continue;
        }
      }
      if (read(span, true, r)) {
        add_finding(r);
      } else if (with_pieces) {
        if (pieces_give_nothing(span)) continue;
        if (!date_length) find_joints(span);
        // Eight digits with a dot and a space at both joints (1985. 11. 21.): the padded
        // form, whose spaces cost too much for it to read whole.
        if (len == 8 && spaced_joints() && dotted_date(span, r)) {
          add_finding(r);
          continue;
        }
        // A date among other numbers leaves a run of at least three joints.
        if (pieces().joints.size() < 3 || !dotted_inside(span)) read_pieces(span);
      }
    }
  }

  // Whether a run of at most ten digits that gave nothing whole gives nothing in pieces either,
  // known without finding its joints: its pieces have six, eight or nine characters, which
  // read as birth dates (dotted ones too), as a phone number of eight that begins with 15, 16
  // or 18, or as one of nine that begins with 02 (after a country code, no number of fewer than
  // ten characters leaves a national one of eight or more), and a passport number may take in
  // letters before the run. A piece begins at the run's start or at a joint, so the phone
  // prefixes count only there; a birth date wants a birth cue, which no piece's windows see
  // when the run's do not (a cue word holds no digit, so none stands inside the run; a dotted
  // date may take in the dot after the run). Masks make joints of their own: a run with any is
  // read in pieces. The dates and hours of log lines (2026-03-05 12) are passed over so.
  bool pieces_give_nothing(const Span& run) {
    const std::uint32_t len = run.byte_end - run.byte_start;
    if (len > 10 || !(config.min_context > 0.0f) || !piece_shortcuts()) return false;
    const char* d = text.data() + run.byte_start;
    for (std::uint32_t i = 0; i < len; ++i)
      if (d[i] < '0' || d[i] > '9') return false;
    if (run.byte_start > 0 && text[run.byte_start - 1] >= 'A' && text[run.byte_start - 1] <= 'Z')
      return false;
    std::uint32_t joint = 0;  // the first joint after the start, found when first needed
    for (std::uint32_t p = 0; p + 8 < len || (p + 8 == len && p > 0); ++p) {
      const bool phone = (d[p] == '1' && (d[p + 1] == '5' || d[p + 1] == '6' || d[p + 1] == '8')) ||
                         (d[p] == '0' && d[p + 1] == '2' && p + 9 <= len && !(p == 0 && len == 9));
      if (!phone) continue;
      if (p == 0) return false;
      if (joint == 0) joint = first_separator_joint(run) - run.byte_start;
      // A piece begins at p only at a joint there: none stands before the first.
      if (p >= joint) return false;
    }
    det::HitList birth;
    context(run, det::cues::birth, birth);
    if (birth.size != 0) return false;
    if (run.byte_end < text.size() && text[run.byte_end] == '.') {
      context(Span{run.byte_start, run.byte_end + 1, run.char_start, run.char_end + 1}, det::cues::birth,
              birth);
      if (birth.size != 0) return false;
    }
    return true;
  }

  // A run read on its own (a part of a joined run, see dotted_inside) as digit_runs reads a
  // run that is no date.
  void read_part(const Span& run) {
    if (run.byte_end - run.byte_start < det::kMinRuleLength) return;
    Reading r;
    if (read(run, true, r)) {
      add_finding(r);
      return;
    }
    find_joints(run);
    if (pieces().joints.size() < 3 || !dotted_inside(run)) read_pieces(run);
  }

  // Dotted dates that the separator pass joined to the numbers around them (1988. 1. 1.
  // 010-1234-5678): three stretches of the run, a year of four digits and a month and a day of
  // one or two, with dot joints between them. Each is read as a whole run of those digits is,
  // and the parts of the run between them as runs of their own. False (nothing read) when the
  // run holds no such date with a birth cue. `joints` are the run's.
  bool dotted_inside(const Span& run) {
    Pieces& pc = pieces();
    const std::vector<Joint>* at = &pc.joints;
    std::vector<Joint> own;  // the run's joints, once read_part has found those of a part
    const std::size_t k = pc.joints.size();
    auto bound = [&](std::size_t i) { return stretch_start(run, *at, i); };
    auto part = [&](std::uint32_t b, std::uint32_t e) {
      return Span{b, e, run.char_start + (b - run.byte_start), run.char_start + (e - run.byte_start)};
    };
    Reading& r = pc.date_scratch;  // used up before read_part, which may come back here
    std::uint32_t next = run.byte_start;  // the run is read up to here
    for (std::size_t q = 0; q + 2 <= k;) {
      if (!dot_joint((*at)[q].kind) || !dot_joint((*at)[q + 1].kind)) {  // most runs: no dots
        ++q;
        continue;
      }
      const std::uint32_t b = bound(q), e = bound(q + 3);
      // Not the whole run, read as one already, nor the first numbers of a longer dotted row
      // (1988. 1. 1. 2, 1988. 1. 1. 2. 3), which 1988. 1. 1. 02-123-4567 is not.
      if ((q == 0 && q + 2 == k) ||
          (q + 3 <= k && dot_joint((*at)[q + 2].kind) && bound(q + 4) - e <= 2 &&
           (q + 3 == k || dot_joint((*at)[q + 3].kind))) ||
          !dotted_date_at(part(b, e), (*at)[q].kind, (*at)[q + 1].kind, (*at)[q].pos,
                          (*at)[q + 1].pos, r)) {
        ++q;
        continue;
      }
      if (at == &pc.joints) at = &(own = pc.joints);
      add_finding(r);
      read_part(part(next, b));
      next = e;
      q += 3;
    }
    if (next == run.byte_start) return false;
    read_part(part(next, run.byte_end));
    return true;
  }

  // A birth date written YYYY. M. D. (the trailing dot and the spaces optional, the month or
  // the day unpadded: the padded form reads whole as birth.yyyymmdd), which the separator pass
  // joined into one run of six or seven digits at two joints of the dot class. Read as the
  // written dates are: a valid date, a candidate only with a birth cue word in its window, its
  // dots and spaces costing no more than the slashes of YYYY/MM/DD do; the span takes in a
  // trailing dot. `joints` are the run's.
  // Both joints of the run a dot and whitespace.
  bool spaced_joints() {
    const Pieces& pc = pieces();
    return pc.joints.size() == 2 && pc.joints[0].kind == 0b101 && pc.joints[1].kind == 0b101;
  }

  bool dotted_date(const Span& run, Reading& r) {
    const std::vector<Joint>& joints = pieces().joints;
    return joints.size() == 2 &&
           dotted_date_at(run, joints[0].kind, joints[1].kind, joints[0].pos, joints[1].pos, r);
  }

  // Whether a joint is of dots (separator.dot, and separator.whitespace beside it, as
  // separator_kind has them).
  static bool dot_joint(std::uint8_t kind) {
    constexpr std::uint8_t kDot = 1u << 2, kDotOrSpace = kDot | 1u;
    return (kind & kDot) && !(kind & ~kDotOrSpace);
  }

  // The same for a run whose two joints (their kinds and places) are given.
  bool dotted_date_at(const Span& run, std::uint8_t kind0, std::uint8_t kind1, std::uint32_t pos0,
                      std::uint32_t pos1, Reading& r) {
    // Six to eight digits: after a year of four, a month and a day of one or two.
    if (!dot_joint(kind0) || !dot_joint(kind1) || pos0 - run.byte_start != 4 || pos1 - pos0 > 2 ||
        run.byte_end - pos1 > 2)
      return false;
    auto number = [&](std::uint32_t from, std::uint32_t to) {
      int v = 0;
      for (std::uint32_t b = from; b < to; ++b) {
        if (text[b] < '0' || text[b] > '9') return -1;
        v = v * 10 + (text[b] - '0');
      }
      return v;
    };
    const int y = number(run.byte_start, pos0);
    const int m = number(pos0, pos1);
    const int d = number(pos1, run.byte_end);
    if (y < 0 || m < 0 || d < 0 || !det::valid_birth_date(4, y, m, d)) return false;
    Span span = run;
    if (span.byte_end < text.size() && text[span.byte_end] == '.') {
      ++span.byte_end;
      ++span.char_end;
    }
    if (std::ranges::find(refused_dates, span) != refused_dates.end() ||
        !(context(span, det::cues::birth, hits) > 0.0f))
      return false;
    matches.items[0] = det::birth_match("birth.dot");
    matches.size = 1;
    if (decide(span, 0, true, r, true)) return true;
    refused_dates.push_back(span);
    return false;
  }

  // ---- pieces of joined runs ----
  //
  // A run the separator pass made by deleting separator groups has a joint where each group
  // was. When the whole run gives no finding, its pieces (the ranges of whole stretches
  // between joints, shorter than the run) are read as runs of their own, and the readings
  // that cover the most digits without overlapping are kept: first among the pieces whose
  // joints are all of one kind, then, in what they leave uncovered, among all.

  struct Joint {
    std::uint32_t pos;  // normalized byte offset inside the run
    std::uint8_t kind;  // the separator classes of the deleted group, one bit each
  };
  // An accepted piece reading, as the choice needs it; the chosen ones are read again for
  // their findings, so a long joined run keeps a few words per reading, not a whole one.
  struct PieceReading {
    std::uint32_t first, last;  // the stretches it spans
    std::uint32_t chars;
    float score;
    bool uniform;
    bool passport;  // the letters before the run and its first stretch
  };
  struct Choice {
    std::uint64_t chars;
    double score;
    std::int64_t take;  // the reading taken at this stretch, or -1
  };
  // The working lists of the pieces, made when a run is first looked at in pieces: most texts
  // never are, and need not make them and let them go.
  struct Pieces {
    // Declared, not defaulted: a defaulted one would be needed, for the optional below, before
    // the initializers of Reading's members are known (clang refuses that).
    Pieces() {}
    std::vector<Joint> joints;
    std::vector<PieceReading> piece_readings, cands;
    Reading piece_scratch, date_scratch;
    std::vector<std::uint8_t> run_digits;
    std::string run_form;
    std::vector<std::uint32_t> bounds, order, from, picks;
    std::vector<Choice> choices;
  };
  std::optional<Pieces> made_pieces;
  Pieces& pieces() { return made_pieces ? *made_pieces : made_pieces.emplace(); }
  std::size_t joint_hint = 0;

  static constexpr std::uint8_t kMaskEdge = 0x80;

  // The separator classes among a segment's rules, one bit each (0: no separator rule). The
  // deleted segments of a text carry a handful of distinct rule lists, and a joined run mostly
  // alternates two or three of them (2026-03-05 12: hyphens, then a space): the last four are
  // kept, the oldest replaced.
  static constexpr std::size_t kKindsKept = 4;
  std::array<RuleSeq, kKindsKept> kind_rules{};
  std::array<std::uint8_t, kKindsKept> kind_of_rules{};
  std::size_t kind_next = 0;  // the slot replaced next
  std::uint8_t separator_kind(RuleSeq rules) {
    for (std::size_t q = 0; q < kKindsKept; ++q)
      if (rules == kind_rules[q]) return kind_of_rules[q];
    constexpr std::string_view kClasses[] = {"separator.whitespace", "separator.hyphen",
                                             "separator.dot",        "separator.paren",
                                             "separator.comma",      "separator.middot",
                                             "separator.invisible"};
    std::uint8_t kind = 0;
    for (std::string_view r : rules)
      for (std::size_t c = 0; c < std::size(kClasses); ++c)
        if (r == kClasses[c]) kind |= static_cast<std::uint8_t>(1u << c);
    kind_rules[kind_next] = rules;
    kind_of_rules[kind_next] = kind;
    kind_next = (kind_next + 1) % kKindsKept;
    return kind;
  }

  // Where stretch i of `run` starts, its joints `at` found (the run's end for i = at.size() + 1).
  static std::uint32_t stretch_start(const Span& run, const std::vector<Joint>& at, std::size_t i) {
    return i == 0 ? run.byte_start : i <= at.size() ? at[i - 1].pos : run.byte_end;
  }

  // The joints strictly inside `run`: the deleted separator segments there, those at one
  // position making one joint, and where masks at either edge of the run meet its digits (a
  // bullet "*", a footnote mark: they stand for digits only when the whole run reads so).
  void find_joints(const Span& run) {
    Pieces& pc = pieces();
    pc.joints.clear();
    auto is_digit = [&](std::uint32_t b) { return text[b] >= '0' && text[b] <= '9'; };
    std::uint32_t lead = run.byte_start, trail = run.byte_end;
    while (lead < run.byte_end && !is_digit(lead)) ++lead;
    while (trail > lead && !is_digit(trail - 1)) --trail;
    if (lead > run.byte_start) pc.joints.push_back(Joint{lead, kMaskEdge});
    const std::vector<Segment>& segs = map.segments;
    // Walked by pointer: adding a joint changes no segment.
    for (const Segment *g = segs.data() + segments_after(run.byte_start), *e = segs.data() + segs.size();
         g != e && g->dst.byte_start < run.byte_end; ++g) {
      if (g->dst.byte_end != g->dst.byte_start) continue;
      const std::uint8_t kind = separator_kind(g->rules);
      if (kind == 0) continue;
      add_joint(g->dst.byte_start, kind);
    }
    if (trail < run.byte_end) add_joint(trail, kMaskEdge);
  }

  // The index of the first segment of the map that begins after normalized byte `at`. Runs come
  // in text order: the search gallops forward from where the last run's ended.
  std::size_t segments_after(std::uint32_t at) {
    const std::vector<Segment>& segs = map.segments;
    if (joint_hint > segs.size() || (joint_hint > 0 && segs[joint_hint - 1].dst.byte_start > at))
      joint_hint = 0;
    auto before = [&](const Segment& g) { return g.dst.byte_start <= at; };
    std::size_t lo = joint_hint, hi = joint_hint, step = 1;
    while (hi < segs.size() && before(segs[hi])) {
      lo = hi + 1;
      hi += step;
      step *= 2;
    }
    auto it = std::partition_point(segs.begin() + static_cast<std::ptrdiff_t>(lo),
                                   segs.begin() + static_cast<std::ptrdiff_t>(std::min(hi, segs.size())),
                                   before);
    joint_hint = static_cast<std::size_t>(it - segs.begin());
    return joint_hint;
  }

  // The first joint of `run` after its start that find_joints would find for a deleted group of
  // separators (masks aside), or its end.
  std::uint32_t first_separator_joint(const Span& run) {
    const std::vector<Segment>& segs = map.segments;
    for (const Segment *g = segs.data() + segments_after(run.byte_start), *e = segs.data() + segs.size();
         g != e && g->dst.byte_start < run.byte_end; ++g)
      if (g->dst.byte_end == g->dst.byte_start && separator_kind(g->rules) != 0) return g->dst.byte_start;
    return run.byte_end;
  }

  // Joints come in position order; one at the position of the last is the same joint.
  void add_joint(std::uint32_t pos, std::uint8_t kind) {
    Pieces& pc = pieces();
    if (!pc.joints.empty() && pc.joints.back().pos == pos)
      pc.joints.back().kind |= kind;
    else if (pc.joints.empty() || pc.joints.back().pos < pos)
      pc.joints.push_back(Joint{pos, kind});
    else  // a separator inside the leading masks: before the edge
      pc.joints.insert(pc.joints.end() - 1, Joint{pos, kind});
  }

  // The readings of stretches lo..hi (uniform pieces only, or all) that cover the most
  // characters without overlapping; ties: the higher total score, then the earlier start.
  // Appends the chosen ones to `picks`.
  void choose(std::uint32_t lo, std::uint32_t hi, bool uniform_only) {
    Pieces& pc = pieces();
    pc.choices.assign(hi - lo + 2, Choice{0, 0.0, -1});
    for (std::uint32_t i = hi + 1; i-- > lo;) {
      Choice best = pc.choices[i + 1 - lo];
      best.take = -1;
      for (std::uint32_t q = pc.from[i]; q < pc.from[i + 1]; ++q) {
        const PieceReading& p = pc.piece_readings[pc.order[q]];
        if (p.last > hi || (uniform_only && !p.uniform)) continue;
        const Choice& rest = pc.choices[p.last + 1 - lo];
        const std::uint64_t chars = p.chars + rest.chars;
        const double score = p.score + rest.score;
        if (chars > best.chars ||
            (chars == best.chars && (score > best.score || (score == best.score && best.take < 0))))
          best = Choice{chars, score, pc.order[q]};
      }
      pc.choices[i - lo] = best;
    }
    for (std::uint32_t i = lo; i <= hi;) {
      const std::int64_t t = pc.choices[i - lo].take;
      if (t < 0) {
        ++i;
        continue;
      }
      pc.picks.push_back(static_cast<std::uint32_t>(t));
      i = pc.piece_readings[static_cast<std::size_t>(t)].last + 1;
    }
  }

  // A passport number with the number after it joined on (D07234599,4887...): the letters
  // before the run and its first stretch, when they make a passport shape, are read as the
  // passport step reads one.
  void read_passport_piece(const Span& run, std::uint32_t first_end, Reading& r) {
    if (!passport_piece(run, first_end, r)) return;
    const std::uint32_t letters = run.byte_start - r.span.byte_start;
    pieces().piece_readings.push_back(
        PieceReading{0, 0, first_end - run.byte_start + letters, r.score, true, true});
  }

  bool passport_piece(const Span& run, std::uint32_t first_end, Reading& r) {
    const std::uint32_t s = run.byte_start;
    auto upper = [&](std::uint32_t b) { return text[b] >= 'A' && text[b] <= 'Z'; };
    auto alnum = [&](std::uint32_t b) {
      const char c = text[b];
      return (c >= '0' && c <= '9') || upper(b) || (c >= 'a' && c <= 'z');
    };
    std::uint32_t letters = 0;
    while (letters < 2 && s > letters && upper(s - letters - 1)) ++letters;
    const std::uint32_t start = s - letters;
    const std::uint32_t digits = first_end - s;
    if (letters == 0 || (start > 0 && alnum(start - 1)) || (digits != 7 && digits != 8) ||
        (letters + digits != 8 && letters + digits != 9))
      return false;
    for (std::uint32_t b = s; b < first_end; ++b)
      if (!(text[b] >= '0' && text[b] <= '9')) return false;
    const Span piece{start, first_end, run.char_start - letters,
                     run.char_start + (first_end - s)};
    matches.items[0] = RuleMatch{ChecksumStatus::not_applicable, det::kPassportReason,
                                 "passport.shape", det::cues::passport, 0.1f, true,
                                 Certainty::probable, Entity::passport};
    matches.size = 1;
    return decide(piece, 0, false, r);
  }


  // Whether no piece in `cands` of `run` can be accepted, known without reading them: a piece
  // of six characters reads as a birth date alone, one of eight as well unless it begins with
  // 15, 16 or 18 (a representative phone number; after a country code neither length leaves a
  // national number of eight), and a birth date wants a birth cue, which no piece's windows see
  // when the run's do not (a cue word holds no digit or mask, so none stands inside the run).
  // The dates and hours of log lines (2026-03-05 12) are passed over so.
  bool birth_pieces_only(const Span& run, const std::uint32_t* b, const std::uint8_t* digits,
                         const std::vector<PieceReading>& cands) {
    if (cands.empty() || !(config.min_context > 0.0f) || !piece_shortcuts()) return false;
    for (const PieceReading& p : cands) {
      if (p.chars == 6) continue;
      const std::uint8_t* d = digits + (b[p.first] - run.byte_start);
      if (p.chars != 8 || (d[0] == 1 && (d[1] == 5 || d[1] == 6 || d[1] == 8))) return false;
    }
    det::HitList birth;
    context(run, det::cues::birth, birth);
    return birth.size == 0;
  }

  // The pieces of `run`, its joints found.
  void read_pieces(const Span& run) {
    Pieces& pc = pieces();
    if (pc.joints.empty()) return;
    const std::uint32_t k = static_cast<std::uint32_t>(pc.joints.size());  // stretches: 0..k
    auto bound = [&](std::uint32_t i) { return stretch_start(run, pc.joints, i); };
    pc.piece_readings.clear();
    Reading& r = pc.piece_scratch;
    // The digit array of the whole run, read by every piece (made when the run was read whole,
    // unless it is too long for that); without masks every piece of six characters or more
    // holds two digits.
    const std::uint32_t run_len = run.byte_end - run.byte_start;
    const std::uint8_t* digits = whole_digits;
    const char* form = whole_form;
    if (!(run == whole_read)) {
      pc.run_digits.resize(run_len);
      pc.run_form.resize(run_len);
      det::digit_array(text.substr(run.byte_start, run_len), pc.run_digits.data(),
                       pc.run_form.data());
      digits = pc.run_digits.data();
      form = pc.run_form.data();
    }
    const bool masked = std::find(digits, digits + run_len, det::kMasked) != digits + run_len;
    // The pieces, by end, then start from the nearest back: each piece is at most as long as
    // the longest rule, so a joint starts a bounded number of them and a long run stays
    // linear. Those of a length some rule reads are listed first, then read.
    pc.bounds.resize(k + 2);
    pc.bounds[0] = run.byte_start;
    for (std::uint32_t i = 1; i <= k; ++i) pc.bounds[i] = pc.joints[i - 1].pos;
    pc.bounds[k + 1] = run.byte_end;
    const std::uint32_t* b = pc.bounds.data();
    pc.cands.clear();
    // The pieces ending at stretch `last` whose joints are all of one kind start at `same` or
    // after it: the joints same..last-1 are of the kind of joint last-1.
    std::uint32_t same = 0;
    for (std::uint32_t last = 0; last <= k; ++last) {
      const std::uint32_t end = b[last + 1];
      if (last >= 2 && pc.joints[last - 1].kind != pc.joints[last - 2].kind) same = last - 1;
      for (std::uint32_t first = last + 1; first-- > 0;) {
        const std::uint32_t len = end - b[first];
        if (len > det::kMaxRuleLength) break;
        if (det::rule_length(len) && !(first == 0 && last == k))
          pc.cands.push_back(PieceReading{first, last, len, 0.0f, first >= same, false});
      }
    }
    if (birth_pieces_only(run, b, digits, pc.cands)) pc.cands.clear();
    for (PieceReading p : pc.cands) {
      const std::uint32_t start = b[p.first], end = b[p.last + 1];
      const std::uint32_t at = start - run.byte_start;
      if (masked && p.chars - static_cast<std::uint32_t>(
                                  std::count(digits + at, digits + at + p.chars, det::kMasked)) < 2)
        continue;  // no run, as the scanner has it
      const Span piece{start, end, run.char_start + at, run.char_start + (end - run.byte_start)};
      if (!read(piece, digits + at, form + at, false, r)) continue;
      p.score = r.score;
      pc.piece_readings.push_back(p);
    }
    read_passport_piece(run, bound(1), r);
    if (pc.piece_readings.empty()) return;
    pc.order.resize(pc.piece_readings.size());
    for (std::uint32_t q = 0; q < pc.order.size(); ++q) pc.order[q] = q;
    std::stable_sort(pc.order.begin(), pc.order.end(), [&](std::uint32_t a, std::uint32_t b) {
      const PieceReading& x = pc.piece_readings[a];
      const PieceReading& y = pc.piece_readings[b];
      return x.first != y.first ? x.first < y.first : x.last < y.last;
    });
    pc.from.assign(k + 2, 0);
    for (const PieceReading& p : pc.piece_readings) ++pc.from[p.first + 1];
    for (std::uint32_t i = 1; i < pc.from.size(); ++i) pc.from[i] += pc.from[i - 1];
    pc.picks.clear();
    choose(0, k, true);
    const std::size_t first_round = pc.picks.size();
    std::uint32_t next = 0;  // first stretch not yet passed
    for (std::size_t q = 0; q <= first_round; ++q) {
      const std::uint32_t until = q < first_round ? pc.piece_readings[pc.picks[q]].first : k + 1;
      if (next < until) choose(next, until - 1, false);
      if (q < first_round) next = pc.piece_readings[pc.picks[q]].last + 1;
    }
    std::sort(pc.picks.begin(), pc.picks.end(), [&](std::uint32_t a, std::uint32_t b) {
      return pc.piece_readings[a].first < pc.piece_readings[b].first;
    });
    for (std::uint32_t q : pc.picks) {
      const PieceReading& p = pc.piece_readings[q];
      const std::uint32_t start = bound(p.first), end = bound(p.last + 1);
      const std::uint32_t at = start - run.byte_start;
      const Span piece{start, end, run.char_start + at, run.char_start + (end - run.byte_start)};
      if (p.passport ? passport_piece(run, end, r)
                     : read(piece, digits + at, form + at, false, r))
        add_finding(r);
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
// shorter, appending it to the rejections as outranked (with `keep_rejections`). Containment is decided on the complete
// list first. With spans sorted by start ascending and end descending, a span is inside a
// longer one exactly when an earlier start reached at least its end, or a span with the same
// start ends later. (Spans that are equal are judged alike whatever their order.)
void remove_nested(Report& report, bool keep_rejections) {
  auto& fs = report.findings;
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
  // The findings kept move down over the nested ones, in order, where they stand.
  std::size_t kept = 0;
  for (std::size_t k = 0; k < fs.size(); ++k) {
    if (nested[k]) {
      if (keep_rejections)
        report.rejections.push_back(
            Rejection{fs[k].source, fs[k].score, fs[k].entity, RejectReason::outranked});
    } else {
      if (kept != k) fs[kept] = std::move(fs[k]);
      ++kept;
    }
  }
  fs.erase(fs.begin() + static_cast<std::ptrdiff_t>(kept), fs.end());
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

// `owned_source`, when given, holds `text` and may be consumed (see normalize_changes for
// `source_copy`). Without `whole_report`, the report has no rejections, and its
// normalized_text stays empty when no pass changes the text.
std::expected<Report, Error> detect_in(std::string_view source, std::string* owned_source,
                                       const Config& config, bool whole_report,
                                       std::string* source_copy = nullptr) {
  Normalized normalized;
  kinds::Set present = kinds::all;  // of the normalized text
  auto changed = normalize_changes(source, owned_source, config, normalized, &present, source_copy);
  if (!changed) return std::unexpected(std::move(changed.error()));
  Report report;
  std::string_view text = source;
  if (*changed || owned_source || whole_report) {
    report.normalized_text = *changed       ? std::move(normalized.text)
                             : owned_source ? std::move(*owned_source)
                                            : copy_of(source);
    text = report.normalized_text;
  }
  Borrowed borrowed(text.size());
  Spare& home = *borrowed.set;
  std::vector<Span>& emails = home.emails;
  std::vector<Span>& passports = home.passports;
  std::vector<Span>& runs = home.runs;
  std::vector<Span>& date_starts = home.date_starts;
  std::vector<det::WrittenDate>& dates = home.dates;
  // A scanner finds nothing in a text without its trigger bytes: an address holds "@", a
  // passport number an upper-case letter, and a run or a date digits.
  if (present & kinds::upper_or_at) {
    det::scan_emails(text, emails);
    det::scan_passports(text, passports);
  } else {
    emails.clear();
    passports.clear();
  }
  // Only runs of a length some rule can match, or, for their pieces, longer ones.
  const bool with_pieces = pieces_enabled();
  if (present & kinds::digit) {
    det::scan_digit_runs(text, runs, det::kMinRuleLength,
                         with_pieces ? SIZE_MAX : det::kMaxRuleLength, date_starts);
  } else {
    runs.clear();
    date_starts.clear();
  }
  // Without a candidate the report is empty: most short messages end here.
  if (emails.empty() && passports.empty() && runs.empty() && date_starts.empty()) {
    recycle(std::move(normalized.map));
    return report;
  }
  borrowed.filled = true;
  // The map of an unchanged text is the identity, made only for a text with candidates.
  if (!*changed) normalized.map = identity(text);
  Pass pass{config, text, normalized.map, report, home, whole_report};
  if (!date_starts.empty()) {
    pass.keep_dates_near_birth_cues(date_starts);
    det::scan_written_dates(pass.text, date_starts, pass.joint_test(), dates);
  }
  // A candidate gives at most one finding and usually a rejection or two: room for them
  // up front spares the report's lists their growth by doubling.
  pass.plan_index(passports, runs, dates);
  const std::size_t candidates = emails.size() + passports.size() + runs.size();
  if (text.size() >= recycled::kLongText) {
    SpareReport& spare = recycled::per_thread<SpareReport>();
    report.findings = recycled::take(spare.findings, text.size());
    if (whole_report) report.rejections = recycled::take(spare.rejections, text.size());
  }
  report.findings.reserve(candidates);
  if (whole_report) report.rejections.reserve(2 * candidates);
  pages::advise_huge(report.findings.data(), report.findings.capacity() * sizeof(Finding));
  pages::advise_huge(report.rejections.data(), report.rejections.capacity() * sizeof(Rejection));
  pass.emails(emails);
  pass.passports(passports);
  pass.digit_runs(runs, with_pieces);
  pass.written_dates(dates);
  // The map has served every candidate: let it go before the sorting below needs its keys.
  recycle(std::move(normalized.map));

  if (report.findings.size() > 1) remove_nested(report, whole_report);  // one is nested in none
  sort_by_source(report.findings);
  sort_by_source(report.rejections);
  return report;
}

}  // namespace

std::expected<Report, Error> detect(std::string_view text, const Config& config) {
  return detect_in(text, nullptr, config, true);
}

void recycle(Report&& report) {
  recycled::recycle_text(std::move(report.normalized_text));
  recycle(std::move(report.findings));
  // A short text's lists are let go as they are: the thread's are not looked up.
  if (recycled::bytes_of(report.rejections) > recycled::kKeepBytes)
    recycled::give_back(recycled::per_thread<SpareReport>().rejections, report.rejections);
}

void recycle(std::vector<Finding>&& findings) {
  if (recycled::bytes_of(findings) > recycled::kKeepBytes)
    recycled::give_back(recycled::per_thread<SpareReport>().findings, findings);
}

std::expected<Report, Error> detect(std::string&& text, const Config& config) {
  const std::string_view view = text;
  return detect_in(view, &text, config, true);
}

std::expected<Report, Error> detect_findings(std::string_view text, const Config& config) {
  return detect_in(text, nullptr, config, false);
}

std::expected<Report, Error> detect_findings(std::string&& text, const Config& config) {
  const std::string_view view = text;
  return detect_in(view, &text, config, false);
}

std::expected<Report, Error> detect_findings(std::string&& text, const Config& config, std::string& source_copy) {
  const std::string_view view = text;
  return detect_in(view, &text, config, false, &source_copy);
}

}  // namespace kestrix
