// The sixteen-byte class tests and the character count against their one-byte definitions,
// for every byte value in every lane and every length around the block size.
#include <string>
#include <vector>

#include "check.hpp"
#include "text/bytes.hpp"
#include "text/utf8.hpp"

using namespace kestrix;

KX_TEST(block_tests_agree_with_byte_tests) {
  unsigned char buf[16];
  for (int v = 0; v < 256; ++v) {
    for (int lane = 0; lane < 16; ++lane) {
      for (int k = 0; k < 16; ++k) buf[k] = static_cast<unsigned char>(k == lane ? v : (v + 1) & 0xFF);
      bytes::V16 b = bytes::load(buf);
      std::uint32_t eq = 0, range = 0, both = 0, either = 0;
      for (int k = 0; k < 16; ++k) {
        bool e = buf[k] == 0x80, r = buf[k] >= '0' && buf[k] <= '9';
        eq |= std::uint32_t{e} << k;
        range |= std::uint32_t{r} << k;
        both |= std::uint32_t{e && r} << k;
        either |= std::uint32_t{e || r} << k;
      }
      KX_CHECK(bytes::bits(bytes::eq(b, 0x80)) == eq);
      KX_CHECK(bytes::bits(bytes::in_range(b, '0', '9')) == range);
      KX_CHECK(bytes::bits(bytes::eq(b, 0x80) & bytes::in_range(b, '0', '9')) == both);
      KX_CHECK(bytes::bits(bytes::eq(b, 0x80) | bytes::in_range(b, '0', '9')) == either);
    }
  }
  // Ranges that reach the ends of the byte values.
  for (int v = 0; v < 256; ++v) {
    for (int k = 0; k < 16; ++k) buf[k] = static_cast<unsigned char>(v);
    KX_CHECK(bytes::bits(bytes::in_range(bytes::load(buf), 0, 0x7F)) == (v <= 0x7F ? 0xFFFFu : 0u));
    KX_CHECK(bytes::bits(bytes::in_range(bytes::load(buf), 0xEA, 0xFF)) == (v >= 0xEA ? 0xFFFFu : 0u));
  }
}

KX_TEST(find_and_count_agree_with_a_loop_at_every_length) {
  // A UTF-8 text with one-, two-, three- and four-byte characters.
  std::string text;
  for (int rep = 0; rep < 300; ++rep) text += rep % 7 == 0 ? "a가é😀-9" : "나b";
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  auto digit = [](unsigned char b) { return b >= '0' && b <= '9'; };
  auto block = [](bytes::V16 v) { return bytes::in_range(v, '0', '9'); };
  for (std::size_t start = 0; start < 40; ++start) {
    for (std::size_t n = start; n < text.size(); n += n < 300 ? 1 : 1 + n / 8) {
      std::size_t cont = 0, first = n;
      for (std::size_t i = start; i < n; ++i) {
        cont += (s[i] & 0xC0) == 0x80;
        if (first == n && digit(s[i])) first = i;
      }
      KX_CHECK(bytes::count_continuations(s + start, n - start) == cont);
      KX_CHECK(bytes::count_chars(s + start, n - start) == n - start - cont);
      KX_CHECK(bytes::find(s, start, n, block, digit) == first);
    }
  }
  // Long enough for the per-lane counters to be emptied more than once, of either kind of byte.
  for (const char fill : {'\x80', '\xBF', 'a', '\xC0', '\xEA'}) {
    const std::string big(64 * 600 + 16 * 3 + 5, fill);
    const bool continuation = (static_cast<unsigned char>(fill) & 0xC0) == 0x80;
    KX_CHECK(bytes::count_continuations(reinterpret_cast<const unsigned char*>(big.data()), big.size()) ==
             (continuation ? big.size() : 0));
  }
}

// One accepted byte at each position of texts around the block size, looked for from every
// start: a text of sixteen bytes or more ends on a block that overlaps the one before it.
KX_TEST(find_takes_the_first_accepted_byte_from_every_start) {
  auto digit = [](unsigned char b) { return b >= '0' && b <= '9'; };
  auto block = [](bytes::V16 v) { return bytes::in_range(v, '0', '9'); };
  for (std::size_t n = 0; n < 40; ++n) {
    for (std::size_t at = 0; at <= n; ++at) {  // at == n: no accepted byte
      std::string text(n, 'a');
      if (at < n) text[at] = '5';
      const auto* s = reinterpret_cast<const unsigned char*>(text.data());
      for (std::size_t start = 0; start <= n; ++start)
        KX_CHECK(bytes::find(s, start, n, block, digit) == (at >= start ? at : n));
    }
  }
}

