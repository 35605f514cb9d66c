// E-mail, passport and digit-run scanners.
#include "detect/scanner.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "detect/rules.hpp"
#include "text/bytes.hpp"
#include "text/simd.hpp"
#include "text/utf8.hpp"

namespace kestrix::det {
namespace {

enum : std::uint8_t {
  kDigit = 1,
  kUpper = 2,
  kLower = 4,
  kMask = 8,     // "*", "X", "x"
  kLocal = 16,   // allowed in the local part of an address
  kDomain = 32,  // allowed in a domain
  kYearNext = 64,  // may follow the year of a written date: "/", a space, the first byte of 년
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
  for (int c : {int{'/'}, int{' '}, 0xEB}) t[c] |= kYearNext;
  return t;
}

constexpr std::array<std::uint8_t, 256> kClass = build_classes();

inline std::uint8_t cls(const unsigned char* s, std::size_t i) { return kClass[s[i]]; }
constexpr std::uint8_t kLetter = kUpper | kLower;
constexpr std::uint8_t kAlnum = kLetter | kDigit;

// A written date's year at byte `end`: a "/", or 년 after at most kMaxDateSpaces spaces.
inline bool year_follows(const unsigned char* s, std::size_t end, std::size_t n) {
  if (end == n || !(kClass[s[end]] & kYearNext)) return false;  // most runs: one lookup
  if (s[end] == '/') return true;
  for (std::size_t k = 0; k < kMaxDateSpaces && end < n && s[end] == ' '; ++k) ++end;
  return n - end >= 3 && s[end] == 0xEB && s[end + 1] == 0x85 && s[end + 2] == 0x84;  // 년
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
  // Invisible format characters inside an address do not split it: they are walked over and
  // then ignored, so the address is judged as if they were not there, and its span covers them.
  auto invisible_at = [&](std::size_t i) { return utf8::invisible_format_len(text, i); };
  auto invisible_before = [&](std::size_t i, std::size_t lo) {
    return i >= lo + 3 ? invisible_at(i - 3) : 0;
  };
  std::string clean;  // the address without them, when it holds any
  for (std::size_t at = next_at(0); at < n;) {
    std::size_t ls = at;
    bool invisible = false;
    for (std::size_t k; ls > floor;) {
      if (cls(s, ls - 1) & kLocal) {
        --ls;
      } else if ((k = invisible_before(ls, floor)) != 0) {
        ls -= k;
        invisible = true;
      } else {
        break;
      }
    }
    for (std::size_t k; ls < at && (s[ls] == '.' || (k = invisible_at(ls)) != 0);)
      ls += s[ls] == '.' ? 1 : k;
    std::size_t last = at;  // the last character of the local part
    while (last > ls && invisible_before(last, ls)) last -= 3;
    bool ok = last > ls && s[last - 1] != '.';
    std::size_t de = at + 1;
    if (ok) {
      for (std::size_t k; de < n;) {
        if (cls(s, de) & kDomain) {
          ++de;
        } else if ((k = invisible_at(de)) != 0) {
          de += k;
          invisible = true;
        } else {
          break;
        }
      }
      for (;;) {
        if (de > at + 1 && (s[de - 1] == '-' || s[de - 1] == '.')) --de;
        else if (invisible_before(de, at + 1)) de -= 3;
        else break;
      }
      if (!invisible) {
        ok = de > at + 1 && valid_domain(s, at + 1, de);
      } else {
        clean.clear();
        for (std::size_t i = at + 1; i < de;) {
          if (const std::size_t k = invisible_at(i)) {
            i += k;
          } else {
            clean.push_back(static_cast<char>(s[i++]));
          }
        }
        const auto* c = reinterpret_cast<const unsigned char*>(clean.data());
        ok = !clean.empty() && valid_domain(c, 0, clean.size());
        // An invisible character may end the address instead of joining its domain to what
        // follows (hong@example.com<U+200B>010-…): then the longest domain that ends before
        // one of them, as valid_domain judges it, found in one pass.
        std::size_t labels = 0, label_len = 0, best = 0;
        bool letters = true;  // the label so far
        for (std::size_t i = at + 1, seen = 0; !ok && i < de;) {
          if (const std::size_t k = invisible_at(i)) {
            if (labels >= 1 && label_len >= 2 && letters && seen != i) best = i;
            seen = i += k;  // the first of several ends the address
          } else if (s[i++] == '.') {
            if (label_len == 0) break;  // an empty label: no longer domain is valid
            ++labels;
            label_len = 0;
            letters = true;
          } else {
            ++label_len;
            letters = letters && (kClass[s[i - 1]] & kLetter);
          }
        }
        if (best != 0) {
          de = best;
          ok = true;
        }
      }
    }
    if (ok) {
      const std::uint32_t c0 = cur.at(ls);
      out.push_back(invisible ? Span{static_cast<std::uint32_t>(ls), static_cast<std::uint32_t>(de),
                                     c0, cur.at(de)}
                              : make_span(cur, ls, de));
      floor = de;
      at = next_at(de);
    } else {
      at = next_at(at + 1);
    }
  }
}

namespace {

// Calls resume = f(i) for each position i, ascending, whose byte is an upper letter, skipping
// those before the resume position it gave last: sixteen bytes at a time, or W at a time in a
// text of 64 bytes or more (the last ones as the W before its end).
struct EachUpper {
  template <class F>
  static void fallback(const unsigned char* s, std::size_t n, F& f) {
    auto one = [](unsigned char b) { return (kClass[b] & kUpper) != 0; };
    for (std::size_t i = 0; (i = bytes::find(s, i, n, any_upper, one)) < n;) i = f(i);
  }
#ifdef KESTRIX_SIMD_X86
  // The text holds at least W bytes.
  template <int W, class F>
  [[gnu::always_inline]] static void run(const unsigned char* s, std::size_t n, F& f) {
    using V = simd::Vec<W>;
    const V a = V::set1('A'), span = V::set1('Z' - 'A');
    std::size_t resume = 0;
    // Inlined, so that they take the width's instructions from the entry that has them.
    auto block = [&](std::size_t at) __attribute__((always_inline)) {
      const V d = sub8(V::load(s + at), a);  // 0..25 exactly for the upper letters
      return eq8(min_u8(d, span), d).bits();
    };
    auto each = [&](std::size_t at, std::uint32_t m) __attribute__((always_inline)) {
      for (; m != 0; m &= m - 1) {
        const std::size_t i = at + static_cast<std::size_t>(__builtin_ctz(m));
        if (i >= resume) resume = f(i);
      }
    };
    std::size_t i = 0;
    for (; i + W <= n; i += W) {
      // The blocks without an upper letter (nearly every one of Korean text) in a loop of their
      // own, with no call in it to make it keep its cursor and constants in memory.
      std::uint32_t m = block(i);
      for (; m == 0 && i + 2 * W <= n; m = block(i)) i += W;
      each(i, m);
    }
    if (i < n) each(i, block(n - W) >> (i - (n - W)));
  }
#endif
};

}  // namespace

void scan_passports(std::string_view text, std::vector<Span>& out) {
  out.clear();
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  CharCursor cur{s};  // characters counted only up to the shapes that are kept
  // Where a shape may begin: the search goes on after it, or past the letters and digits read.
  auto shape_at = [&](std::size_t i) __attribute__((always_inline)) -> std::size_t {
    if (i > 0 && (cls(s, i - 1) & kAlnum)) return i + 1;
    std::size_t j = i + 1;
    std::size_t letters = 1;
    if (j < n && (cls(s, j) & kUpper)) {
      ++j;
      letters = 2;
    }
    std::size_t end = j;
    while (end < n && (cls(s, end) & kDigit)) ++end;
    std::size_t digits = end - j;
    if (letters == 1 && digits == 3 && end < n && (cls(s, end) & kUpper)) {
      // The passports issued since December 2021: letter, three digits, letter, four digits.
      std::size_t e = end + 1;
      while (e < n && e - end <= 5 && (cls(s, e) & kDigit)) ++e;
      if (e - end == 5 && (e == n || !(cls(s, e) & kAlnum))) {
        out.push_back(make_span(cur, i, e));
        return e;
      }
    }
    bool free_end = end == n || !(cls(s, end) & kAlnum);
    if (free_end && (digits == 7 || digits == 8) && (letters + digits == 8 || letters + digits == 9))
      out.push_back(make_span(cur, i, end));  // the shape is ASCII
    return end;
  };
  if (n < 64)
    EachUpper::fallback(s, n, shape_at);
  else
    simd::dispatch<EachUpper>(s, n, shape_at);
}

namespace {

// The digits and the mask characters of 64 bytes, one bit per byte (bit k: byte p[k]).
struct RunBits {
  std::uint64_t digit, mask;
};
inline RunBits run_bits(const unsigned char* p) {
  RunBits r{0, 0};
  for (int k = 0; k < 64; k += 16) {
    const bytes::V16 v = bytes::load(p + k);
    r.digit |= std::uint64_t{bytes::bits(bytes::in_range(v, '0', '9'))} << k;
    r.mask |= std::uint64_t{bytes::bits(bytes::eq(v, '*') | bytes::eq(v, 'X') | bytes::eq(v, 'x'))} << k;
  }
  return r;
}

// The runs of the text, read off the RunBits that `scan.bits` gives for 64 bytes.
template <class Scan>
[[gnu::always_inline]] inline void scan_runs(const unsigned char* s, std::size_t n,
                                             std::vector<Span>& out, std::size_t min_len,
                                             std::size_t max_len, std::vector<Span>& date_starts,
                                             const Scan& scan) {
  // Characters are counted only up to the runs that are kept, in one forward walk.
  CharCursor cur{s};
  // The runs are read off bit masks of 64 bytes at a time: a run starts at a set bit whose
  // byte before is clear, and ends before a clear bit whose byte before is set, possibly some
  // blocks later. Starts and ends alternate, so a block's k-th end closes the run open before
  // it or its k-th start. Of a run only this much is kept: its start, its digits counted up to
  // two and whether it holds a mask character.
  auto finish = [&](std::size_t start, std::size_t end, bool two_digits, bool masked) {
    const std::size_t len = end - start;
    if (two_digits && len >= min_len && len <= max_len) out.push_back(make_span(cur, start, end));
    // A longer run may end in a year that the separator pass joined to the digits before it
    // (5678 1988년): its last four digits are kept, to be read if a joint stands there.
    if (len >= 2 && !masked && year_follows(s, end, n))
      date_starts.push_back(make_span(cur, std::max(start, end - std::min<std::size_t>(len, 4)), end));
  };
  // The run that reaches the end of the last block, if `open`: its start, digits counted up
  // to two, and whether it holds a mask.
  std::size_t start = 0;
  unsigned digits = 0;
  bool masked = false, open = false;
  auto take = [&](const RunBits& r, std::uint64_t in) {
    const std::uint64_t d = r.digit & in;
    digits += (d != 0) + ((d & (d - 1)) != 0);
    if (digits > 2) digits = 2;
    masked |= (r.mask & in) != 0;
  };
  alignas(16) unsigned char tail[64];
  for (std::size_t b = 0; b < n; b += 64) {
    RunBits r;
    if (n - b >= 64) {
      r = scan.bits(s + b);
    } else if (n >= 64) {  // the last bytes, as the 64 before the end moved down over those read
      r = scan.bits(s + n - 64);
      const unsigned read = static_cast<unsigned>(64 - (n - b));
      r.digit >>= read;
      r.mask >>= read;
    } else {  // the last bytes, padded with bytes of neither kind
      std::memset(tail, 0, sizeof tail);
      std::memcpy(tail, s + b, n - b);
      r = scan.bits(tail);
    }
    const std::uint64_t x = r.digit | r.mask;
    if (x == 0 && !open) {
      // The whole blocks after it of neither kind of byte (most of ordinary text) go by in a
      // loop of their own, with no call in it to make it keep its cursor and constants in memory.
      while (b + 128 <= n && !scan.any(s + b + 64)) b += 64;
      continue;
    }
    const std::uint64_t after = (x << 1) | std::uint64_t{open};  // bit k: byte k - 1 is in a run
    std::uint64_t starts = x & ~after, ends = ~x & after;
    if (open) {
      // The run goes on up to the first end, or through the whole block.
      take(r, ends == 0 ? ~std::uint64_t{0} : (ends & (0 - ends)) - 1);
      if (ends == 0) continue;
      finish(start, b + static_cast<std::size_t>(__builtin_ctzll(ends)), digits == 2, masked);
      ends &= ends - 1;
    }
    for (; ends != 0; ends &= ends - 1, starts &= starts - 1) {
      const unsigned from = static_cast<unsigned>(__builtin_ctzll(starts));
      const unsigned to = static_cast<unsigned>(__builtin_ctzll(ends));
      if (to - from < 2) continue;  // a lone character is neither a run nor a year
      const std::uint64_t in = (std::uint64_t{1} << to) - (std::uint64_t{1} << from);
      const std::uint64_t d = r.digit & in;
      finish(b + from, b + to, (d & (d - 1)) != 0, (r.mask & in) != 0);
    }
    open = starts != 0;  // one start is left: its run reaches the end of the block
    if (open) {
      const unsigned from = static_cast<unsigned>(__builtin_ctzll(starts));
      start = b + from;
      digits = 0;
      masked = false;
      take(r, ~std::uint64_t{0} << from);
    }
  }
  if (open) finish(start, n, digits == 2, masked);
}

struct ScanDigitRuns {
  struct Plain {
    RunBits bits(const unsigned char* p) const { return run_bits(p); }
    bool any(const unsigned char* p) const {
      const RunBits r = run_bits(p);
      return (r.digit | r.mask) != 0;
    }
  };
  static void fallback(const unsigned char* s, std::size_t n, std::vector<Span>& out,
                       std::size_t min_len, std::size_t max_len, std::vector<Span>& date_starts) {
    scan_runs(s, n, out, min_len, max_len, date_starts, Plain{});
  }
#ifdef KESTRIX_SIMD_X86
  template <int W>
  struct Wide {
    using V = simd::Vec<W>;
    V to_signed, ten, lower, x, star;
    // A digit d maps to -128 + (d - '0'), below -118; every other byte to -118 or above. The
    // mask characters: "*", and "X" and "x" as one with the case bit set.
    [[gnu::always_inline]] RunBits bits(const unsigned char* p) const {
      RunBits r{0, 0};
      for (int k = 0; k < 64; k += W) {
        const V v = V::load(p + k);
        r.digit |= std::uint64_t{lt8(add8(v, to_signed), ten).bits()} << k;
        r.mask |= std::uint64_t{(eq8(v | lower, x) | eq8(v, star)).bits()} << k;
      }
      return r;
    }
    // Whether the 64 bytes at p hold a digit or a mask character.
    [[gnu::always_inline]] bool any(const unsigned char* p) const {
      V hits = V::zero();
      for (int k = 0; k < 64; k += W) {
        const V v = V::load(p + k);
        hits = hits | lt8(add8(v, to_signed), ten) | eq8(v | lower, x) | eq8(v, star);
      }
      return hits.bits() != 0;
    }
  };
  template <int W>
  [[gnu::always_inline]] static void run(const unsigned char* s, std::size_t n,
                                         std::vector<Span>& out, std::size_t min_len,
                                         std::size_t max_len, std::vector<Span>& date_starts) {
    using V = simd::Vec<W>;
    Wide<W> wide{V::set1(0x80 - '0'), V::set1(0x80 + 10), V::set1(0x20), V::set1('x'), V::set1('*')};
    // Hidden from g++, which would otherwise make them again from immediates in every block
    // (clang, which the fuzz targets build with, does not, and takes no 256-bit operand here).
#ifndef __clang__
    asm("" : "+x"(wide.to_signed.v), "+x"(wide.ten.v), "+x"(wide.lower.v), "+x"(wide.x.v), "+x"(wide.star.v));
#endif
    scan_runs(s, n, out, min_len, max_len, date_starts, wide);
  }
#endif
};

}  // namespace

void scan_digit_runs(std::string_view text, std::vector<Span>& out, std::size_t min_len,
                     std::size_t max_len, std::vector<Span>& date_starts) {
  out.clear();
  date_starts.clear();
  simd::dispatch<ScanDigitRuns>(reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                                out, min_len, max_len, date_starts);
}

namespace {

// A number of one to `most` digits at byte i: its value, and i moved past it; -1 (i kept) when
// there is none or it has more digits.
int number_at(const unsigned char* s, std::size_t& i, std::size_t n, std::size_t most) {
  std::size_t j = i;
  int v = 0;
  while (j < n && j - i <= most && (kClass[s[j]] & kDigit)) v = v * 10 + (s[j++] - '0');
  if (j == i || j - i > most) return -1;
  i = j;
  return v;
}

void skip_spaces(const unsigned char* s, std::size_t& i, std::size_t n) {
  for (std::size_t k = 0; k < kMaxDateSpaces && i < n && s[i] == ' '; ++k) ++i;
}

// The syllable w (three UTF-8 bytes) at byte i: i moved past it.
bool word_at(const unsigned char* s, std::size_t& i, std::size_t n, std::string_view w) {
  if (n - i < 3 || s[i] != static_cast<unsigned char>(w[0]) ||
      s[i + 1] != static_cast<unsigned char>(w[1]) || s[i + 2] != static_cast<unsigned char>(w[2]))
    return false;
  i += 3;
  return true;
}

// The date that begins at byte b, its end in `end`.
bool date_at(const unsigned char* s, std::size_t b, std::size_t n, const JointTest& joint,
             WrittenDate& d, std::size_t& end) {
  if (b > 0 && (s[b - 1] == '/' || s[b - 1] == '.')) return false;  // inside a longer form
  std::size_t i = b;
  d.year = number_at(s, i, n, 4);
  d.year_digits = static_cast<int>(i - b);
  if (i < n && s[i] == '/') {
    if (d.year_digits != 4) return false;
    ++i;
    d.month = number_at(s, i, n, 2);
    if (d.month < 0 || i >= n || s[i] != '/') return false;
    ++i;
    std::size_t run_end = i;
    while (run_end < n && (kClass[s[run_end]] & kDigit)) ++run_end;
    if (run_end - i > 2) {
      // The day joined to the digits after it (1988/01/01 010-…): it ends at the joint.
      std::size_t day_end = i + 2;
      if (!joint(day_end) && !joint(--day_end)) return false;
      d.day = number_at(s, i, day_end, 2);
    } else {
      d.day = number_at(s, i, n, 2);
      if (d.day < 0 || (i < n && (s[i] == '/' || (kClass[s[i]] & kAlnum)))) return false;
    }
    d.form = DateForm::slash;
    end = i;
    return true;
  }
  skip_spaces(s, i, n);
  if (!word_at(s, i, n, "년")) return false;
  skip_spaces(s, i, n);
  d.month = number_at(s, i, n, 2);
  if (d.month < 0) return false;
  skip_spaces(s, i, n);
  if (!word_at(s, i, n, "월")) return false;
  skip_spaces(s, i, n);
  d.day = number_at(s, i, n, 2);
  if (d.day < 0) return false;
  skip_spaces(s, i, n);
  if (!word_at(s, i, n, "일")) return false;
  word_at(s, i, n, "생");
  d.form = DateForm::words;
  end = i;
  return true;
}

}  // namespace

void scan_written_dates(std::string_view text, const std::vector<Span>& date_starts,
                        const JointTest& joint, std::vector<WrittenDate>& out) {
  out.clear();
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t floor = 0;  // the end of the last date: starts inside it are passed over
  for (const Span& start : date_starts) {
    std::uint32_t b = start.byte_start, char_start = start.char_start;
    const std::uint32_t len = start.byte_end - b;
    // The end of a longer run: its year begins at a joint, four digits or two from its end.
    const bool joined = len == 3 || (b > 0 && (kClass[s[b - 1]] & kDigit));
    if (joined && !(len == 4 && joint(b))) {
      if (!joint(start.byte_end - 2)) continue;
      char_start += len - 2;
      b += len - 2;
    }
    WrittenDate d{};
    std::size_t end = 0;
    if (b < floor || !date_at(s, b, n, joint, d, end)) continue;
    const auto chars = static_cast<std::uint32_t>(bytes::count_chars(s + b, end - b));
    d.span = Span{b, static_cast<std::uint32_t>(end), char_start, char_start + chars};
    out.push_back(d);
    floor = end;
  }
}

namespace {

// digit_array of eight bytes. A byte is a digit where its top bit is clear and, of its low seven
// bits, adding 0x50 sets the top bit (at least '0') and adding 0x46 does not (at most '9'); no
// sum carries into the next byte.
void digit_word(const char* in, std::uint8_t* digits, char* text_form) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull, kTops = kOnes * 0x80;
  std::uint64_t w;
  std::memcpy(&w, in, 8);
  const std::uint64_t low = w & ~kTops;
  const std::uint64_t tops = (low + kOnes * 0x50) & ~(low + kOnes * 0x46) & ~w & kTops;
  const std::uint64_t digit = (tops >> 7) * 0xFF;  // 0xFF in each digit's byte
  const std::uint64_t d = ((w ^ (kOnes * '0')) & digit) | (kOnes * kMasked & ~digit);
  const std::uint64_t t = (w & digit) | (kOnes * '*' & ~digit);
  std::memcpy(digits, &d, 8);
  std::memcpy(text_form, &t, 8);
}

}  // namespace

void digit_array(std::string_view run, std::uint8_t* digits, char* text_form) {
  const std::size_t n = run.size();
  if (n >= 8 && n <= 16) {
    // Most runs: two words, the second moved back to end with the run (writing again what the
    // first wrote of the bytes they share). The compiler makes vectors of the loop below.
    digit_word(run.data(), digits, text_form);
    digit_word(run.data() + n - 8, digits + n - 8, text_form + n - 8);
    return;
  }
  for (std::size_t k = 0; k < n; ++k) {
    auto c = static_cast<unsigned char>(run[k]);
    bool digit = c >= '0' && c <= '9';
    digits[k] = digit ? static_cast<std::uint8_t>(c - '0') : kMasked;
    text_form[k] = digit ? static_cast<char>(c) : '*';
  }
}

}  // namespace kestrix::det
