// The rule table and its checksums.
#include "detect/rules.hpp"

#include <cstring>
#include <memory>
#include <initializer_list>

namespace kestrix::det {
namespace {

constexpr std::string_view kPhoneReason = "전화번호에는 검증식이 없다";
constexpr std::string_view kLicenseReason = "검증 자릿수는 존재하나 계산식이 공개돼 있지 않다";
constexpr std::string_view kAccountReason = "은행별 체계가 달라 공통 검증식이 없다";

// Eight digits at a time: a word holds a mask where its bytes xor kMasked hold a zero byte,
// which (w - 0x01..) & ~w & 0x80.. tells exactly. The last word ends at the run's end, over
// bytes already looked at; a run of four to seven is two words of four, one at either end.
bool any_masked(const std::uint8_t* d, std::size_t n) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
  auto masked_in = [&](std::uint64_t w) {
    w ^= kOnes * kMasked;
    return (w - kOnes) & ~w & kHigh;
  };
  if (n >= 8) {
    std::uint64_t w;
    for (std::size_t i = 0; i + 8 < n; i += 8) {
      std::memcpy(&w, d + i, 8);
      if (masked_in(w)) return true;
    }
    std::memcpy(&w, d + n - 8, 8);
    return masked_in(w) != 0;
  }
  if (n >= 4) {
    std::uint32_t a, b;
    std::memcpy(&a, d, 4);
    std::memcpy(&b, d + n - 4, 4);
    return masked_in(std::uint64_t{a} | std::uint64_t{b} << 32) != 0;
  }
  for (std::size_t i = 0; i < n; ++i)
    if (d[i] == kMasked) return true;
  return false;
}

int two(const std::uint8_t* d) { return d[0] * 10 + d[1]; }

bool is_leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

bool date_fits(int year, int month, int day) {
  return day >= 1 && day <= days_in_month(year, month);
}

// The slots are reused from run to run: start every record from its defaults, or a rule that
// leaves a field unset (the phone rules' status) inherits the previous run's value. Made in
// place: a record assigned from a temporary was built on the stack a byte at a time and read
// back a vector at a time, a load that waits for the stores before it to reach the cache.
RuleMatch& push(RuleMatches& out) {
  return *std::construct_at(&out.items[out.size++]);
}

}  // namespace

int days_in_month(int year, int month) {
  switch (month) {
    case 1: case 3: case 5: case 7: case 8: case 10: case 12: return 31;
    case 4: case 6: case 9: case 11: return 30;
    case 2: return is_leap(year) ? 29 : 28;
    default: return 0;
  }
}

bool valid_birth_date(int year_digits, int year, int month, int day) {
  if (year_digits == 4) return year >= 1800 && year <= 2200 && date_fits(year, month, day);
  return year_digits == 2 && (date_fits(1900 + year, month, day) || date_fits(2000 + year, month, day));
}

bool valid_yyyymmdd(const std::uint8_t* d) {
  return valid_birth_date(4, two(d) * 100 + two(d + 2), two(d + 4), two(d + 6));
}

bool valid_yymmdd(const std::uint8_t* d) { return valid_birth_date(2, two(d), two(d + 2), two(d + 4)); }

RuleMatch birth_match(std::string_view rule) {
  return RuleMatch{ChecksumStatus::not_applicable, kBirthReason, rule, cues::birth, 0.1f, true,
                   Certainty::probable, Entity::birth_date};
}

ResidentCheck resident_check(const std::uint8_t* d) {
  int century = 1900;
  bool foreigner = false;
  switch (d[6]) {
    case 0: case 9: century = 1800; break;
    case 1: case 2: century = 1900; break;
    case 3: case 4: century = 2000; break;
    case 5: case 6: century = 1900; foreigner = true; break;
    case 7: case 8: century = 2000; foreigner = true; break;
    default: break;  // masked: 1900s, Korean
  }
  ResidentCheck r{ChecksumStatus::not_applicable,
                  foreigner ? Entity::foreigner_registration : Entity::resident, false};
  if (!any_masked(d, 6)) {
    int yy = two(d), month = two(d + 2), day = two(d + 4);
    r.birth_valid = date_fits(century + yy, month, day) ||
                    (d[6] == kMasked && date_fits(2000 + yy, month, day));
  }
  if (!any_masked(d, 13)) {
    static constexpr int kWeights[12] = {2, 3, 4, 5, 6, 7, 8, 9, 2, 3, 4, 5};
    int s = 0;
    for (int i = 0; i < 12; ++i) s += d[i] * kWeights[i];
    int check = (11 - s % 11) % 10;
    if (foreigner) check = (check + 2) % 10;
    r.status = d[12] == check ? ChecksumStatus::passed : ChecksumStatus::failed;
  }
  return r;
}

bool business_checksum(const std::uint8_t* d) {
  int s = d[0] + 3 * d[1] + 7 * d[2] + d[3] + 3 * d[4] + 7 * d[5] + d[6] + 3 * d[7] + 5 * d[8] +
          d[8] / 2;
  return d[9] == (10 - s % 10) % 10;
}

bool luhn(const std::uint8_t* d, std::size_t n) {
  int sum = 0;
  for (std::size_t k = 0; k < n; ++k) {
    int v = d[n - 1 - k];
    if (k % 2 == 1) {
      v *= 2;
      if (v > 9) v -= 9;
    }
    sum += v;
  }
  return sum % 10 == 0;
}

