// The digit-run scanner, which reads runs off bit masks of 64 bytes, against a byte-at-a-time
// reference, on texts that put runs of every length across the block edges and at the end.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "check.hpp"
#include "detect/rules.hpp"
#include "detect/scanner.hpp"
#include "text/utf8.hpp"

using namespace kestrix;

namespace {

bool digit(unsigned char b) { return b >= '0' && b <= '9'; }
bool run_byte(unsigned char b) { return digit(b) || b == '*' || b == 'X' || b == 'x'; }

void reference(std::string_view t, std::size_t min_len, std::size_t max_len, std::vector<Span>& out,
               std::vector<std::uint32_t>& starts) {  // the first bytes of the date starts
  const auto* s = reinterpret_cast<const unsigned char*>(t.data());
  for (std::size_t i = 0; i < t.size();) {
    if (!run_byte(s[i])) {
      ++i;
      continue;
    }
    const std::size_t b = i;
    std::size_t digits = 0;
    for (; i < t.size() && run_byte(s[i]); ++i) digits += digit(s[i]);
    const std::size_t len = i - b;
    if (digits >= 2 && len >= min_len && len <= max_len) {
      const auto c0 = static_cast<std::uint32_t>(utf8::count_chars(t.substr(0, b)));
      out.push_back({static_cast<std::uint32_t>(b), static_cast<std::uint32_t>(i), c0,
                     static_cast<std::uint32_t>(c0 + len)});
    }
    const std::string_view after = t.substr(i);
    // The last four digits at most of a longer run (a year joined to the digits before it).
    if (len >= 2 && digits == len &&
        (after.starts_with("/") || after.starts_with("년") || after.starts_with(" 년") ||
         after.starts_with("  년")))
      starts.push_back(static_cast<std::uint32_t>(i - std::min<std::size_t>(len, 4)));
  }
}

void check_same(const std::string& t, std::size_t min_len, std::size_t max_len) {
  std::vector<Span> got, want;
  std::vector<Span> got_starts;
  std::vector<std::uint32_t> want_starts;
  det::scan_digit_runs(t, got, min_len, max_len, got_starts);
  reference(t, min_len, max_len, want, want_starts);
  KX_CHECK(got_starts.size() == want_starts.size());
  for (std::size_t k = 0; k < got_starts.size() && k < want_starts.size(); ++k) {
    const Span& g = got_starts[k];
    const std::uint32_t b = want_starts[k];
    const auto c = static_cast<std::uint32_t>(utf8::count_chars(std::string_view(t).substr(0, b)));
    KX_CHECK(g.byte_start == b && g.char_start == c && g.byte_end - g.byte_start == g.char_end - g.char_start &&
             g.byte_end - b >= 2 && g.byte_end - b <= 4 && !digit(static_cast<unsigned char>(t[g.byte_end])));
  }
  KX_CHECK(got.size() == want.size());
  for (std::size_t k = 0; k < got.size() && k < want.size(); ++k)
    KX_CHECK(got[k].byte_start == want[k].byte_start && got[k].byte_end == want[k].byte_end &&
             got[k].char_start == want[k].char_start && got[k].char_end == want[k].char_end);
}

}  // namespace

KX_TEST(digit_runs_of_every_length_at_every_place_of_a_block) {
  // A run of `len` digits (or with a mask) starting at `at` in filler, followed by what may
  // make it a date start; texts of every length around one and two blocks.
  for (const char* follow : {"", " ", "/", "년", " 년", "  년", "   년", "\xEB\x85", "\xEB\x86\x84", "a"})
    for (std::size_t len = 1; len <= 70; len += (len < 10 ? 1 : 7))
      for (std::size_t at = 0; at <= 130; at += (at < 4 || (at > 56 && at < 72) || at > 120 ? 1 : 9))
        for (bool masked : {false, true}) {
          std::string t(at, 'a');
          std::string run(len, '7');
          if (masked) run[len / 2] = 'x';
          t += run;
          t += follow;
          check_same(t, 2, 64);
          check_same(t + std::string(128 - t.size() % 64, 'b'), 6, SIZE_MAX);
        }
}

