// Hangul numeral reading: numbers written out in Hangul, digit by digit (팔팔공일공일) or with
// units (이천이십오), become ASCII digits. Ordinary words share these syllables, so a run is
// converted only when its result is long enough, or shorter but next to a context cue.
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "normalize/pass_writer.hpp"
#include "text/bytes.hpp"
#include "text/pairs.hpp"
#include "text/utf8.hpp"

namespace kestrix {
namespace {

using pass_detail::byte_at;
using pass_detail::decode3;

constexpr std::string_view kDigitRule = "hangul.digit_reading";
constexpr std::string_view kUnitRule = "hangul.unit_reading";

// Token codes: 0..9 digits, then the units.
enum : std::uint8_t { kTen = 10, kHundred, kThousand, kTenThousand, kHundredMillion, kNone = 0xFF };

constexpr std::uint64_t unit_value(std::uint8_t t) {
  switch (t) {
    case kTen: return 10;
    case kHundred: return 100;
    case kThousand: return 1000;
    case kTenThousand: return 10000;
    default: return 100000000;
  }
}

constexpr char32_t kSyllableBase = 0xAC00;
constexpr std::size_t kSyllableCount = 11172;

// Token of each precomposed syllable on its own.
constexpr std::array<std::uint8_t, kSyllableCount> kSingle = [] {
  std::array<std::uint8_t, kSyllableCount> t{};
  for (auto& v : t) v = kNone;
  struct E { char32_t c; std::uint8_t v; };
  constexpr E entries[] = {
      {U'공', 0}, {U'영', 0}, {U'빵', 0}, {U'일', 1}, {U'이', 2}, {U'둘', 2}, {U'삼', 3},
      {U'셋', 3}, {U'사', 4}, {U'넷', 4}, {U'오', 5}, {U'육', 6}, {U'륙', 6}, {U'칠', 7},
      {U'팔', 8}, {U'구', 9}, {U'십', kTen}, {U'백', kHundred}, {U'천', kThousand},
      {U'만', kTenThousand}, {U'억', kHundredMillion}};
  for (const E& e : entries) t[e.c - kSyllableBase] = e.v;
  return t;
}();

// Syllables that can begin a token: the single ones and the first syllables of the words.
constexpr std::array<bool, kSyllableCount> kStarts = [] {
  std::array<bool, kSyllableCount> t{};
  for (std::size_t i = 0; i < kSyllableCount; ++i) t[i] = kSingle[i] != kNone;
  for (char32_t c : {U'하', U'다', U'여', U'아'}) t[c - kSyllableBase] = true;
  return t;
}();

// kStarts as bits: the table stays within a few cache lines.
constexpr std::array<std::uint64_t, (kSyllableCount + 63) / 64> kStartBits = [] {
  std::array<std::uint64_t, (kSyllableCount + 63) / 64> t{};
  for (std::size_t i = 0; i < kSyllableCount; ++i)
    if (kStarts[i]) t[i / 64] |= std::uint64_t{1} << (i % 64);
  return t;
}();

// The (lead byte, second byte) pairs of the syllables in kStarts. One syllable in eight
// shares a pair with some token start.
constexpr pairs::PairSet kStartPairs = [] {
  pairs::PairSet t;
  for (std::size_t i = 0; i < kSyllableCount; ++i)
    if (kStarts[i]) t.add_syllable(i);
  return t;
}();

// Syllables that can follow a token's first syllable in a run: those that begin a token and
// the second syllables of the words.
constexpr std::array<std::uint64_t, (kSyllableCount + 63) / 64> kNextBits = [] {
  std::array<std::uint64_t, (kSyllableCount + 63) / 64> t = kStartBits;
  for (char32_t c : {U'나', U'섯', U'곱', U'덟', U'홉'}) {
    const std::size_t i = c - kSyllableBase;
    t[i / 64] |= std::uint64_t{1} << (i % 64);
  }
  return t;
}();

constexpr pairs::PairSet kNextPairs = [] {
  pairs::PairSet t;
  for (std::size_t i = 0; i < kSyllableCount; ++i)
    if ((kNextBits[i / 64] >> (i % 64)) & 1) t.add_syllable(i);
  return t;
}();

// Whether the three bytes at p are a precomposed syllable of the set.
inline bool syllable_in(const unsigned char* p, const std::array<std::uint64_t, (kSyllableCount + 63) / 64>& set) {
  std::uint32_t c = ((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
  std::uint32_t k = c - kSyllableBase;
  return (p[0] & 0xF0u) == 0xE0u && k < kSyllableCount && ((set[k / 64] >> (k % 64)) & 1) != 0;
}

// The first position at or after i where a token may begin, or s.size(). Every token begins
// with a precomposed syllable, so only positions whose first two bytes are those of a token
// start are decoded. With `two`, only where a second syllable of a run follows: a run of one
// syllable reads as one digit at most.
std::size_t next_start(std::string_view s, std::size_t i, bool two) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  if (two)
    return pairs::find_two(p, i, n, kStartPairs, kNextPairs, [p, n](std::size_t at) {
      return at + 6 <= n && syllable_in(p + at, kStartBits) && syllable_in(p + at + 3, kNextBits);
    });
  return pairs::find(p, i, n, kStartPairs, [p, n](std::size_t at) {
    return at + 3 <= n && syllable_in(p + at, kStartBits);
  });
}

struct Word {
  char32_t first, second;
  std::uint8_t value;
};
// Two-syllable native numerals, tried before the single syllables.
constexpr Word kWords[] = {{U'하', U'나', 1}, {U'다', U'섯', 5}, {U'여', U'섯', 6},
                           {U'일', U'곱', 7}, {U'여', U'덟', 8}, {U'아', U'홉', 9}};

// The precomposed syllable at byte i, or 0.
char32_t syllable_at(std::string_view s, std::size_t i) {
  if (i + 3 > s.size()) return 0;
  unsigned char b = byte_at(s, i);
  if (b < 0xEA || b > 0xED) return 0;
  char32_t c = decode3(s, i);
  return c >= kSyllableBase && c < kSyllableBase + kSyllableCount ? c : 0;
}

struct Token {
  std::uint8_t value = kNone;
  std::uint8_t bytes = 0;
};

Token token_at(std::string_view s, std::size_t i) {
  char32_t c = syllable_at(s, i);
  if (!c) return {};
  if (s.size() - i >= 6) {
    for (const Word& w : kWords) {
      if (w.first == c && syllable_at(s, i + 3) == w.second) return {w.value, 6};
    }
  }
  std::uint8_t v = kSingle[c - kSyllableBase];
  if (v == kNone) return {};
  return {v, 3};
}

// Does the syllable c start at byte i?
bool syllable_is(std::string_view s, std::size_t i, char32_t c) { return syllable_at(s, i) == c; }

bool context_cue(char32_t c) {
  if (c == '-' || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case U'기': case U'년': case U'번': case U'분': case U'생': case U'세': case U'시':
    case U'원': case U'월': case U'일': case U'차': case U'초': case U'호':
      return true;
    default:
      return false;
  }
}

// Unicode White_Space.
bool white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// The nearest character before byte i, across at most `gap` whitespace characters, is a cue.
bool cue_before(std::string_view s, std::size_t i, std::uint64_t gap) {
  std::uint64_t count = 0;
  while (i > 0) {
    char32_t c = utf8::decode_back(s, i);
    if (!white_space(c)) return context_cue(c);
    if (++count > gap) return false;
  }
  return false;
}

// The nearest character from byte i on, across at most `gap` whitespace characters, is a cue.
bool cue_from(std::string_view s, std::size_t i, std::uint64_t gap) {
  std::uint64_t count = 0;
  while (i < s.size()) {
    char32_t c = utf8::decode(s, i);
    if (!white_space(c)) return context_cue(c);
    if (++count > gap) return false;
  }
  return false;
}

// Reads digits and units into a value; false when a digit follows a non-zero pending digit
// or the value overflows 64 bits.
bool unit_reading(const std::vector<std::uint8_t>& tokens, std::string& out) {
  std::uint64_t total = 0, section = 0, pending = 0;
  for (std::uint8_t t : tokens) {
    if (t < kTen) {
      if (pending != 0) return false;
      pending = t;
      continue;
    }
    std::uint64_t unit = unit_value(t);
    if (unit < 10000) {
      std::uint64_t add;
      if (__builtin_mul_overflow(unit, pending ? pending : 1, &add) ||
          __builtin_add_overflow(section, add, &section))
        return false;
      pending = 0;
    } else {
      std::uint64_t factor, add;
      if (__builtin_add_overflow(pending, section, &factor) ||
          __builtin_mul_overflow(unit, factor ? factor : 1, &add) ||
          __builtin_add_overflow(total, add, &total))
        return false;
      pending = section = 0;
    }
  }
  std::uint64_t value;
  if (__builtin_add_overflow(pending, section, &value) ||
      __builtin_add_overflow(value, total, &value))
    return false;
  out = std::to_string(value);
  return true;
}

// A numeral converted in place: the input [from, to) becomes the digits of the pass's list
// that end at digits_end.
struct Conversion {
  std::size_t from, to, digits_end;
};

// Adds a numeral converted in place, [from, to) of the input read as `result`.
[[gnu::noinline]] void record(std::vector<Conversion>& conversions, std::string& digits, std::size_t from,
                              std::size_t to, std::string_view result) {
  digits += result;
  conversions.push_back({from, to, digits.size()});
}

// Writes the output of the conversions into `s`, their input, where it stands. Each stretch
// of the output (a stretch kept from the input, or a numeral's digits) lies `shift` bytes after
// its input, and lies after the output of every stretch before it. A stretch with a shift of
// zero or less is written over input already moved or its own, so those are written front to
// back; one whose output lies further on (a numeral with more digits than its syllables have
// bytes, 일억 is 100000000, and what follows it until the text has shrunk as much again) over
// the input of such stretches after it, so those are written afterwards, back to front.
[[gnu::noinline]] void convert_in_place(std::string& s, const std::vector<Conversion>& conversions, std::string_view digits) {
  const std::size_t n = s.size();
  // What the conversion whose digits begin at `first` adds to the shift.
  auto growth = [](const Conversion& c, std::size_t first) {
    return static_cast<std::ptrdiff_t>(c.digits_end - first) - static_cast<std::ptrdiff_t>(c.to - c.from);
  };
  std::ptrdiff_t shift = 0;
  bool ahead = false;
  for (std::size_t k = 0; const Conversion& c : conversions) {
    shift += growth(c, k);
    k = c.digits_end;
    ahead = ahead || shift > 0;
  }
  const std::size_t size = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(n) + shift);
  if (size > n) s.resize(size);  // the input stays where it is, the output needs the room after it
  char* p = s.data();
  auto move = [p](std::size_t from, std::size_t to, std::ptrdiff_t by) {
    if (by != 0) std::memmove(p + from + by, p + from, to - from);
  };
  // Front to back: the stretches whose shift is zero or less.
  shift = 0;
  std::size_t read = 0, k = 0;
  for (const Conversion& c : conversions) {
    if (shift <= 0) move(read, c.from, shift);
    const std::ptrdiff_t before = shift;
    shift += growth(c, k);
    if (shift <= 0) std::memcpy(p + c.from + before, digits.data() + k, c.digits_end - k);
    read = c.to;
    k = c.digits_end;
  }
  if (shift <= 0) move(read, n, shift);
  if (ahead) {
    // Back to front: the others.
    if (shift > 0) move(read, n, shift);
    for (std::size_t i = conversions.size(); i-- > 0;) {
      const Conversion& c = conversions[i];
      const std::size_t first = i == 0 ? 0 : conversions[i - 1].digits_end;
      const std::ptrdiff_t after = shift;
      shift -= growth(c, first);
      if (after > 0) std::memcpy(p + c.from + shift, digits.data() + first, c.digits_end - first);
      const std::size_t kept_from = i == 0 ? 0 : conversions[i - 1].to;
      if (shift > 0) move(kept_from, c.from, shift);
    }
  }
  s.resize(size);
}

}  // namespace

PassResult pass_hangul(std::string_view text, const Config& config, PassOutput& out) {
  const std::size_t n = text.size();
  // A run of one syllable gives one digit at most: where that is too few to convert even next
  // to a cue, runs are looked for only where two syllables of one may stand.
  const bool two = config.numeral_min_digits_with_context >= 2 &&
                   config.numeral_min_digits_without_context >= 2;
  std::size_t start = next_start(text, 0, two);  // run start
  if (start == n) return false;

  pass_detail::Writer w(text, out);
  std::vector<std::uint8_t> tokens;  // reused for every run
  std::string result;
  // In place (the input is out.in_place), the numerals are converted once the whole input is
  // read: a run's context is judged on the characters before it as they were.
  std::vector<Conversion> conversions;
  std::string converted;  // their digits, one after another
  // Characters skipped by next_start begin no token, as the reading one by one would find, or
  // (with `two`) a run of one syllable, which would be left as it is.
  for (; start < n; start = next_start(text, start, two)) {
    // The run: as many tokens as follow one another from the run start.
    tokens.clear();
    std::size_t end = start;
    for (Token t; (t = token_at(text, end)).bytes;) {
      tokens.push_back(t.value);
      end += t.bytes;
    }
    if (tokens.empty()) {  // 하, 다, 여 or 아 without the rest of its word
      start += 3;
      continue;
    }

    // A copula ending: 삼이요 says "it is three", not 32. Every syllable is three bytes.
    std::size_t syllables = (end - start) / 3;
    std::size_t rest = n - end;
    if (syllables >= 3 && syllable_is(text, end - 6, U'이') && syllable_is(text, end - 3, U'구') &&
        rest >= 3 && syllable_is(text, end, U'요')) {
      tokens.resize(tokens.size() - 2);
      end -= 6;
    } else if (syllables >= 2 && syllable_is(text, end - 3, U'이')) {
      bool copula = false;
      if (rest >= 6) {
        copula = (syllable_is(text, end, U'래') || syllable_is(text, end, U'에') ||
                  syllable_is(text, end, U'예')) &&
                 syllable_is(text, end + 3, U'요');
      }
      if (!copula && rest >= 3)
        copula = syllable_is(text, end, U'요') || syllable_is(text, end, U'고');
      if (copula) {
        tokens.pop_back();
        end -= 3;
      }
    }

    bool has_digit = false, has_unit = false;
    for (std::uint8_t t : tokens) (t < kTen ? has_digit : has_unit) = true;
    std::string_view rule;
    if (has_digit && !has_unit) {
      result.assign(tokens.size(), '0');
      for (std::size_t k = 0; k < tokens.size(); ++k) result[k] = static_cast<char>('0' + tokens[k]);
      rule = kDigitRule;
    } else if (has_digit && unit_reading(tokens, result)) {
      rule = kUnitRule;
    }

    if (!rule.empty()) {
      std::uint64_t digits = result.size();
      bool convert = digits >= config.numeral_min_digits_without_context ||
                     (digits >= config.numeral_min_digits_with_context &&
                      (cue_before(text, start, config.numeral_context_gap) ||
                       cue_from(text, end, config.numeral_context_gap)));
      if (convert) {
        w.keep_to(start);
        numeral(w.b, text.substr(start, end - start), result, rule);
        w.emitted = end;
        if (out.in_place) record(conversions, converted, start, end, result);
      }
    }
    start = end;
  }
  PassResult r = w.done();
  if (r && *r && out.in_place) convert_in_place(*out.in_place, conversions, converted);
  return r;
}

}  // namespace kestrix