void evaluate_rules(const std::uint8_t* d, std::string_view text, RuleMatches& out) {
  out.size = 0;
  const std::size_t n = text.size();
  const bool masked = any_masked(d, n);
  auto checked = [&](bool pass) {
    return masked ? ChecksumStatus::not_applicable
                  : pass ? ChecksumStatus::passed : ChecksumStatus::failed;
  };
  auto reason_of = [](ChecksumStatus s) {
    return s == ChecksumStatus::not_applicable ? kMaskedReason : std::string_view{};
  };

  // Fewer than eight characters: a birth date of six is the only reading (every other rule
  // wants eight or more), and it comes last in the table.
  if (n < 8) {
    if (n == 6 && !masked && valid_yymmdd(d)) push(out) = birth_match("birth.yymmdd");
    return;
  }

  // 1. Resident and foreigner registration numbers.
  if (n == 13) {
    ResidentCheck rc = resident_check(d);
    bool korean = rc.entity == Entity::resident;
    if (rc.birth_valid || masked) {
      RuleMatch& m = push(out);
      m.status = rc.status;
      m.reason = reason_of(rc.status);
      m.entity = rc.entity;
      m.cues = korean ? cues::resident : cues::foreigner;
      if (rc.birth_valid) {
        m.rule = korean ? "resident.korean_13" : "resident.foreigner_13";
        m.prior = 0.6f;
        m.needs_context = false;
        m.ceiling = masked ? Certainty::probable : Certainty::certain;
      } else {
        m.rule = korean ? "resident.korean_masked" : "resident.foreigner_masked";
        m.prior = 0.2f;
        m.needs_context = true;
        m.ceiling = Certainty::probable;
      }
    }
  }

  // 2. Business registration numbers.
  if (n == 10) {
    RuleMatch& m = push(out);
    m.status = checked(!masked && business_checksum(d));
    m.reason = reason_of(m.status);
    m.rule = "business.10";
    m.cues = cues::business;
    m.prior = 0.4f;
    m.ceiling = Certainty::certain;
    m.entity = Entity::business_registration;
  }

  // 3. Card numbers.
  if (n >= 13 && n <= 19) {
    RuleMatch& m = push(out);
    m.status = checked(!masked && luhn(d, n));
    m.reason = reason_of(m.status);
    m.rule = "card.luhn";
    m.cues = cues::card;
    m.prior = 0.4f;
    m.ceiling = Certainty::certain;
    m.entity = Entity::credit_card;
  }

  // 4. Telephone numbers of eight to eleven characters: at most one rule, tested in this
  // order. The prefixes are compared as numbers: the value of the first k positions, -1 when
  // one of them is masked.
  if (n >= 8 && n <= 11) {
    auto lead = [&](std::size_t k) {
      int v = 0;
      for (std::size_t i = 0; i < k; ++i) {
        if (d[i] == kMasked) return -1;
        v = v * 10 + d[i];
      }
      return v;
    };
    const int p2 = lead(2), p3 = n >= 10 ? lead(3) : -1;  // the three only for a landline
    auto third_in = [&](std::initializer_list<int> set) {
      if (p2 != 1) return false;  // "01"
      for (int x : set)
        if (d[2] == x) return true;
      return false;
    };
    auto landline = [](int p) {
      switch (p) {
        case 31: case 32: case 33: case 41: case 42: case 43: case 44: case 51: case 52:
        case 53: case 54: case 55: case 61: case 62: case 63: case 64: case 70:
          return true;  // "031" .. "070"
        default:
          return false;
      }
    };
    std::string_view rule;
    if (n == 10 && third_in({1, 6, 7, 8, 9})) {
      rule = "phone.mobile_10";
    } else if (n == 11 && third_in({0, 1, 6, 7, 8, 9})) {
      rule = "phone.mobile_11";
    } else if ((n == 9 || n == 10) && p2 == 2) {  // "02"
      rule = "phone.seoul";
    } else if ((n == 10 || n == 11) && landline(p3)) {
      rule = "phone.landline";
    } else if (n == 8 && (p2 == 15 || p2 == 16 || p2 == 18)) {
      rule = "phone.representative";
    }
    if (!rule.empty()) {
      RuleMatch& m = push(out);
      m.reason = kPhoneReason;
      m.rule = rule;
      m.cues = cues::phone;
      m.prior = 0.6f;
      m.ceiling = Certainty::probable;
      m.entity = Entity::phone;
    }
  }

  // 5. Driver licences: region codes 11 to 26 and 28.
  if (n == 12 && d[0] != kMasked && d[1] != kMasked) {
    int region = two(d);
    if ((region >= 11 && region <= 26) || region == 28) {
      RuleMatch& m = push(out);
      m.reason = kLicenseReason;
      m.rule = "license.12";
      m.cues = cues::license;
      m.prior = 0.2f;
      m.needs_context = true;
      m.ceiling = Certainty::probable;
      m.entity = Entity::driver_license;
    }
  }

  // 6. Bank accounts.
  if (n >= 10 && n <= 14) {
    RuleMatch& m = push(out);
    m.reason = kAccountReason;
    m.rule = "account.length";
    m.cues = cues::account;
    m.prior = 0.1f;
    m.needs_context = true;
    m.ceiling = Certainty::probable;
    m.entity = Entity::bank_account;
  }

  // 7. Birth dates.
  if (!masked && ((n == 8 && valid_yyyymmdd(d)) || (n == 6 && valid_yymmdd(d))))
    push(out) = birth_match(n == 8 ? "birth.yyyymmdd" : "birth.yymmdd");
}

}  // namespace kestrix::det
