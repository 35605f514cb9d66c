// Cue tables, the cue occurrence index and the window search.
#include "detect/context.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "text/bytes.hpp"
#include "text/pairs.hpp"
#include "text/utf8.hpp"

namespace kestrix::det {
namespace {

constexpr std::array<Cue, kCueCount> kCues = [] {
  std::array<Cue, kCueCount> t{};
  std::size_t k = 0;
  for (std::span<const CueWord> table : kCueTables)
    for (const CueWord& w : table)
      t[k++] = Cue{w.word, w.weight, static_cast<std::uint8_t>(utf8::count_chars(w.word)),
                   w.any_case, w.unless_next};
  return t;
}();

// The ranges tile all_cues in table order, each holding its table's words.
static_assert([] {
  std::size_t next = 0;
  for (std::size_t t = 0; t < std::size(kCueTables); ++t) {
    const CueTable r = cue_table(static_cast<CueTableId>(t));
    if (r.first != next || r.count != kCueTables[t].size()) return false;
    for (std::size_t j = 0; j < r.count; ++j)
      if (kCues[r.first + j].word != kCueTables[t][j].word) return false;
    next += r.count;
  }
  return next == kCueCount;
}());

// Every cue is ASCII ("ARS", "DOB", "passport", "Passport No") or starts with two characters
// whose UTF-8 lead bytes lie in 0xEA..0xED (Hangul syllables): the index visits exactly those
// bytes of the text and the first bytes of the ASCII cues, sixteen at a time, and looks the six
// bytes of two syllables up in a small table. Bytes 0xEA..0xED only ever lead a character, so
// no visited position is inside one. The syllable scan visits 'A' itself; the first bytes of
// the other ASCII cues ('D', 'P', 'p': kOtherAsciiStarts) are found by a scan of their own.
constexpr bool hangul_lead(unsigned char b) { return b >= 0xEA && b <= 0xED; }
constexpr bool ascii_cue(const Cue& c) { return static_cast<unsigned char>(c.word[0]) < 0x80; }

constexpr bool two_leading_syllables(std::string_view w) {
  return w.size() >= 6 && hangul_lead(static_cast<unsigned char>(w[0])) &&
         hangul_lead(static_cast<unsigned char>(w[3]));
}

constexpr bool cue_starts_are_covered() {
  for (const Cue& c : kCues)
    if (!two_leading_syllables(c.word) && !ascii_cue(c)) return false;
  return true;
}
static_assert(cue_starts_are_covered());

// The first bytes of the ASCII cues that do not start with 'A', both cases of a word that
// matches in either case (such a word is lower-case letters).
constexpr std::array<bool, 128> kOtherAsciiStarts = [] {
  std::array<bool, 128> t{};
  for (const Cue& c : kCues) {
    if (!ascii_cue(c) || c.word[0] == 'A') continue;
    const auto b = static_cast<unsigned char>(c.word[0]);
    t[b] = true;
    if (c.any_case) t[b & ~0x20] = true;
  }
  return t;
}();
inline bytes::V16 other_ascii_start_block(bytes::V16 v) {
  return bytes::eq(v, 'D') | bytes::eq(v, 'P') | bytes::eq(v, 'p');
}
static_assert([] {
  for (std::size_t b = 0; b < 128; ++b)
    if (kOtherAsciiStarts[b] != (b == 'D' || b == 'P' || b == 'p')) return false;
  for (const Cue& c : kCues)
    if (c.any_case)
      for (char ch : c.word)
        if (ch < 'a' || ch > 'z') return false;
  return true;
}(), "other_ascii_start_block must test exactly the first bytes of the ASCII cues");

// Byte b of the text against byte w of a cue word, in either case when the word says so.
constexpr bool cue_byte_matches(unsigned char b, char w, bool any_case) {
  return (any_case ? (b | 0x20) : b) == static_cast<unsigned char>(w);
}

// The first six bytes as a number, byte k in bits 8k..8k+7.
constexpr std::uint64_t prefix_key(std::string_view w) {
  std::uint64_t k = 0;
  for (int b = 0; b < 6; ++b) k |= std::uint64_t{static_cast<unsigned char>(w[b])} << (8 * b);
  return k;
}

// The prefixes are known when the module is built, so the table is perfect: the multiplier
// gives every prefix a slot of its own. A lookup is then one compare, with no probing (key 0:
// empty slot, never a prefix). A change to the cue words that makes two prefixes share a slot
// fails the build; a new multiplier is then found by trying odd numbers until one separates
// them all (this one was the 36th of x -> x * 6364136223846793005 + 1442695040888963407 from
// 0x9E3779B97F4A7C15, each made odd).
constexpr std::size_t kSlots = 512;  // a power of two
constexpr std::uint64_t kSlotMultiplier = 0xd6e649d7b704c2d3ull;

constexpr std::size_t slot_of(std::uint64_t key) {
  return static_cast<std::size_t>((key * kSlotMultiplier) >> (64 - std::countr_zero(kSlots)));
}

static_assert([] {
  std::array<std::uint64_t, kSlots> taken{};
  for (const Cue& c : kCues) {
    if (ascii_cue(c)) continue;
    const std::uint64_t key = prefix_key(c.word);
    std::uint64_t& slot = taken[slot_of(key)];
    if (slot != 0 && slot != key) return false;
    slot = key;
  }
  return true;
}(), "two cue prefixes share a slot: find a new multiplier");

// Each slot heads the chain of cues with its prefix (id + 1; 0 ends a chain). The ASCII cues
// have a chain of their own.
struct PrefixTable {
  std::array<std::uint64_t, kSlots> key{};
  std::array<std::uint8_t, kSlots> head{};
  std::array<std::uint8_t, kCueCount> next{};
  std::uint8_t ascii_head = 0;
};

constexpr PrefixTable build_prefix_table() {
  PrefixTable t{};
  // In reverse, so each chain lists its cues in id order (the order does not change the
  // index: occurrences are grouped by cue afterwards).
  for (std::size_t k = kCueCount; k-- > 0;) {
    std::uint8_t* head = &t.ascii_head;
    if (!ascii_cue(kCues[k])) {
      const std::uint64_t key = prefix_key(kCues[k].word);
      const std::size_t slot = slot_of(key);
      t.key[slot] = key;
      head = &t.head[slot];
    }
    t.next[k] = *head;
    *head = static_cast<std::uint8_t>(k + 1);
  }
  return t;
}

constexpr PrefixTable kPrefixes = build_prefix_table();

// The (lead, second byte) pairs of the first and of the second syllable of the Hangul cues.
constexpr std::array<pairs::PairSet, 2> kSyllablePairs = [] {
  std::array<pairs::PairSet, 2> t{};
  for (const Cue& c : kCues) {
    if (ascii_cue(c)) continue;
    auto byte = [&c](std::size_t k) { return static_cast<unsigned char>(c.word[k]); };
    t[0].add(byte(0), byte(1), byte(2));
    t[1].add(byte(3), byte(4), byte(5));
  }
  return t;
}();
constexpr const pairs::PairSet& kFirstPairs = kSyllablePairs[0];
constexpr const pairs::PairSet& kSecondPairs = kSyllablePairs[1];

// The six bytes at p as prefix_key gives them; bytes past the end of the text read as 0, which
// no prefix holds.
inline std::uint64_t key_at(const unsigned char* s, std::size_t at, std::size_t n) {
  unsigned char buf[8] = {};
  if (at + 8 <= n) {
    std::memcpy(buf, s + at, 8);
  } else {
    std::memcpy(buf, s + at, n - at < 6 ? n - at : 6);
  }
  std::uint64_t k = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&k, buf, 8);
    k &= 0xFFFFFFFFFFFFull;
  } else {
    for (int b = 0; b < 6; ++b) k |= std::uint64_t{buf[b]} << (8 * b);
  }
  return k;
}

