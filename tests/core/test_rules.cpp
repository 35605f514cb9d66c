// The rule table on runs of every length: the lengths that can be read at all, a masked
// position anywhere in a run, and the telephone prefixes at the lengths that carry them.
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "detect/rules.hpp"

using namespace kestrix;

namespace {

// The rule names the table gives `run` ("*" a masked position), each with its checksum
// status: "card.luhn:failed".
std::vector<std::string> readings(std::string_view run) {
  std::uint8_t d[det::kMaxRuleLength + 8] = {};
  std::string form(run);
  for (std::size_t i = 0; i < run.size(); ++i) d[i] = run[i] == '*' ? det::kMasked : run[i] - '0';
  det::RuleMatches out;
  det::evaluate_rules(d, form, out);
  std::vector<std::string> names;
  for (const det::RuleMatch& m : out)
    names.push_back(std::string(m.rule) + ":" + std::string(status_name(m.status)));
  return names;
}

bool has(const std::vector<std::string>& names, std::string_view name) {
  for (const std::string& n : names)
    if (n == name) return true;
  return false;
}

}  // namespace

KX_TEST(rule_length_is_exactly_the_lengths_some_run_is_read_at) {
  std::mt19937 rng(15);
  for (std::size_t n = 1; n <= det::kMaxRuleLength + 2; ++n) {
    bool read = false;
    for (int k = 0; k < 3000 && !read; ++k) {
      std::string run;
      for (std::size_t i = 0; i < n; ++i)
        run += rng() % 8 == 0 ? '*' : static_cast<char>('0' + rng() % 10);
      if (n <= det::kMaxRuleLength) read = !readings(run).empty();
    }
    KX_CHECK(read == det::rule_length(n));
  }
}

KX_TEST(a_mask_anywhere_in_a_run_leaves_no_checksum_and_no_date) {
  // Runs every position of which a rule's test reads: dates, a business number, a resident
  // number, card numbers of every length.
  const std::string runs[] = {"880101",        "19880101",         "1234567891",
                              "8801011234568", "4111111111111111", "4000000000000000002",
                              "40000000000002", "411111111111111", "400000000000000000"};
  for (const std::string& base : runs) {
    const std::vector<std::string> whole = readings(base);
    KX_CHECK(!whole.empty());
    bool checked = false;  // a checksum applied, or the date read
    for (const std::string& r : whole)
      checked = checked || r.starts_with("birth") || !r.ends_with(":not_applicable");
    KX_CHECK(checked);
    for (std::size_t p = 0; p < base.size(); ++p) {
      std::string run = base;
      run[p] = '*';
      for (const std::string& r : readings(run)) {
        KX_CHECK(!r.starts_with("birth"));
        KX_CHECK(r.ends_with(":not_applicable"));
      }
    }
  }
}

KX_TEST(telephone_prefixes_at_the_lengths_that_carry_them) {
  KX_CHECK(has(readings("15881234"), "phone.representative:not_applicable"));
  KX_CHECK(has(readings("1588123*"), "phone.representative:not_applicable"));
  KX_CHECK(!has(readings("1*881234"), "phone.representative:not_applicable"));
  KX_CHECK(has(readings("021234567"), "phone.seoul:not_applicable"));
  KX_CHECK(has(readings("0212345678"), "phone.seoul:not_applicable"));
  KX_CHECK(has(readings("0311234567"), "phone.landline:not_applicable"));
  KX_CHECK(has(readings("03112345678"), "phone.landline:not_applicable"));
  KX_CHECK(!has(readings("03*12345678"), "phone.landline:not_applicable"));
  KX_CHECK(has(readings("0161234567"), "phone.mobile_10:not_applicable"));
  KX_CHECK(has(readings("01012345678"), "phone.mobile_11:not_applicable"));
  // Outside eight to eleven characters, no prefix makes a phone number.
  for (std::string_view run :
       {"0212345", "021234567890", "031123456789", "0101234567890", "158812"})
    for (const std::string& r : readings(run)) KX_CHECK(!r.starts_with("phone"));
}
