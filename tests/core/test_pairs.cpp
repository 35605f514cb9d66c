// The scans for two syllables in a row against a byte-at-a-time reference, at every width the
// processor has, on texts of every length around the ends of their blocks: each place the
// reference finds is visited (or offered), and the places come once each, in order.
#include <algorithm>
#include <cstdint>
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
  Sets() {
    for (long s : {0L, 1L, 588L, 4000L, 11171L}) {
      first.insert(s);
      first_pairs.add_syllable(static_cast<std::size_t>(s));
    }
    for (long s : {1L, 29L, 4001L, 11171L}) {
      second.insert(s);
      second_pairs.add_syllable(static_cast<std::size_t>(s));
    }
  }
  bool two_at(const std::string& t, std::size_t at) const {
    return first.count(syllable_at(t, at)) && second.count(syllable_at(t, at + 3));
  }
};

// Texts of syllables of both sets, their neighbours, the ASCII bytes looked for and others.
std::string random_text(std::mt19937& rng, std::size_t bytes) {
  const std::string pieces[] = {syllable(0), syllable(1), syllable(2), syllable(588), syllable(29),
                                syllable(4000), syllable(4001), syllable(11171), syllable(64),
                                "A", "D", "a", " ", "1"};
  std::string t;
  while (t.size() < bytes) t += pieces[rng() % std::size(pieces)];
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

KX_TEST(two_syllables_are_visited_once_each_in_order_at_every_length) {
  const Sets sets;
  std::mt19937 rng(11);
  for (std::size_t bytes = 0; bytes <= 160; ++bytes)
    for (int round = 0; round < 40; ++round) {
      const std::string t = random_text(rng, bytes);
      each_width([&](int width) {
        check_visit(sets, t, [width](auto&&... a) { visit_at(width, a...); });
        for (std::size_t from : {std::size_t{0}, std::min<std::size_t>(bytes, 1), bytes / 3, bytes / 2})
          check_find(sets, t, from, [width](auto&&... a) { return find_at(width, a...); });
      });
    }
}