// Calls f(c) for every cue id c in the set, ascending.
template <class F>
void for_each_present(const std::array<std::uint64_t, 2>& set, F f) {
  for (std::size_t word = 0; word < 2; ++word)
    for (std::uint64_t m = set[word]; m != 0; m &= m - 1)
      f(word * 64 + static_cast<std::size_t>(__builtin_ctzll(m)));
}

}  // namespace

const std::array<Cue, kCueCount>& all_cues() { return kCues; }

namespace {

// (cue id, start) pairs in text order: the first few on the stack (a short message allocates
// nothing for them), the rest on the heap.
struct Occurrences {
  using Item = std::pair<std::uint8_t, std::uint32_t>;
  std::array<Item, 16> local;
  std::size_t n_local = 0;
  std::vector<Item> more;

  void emplace_back(std::uint8_t id, std::uint32_t start) {
    if (n_local < local.size())
      local[n_local++] = {id, start};
    else
      more.emplace_back(id, start);
  }
  template <class F>
  void each(F f) {
    for (std::size_t k = 0; k < n_local; ++k) f(local[k]);
    for (Item& item : more) f(item);
  }
};

}  // namespace

void build_cue_index(std::string_view text, CueIndex& index) {
  // (cue id, start byte) in text order; the bytes become characters in one forward count, and
  // a counting sort groups the occurrences by cue, keeping each group ascending.
  Occurrences found;
  std::array<std::uint32_t, kCueCount> counts{};
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  auto walk = [&](std::uint8_t head, std::size_t at, std::size_t matched) {
    for (std::uint8_t id1 = head; id1 != 0; id1 = kPrefixes.next[id1 - 1]) {
      const Cue& c = kCues[id1 - 1];
      std::string_view w = c.word;
      if (w.size() > n - at) continue;
      // A few bytes at most: compared inline rather than through a memcmp call.
      std::size_t k = matched;
      while (k < w.size() && cue_byte_matches(s[at + k], w[k], c.any_case)) ++k;
      if (k != w.size()) continue;
      if (!c.unless_next.empty() && n - at - k >= c.unless_next.size() &&
          std::memcmp(s + at + k, c.unless_next.data(), c.unless_next.size()) == 0)
        continue;
      found.emplace_back(static_cast<std::uint8_t>(id1 - 1), static_cast<std::uint32_t>(at));
      ++counts[id1 - 1];
    }
  };
  // The scan only notes where a prefix of the table (or an ASCII start) stands, without a branch on
  // whether it does: most visited places hold none, and which do is not predictable. The
  // chains are walked a batch at a time afterwards, in text order.
  struct Hit {
    std::uint32_t at;
    std::uint16_t slot;  // kSlots: the chain of the ASCII cues
  };
  constexpr std::size_t kBatch = 256;
  std::array<Hit, kBatch> batch;
  std::size_t pending = 0;
  auto flush = [&] {
    for (std::size_t k = 0; k < pending; ++k) {
      const Hit h = batch[k];
      if (h.slot == kSlots)
        walk(kPrefixes.ascii_head, h.at, 0);
      else
        walk(kPrefixes.head[h.slot], h.at, 6);
    }
    pending = 0;
  };
  // The first bytes of the other ASCII cues, taken in text order among the scan's visits.
  auto other_from = [&](std::size_t i) {
    return bytes::find(s, i, n, other_ascii_start_block,
                       [](unsigned char b) { return b < 0x80 && kOtherAsciiStarts[b]; });
  };
  std::size_t other = other_from(0);
  auto visit_others_before = [&](std::size_t at) {
    for (; other < at; other = other_from(other + 1)) {
      batch[pending++] = {static_cast<std::uint32_t>(other), static_cast<std::uint16_t>(kSlots)};
      if (pending == kBatch) flush();
    }
  };
  auto visit = [&](std::size_t at) {
    visit_others_before(at);
    const std::uint64_t key = key_at(s, at, n);
    const std::size_t slot = slot_of(key);
    const bool ascii = s[at] == 'A';
    batch[pending] = {static_cast<std::uint32_t>(at), static_cast<std::uint16_t>(ascii ? kSlots : slot)};
    pending += ascii || kPrefixes.key[slot] == key;
    if (pending == kBatch) flush();
  };
  // Only where the first two syllables could be those of a cue (or at an 'A').
  pairs::visit_two(s, n, kFirstPairs, kSecondPairs, 'A', visit);
  visit_others_before(n);
  flush();

  // Byte offsets to character offsets, walking forward.
  std::size_t byte = 0;
  std::uint32_t chars = 0;
  found.each([&](Occurrences::Item& item) {
    if (item.second > byte) {
      chars += static_cast<std::uint32_t>(bytes::count_chars(s + byte, item.second - byte));
      byte = item.second;
    }
    item.second = chars;
  });
  index.total_chars = chars + static_cast<std::uint32_t>(bytes::count_chars(s + byte, n - byte));

  // Group by cue (a counting sort, which keeps each group ascending), touching only the cues
  // that occur.
  index.present = {};
  found.each([&](const Occurrences::Item& item) {
    index.present[item.first / 64] |= std::uint64_t{1} << (item.first % 64);
  });
  std::uint32_t acc = 0;
  for_each_present(index.present, [&](std::size_t c) {
    index.begin[c] = acc;
    acc += counts[c];
    index.end[c] = acc;
  });
  index.starts.resize(acc);
  std::array<std::uint32_t, kCueCount> fill{};
  for_each_present(index.present, [&](std::size_t c) { fill[c] = index.begin[c]; });
  found.each([&](const Occurrences::Item& item) { index.starts[fill[item.first]++] = item.second; });
}

