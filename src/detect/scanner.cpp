// E-mail, passport and digit-run scanners.
#include "detect/scanner.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "detect/rules.hpp"
#include "text/bytes.hpp"

namespace kestrix::det {
namespace {

enum : std::uint8_t {
  kDigit = 1,
  kUpper = 2,
  kLower = 4,
  kMask = 8,     // "*", "X", "x"
  kLocal = 16,   // allowed in the local part of an address
  kDomain = 32,  // allowed in a domain
};

constexpr std::array<std::uint8_t, 256> build_classes() {
  std::array<std::uint8_t, 256> t{};
  for (int c = '0'; c <= '9'; ++c) t[c] |= kDigit | kLocal | kDomain;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] |= kUpper | kLocal | kDomain;
  for (int c = 'a'; c <= 'z'; ++c) t[c] |= kLower | kLocal | kDomain;
  t['*'] |= kMask;
  t['X'] |= kMask;
  t['x'] |= kMask;
  for (char c : {'%', '+', '-', '.', '_'}) t[static_cast<unsigned char>(c)] |= kLocal;
  for (char c : {'-', '.'}) t[static_cast<unsigned char>(c)] |= kDomain;
  return t;
}

constexpr std::array<std::uint8_t, 256> kClass = build_classes();

inline std::uint8_t cls(const unsigned char* s, std::size_t i) { return kClass[s[i]]; }
constexpr std::uint8_t kLetter = kUpper | kLower;
constexpr std::uint8_t kAlnum = kLetter | kDigit;

inline bytes::V16 any_digit_or_mask(bytes::V16 v) {
  return bytes::in_range(v, '0', '9') | bytes::eq(v, '*') | bytes::eq(v, 'X') | bytes::eq(v, 'x');
}

inline bytes::V16 any_upper(bytes::V16 v) { return bytes::in_range(v, 'A', 'Z'); }

// Character offsets of byte positions visited in increasing order.
struct CharCursor {
  const unsigned char* s;
  std::size_t byte = 0;
  std::uint32_t chars = 0;
  std::uint32_t at(std::size_t b) {
    if (b > byte) {
      chars += static_cast<std::uint32_t>(bytes::count_chars(s + byte, b - byte));
      byte = b;
    }
    return chars;
  }
};

Span make_span(CharCursor& cur, std::size_t b0, std::size_t b1) {
  // Candidates are ASCII, so their length in characters is their length in bytes.
  std::uint32_t c0 = cur.at(b0);
  return Span{static_cast<std::uint32_t>(b0), static_cast<std::uint32_t>(b1), c0,
              static_cast<std::uint32_t>(c0 + (b1 - b0))};
}

bool valid_domain(const unsigned char* s, std::size_t b, std::size_t e) {
  std::size_t labels = 0, label_start = b;
  for (std::size_t i = b; i < e; ++i) {
    if (s[i] != '.') continue;
    if (i == label_start) return false;  // empty label
    ++labels;
    label_start = i + 1;
  }
  // [label_start, e) is the last label; e > b and the domain never ends with a dot here.
  if (labels < 1 || e - label_start < 2) return false;
  for (std::size_t i = label_start; i < e; ++i)
    if (!(kClass[s[i]] & kLetter)) return false;
  return true;
}

}  // namespace

void scan_emails(std::string_view text, std::vector<Span>& out) {
  out.clear();
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  CharCursor cur{s};
  // The local part never reaches back into the previous address, so the list never overlaps.
  std::size_t floor = 0;
  auto next_at = [&](std::size_t from) -> std::size_t {
    if (from >= n) return n;
    const void* p = std::memchr(s + from, '@', n - from);
    return p ? static_cast<std::size_t>(static_cast<const unsigned char*>(p) - s) : n;
  };
  for (std::size_t at = next_at(0); at < n;) {
    std::size_t ls = at;
    while (ls > floor && (cls(s, ls - 1) & kLocal)) --ls;
    bool ok = ls < at;
    while (ls < at && s[ls] == '.') ++ls;
    ok = ok && ls < at && s[at - 1] != '.';
    std::size_t de = at + 1;
    if (ok) {
      while (de < n && (cls(s, de) & kDomain)) ++de;
      while (de > at + 1 && (s[de - 1] == '-' || s[de - 1] == '.')) --de;
      ok = de > at + 1 && valid_domain(s, at + 1, de);
    }
    if (ok) {
      out.push_back(make_span(cur, ls, de));
      floor = de;
      at = next_at(de);
    } else {
      at = next_at(at + 1);
    }
  }
}

void scan_passports(std::string_view text, std::vector<Span>& out) {
  out.clear();
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  CharCursor cur{s};  // characters counted only up to the shapes that are kept
  auto one = [](unsigned char b) { return (kClass[b] & kUpper) != 0; };
  std::size_t i = 0;
  for (;;) {
    i = bytes::find(s, i, n, any_upper, one);
    if (i >= n) return;
    if (i > 0 && (cls(s, i - 1) & kAlnum)) {
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    std::size_t letters = 1;
    if (j < n && (cls(s, j) & kUpper)) {
      ++j;
      letters = 2;
    }
    std::size_t end = j;
    while (end < n && (cls(s, end) & kDigit)) ++end;
    std::size_t digits = end - j;
    bool free_end = end == n || !(cls(s, end) & kAlnum);
    if (free_end && (digits == 7 || digits == 8) && (letters + digits == 8 || letters + digits == 9))
      out.push_back(make_span(cur, i, end));  // the shape is ASCII
    i = end;
  }
}

void scan_digit_runs(std::string_view text, std::vector<Span>& out, std::size_t min_len,
                     std::size_t max_len) {
  out.clear();
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  // Characters are counted only up to the runs that are kept, in one forward walk.
  CharCursor cur{s};
  auto one = [](unsigned char b) { return (kClass[b] & (kDigit | kMask)) != 0; };
  for (std::size_t i = 0;;) {
    i = bytes::find(s, i, n, any_digit_or_mask, one);
    if (i >= n) return;
    std::size_t start = i;
    std::size_t digits = 0;
    while (i < n && (cls(s, i) & (kDigit | kMask))) digits += (cls(s, i++) & kDigit) != 0;
    const std::size_t len = i - start;
    if (digits >= 2 && len >= min_len && len <= max_len) out.push_back(make_span(cur, start, i));
  }
}

void digit_array(std::string_view run, std::uint8_t* digits, char* text_form) {
  for (std::size_t k = 0; k < run.size(); ++k) {
    auto c = static_cast<unsigned char>(run[k]);
    bool digit = c >= '0' && c <= '9';
    digits[k] = digit ? static_cast<std::uint8_t>(c - '0') : kMasked;
    text_form[k] = digit ? static_cast<char>(c) : '*';
  }
}

}  // namespace kestrix::det
