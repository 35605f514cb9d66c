// The scans for two syllables in a row against a byte-at-a-time reference, at every width the
// processor has, on texts of every length around the ends of their blocks: each place the
// reference finds is visited (or offered), and the places come once each, in order.
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "check.hpp"
#include "text/pairs.hpp"
#include "text/simd.hpp"

using namespace kestrix;

namespace {

std::string syllable(std::size_t index) {
  const std::size_t c = 0xAC00 + index;
  return {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
          static_cast<char>(0x80 | (c & 0x3F))};
}

// The syllable index at byte `at`, or -1.
long syllable_at(const std::string& t, std::size_t at) {
  if (at + 3 > t.size()) return -1;
  const auto b0 = static_cast<unsigned char>(t[at]), b1 = static_cast<unsigned char>(t[at + 1]),
             b2 = static_cast<unsigned char>(t[at + 2]);
  if ((b0 & 0xF0) != 0xE0 || (b1 & 0xC0) != 0x80 || (b2 & 0xC0) != 0x80) return -1;
  const long c = ((b0 & 0x0F) << 12) | ((b1 & 0x3F) << 6) | (b2 & 0x3F);
  return c >= 0xAC00 && c < 0xAC00 + 11172 ? c - 0xAC00 : -1;
}

struct Sets {
  std::set<long> first, second;
  pairs::PairSet first_pairs, second_pairs;
  pairs::AsciiSet ascii{{'A', 'D', 'D', 'D'}};
  Sets(std::initializer_list<long> firsts = {0L, 1L, 588L, 4000L, 11171L},
       std::initializer_list<long> seconds = {1L, 29L, 4001L, 11171L}) {
    for (long s : firsts) add(first, first_pairs, s);
    for (long s : seconds) add(second, second_pairs, s);
  }
  static void add(std::set<long>& set, pairs::PairSet& pairs, long s) {
    set.insert(s);
    pairs.add_syllable(static_cast<std::size_t>(s));
  }
  bool two_at(const std::string& t, std::size_t at) const {
    return first.count(syllable_at(t, at)) && second.count(syllable_at(t, at + 3));
  }
};

// The syllables one bit of the code point away from s.
std::vector<long> neighbours(long s) {
  std::vector<long> v;
  for (int b = 0; b < 16; ++b)
    if (const long c = (0xAC00 + s) ^ (1L << b); c >= 0xAC00 && c < 0xAC00 + 11172) v.push_back(c - 0xAC00);
  return v;
}

// Texts of the given syllables, the ASCII bytes looked for and others.
std::string random_text(std::mt19937& rng, std::size_t bytes, const std::vector<long>& syllables) {
  std::vector<std::string> pieces = {"A", "D", "a", " ", "1"};
  for (long s : syllables) pieces.push_back(syllable(static_cast<std::size_t>(s)));
  std::string t;
  while (t.size() < bytes) t += pieces[rng() % pieces.size()];
  t.resize(bytes);  // may cut a syllable: its bytes are no syllable then
  return t;
}

template <class Visit>
void check_visit(const Sets& sets, const std::string& t, Visit visit) {
  std::vector<std::size_t> got;
  visit(reinterpret_cast<const unsigned char*>(t.data()), t.size(), sets, got);
  for (std::size_t k = 1; k < got.size(); ++k) KX_CHECK(got[k - 1] < got[k]);
  std::size_t k = 0;
  for (std::size_t at = 0; at < t.size(); ++at) {
    const bool want = sets.ascii.has(static_cast<unsigned char>(t[at])) || sets.two_at(t, at);
    while (k < got.size() && got[k] < at) ++k;
    if (want) KX_CHECK(k < got.size() && got[k] == at);
  }
  if (!got.empty()) KX_CHECK(got.back() < t.size());
}

template <class Find>
void check_find(const Sets& sets, const std::string& t, std::size_t from, Find find) {
  std::vector<std::size_t> got;
  const std::size_t end = find(reinterpret_cast<const unsigned char*>(t.data()), from, t.size(), sets, got);
  KX_CHECK(end == t.size());
  for (std::size_t k = 1; k < got.size(); ++k) KX_CHECK(got[k - 1] < got[k]);
  if (!got.empty()) KX_CHECK(got.front() >= from && got.back() + 1 < t.size());
  std::size_t k = 0;
  for (std::size_t at = from; at < t.size(); ++at) {
    while (k < got.size() && got[k] < at) ++k;
    if (sets.two_at(t, at)) KX_CHECK(k < got.size() && got[k] == at);
  }
}

// Every width: the plain scan, and the vector ones the processor has.
template <class F>
void each_width(F f) {
  f(0);
#ifdef KESTRIX_SIMD_X86
  if (simd::level >= 1) f(16);
  if (simd::level >= 2) f(32);
#endif
}

void visit_at(int width, const unsigned char* s, std::size_t n, const Sets& sets, std::vector<std::size_t>& got) {
  auto accept = [&got](std::size_t at) { got.push_back(at); };
  using pairs::detail::Visit;
#ifdef KESTRIX_SIMD_X86
  if (width == 32)
    return simd::detail::run32<Visit>(s, std::size_t{0}, n, sets.first_pairs, sets.second_pairs, sets.ascii,
                                      accept);
  if (width == 16)
    return simd::detail::run16<Visit>(s, std::size_t{0}, n, sets.first_pairs, sets.second_pairs, sets.ascii,
                                      accept);
#endif
  Visit::fallback(s, 0, n, sets.first_pairs, sets.second_pairs, sets.ascii, accept);
}

std::size_t find_at(int width, const unsigned char* s, std::size_t i, std::size_t n, const Sets& sets,
                    std::vector<std::size_t>& got) {
  auto accept = [&got](std::size_t at) {
    got.push_back(at);
    return false;
  };
  using Find = pairs::detail::Find<true>;
#ifdef KESTRIX_SIMD_X86
  if (width == 32) return simd::detail::run32<Find>(s, i, n, sets.first_pairs, sets.second_pairs, accept);
  if (width == 16) return simd::detail::run16<Find>(s, i, n, sets.first_pairs, sets.second_pairs, accept);
#endif
  return Find::fallback(s, i, n, sets.first_pairs, sets.second_pairs, accept);
}

}  // namespace

