// The rule table: the readings of one run of digits, with checksums, priors, ceilings,
// needs-context flags, not-applicable reasons and cue tables. Pure functions, no state.
#pragma once
#include <array>
#include <cstdint>
#include <string_view>

#include "detect/context.hpp"
#include "detect/entity.hpp"

namespace kestrix::det {

// One element per character of a run: 0..9 for "0".."9", 10 for a masked position (*, X, x).
constexpr std::uint8_t kMasked = 10;

struct RuleMatch {
  ChecksumStatus status = ChecksumStatus::not_applicable;
  std::string_view reason;  // static; empty unless not_applicable
  std::string_view rule;    // static rule name
  CueTable cues;
  float prior = 0;
  bool needs_context = false;
  Certainty ceiling = Certainty::possible;
  Entity entity = Entity::resident;
};

// Each step of the table appends at most one record, so seven is the most a run can get.
using RuleMatches = ShortList<RuleMatch, 7>;

inline constexpr std::string_view kMaskedReason = "가려진 자리가 있어 검증식을 적용할 수 없다";
inline constexpr std::string_view kEmailReason = "이메일에는 검증식이 없다";
inline constexpr std::string_view kPassportReason = "여권번호에는 공개된 검증식이 없다";
inline constexpr std::string_view kBirthReason = "생년월일에는 검증식이 없다";

// Only runs of this many characters can match any rule; longer or shorter ones yield nothing.
constexpr std::size_t kMinRuleLength = 6;
constexpr std::size_t kMaxRuleLength = 19;
// Whether some rule reads a run of `n` characters, in the national form or, after a country
// code, the international one: none reads seven (a birth date has six or eight, a phone number
// at least eight, and seven after a code leave at most six).
constexpr bool rule_length(std::size_t n) {
  return n >= kMinRuleLength && n <= kMaxRuleLength && n != 7;
}

// `digits` and `text` describe the same run: `text` is the run with every masked position
// written as "*". Appends the readings in table order to `out` (cleared first).
void evaluate_rules(const std::uint8_t* digits, std::string_view text, RuleMatches& out);

// The checks, exposed for the tests of the table itself.
struct ResidentCheck {
  ChecksumStatus status;
  Entity entity;
  bool birth_valid;
};
ResidentCheck resident_check(const std::uint8_t* d);  // 13 positions
bool business_checksum(const std::uint8_t* d);        // 10 unmasked positions
bool luhn(const std::uint8_t* d, std::size_t n);      // n unmasked positions
int days_in_month(int year, int month);                // 0 for a month outside 1..12
bool valid_yyyymmdd(const std::uint8_t* d);            // 8 unmasked positions
bool valid_yymmdd(const std::uint8_t* d);            // 6 unmasked positions
// A date whose year is written with `year_digits` digits (4: the year 1800..2200; 2: the year
// in 1900 + y or, failing that, 2000 + y) names a real day.
bool valid_birth_date(int year_digits, int year, int month, int day);
// The birth-date reading named `rule`: the record of the digit forms.
RuleMatch birth_match(std::string_view rule);

}  // namespace kestrix::det
