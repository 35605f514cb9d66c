// Context cues: the cue-word tables, an index of every cue occurrence in a normalized text,
// and the hits of one table around a candidate span (distance-decayed, sorted, capped sum).
#pragma once
#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "detect/detect.hpp"

namespace kestrix::det {

struct Cue {
  std::string_view word;  // compared as exact UTF-8 bytes (but see any_case)
  float weight;
  std::uint8_t chars;     // length of word in characters
  bool any_case = false;  // an ASCII word whose letters match in either case
  std::string_view unless_next;  // an occurrence directly followed by this does not count
  std::uint8_t anchor = 0;       // bytes before the two syllables the index looks for
};

// One source for every cue table: the tables in their order, each with its entries in table
// order. The code lays them out (all_cues, the CueTable ranges below); nothing is numbered by
// hand.
struct CueWord {
  std::string_view word;
  float weight;
  bool any_case = false;
  std::string_view unless_next = {};
};
enum class CueTableId : std::uint8_t {
  resident, foreigner, business, card, phone, license, account, birth, passport, veto
};
namespace cue_words {
inline constexpr CueWord resident[] = {
    {"주민등록번호", 1.0f}, {"주민번호", 1.0f}, {"주민등록", 0.8f}, {"본인확인", 0.4f},
    {"실명확인", 0.4f}};
inline constexpr CueWord foreigner[] = {
    {"외국인등록번호", 1.0f}, {"외국인등록", 0.8f}, {"외국인", 0.5f}, {"체류", 0.4f}};
inline constexpr CueWord business[] = {
    {"사업자등록번호", 1.0f}, {"사업자번호", 1.0f}, {"사업자", 0.6f}, {"세금계산서", 0.5f},
    {"법인", 0.3f}, {"상호", 0.3f}};
inline constexpr CueWord card[] = {
    {"카드번호", 1.0f}, {"신용카드", 1.0f}, {"체크카드", 1.0f}, {"유효기간", 0.5f},
    {"카드", 0.6f}, {"결제", 0.4f}, {"승인", 0.3f}};
inline constexpr CueWord phone[] = {
    {"전화번호", 1.0f}, {"휴대전화", 1.0f}, {"휴대폰", 1.0f}, {"핸드폰", 1.0f},
    {"연락처", 1.0f}, {"전화", 0.6f}, {"문자", 0.4f}, {"통화", 0.3f}};
inline constexpr CueWord license[] = {
    {"운전면허번호", 1.0f}, {"운전면허", 1.0f}, {"면허번호", 0.9f}, {"면허증", 0.8f}};
// After the core entries: the passbook, and the banks people name instead of the word "account".
// A bank's name alone weighs what 계좌번호 does; a name ending in 은행 also counts 은행 by
// itself (as 주민등록 counts inside 주민등록번호), so its own weight is the rest of that.
inline constexpr CueWord account[] = {
    {"계좌번호", 1.0f}, {"예금주", 0.9f}, {"계좌", 0.8f}, {"입금", 0.7f},
    {"이체", 0.7f}, {"송금", 0.7f}, {"은행", 0.6f}, {"환불", 0.4f},
    {"통장", 0.8f},
    {"국민은행", 0.4f}, {"신한은행", 0.4f}, {"우리은행", 0.4f}, {"하나은행", 0.4f},
    {"기업은행", 0.4f}, {"산업은행", 0.4f}, {"제일은행", 0.4f}, {"씨티은행", 0.4f},
    {"부산은행", 0.4f}, {"대구은행", 0.4f}, {"경남은행", 0.4f}, {"광주은행", 0.4f},
    {"전북은행", 0.4f}, {"제주은행", 0.4f},
    {"농협", 1.0f}, {"수협", 1.0f}, {"신협", 1.0f}, {"새마을금고", 1.0f}, {"우체국", 0.6f},
    {"카카오뱅크", 1.0f}, {"토스뱅크", 1.0f}, {"케이뱅크", 1.0f}};
inline constexpr CueWord birth[] = {
    {"생년월일", 1.0f}, {"출생일", 1.0f}, {"생일", 0.8f}, {"출생", 0.6f},
    {"년생", 0.6f},
    // 생년 counts by itself, not as the start of 생년월일, whose weight stays what it was.
    {"생년", 0.6f, false, "월일"}, {"DOB", 0.8f}};
inline constexpr CueWord passport[] = {
    {"여권번호", 1.0f}, {"여권", 0.8f},
    {"passport", 0.8f, true}, {"Passport No", 1.0f}};
inline constexpr CueWord veto[] = {
    {"증권번호", 1.0f}, {"계약번호", 1.0f}, {"접수번호", 1.0f}, {"주문번호", 1.0f},
    {"송장번호", 1.0f}, {"운송장", 0.8f}, {"관리번호", 0.9f}, {"문서번호", 0.9f},
    {"일련번호", 0.9f}, {"발급번호", 0.8f}, {"전표번호", 0.8f}, {"상품코드", 1.0f},
    {"제품코드", 1.0f}, {"모델번호", 1.0f}, {"모델명", 0.8f}, {"품번", 0.8f},
    {"바코드", 0.8f}, {"콜센터", 1.0f}, {"고객센터", 1.0f}, {"대표번호", 1.0f},
    {"상담센터", 0.9f}, {"ARS", 0.8f}, {"우편번호", 1.0f}, {"별표", 0.6f},
    {"고시", 0.5f}};
}  // namespace cue_words

// A cue occurrence counts or not by at most this many characters after it (unless_next).
constexpr std::uint32_t kCueLookahead = 8;

// The tables in CueTableId order.
inline constexpr std::span<const CueWord> kCueTables[] = {
    cue_words::resident, cue_words::foreigner, cue_words::business, cue_words::card,
    cue_words::phone,    cue_words::license,   cue_words::account,  cue_words::birth,
    cue_words::passport, cue_words::veto};

struct CueTable {
  std::uint8_t first = 0;
  std::uint8_t count = 0;  // 0: no table (e-mail)
};

// Table t as a range of all_cues(): the tables laid end to end in CueTableId order.
constexpr CueTable cue_table(CueTableId t) {
  std::size_t first = 0;
  for (std::size_t k = 0; k < static_cast<std::size_t>(t); ++k) first += kCueTables[k].size();
  return CueTable{static_cast<std::uint8_t>(first),
                  static_cast<std::uint8_t>(kCueTables[static_cast<std::size_t>(t)].size())};
}

// Every cue of every table, one array; a table is a contiguous range of it (its entries in
// table order), so a cue id doubles as an index into per-cue data.
constexpr std::size_t kCueCount = [] {
  std::size_t n = 0;
  for (std::span<const CueWord> t : kCueTables) n += t.size();
  return n;
}();
static_assert(std::size(kCueTables) == static_cast<std::size_t>(CueTableId::veto) + 1);
static_assert(kCueCount <= 128, "CueIndex::present holds 128 cue ids");
const std::array<Cue, kCueCount>& all_cues();

namespace cues {
inline constexpr CueTable resident = cue_table(CueTableId::resident);
inline constexpr CueTable foreigner = cue_table(CueTableId::foreigner);
inline constexpr CueTable business = cue_table(CueTableId::business);
inline constexpr CueTable card = cue_table(CueTableId::card);
inline constexpr CueTable phone = cue_table(CueTableId::phone);
inline constexpr CueTable license = cue_table(CueTableId::license);
inline constexpr CueTable account = cue_table(CueTableId::account);
inline constexpr CueTable birth = cue_table(CueTableId::birth);
inline constexpr CueTable passport = cue_table(CueTableId::passport);
inline constexpr CueTable veto = cue_table(CueTableId::veto);
}  // namespace cues

// Start positions (in characters) of every cue occurrence in one text, grouped by cue id and
// ascending within a cue. Overlapping occurrences are all recorded, so the nearest occurrence
// on either side of a span is what a substring search inside the window would find.
// Built in one pass over the text; a query then touches only the occurrences next to its span
// of the cues that occur in the text at all, whatever the window size.
struct CueIndex {
  std::vector<std::uint32_t> starts;       // grouped by cue id
  // The same occurrences in text order, each as start << 8 | cue id (ascending as numbers).
  std::vector<std::uint64_t> by_start;
  std::array<std::uint64_t, 2> present{};  // bit c: cue c occurs in the text
  // Cue c occurs at starts[begin[c]..end[c]); set only for the cues that occur (the others are
  // never read), so a short text does not pay for the cues it lacks.
  std::array<std::uint32_t, kCueCount> begin, end;
  std::uint32_t total_chars = 0;
};

void build_cue_index(std::string_view text, CueIndex& index);

// Keeps (in order) the spans of `starts` (ascending) near whose first byte b a cue of the birth
// table may stand: where 생 or DOB begins in [b - before, b + after) (every birth cue holds one
// or is the other). For the many dates of prose: the text is searched only there, once.
void keep_near_birth_cues(std::string_view text, std::vector<Span>& starts,
                          std::size_t before, std::size_t after);

// Where the previous query of a sequence stopped in each cue's list. Candidates arrive in text
// order, so each query walks from there instead of searching: forward over a whole sequence,
// linear in the number of occurrences; back, for a query whose span ends before the previous
// one's (the pieces of a joined run), over the occurrences in between (correct in any order,
// only slower the further back it goes).
struct CueCursor {
  // Per cue (set for the cues that occur, by reset_cursor; the others are never read, and are
  // left unset so that a detection does not pay for them): its first occurrence not before
  // the end of the last query that visited it.
  std::array<std::uint32_t, kCueCount> next;
  // The occurrences that the windows of the last span queried can see: by_start[near_lo ..
  // near_hi), found once for the queries of all its tables (near_set: for the span
  // [near_start, near_end) and the window near_window). With `near_many`, more than
  // kMaxNearCues: each query then walks its cues' lists instead.
  std::uint32_t near_start = 0, near_end = 0, near_window = 0;
  std::uint32_t near_lo = 0, near_hi = 0;
  bool near_set = false, near_many = false;
};
// A span's windows holding more occurrences than this are searched cue by cue.
constexpr std::uint32_t kMaxNearCues = 32;

// Whether a cue of `table` occurs anywhere in the indexed text: else find_hits gives no hit.
inline bool table_occurs(const CueIndex& index, CueTable table) {
  __extension__ using Bits = unsigned __int128;
  const Bits present = Bits{index.present[1]} << 64 | index.present[0];
  return (static_cast<std::uint64_t>(present >> table.first) & ((std::uint64_t{1} << table.count) - 1)) != 0;
}

// Whether the cursor has found that the windows of [char_start, char_end) (window `window`) see
// no occurrence at all: then find_hits gives that span no hit, whatever the table.
inline bool sees_no_cue(const CueCursor& cursor, std::uint32_t char_start, std::uint32_t char_end,
                        std::uint32_t window) {
  return cursor.near_set && !cursor.near_many && cursor.near_lo == cursor.near_hi &&
         cursor.near_start == char_start && cursor.near_end == char_end && cursor.near_window == window;
}

void reset_cursor(const CueIndex& index, CueCursor& cursor);

// Room for up to N records held inline, of which only the first `size` are ever read. The
// room is left unfilled: a detection keeps several such lists, and filling them cost a short
// text more than the reading of its candidates.
template <class T, std::size_t N>
struct ShortList {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
  union {
    std::array<T, N> items;
  };
  std::size_t size = 0;
  ShortList() {}
  const T* begin() const { return items.data(); }
  const T* end() const { return items.data() + size; }
};

// The hits of one table around one span: at most one per cue of the table, held inline so
// that the queries of a text allocate nothing.
constexpr std::size_t kMaxTableCues = [] {
  std::size_t most = 0;
  for (std::span<const CueWord> t : kCueTables) most = std::max(most, t.size());
  return most;
}();
using HitList = ShortList<ContextHit, kMaxTableCues>;

// Hits of `table` around the normalized span [char_start, char_end): the left window is the
// max(window, 1) characters before the span, the right window the `window` characters after
// it, both clipped to the text. One hit per cue at its smallest distance, weight decayed by
// 1 / (0.125 * distance + 1), ordered by weight descending then cue bytes ascending (stable).
// `out` is cleared first.
void find_hits(const CueIndex& index, CueCursor& cursor, std::uint32_t char_start,
               std::uint32_t char_end, std::uint32_t window, CueTable table,
               HitList& out);

// Sum of the weights in list order, capped at 1.5.
inline float context_score(const HitList& hits) {
  float sum = 0.0f;
  for (const ContextHit& h : hits) sum += h.weight;
  return sum > 1.5f ? 1.5f : sum;
}

}  // namespace kestrix::det