// The invisible format characters are found wherever they stand, the last bytes of a text
// included, and nothing else is: their neighbours in the code space, and a cut sequence.
KX_TEST(invisible_format_characters_are_found_to_the_last_byte) {
  const char* invisible[] = {"\u200B", "\u200C", "\u200D", "\u200E", "\u200F", "\u202A",
                             "\u202E", "\u2060", "\u2064", "\u2066", "\u2069", "\u206A",
                             "\u206F", "\uFE00", "\uFE0F", "\uFEFF", "\u180E", "\u17B4",
                             "\u17B5", "\u115F", "\u1160", "\u3164", "\uFFA0"};
  const char* others[] = {"\u200A", "\u2010", "\u2029", "\u202F", "\u205F", "\u2065",
                          "\u2070", "\u17B3", "\u17B6", "\uFDFF", "\uFE10", "\uFEFE",
                          "\u180D", "\u180F",
                          "\u115E", "\u1161", "\u3163", "\u3165", "\uFF9F", "\uFFA1",
                          "\u3161", "a"};
  for (const char* c : invisible) {
    for (std::size_t before = 0; before < 3; ++before) {
      const std::string s = std::string(before, 'x') + c;
      KX_CHECK(utf8::invisible_format_len(s, before) == 3);
      KX_CHECK(utf8::invisible_format_len(s.substr(0, s.size() - 1), before) == 0);
      KX_CHECK(utf8::invisible_format_len(s + "y", before) == 3);
    }
  }
  for (const char* c : others) KX_CHECK(utf8::invisible_format_len(std::string(c), 0) == 0);
}

// The character count serves the cue tables at compile time and the texts at run time alike.
static_assert(utf8::count_chars("주민등록번호") == 6 && utf8::count_chars("ARS") == 3 &&
              utf8::count_chars("Passport No") == 11 && utf8::count_chars("") == 0);
KX_TEST(character_count_is_the_same_at_compile_and_run_time) {
  for (std::string_view s : {"주민등록번호", "ARS", "a\u200Bb", "😀x", ""}) {
    std::size_t n = 0;
    for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    KX_CHECK(utf8::count_chars(s) == n);
  }
}

KX_TEST(same_agrees_with_equality_at_every_length_and_place) {
  // Lengths around the eight-byte steps and the 32-byte limit, each byte changed in turn.
  for (std::size_t n = 0; n <= 40; ++n) {
    std::string a(n, 'x');
    for (std::size_t i = 0; i < n; ++i) a[i] = static_cast<char>('a' + i % 26);
    KX_CHECK(bytes::same(a, a));
    KX_CHECK(bytes::same(a, std::string(a)));
    KX_CHECK(!bytes::same(a, a + "y"));
    KX_CHECK(!bytes::same(a + "y", a));
    for (std::size_t i = 0; i < n; ++i) {
      std::string b = a;
      b[i] = '\xEA';
      KX_CHECK(!bytes::same(a, b));
      KX_CHECK(!bytes::same(b, a));
    }
  }
}

// The code point search and the surrogate test, eight code points a step, against a loop: each
// kind of code point at every place of texts of every length around two steps, from every start.
KX_TEST(code_point_search_and_surrogate_test_agree_with_a_loop) {
  const wchar_t odd[] = {L'[', 0xD800, 0xDBFF, 0xDC00, 0xDFFF};
  const wchar_t near[] = {0xD7FF, 0xE000, 0x1F600, L'a'};
  for (std::size_t n = 0; n <= 20; ++n) {
    for (std::size_t at = 0; at < n; ++at) {
      for (const wchar_t c : odd) {
        std::wstring s(n, near[(at + n) % std::size(near)]);
        s[at] = c;
        const bool surrogate = (static_cast<std::uint32_t>(c) & 0xFFFFF800u) == 0xD800u;
        KX_CHECK(bytes::any_surrogate(s.data(), n) == surrogate);
        KX_CHECK(!bytes::any_surrogate(s.data(), at));
        for (std::size_t from = 0; from <= n; ++from)
          KX_CHECK(bytes::find_point(s.data(), from, n, c) == (from <= at ? at : n));
      }
    }
  }
}