// Syllables of both sets, their neighbours, the ASCII bytes looked for and others.
KX_TEST(two_syllables_are_visited_once_each_in_order_at_every_length) {
  const Sets sets;
  const std::vector<long> syllables = {0, 1, 2, 588, 29, 4000, 4001, 11171, 64};
  std::mt19937 rng(11);
  for (std::size_t bytes = 0; bytes <= 160; ++bytes)
    for (int round = 0; round < 40; ++round) {
      const std::string t = random_text(rng, bytes, syllables);
      each_width([&](int width) {
        check_visit(sets, t, [width](auto&&... a) { visit_at(width, a...); });
        for (std::size_t from : {std::size_t{0}, std::min<std::size_t>(bytes, 1), bytes / 3, bytes / 2})
          check_find(sets, t, from, [width](auto&&... a) { return find_at(width, a...); });
      });
    }
}

// Sets of syllables of every lead byte, in texts of their members and of the syllables one bit
// of the code point away from them, which share all but one bit with a member in each piece of
// the code point that the vector scans test.
KX_TEST(two_syllables_of_any_sets_are_visited_among_their_neighbours) {
  std::mt19937 rng(5);
  for (int round = 0; round < 60; ++round) {
    auto pick = [&rng] { return static_cast<long>(rng() % 11172); };
    const Sets sets({pick(), pick(), pick(), 5120L + pick() % 4096}, {pick(), pick(), 8000L + pick() % 3000});
    std::vector<long> syllables;
    for (const std::set<long>* set : {&sets.first, &sets.second})
      for (long s : *set) {
        syllables.push_back(s);
        for (long c : neighbours(s)) syllables.push_back(c);
      }
    // Members often, so that two of them stand together at every place.
    for (int k = 0; k < 6; ++k) {
      syllables.insert(syllables.end(), sets.first.begin(), sets.first.end());
      syllables.insert(syllables.end(), sets.second.begin(), sets.second.end());
    }
    for (std::size_t bytes = 0; bytes <= 110; ++bytes) {
      const std::string t = random_text(rng, bytes, syllables);
      each_width([&](int width) {
        check_visit(sets, t, [width](auto&&... a) { visit_at(width, a...); });
        check_find(sets, t, 0, [width](auto&&... a) { return find_at(width, a...); });
      });
    }
  }
}