KX_TEST(digit_runs_of_random_texts) {
  std::mt19937 rng(7);
  const char* pieces[] = {"0", "1", "9", "*", "X", "x", "/", " ", "년", "분", "a", "가", "-"};
  for (int round = 0; round < 3000; ++round) {
    std::string t;
    const std::size_t parts = rng() % 200;
    for (std::size_t k = 0; k < parts; ++k) t += pieces[rng() % std::size(pieces)];
    check_same(t, 1 + rng() % 8, rng() % 2 ? SIZE_MAX : 8 + rng() % 20);
  }
}

// Texts that end where the readable memory ends (a page that may not be read follows): a scan
// that reads a byte past the end of the text stops the tests. Stretches of every length of
// whole blocks of neither kind of byte, before a run, before the end, and after a run.
KX_TEST(digit_runs_are_read_without_a_byte_past_the_end) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void* map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  KX_CHECK(map != MAP_FAILED);
  if (map == MAP_FAILED) return;
  char* end = static_cast<char*>(map) + page;
  KX_CHECK(mprotect(end, page, PROT_NONE) == 0);
  for (std::size_t blocks = 0; blocks <= 6; ++blocks)
    for (const char* run : {"", "12", "1234567", "x9"})
      for (std::size_t after : {0, 1, 63, 64, 65, 128}) {
        std::string t(blocks * 64, 'a');
        t += run;
        t += std::string(after, 'b');
        for (std::size_t cut = 0; cut < 3 && cut <= t.size(); ++cut) {
          const std::string_view want(t.data(), t.size() - cut);
          char* at = end - want.size();
          std::memcpy(at, want.data(), want.size());
          const std::string_view text(at, want.size());
          std::vector<Span> got, starts, copy_got, copy_starts;
          det::scan_digit_runs(text, got, 2, 64, starts);
          const std::string copy(want);
          det::scan_digit_runs(copy, copy_got, 2, 64, copy_starts);
          KX_CHECK(got.size() == copy_got.size() && starts.size() == copy_starts.size());
          for (std::size_t k = 0; k < got.size() && k < copy_got.size(); ++k)
            KX_CHECK(got[k].byte_start == copy_got[k].byte_start && got[k].byte_end == copy_got[k].byte_end);
          check_same(copy, 2, 64);
        }
      }
  munmap(map, 2 * page);
}

KX_TEST(digit_array_of_every_byte_at_every_place) {
  // Runs of eight to sixteen bytes are read eight bytes at a time: every byte value at every
  // place of runs of every length gives the digit and the text form it gives alone, and nothing
  // is written past the run.
  const std::string fill = "0123456789*xX95";
  for (std::size_t n = 1; n <= 24; ++n)
    for (std::size_t at = 0; at < n; ++at)
      for (unsigned b = 0; b < 256; ++b) {
        std::string run;
        for (std::size_t k = 0; k < n; ++k) run += fill[(k * 7 + at) % fill.size()];
        run[at] = static_cast<char>(b);
        std::uint8_t digits[32];
        char form[32];
        std::fill(std::begin(digits), std::end(digits), std::uint8_t{0xEE});
        std::fill(std::begin(form), std::end(form), '#');
        det::digit_array(run, digits, form);
        for (std::size_t k = 0; k < n; ++k) {
          const auto c = static_cast<unsigned char>(run[k]);
          KX_CHECK(digits[k] == (digit(c) ? c - '0' : det::kMasked));
          KX_CHECK(form[k] == (digit(c) ? static_cast<char>(c) : '*'));
        }
        for (std::size_t k = n; k < 32; ++k) KX_CHECK(digits[k] == 0xEE && form[k] == '#');
      }
}
