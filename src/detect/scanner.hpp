// Candidate scanners over normalized text: e-mail addresses, passport shapes and digit runs.
// Every character class they use is ASCII, so they walk bytes: a byte >= 0x80 belongs to a
// non-ASCII character and is never a letter, digit or mask. Each list is in text order and
// never overlaps itself. All run in time linear in the text.
#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

#include "span/span.hpp"

namespace kestrix::det {

void scan_emails(std::string_view text, std::vector<Span>& out);
// Passport shapes: one or two upper letters and seven or eight digits, nine characters at most,
// or (the new passport) an upper letter, three digits, an upper letter and four digits.
void scan_passports(std::string_view text, std::vector<Span>& out);
// Whether a passport shape of `text` is the new one (a letter at its fifth character).
inline bool new_passport_shape(std::string_view shape) {
  return shape.size() == 9 && shape[4] >= 'A' && shape[4] <= 'Z';
}
// Maximal runs of digits and mask characters holding at least two digits, of those the ones
// whose length lies within [min_len, max_len]. The runs of two or more digits that a "/"
// follows, or 년 after at most kMaxDateSpaces spaces, go to `date_starts` (as their spans, of
// at most their last four digits): where a date written with slashes or in words may begin.
void scan_digit_runs(std::string_view text, std::vector<Span>& out, std::size_t min_len,
                     std::size_t max_len, std::vector<Span>& date_starts);

// A birth date written as YYYY/MM/DD or in words (YYYY년 M월 D일, YY년 too, up to two spaces
// around each number, an optional 생 after 일), as read at a date start. No written date is
// longer than kMaxWrittenDateBytes.
constexpr std::size_t kMaxDateSpaces = 2;
constexpr std::size_t kMaxWrittenDateBytes = 4 + 2 + 2 + 4 * 3 + 6 * kMaxDateSpaces;
enum class DateForm : std::uint8_t { slash, words };
struct WrittenDate {
  Span span;  // the whole written date
  DateForm form;
  int year_digits, year, month, day;  // as written: the year of two digits is not yet a year
};
// Whether the separator pass deleted separators at a byte offset of the text: two numbers
// that it joined meet there.
struct JointTest {
  void* context;
  bool (*test)(void* context, std::size_t at);
  bool operator()(std::size_t at) const { return test(context, at); }
};
// The dates that begin at the first bytes of `date_starts`, in text order and not overlapping.
// Where the separator pass joined a date to the digits before or after it (a year of four or
// two digits at the end of a longer run, a day followed by more digits), the date is read
// where a joint stands between them.
void scan_written_dates(std::string_view text, const std::vector<Span>& date_starts,
                        const JointTest& joint, std::vector<WrittenDate>& out);

// The digit array of a run ("0".."9" -> 0..9, "*"/"X"/"x" -> 10) and its text form (masks
// written as "*"), into buffers of at least run.size() elements.
void digit_array(std::string_view run, std::uint8_t* digits, char* text_form);

}  // namespace kestrix::det