// What the vector scans are for: a syllable one bit of the code point away from the only
// member of a set (bit 13 aside, which tells lead EA from EC and EB from ED) is passed over,
// before a member of the second set or after a member of the first; so is a character of
// another lead byte with the member's last two bytes.
KX_TEST(vector_scans_pass_over_syllables_one_bit_from_the_sets) {
#ifdef KESTRIX_SIMD_X86
  std::mt19937 rng(3);
  for (int round = 0; round < 200; ++round) {
    const long first = static_cast<long>(rng() % 11172), second = static_cast<long>(rng() % 11172);
    const Sets sets({first}, {second});
    for (int b = 0; b < 13; ++b) {
      const long c = (0xAC00 + first) ^ (1L << b), d = (0xAC00 + second) ^ (1L << b);
      std::string t;
      if (c >= 0xAC00 && c < 0xAC00 + 11172) t += syllable(static_cast<std::size_t>(c - 0xAC00)) + syllable(second);
      if (d >= 0xAC00 && d < 0xAC00 + 11172) t += syllable(first) + syllable(static_cast<std::size_t>(d - 0xAC00));
      // The bytes of the member after a lead byte just outside 0xEA..0xED.
      for (char lead : {'\xE9', '\xEE'}) {
        std::string other = syllable(static_cast<std::size_t>(first));
        other[0] = lead;
        t += other + syllable(second);
      }
      t.resize(t.size() + 40, ' ');
      for (int width : {16, 32}) {
        if (simd::level < width / 16) continue;
        std::vector<std::size_t> got;
        visit_at(width, reinterpret_cast<const unsigned char*>(t.data()), t.size(), sets, got);
        KX_CHECK(got.empty());
        got.clear();
        KX_CHECK(find_at(width, reinterpret_cast<const unsigned char*>(t.data()), 0, t.size(), sets, got) == t.size());
        KX_CHECK(got.empty());
      }
    }
  }
#endif
}

// The ASCII bytes a visit takes on their own are found by a lookup of their bits 2..5 in the
// vector scans: of every byte value, at every place of texts around the block lengths, exactly
// those of the set are visited, for sets that use the first and the last entry of the lookup
// (bits 2..5 of 0 and of 15), and the set of the cue index. (A zero byte, which the scans read
// past the end of a short text, is in no set.)
KX_TEST(the_ascii_bytes_of_a_set_and_no_others_are_visited) {
  static constexpr pairs::AsciiSet kSets[] = {
      pairs::AsciiSet{{'A', 'D', 'P', 'p'}}, pairs::AsciiSet{{'<', '@', 'q', '#'}},
      pairs::AsciiSet{{'A', 'A', 'A', 'A'}}, pairs::AsciiSet{{'\x7F', '\x01', '\x7F', '\x01'}}};
  for (const pairs::AsciiSet& set : kSets) {
    for (unsigned v = 0; v < 256; ++v)
      KX_CHECK((set.table[pairs::AsciiSet::slot(static_cast<unsigned char>(v))] == v) ==
               set.has(static_cast<unsigned char>(v)));
    Sets sets;
    sets.ascii = set;
    const char filler = set.has(' ') ? '.' : ' ';
    for (std::size_t n : {1, 2, 5, 6, 16, 21, 22, 31, 32, 33, 37, 38, 39, 40, 63, 64, 69, 70, 71, 100})
      for (std::size_t at = 0; at < n; ++at)
        for (unsigned v = 0; v < 256; ++v) {
          std::string t(n, filler);
          t[at] = static_cast<char>(v);
          each_width([&](int width) {
            std::vector<std::size_t> got;
            visit_at(width, reinterpret_cast<const unsigned char*>(t.data()), n, sets, got);
            const bool want = set.has(static_cast<unsigned char>(v));
            KX_CHECK(got.size() == (want ? 1u : 0u));
            if (want && got.size() == 1) KX_CHECK(got[0] == at);
          });
        }
  }
}
