// Cue tables, the cue occurrence index and the window search.
#include "detect/context.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "text/bytes.hpp"
#include "text/pairs.hpp"
#include "text/simd.hpp"
#include "text/utf8.hpp"

namespace kestrix::det {
namespace {

// The two syllables by which the index finds a Hangul cue: its first two, but the last two
// for the bank names that end in 은행, 뱅크 or 금고, whose first syllables (국민, 카카오, 새마을,
// ...) are common in ordinary text and would make the index stop at every place they stand.
constexpr std::uint8_t anchor_of(std::string_view w) {
  for (std::string_view tail : {std::string_view("은행"), std::string_view("뱅크"),
                                std::string_view("금고")})
    if (w.size() > tail.size() && w.ends_with(tail))
      return static_cast<std::uint8_t>(w.size() - tail.size());
  return 0;
}

constexpr std::array<Cue, kCueCount> kCues = [] {
  std::array<Cue, kCueCount> t{};
  std::size_t k = 0;
  for (std::span<const CueWord> table : kCueTables)
    for (const CueWord& w : table)
      t[k++] = Cue{w.word, w.weight, static_cast<std::uint8_t>(utf8::count_chars(w.word)),
                   w.any_case, w.unless_next, anchor_of(w.word)};
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

static_assert([] {
  for (const Cue& c : kCues)
    if (utf8::count_chars(c.unless_next) > kCueLookahead) return false;
  return true;
}());

// Every cue is ASCII ("ARS", "DOB", "passport", "Passport No") or starts with two characters
// whose UTF-8 lead bytes lie in 0xEA..0xED (Hangul syllables): the index visits exactly those
// bytes of the text and the first bytes of the ASCII cues, sixteen at a time, and looks the six
// bytes of two syllables up in a small table. Bytes 0xEA..0xED only ever lead a character, so
// no visited position is inside one. The same scan visits the first bytes of the ASCII cues.
constexpr bool hangul_lead(unsigned char b) { return b >= 0xEA && b <= 0xED; }
constexpr bool ascii_cue(const Cue& c) { return static_cast<unsigned char>(c.word[0]) < 0x80; }

constexpr bool two_leading_syllables(std::string_view w) {
  return w.size() >= 6 && hangul_lead(static_cast<unsigned char>(w[0])) &&
         hangul_lead(static_cast<unsigned char>(w[3]));
}

// The syllables the index looks for, and (anchored cues) the syllables before them, whose
// characters are then a third of their bytes.
constexpr std::string_view indexed_part(const Cue& c) { return c.word.substr(c.anchor); }
constexpr bool cue_starts_are_covered() {
  for (const Cue& c : kCues) {
    if (ascii_cue(c)) continue;
    if (!two_leading_syllables(indexed_part(c)) || c.anchor % 3 != 0) return false;
    for (std::size_t b = 0; b < c.anchor; b += 3)
      if (!hangul_lead(static_cast<unsigned char>(c.word[b]))) return false;
  }
  return true;
}
static_assert(cue_starts_are_covered());

// The first bytes of the ASCII cues, both cases of a word that matches in either case (such a
// word is lower-case letters): the index visits every place that holds one.
constexpr pairs::AsciiSet kAsciiStarts{{'A', 'D', 'P', 'p'}};
static_assert([] {
  for (unsigned b = 0; b < 256; ++b) {
    bool starts = false;
    for (const Cue& c : kCues)
      if (ascii_cue(c))
        starts |= b == static_cast<unsigned char>(c.word[0]) ||
                  (c.any_case && b == (static_cast<unsigned char>(c.word[0]) & ~0x20u));
    if (starts != kAsciiStarts.has(static_cast<unsigned char>(b))) return false;
  }
  for (const Cue& c : kCues)
    if (c.any_case)
      for (char ch : c.word)
        if (ch < 'a' || ch > 'z') return false;
  return true;
}(), "kAsciiStarts must hold exactly the first bytes of the ASCII cues");

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
// them all (this one was the 725th of x -> x * 6364136223846793005 + 1442695040888963407 from
// 0x9E3779B97F4A7C15, each made odd).
constexpr std::size_t kSlots = 256;  // a power of two
constexpr std::uint64_t kSlotMultiplier = 0x3bcc577881ec2469ull;

constexpr std::size_t slot_of(std::uint64_t key) {
  return static_cast<std::size_t>((key * kSlotMultiplier) >> (64 - std::countr_zero(kSlots)));
}

static_assert([] {
  std::array<std::uint64_t, kSlots> taken{};
  for (const Cue& c : kCues) {
    if (ascii_cue(c)) continue;
    const std::uint64_t key = prefix_key(indexed_part(c));
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
      const std::uint64_t key = prefix_key(indexed_part(kCues[k]));
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
    auto byte = [&c](std::size_t k) { return static_cast<unsigned char>(indexed_part(c)[k]); };
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
  struct Item {  // no initializers: the room on the stack is filled only as far as it is used
    std::uint8_t first;
    std::uint32_t second;
  };
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
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  auto walk = [&](std::uint8_t head, std::size_t at, std::size_t matched) {
    for (std::uint8_t id1 = head; id1 != 0; id1 = kPrefixes.next[id1 - 1]) {
      const Cue& c = kCues[id1 - 1];
      // An anchored cue begins c.anchor bytes before the place visited, and is noted at that
      // place (in text order with the rest); its start in characters is set back below.
      if (at < c.anchor) continue;
      const std::size_t start = at - c.anchor;
      std::string_view w = c.word;
      if (w.size() > n - start) continue;
      // A few bytes at most: compared inline rather than through a memcmp call.
      std::size_t k = 0;
      while (k < c.anchor && s[start + k] == static_cast<unsigned char>(w[k])) ++k;
      if (k != c.anchor) continue;
      k += matched;
      while (k < w.size() && cue_byte_matches(s[start + k], w[k], c.any_case)) ++k;
      if (k != w.size()) continue;
      if (!c.unless_next.empty() && n - start - k >= c.unless_next.size() &&
          std::memcmp(s + start + k, c.unless_next.data(), c.unless_next.size()) == 0)
        continue;
      found.emplace_back(static_cast<std::uint8_t>(id1 - 1), static_cast<std::uint32_t>(at));
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
  // Called, not inlined into visit: inlined, its registers made every visit save and restore
  // six of them, though a visit flushes once in 256 or fewer.
  auto flush = [&] __attribute__((noinline)) {
    for (std::size_t k = 0; k < pending; ++k) {
      const Hit h = batch[k];
      if (h.slot == kSlots)
        walk(kPrefixes.ascii_head, h.at, 0);
      else
        walk(kPrefixes.head[h.slot], h.at, 6);
    }
    pending = 0;
  };
  // Called, not inlined into the scan: inlined, its registers and constants crowded the
  // scan's vector loop (which spilled and rebuilt more of its own on every block), and with
  // the scan stopping at few places the call costs less than that did.
  auto visit = [&](std::size_t at) __attribute__((noinline)) {
    const std::uint64_t key = key_at(s, at, n);
    const std::size_t slot = slot_of(key);
    const bool ascii = s[at] < 0x80;  // one of kAsciiStarts
    batch[pending] = {static_cast<std::uint32_t>(at), static_cast<std::uint16_t>(ascii ? kSlots : slot)};
    pending += ascii || kPrefixes.key[slot] == key;
    if (pending == kBatch) flush();
  };
  // Only where the first two syllables could be those of a cue (or at an ASCII cue's first byte).
  pairs::visit_two(s, n, kFirstPairs, kSecondPairs, kAsciiStarts, visit);
  flush();

  // Group by cue (a counting sort, which keeps each group ascending), touching only the cues
  // that occur: theirs are the only counts set and read.
  std::array<std::uint32_t, kCueCount> counts;  // then where each cue's next start goes

  // Byte offsets to character offsets, walking forward; the counts start at 0 on the way.
  std::size_t byte = 0;
  std::uint32_t chars = 0;
  found.each([&](Occurrences::Item& item) {
    if (item.second > byte) {
      chars += static_cast<std::uint32_t>(bytes::count_chars(s + byte, item.second - byte));
      byte = item.second;
    }
    item.second = chars - kCues[item.first].anchor / 3;
    counts[item.first] = 0;
  });
  index.total_chars = chars + static_cast<std::uint32_t>(bytes::count_chars(s + byte, n - byte));

  index.present = {};
  found.each([&](const Occurrences::Item& item) {
    index.present[item.first / 64] |= std::uint64_t{1} << (item.first % 64);
    ++counts[item.first];
  });
  std::uint32_t acc = 0;
  for_each_present(index.present, [&](std::size_t c) {
    index.begin[c] = acc;
    acc += counts[c];
    index.end[c] = acc;
    counts[c] = index.begin[c];
  });
  index.starts.resize(acc);
  found.each([&](const Occurrences::Item& item) { index.starts[counts[item.first]++] = item.second; });
  // In text order: an anchored cue was noted at its anchor, a few characters after its start,
  // so the list is sorted by insertion, which moves only those few.
  index.by_start.resize(acc);
  std::uint64_t* order = index.by_start.data();
  std::size_t k = 0;
  found.each([&](const Occurrences::Item& item) {
    const std::uint64_t v = std::uint64_t{item.second} << 8 | item.first;
    std::size_t j = k++;
    for (; j > 0 && order[j - 1] > v; --j) order[j] = order[j - 1];
    order[j] = v;
  });
}

namespace {

constexpr bool holds(std::string_view w, std::string_view part) {
  return w.find(part) != std::string_view::npos;
}
static_assert([] {
  for (const CueWord& c : cue_words::birth)
    if (!holds(c.word, "생") && c.word != "DOB") return false;
  return std::string_view("생") == "\xEC\x83\x9D";
}(), "keep_near_birth_cues looks for 생 and DOB");

}  // namespace

namespace {

// Keeps the starts near which 생 (EC 83 9D) or DOB begins, found by their second and third
// bytes, one vector of positions at a time: the pair 83 9D follows few lead bytes but that of
// 생, so few places are compared whole. The text is searched only within the regions of the
// starts, each byte at most once (starts come in text order), in one call for all of them.
struct KeepNearBirthCues {
  static bool at(const unsigned char* s, std::size_t p) {
    return (s[p] == 0xEC && s[p + 1] == 0x83 && s[p + 2] == 0x9D) ||
           (s[p] == 'D' && s[p + 1] == 'O' && s[p + 2] == 'B');
  }
  // The first pattern in [lo, hi), or SIZE_MAX.
  static std::size_t scalar(const unsigned char* s, std::size_t lo, std::size_t hi) {
    for (std::size_t p = lo; p + 3 <= hi; ++p)
      if (at(s, p)) return p;
    return SIZE_MAX;
  }
  template <class Find>
  [[gnu::always_inline]] static void keep(std::size_t n, std::vector<Span>& starts,
                                          std::size_t before, std::size_t after, const Find& find) {
    const std::size_t count = starts.size();
    auto lo_of = [&](std::size_t k) { return starts[k].byte_start - std::min<std::size_t>(starts[k].byte_start, before); };
    auto hi_of = [&](std::size_t k) { return std::min<std::size_t>(n, starts[k].byte_start + after); };
    std::size_t kept = 0;
    for (std::size_t k = 0; k < count;) {
      // The windows of starts[k .. last) overlap one another in a chain that ends at `end`:
      // they are searched as one, so that where they hold no pattern (most prose) each byte is
      // looked at once, in one call.
      std::size_t last = k + 1, end = hi_of(k);
      for (; last < count && lo_of(last) <= end; ++last) end = hi_of(last);
      // From the window of starts[k] on, up to the first pattern, which is inside the windows
      // that begin at or before it and do not end there; the starts after those look on from
      // their own window. A pattern that begins before end may end after it: the search reads
      // two bytes more.
      while (k < last) {
        const std::size_t cue = find.first(lo_of(k), std::min(n, end + 2));
        if (cue == SIZE_MAX) break;
        for (; k < last && lo_of(k) <= cue; ++k)
          if (cue < hi_of(k)) starts[kept++] = starts[k];
      }
      k = last;
    }
    starts.resize(kept);
  }
  struct Scalar {
    const unsigned char* s;
    std::size_t first(std::size_t lo, std::size_t hi) const { return scalar(s, lo, hi); }
  };
  static void fallback(const unsigned char* s, std::size_t n, std::vector<Span>& starts,
                       std::size_t before, std::size_t after) {
    keep(n, starts, before, after, Scalar{s});
  }
#ifdef KESTRIX_SIMD_X86
  template <int W>
  struct Vector {
    using V = simd::Vec<W>;
    const unsigned char* s;
    V second, third, o, b;
    // Bit k: a pattern starts at byte i - 1 + k.
    [[gnu::always_inline]] V hits(std::size_t i) const {
      const V x = V::load(s + i), y = V::load(s + i + 1);
      return (eq8(x, second) & eq8(y, third)) | (eq8(x, o) & eq8(y, b));
    }
    [[gnu::always_inline]] std::size_t in(std::size_t i, std::uint32_t m) const {
      for (; m != 0; m &= m - 1) {
        const std::size_t p = i + static_cast<std::size_t>(__builtin_ctz(m)) - 1;
        if (at(s, p)) return p;
      }
      return SIZE_MAX;
    }
    [[gnu::always_inline]] std::size_t first(std::size_t lo, std::size_t hi) const {
      if (hi - lo < W + 2) return scalar(s, lo, hi);
      // i: the second byte of the patterns that start at i - 1 .. i + W - 2, two vectors at a
      // time, then the last vector moved back to end at hi: the positions it takes again held
      // no pattern.
      std::size_t i = lo + 1;
      for (; i + 2 * W + 1 <= hi; i += 2 * W) {
        const V h0 = hits(i), h1 = hits(i + W);
        if ((h0 | h1).bits() == 0) continue;
        if (const std::size_t p = in(i, h0.bits()); p != SIZE_MAX) return p;
        if (const std::size_t p = in(i + W, h1.bits()); p != SIZE_MAX) return p;
      }
      for (;; i += W) {
        const bool last = i + W + 1 >= hi;
        if (last) i = hi - W - 1;
        if (const std::size_t p = in(i, hits(i).bits()); p != SIZE_MAX) return p;
        if (last) return SIZE_MAX;
      }
    }
  };
  template <int W>
  [[gnu::always_inline]] static void run(const unsigned char* s, std::size_t n,
                                         std::vector<Span>& starts, std::size_t before,
                                         std::size_t after) {
    using V = simd::Vec<W>;
    keep(n, starts, before, after,
         Vector<W>{s, V::set1(0x83), V::set1(0x9D), V::set1('O'), V::set1('B')});
  }
#endif
};

}  // namespace

void keep_near_birth_cues(std::string_view text, std::vector<Span>& starts,
                          std::size_t before, std::size_t after) {
  if (starts.empty()) return;
  simd::dispatch<KeepNearBirthCues>(reinterpret_cast<const unsigned char*>(text.data()),
                                    text.size(), starts, before, after);
}

namespace {

// The cue ids [first, first + count) as a 128-bit set, in the layout of CueIndex::present: a
// few shifts of one word, where a query makes one per table it reads.
std::array<std::uint64_t, 2> id_range(std::size_t first, std::size_t count) {
  static_assert(kMaxTableCues < 64 && kCueCount <= 128);
  const std::uint64_t ids = (std::uint64_t{1} << count) - 1;
  if (first >= 64) return {0, ids << (first - 64)};
  return {ids << first, first == 0 ? 0 : ids >> (64 - first)};
}

}  // namespace

void reset_cursor(const CueIndex& index, CueCursor& cursor) {
  for_each_present(index.present, [&](std::size_t c) { cursor.next[c] = index.begin[c]; });
  cursor.near_set = false;
  cursor.near_lo = 0;
}

namespace {

// Sets the cursor's near occurrences to those starting in [left_lo, right_hi), looked for from
// where the last span's began (spans come in text order; the pieces of a joined run step back
// a little). Counts no further than one past kMaxNearCues.
void find_near(const CueIndex& index, CueCursor& cursor, std::uint32_t char_start,
               std::uint32_t char_end, std::uint32_t window, std::uint32_t left_lo,
               std::uint64_t right_hi) {
  const std::uint64_t* order = index.by_start.data();
  const auto n = static_cast<std::uint32_t>(index.by_start.size());
  auto start_of = [order](std::uint32_t k) { return order[k] >> 8; };
  std::uint32_t lo = std::min(cursor.near_lo, n);
  while (lo > 0 && start_of(lo - 1) >= left_lo) --lo;
  while (lo < n && start_of(lo) < left_lo) ++lo;
  std::uint32_t hi = lo;
  while (hi < n && start_of(hi) < right_hi && hi - lo <= kMaxNearCues) ++hi;
  cursor.near_start = char_start;
  cursor.near_end = char_end;
  cursor.near_window = window;
  cursor.near_set = true;
  cursor.near_lo = lo;
  cursor.near_hi = hi;
  cursor.near_many = hi - lo > kMaxNearCues;
}

}  // namespace

namespace {

// The hits of the cues in `occurring` (ids, as in CueIndex::present), each found by walking its
// own list of occurrences from where the cursor left it: linear over a sequence of queries,
// however many occurrences the windows hold.
template <class AddHit>
void hits_by_cue(const CueIndex& index, CueCursor& cursor, std::uint32_t char_start,
                 std::uint32_t char_end, std::uint32_t left_lo, std::uint64_t right_hi,
                 const std::uint64_t (&occurring)[2], AddHit& add_hit) {
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
    add_hit(c, static_cast<std::uint32_t>(best));
  };
  for (std::size_t word = 0; word < 2; ++word) {
    for (std::uint64_t m = occurring[word]; m != 0; m &= m - 1) {
      const std::size_t id = word * 64 + static_cast<std::size_t>(__builtin_ctzll(m));
      visit_cue(id);
    }
  }
}

}  // namespace

void find_hits(const CueIndex& index, CueCursor& cursor, std::uint32_t char_start,
               std::uint32_t char_end, std::uint32_t window, CueTable table,
               HitList& out) {
  out.size = 0;
  // Only the cues of the table that occur in the text at all, in id order: often none.
  const std::array<std::uint64_t, 2> ids = id_range(table.first, table.count);
  const std::uint64_t occurring[2] = {index.present[0] & ids[0], index.present[1] & ids[1]};
  if ((occurring[0] | occurring[1]) == 0) return;
  const std::uint32_t left_width = std::max<std::uint32_t>(window, 1);
  const std::uint32_t left_lo = char_start > left_width ? char_start - left_width : 0;
  const std::uint64_t right_hi =
      std::min<std::uint64_t>(std::uint64_t{char_end} + window, index.total_chars);
  auto add_hit = [&out](const Cue& c, std::uint32_t d) {
    // weight x 1 / (0.125 d + 1), evaluated left to right: a division, not a reciprocal.
    float w = c.weight * 1.0f / (0.125f * static_cast<float>(d) + 1.0f);
    out.items[out.size++] = ContextHit{c.word, d, w};
  };
  if (!cursor.near_set || cursor.near_start != char_start || cursor.near_end != char_end ||
      cursor.near_window != window)
    find_near(index, cursor, char_start, char_end, window, left_lo, right_hi);
  if (!cursor.near_many) {
    // Each occurrence the windows can see, of the table's cues: the nearest one of each cue
    // on either side is the one at the smallest distance.
    std::array<std::uint32_t, kMaxTableCues> best;
    std::uint64_t seen = 0;  // bit j: best[j] is set
    const std::uint64_t* order = index.by_start.data();
    for (std::uint32_t k = cursor.near_lo; k < cursor.near_hi; ++k) {
      const auto id = static_cast<std::uint32_t>(order[k] & 0xFF);
      const std::uint32_t j = id - table.first;
      if (j >= table.count) continue;
      const auto start = static_cast<std::uint32_t>(order[k] >> 8);
      const Cue& c = kCues[id];
      std::uint32_t d;
      if (start >= char_end) {
        if (std::uint64_t{start} + c.chars > right_hi) continue;
        d = start - char_end;
      } else if (std::uint64_t{start} + c.chars <= char_start) {
        d = char_start - c.chars - start;
      } else {
        continue;  // overlaps the span
      }
      if (!((seen >> j) & 1) || d < best[j]) best[j] = d;
      seen |= std::uint64_t{1} << j;
    }
    for (; seen != 0; seen &= seen - 1) {
      const auto j = static_cast<std::size_t>(__builtin_ctzll(seen));
      add_hit(kCues[table.first + j], best[j]);
    }
  } else {
    hits_by_cue(index, cursor, char_start, char_end, left_lo, right_hi, occurring, add_hit);
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

}  // namespace kestrix::det