namespace {

// Bits [first, first + count) of a 128-bit set of cue ids, as its word `word`.
std::uint64_t id_range(std::size_t word, std::size_t first, std::size_t count) {
  const std::size_t lo = std::max(first, word * 64), hi = std::min(first + count, word * 64 + 64);
  if (lo >= hi) return 0;
  const std::size_t a = lo - word * 64, b = hi - word * 64;
  const std::uint64_t below_b = b == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << b) - 1;
  return below_b & ~((std::uint64_t{1} << a) - 1);
}

}  // namespace

void reset_cursor(const CueIndex& index, CueCursor& cursor) {
  for_each_present(index.present, [&](std::size_t c) { cursor.next[c] = index.begin[c]; });
}

void find_hits(const CueIndex& index, CueCursor& cursor, std::uint32_t char_start,
               std::uint32_t char_end, std::uint32_t window, CueTable table,
               HitList& out) {
  out.size = 0;
  const std::uint32_t left_width = std::max<std::uint32_t>(window, 1);
  const std::uint32_t left_lo = char_start > left_width ? char_start - left_width : 0;
  const std::uint64_t right_hi =
      std::min<std::uint64_t>(std::uint64_t{char_end} + window, index.total_chars);
  const std::uint32_t* starts = index.starts.data();
  auto visit_cue = [&](std::size_t id) {
    const std::uint32_t lo = index.begin[id], hi = index.end[id];
    const Cue& c = kCues[id];
    // Right: the first occurrence starting at or after the span end that fits the window.
    // The pieces of a joined run end before the run does, so the walk may go back a little.
    std::uint32_t k = cursor.next[id];
    while (k > lo && starts[k - 1] >= char_end) --k;
    while (k < hi && starts[k] < char_end) ++k;
    cursor.next[id] = k;
    std::uint64_t best = UINT64_MAX;
    if (k < hi && std::uint64_t{starts[k]} + c.chars <= right_hi) best = starts[k] - char_end;
    // Left: the last occurrence that ends by the span start; the ones skipped on the way back
    // overlap the span, so there are few of them.
    while (k > lo && std::uint64_t{starts[k - 1]} + c.chars > char_start) --k;
    if (k > lo && starts[k - 1] >= left_lo)
      best = std::min<std::uint64_t>(best, char_start - c.chars - starts[k - 1]);
    if (best == UINT64_MAX) return;
    auto d = static_cast<std::uint32_t>(best);
    // weight x 1 / (0.125 d + 1), evaluated left to right: a division, not a reciprocal.
    float w = c.weight * 1.0f / (0.125f * static_cast<float>(d) + 1.0f);
    out.items[out.size++] = ContextHit{c.word, d, w};
  };
  // Only the cues of the table that occur in the text at all, in id order.
  for (std::size_t word = 0; word < 2; ++word) {
    std::uint64_t m = index.present[word] & id_range(word, table.first, table.count);
    for (; m != 0; m &= m - 1) {
      const std::size_t id = word * 64 + static_cast<std::size_t>(__builtin_ctzll(m));
      visit_cue(id);
    }
  }
  // Stable insertion sort: at most one hit per cue of one table, and no buffer to allocate.
  auto before = [](const ContextHit& a, const ContextHit& b) {
    if (a.weight != b.weight) return a.weight > b.weight;
    return a.cue < b.cue;
  };
  ContextHit* hit = out.items.data();
  for (std::size_t k = 1; k < out.size; ++k) {
    ContextHit h = hit[k];
    std::size_t j = k;
    for (; j > 0 && before(h, hit[j - 1]); --j) hit[j] = hit[j - 1];
    hit[j] = h;
  }
}

float context_score(const HitList& hits) {
  float sum = 0.0f;
  for (const ContextHit& h : hits) sum += h.weight;
  return sum > 1.5f ? 1.5f : sum;
}

}  // namespace kestrix::det
