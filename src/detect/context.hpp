// Context cues: the cue-word tables, an index of every cue occurrence in a normalized text,
// and the hits of one table around a candidate span (distance-decayed, sorted, capped sum).
#pragma once
#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "detect/detect.hpp"

namespace kestrix::det {

struct Cue {
  std::string_view word;  // compared as exact UTF-8 bytes
  float weight;
  std::uint8_t chars;     // length of word in characters
};

// Every cue of every table, one array; a table is a contiguous range of it (its entries in
// table order), so a cue id doubles as an index into per-cue data.
constexpr std::size_t kCueCount = 74;  // at most 128: CueIndex::present
const std::array<Cue, kCueCount>& all_cues();

struct CueTable {
  std::uint8_t first = 0;
  std::uint8_t count = 0;  // 0: no table (e-mail)
};

namespace cues {
inline constexpr CueTable resident{0, 5};
inline constexpr CueTable foreigner{5, 4};
inline constexpr CueTable business{9, 6};
inline constexpr CueTable card{15, 7};
inline constexpr CueTable phone{22, 8};
inline constexpr CueTable license{30, 4};
inline constexpr CueTable account{34, 8};
inline constexpr CueTable birth{42, 5};
inline constexpr CueTable passport{47, 2};
inline constexpr CueTable veto{49, 25};
}  // namespace cues

// Start positions (in characters) of every cue occurrence in one text, grouped by cue id and
// ascending within a cue. Overlapping occurrences are all recorded, so the nearest occurrence
// on either side of a span is what a substring search inside the window would find.
// Built in one pass over the text; a query then touches only the occurrences next to its span
// of the cues that occur in the text at all, whatever the window size.
struct CueIndex {
  std::vector<std::uint32_t> starts;       // grouped by cue id
  std::array<std::uint64_t, 2> present{};  // bit c: cue c occurs in the text
  // Cue c occurs at starts[begin[c]..end[c]); set only for the cues that occur (the others are
  // never read), so a short text does not pay for the 74 cues it lacks.
  std::array<std::uint32_t, kCueCount> begin, end;
  std::uint32_t total_chars = 0;
};

void build_cue_index(std::string_view text, CueIndex& index);

// Where the previous query of a sequence stopped in each cue's list. Candidates arrive in text
// order, so each query walks from there instead of searching: forward over a whole sequence,
// linear in the number of occurrences; back, for a query whose span ends before the previous
// one's (the pieces of a joined run), over the occurrences in between (correct in any order,
// only slower the further back it goes).
struct CueCursor {
  // Per cue (set for the cues that occur): its first occurrence not before the end of the
  // last query that visited it.
  std::array<std::uint32_t, kCueCount> next{};
};

void reset_cursor(const CueIndex& index, CueCursor& cursor);

// The hits of one table around one span: at most one per cue of the table, held inline so
// that the queries of a text allocate nothing.
constexpr std::size_t kMaxTableCues = 25;
struct HitList {
  std::array<ContextHit, kMaxTableCues> items;
  std::size_t size = 0;
  const ContextHit* begin() const { return items.data(); }
  const ContextHit* end() const { return items.data() + size; }
};

// Hits of `table` around the normalized span [char_start, char_end): the left window is the
// max(window, 1) characters before the span, the right window the `window` characters after
// it, both clipped to the text. One hit per cue at its smallest distance, weight decayed by
// 1 / (0.125 * distance + 1), ordered by weight descending then cue bytes ascending (stable).
// `out` is cleared first.
void find_hits(const CueIndex& index, CueCursor& cursor, std::uint32_t char_start,
               std::uint32_t char_end, std::uint32_t window, CueTable table,
               HitList& out);

// Sum of the weights in list order, capped at 1.5.
float context_score(const HitList& hits);

}  // namespace kestrix::det
