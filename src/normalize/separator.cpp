// Separator absorption: a run of separators standing between two digit-like characters is
// deleted, one absorbed segment per maximal group of one class, so the map keeps what was
// removed and what it costs.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <utility>
#include <vector>

#include "normalize/pass_writer.hpp"
#include "text/bytes.hpp"
#include "text/recycled.hpp"
#include "text/simd.hpp"
#include "text/utf8.hpp"

namespace kestrix {
namespace {

using pass_detail::byte_at;
using pass_detail::digit_like;

struct SepClass {
  std::string_view rule;
  AbsorbClass absorb;
  std::uint8_t id;  // index into kSepClasses
};

constexpr SepClass kSepClasses[] = {
    {"separator.whitespace", AbsorbClass::whitespace, 0}, {"separator.hyphen", AbsorbClass::separator, 1},
    {"separator.dot", AbsorbClass::separator, 2},         {"separator.paren", AbsorbClass::separator, 3},
    {"separator.comma", AbsorbClass::separator, 4},       {"separator.middot", AbsorbClass::separator, 5},
    {"separator.invisible", AbsorbClass::separator, 6}};
constexpr const SepClass& kWhitespace = kSepClasses[0];
constexpr const SepClass& kHyphen = kSepClasses[1];
constexpr const SepClass& kDot = kSepClasses[2];
constexpr const SepClass& kParen = kSepClasses[3];
constexpr const SepClass& kComma = kSepClasses[4];
constexpr const SepClass& kMiddot = kSepClasses[5];
constexpr const SepClass& kInvisible = kSepClasses[6];
static_assert([] {
  for (std::size_t k = 0; k < std::size(kSepClasses); ++k)
    if (kSepClasses[k].id != k) return false;
  return true;
}());

// The class of the character of two or three bytes at byte i (lead byte 0xC2, 0xE1, 0xE2, 0xE3
// or 0xEF), or nullptr; its length in `len`. U+318D (the Hangul araea, typed as a middle dot),
// U+2022 and U+2219 are middle dots, U+3161 (a vowel typed as a dash) a hyphen. The invisible
// format characters (utf8::is_invisible_format) are absorbed by this pass alone:
// between digits they are a way to slip a number past a scanner, elsewhere they stay as
// written. Jamo and the other characters of these lead bytes are separators nowhere.
const SepClass* wide_class(std::string_view s, std::size_t i, std::size_t& len) {
  if (byte_at(s, i) == 0xC2) {
    len = 2;
    return i + 1 < s.size() && byte_at(s, i + 1) == 0xB7 ? &kMiddot : nullptr;
  }
  len = 3;
  if (i + 2 >= s.size()) return nullptr;
  const char32_t c = pass_detail::decode3(s, i);
  if (utf8::is_invisible_format(c)) return &kInvisible;
  switch (c) {
    case 0x30FB: case 0x318D: case 0x2022: case 0x2219:
      return &kMiddot;
    case 0x3161:
      return &kHyphen;
    default:
      return nullptr;
  }
}

// The class of the separator that a byte may begin, by index into kClasses (0: none; 6: a
// character of several bytes, told by wide_class).
constexpr std::uint8_t kWide = 6;
constexpr const SepClass* kClasses[] = {nullptr, &kWhitespace, &kHyphen, &kDot, &kParen, &kComma};
constexpr std::array<std::uint8_t, 256> kLeadClass = [] {
  std::array<std::uint8_t, 256> t{};
  t['\t'] = t[' '] = 1;
  t['-'] = 2;
  t['.'] = 3;
  t['('] = t[')'] = 4;
  t[','] = 5;
  t[0xC2] = t[0xE1] = t[0xE2] = t[0xE3] = t[0xEF] = kWide;
  return t;
}();

// Byte length of the separator of any class at byte i (0 for none), and its class in `cls`.
[[gnu::always_inline]] inline std::size_t separator_at(std::string_view s, std::size_t i,
                                                       const SepClass*& cls) {
  const std::uint8_t k = kLeadClass[byte_at(s, i)];
  if (k == 0) return 0;
  if (k != kWide) {
    cls = kClasses[k];
    return 1;
  }
  std::size_t len = 0;
  const SepClass* c = wide_class(s, i, len);
  if (!c) return 0;
  cls = c;
  return len;
}

// The one-name rule list of each class, by class id, made once per process: a text of a few
// separators would otherwise spend more on looking its rule names up than on absorbing them.
using ClassRules = std::array<RuleSeq, std::size(kSepClasses)>;
const ClassRules& class_rules() {
  static const ClassRules kRules = [] {
    ClassRules t;
    for (const SepClass& c : kSepClasses) t[c.id] = RuleSeq::one(c.rule);
    return t;
  }();
  return kRules;
}

// Calls group(from, to, cls, chars) for each maximal group [from, to) of one class of the run
// [start, end), in order; each separator is one character. Inlined in every caller: a call per
// run cost 3 % of the instructions of `detect` on rows of numbers.
template <class Group>
[[gnu::always_inline]] inline void each_group(std::string_view s, std::size_t start, std::size_t end,
                                              Group group) {
  std::size_t g = start;
  std::uint32_t chars = 0;
  const SepClass* cls = nullptr;
  separator_at(s, start, cls);
  for (std::size_t i = start; i < end; ++chars) {
    const SepClass* c = nullptr;
    const std::size_t len = separator_at(s, i, c);
    if (c != cls) {
      group(g, i, *cls, chars);
      g = i;
      cls = c;
      chars = 0;
    }
    i += len;
  }
  group(g, end, *cls, chars);
}

// Absorbs the run [start, end) as maximal groups of one class.
[[gnu::always_inline]] inline void absorb_run(Builder& b, std::string_view s, std::size_t start,
                                              std::size_t end, const ClassRules& rules) {
  each_group(s, start, end, [&](std::size_t from, std::size_t to, const SepClass& c, std::uint32_t) {
    absorb(b, s.substr(from, to - from), rules[c.id], c.absorb);
  });
}
// The same out of line, for the few runs that take it beside a faster way.
[[gnu::noinline]] void absorb_run_apart(Builder& b, std::string_view s, std::size_t start,
                                        std::size_t end, const ClassRules& rules) {
  absorb_run(b, s, start, end, rules);
}

// The runs to absorb, [first, second) each, in text order. A run of one class (nearly all:
// one hyphen, space or dot) carries its class id in `cls` and its characters in `chars`, found
// with the run, so that it is not read again; kGroups marks a run of several classes.
struct Run {  // no initializers: the room is filled only as far as it is used
  std::uint32_t first, second;  // the text's offsets fit, as the map's do
  std::uint32_t chars;
  std::uint8_t cls;
};
constexpr std::uint8_t kGroups = 0xFF;

// The list of runs, kept per thread (see recycled.hpp).
struct SpareRuns {
  std::vector<Run> v;
};

// The runs: the first few where they stand (a message holds a number or two), the rest in the
// thread's list (see recycled.hpp), taken at the first run past them.
struct Runs {
  static constexpr std::size_t kLocal = 8;
  std::array<Run, kLocal> local;
  std::size_t count = 0;
  std::optional<recycled::Buffer<Run>> more;

  // `run` of a text of `text_bytes` bytes.
  void add(const Run& run, std::size_t text_bytes) {
    if (count < kLocal) {
      local[count] = run;
    } else {
      if (!more) {
        more.emplace(recycled::per_thread<SpareRuns>().v);
        // Room for as many runs as the text holds at the rate of the first ones, one per
        // sixteen bytes at most: a long text's list is not grown and copied step by step.
        more->v.reserve(std::min(text_bytes / 16, count * text_bytes / run.second));
      }
      more->v.push_back(run);
    }
    ++count;
  }
  const Run& operator[](std::size_t k) const { return k < kLocal ? local[k] : more->v[k - kLocal]; }
};

// A short text that no pass before this one changed, rewritten without the builder: a copy
// without the runs, and the map the builder would write for it (the stretches between runs,
// none of them empty, as identity segments, and a deletion for each group of one class).
constexpr std::size_t kShortBytes = 4096;

bool rewrite_short(std::string_view text, const Runs& runs, std::size_t segments, PassOutput& out,
                   const ClassRules& rules) {
  std::string& t = out.text;
  t.clear();
  t.reserve(text.size());
  std::vector<Segment>& segs = out.map.segments;
  if (segs.capacity() == 0 && out.spare_map) segs = out.spare_map(text.size());
  segs.clear();
  segs.reserve(segments);
  std::uint32_t sb = 0, sc = 0, db = 0, dc = 0;  // source and output cursors (bytes, chars)
  auto keep = [&](std::size_t from, std::size_t to) {
    const auto n = static_cast<std::uint32_t>(to - from);
    const std::uint32_t k = utf8::count_chars(text.substr(from, n));
    t.append(text.data() + from, n);
    segs.push_back(Segment{{}, Span{sb, sb + n, sc, sc + k}, Span{db, db + n, dc, dc + k}, {},
                           SegmentKind::identity});
    sb += n;
    sc += k;
    db += n;
    dc += k;
  };
  std::size_t at = 0;
  for (std::size_t r = 0; r < runs.count; ++r) {
    const Run& run = runs[r];
    keep(at, run.first);
    each_group(text, run.first, run.second, [&](std::size_t from, std::size_t to, const SepClass& c,
                                                std::uint32_t k) {
      const auto n = static_cast<std::uint32_t>(to - from);
      Segment& g = segs.emplace_back();
      g.src = {sb, sb + n, sc, sc + k};
      g.dst = {db, db, dc, dc};
      g.kind = SegmentKind::del;
      (c.absorb == AbsorbClass::whitespace ? g.cost.absorbed_whitespace : g.cost.absorbed_separators) =
          clamp16(k);
      g.rules = rules[c.id];
      sb += n;
      sc += k;
    });
    at = run.second;
  }
  keep(at, text.size());
  return true;
}

// Bytes that begin a separator: the ASCII ones and the lead bytes of the others.
constexpr pass_detail::ByteTable kSeparatorStart =
    pass_detail::byte_table({'\t', ' ', '(', ')', ',', '-', '.', 0xC2, 0xE1, 0xE2, 0xE3, 0xEF});
inline bytes::V16 separator_start_block(bytes::V16 v) {
  return bytes::eq(v, '\t') | bytes::eq(v, ' ') | bytes::in_range(v, '(', ')') |
         bytes::in_range(v, ',', '.') | bytes::eq(v, 0xC2) | bytes::in_range(v, 0xE1, 0xE3) |
         bytes::eq(v, 0xEF);
}

// The first position d at or after i, with d + 1 < n, whose byte is digit-like and the next
// one may begin a separator; n when there is none. Digits stand in rows and most rows end at
// a letter: those are passed over sixteen bytes at a time, and the last bytes, which a short
// text mostly is, as the sixteen positions before the last byte.
std::size_t next_digit_before_separator16(const unsigned char* s, std::size_t i, std::size_t n) {
  auto block = [s](std::size_t at) {
    return bytes::bits(pass_detail::digit_like_block(bytes::load(s + at)) &
                       separator_start_block(bytes::load(s + at + 1)));
  };
  for (; i + 17 <= n; i += 16)
    if (const std::uint32_t m = block(i); m != 0) return i + static_cast<std::size_t>(__builtin_ctz(m));
  if (i + 1 < n && n >= 17) {
    // Positions n - 17 .. n - 2, of which those before i were looked at.
    const std::size_t last = n - 17;
    const std::uint32_t m = block(last) >> (i - last);
    return m != 0 ? i + static_cast<std::size_t>(__builtin_ctz(m)) : n;
  }
  for (; i + 1 < n; ++i)
    if (digit_like(s[i]) && kSeparatorStart[s[i + 1]]) return i;
  return n;
}

// Both byte classes of the scan by a byte's two nibbles: a byte is in a class where the entries
// of its low and of its high nibble share one of the class's bits. Each bit stands for the
// bytes of one high nibble set and one low nibble set, so seven bits write both classes exactly
// (the build checks every byte).
constexpr std::uint8_t kDigitBits = 0x0B, kSeparatorBits = 0x74;
struct NibbleTables {
  alignas(16) std::array<std::uint8_t, 16> low{}, high{};
};
constexpr NibbleTables kNibbles = [] {
  struct Rect {
    std::uint8_t bit;
    std::initializer_list<int> high, low;
  };
  const Rect rects[] = {
      {0x01, {0x3}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},  // digits
      {0x02, {0x2}, {0xA}},                           // "*"
      {0x04, {0x2}, {0x0, 0x8, 0x9, 0xC, 0xD, 0xE}},  // " ", "(", ")", ",", "-", "."
      {0x08, {0x5, 0x7}, {0x8}},                      // "X", "x"
      {0x10, {0x0}, {0x9}},                           // tab
      {0x20, {0xC}, {0x2}},                           // 0xC2
      {0x40, {0xE}, {0x1, 0x2, 0x3, 0xF}},            // 0xE1..0xE3, 0xEF
  };
  NibbleTables t;
  for (const Rect& r : rects) {
    for (int h : r.high) t.high[static_cast<std::size_t>(h)] |= r.bit;
    for (int l : r.low) t.low[static_cast<std::size_t>(l)] |= r.bit;
  }
  return t;
}();
static_assert([] {
  for (unsigned b = 0; b < 256; ++b) {
    const std::uint8_t c = kNibbles.low[b & 15] & kNibbles.high[b >> 4];
    if (((c & kDigitBits) != 0) != digit_like(static_cast<unsigned char>(b)) ||
        ((c & kSeparatorBits) != 0) != kSeparatorStart[b])
      return false;
  }
  return true;
}(), "the nibble tables must hold exactly the digit-like bytes and the separator starts");

// Calls resume = f(d) for each position d, ascending, with d + 1 < n, whose byte is digit-like
// and the next one may begin a separator, skipping those before the resume position it gave
// last and stopping once that reaches n. W bytes at a time, each byte's classes looked up by
// its nibbles, and the last ones as the W positions before the last byte; with SSE2 alone, by
// the sixteen-byte search.
struct DigitsBeforeSeparators {
  template <class F>
  static void fallback(const unsigned char* s, std::size_t n, const NibbleTables&, F& f) {
    for (std::size_t d = 0; (d = next_digit_before_separator16(s, d, n)) < n;)
      d = f(d);
  }
#ifdef KESTRIX_SIMD_X86
  // The text holds at least W + 1 bytes.
  template <int W, class F>
  [[gnu::always_inline]] static void run(const unsigned char* s, std::size_t n, const NibbleTables& t, F& f) {
    using V = simd::Vec<W>;
    const V low = V::repeat16(t.low.data()), high = V::repeat16(t.high.data()), nibble = V::set1(0x0F),
            digit = V::set1(kDigitBits), separator = V::set1(kSeparatorBits), zero = V::zero();
    // Inlined, so that they take the width's instructions from the entry that has them.
    auto classes = [&](const V& v) __attribute__((always_inline)) {
      return lookup(low, v & nibble) & lookup(high, shr16<4>(v) & nibble);
    };
    constexpr std::uint32_t kAll = W == 32 ? ~std::uint32_t{0} : (std::uint32_t{1} << W) - 1;
    auto block = [&](std::size_t at) __attribute__((always_inline)) {
      const V none = eq8(classes(V::load(s + at)) & digit, zero) |
                     eq8(classes(V::load(s + at + 1)) & separator, zero);
      return ~none.bits() & kAll;
    };
    std::size_t resume = 0;
    // False once f has had its last position.
    auto each = [&](std::size_t at, std::uint32_t m) __attribute__((always_inline)) {
      for (; m != 0; m &= m - 1) {
        const std::size_t d = at + static_cast<std::size_t>(__builtin_ctz(m));
        if (d < resume) continue;
        resume = f(d);
        if (resume >= n) return false;
      }
      return true;
    };
    std::size_t i = 0;
    for (; i + W + 1 <= n; i += W)
      if (!each(i, block(i))) return;
    if (i + 1 >= n) return;
    // Positions n - W - 1 .. n - 2, of which those before i were looked at.
    const std::size_t last = n - W - 1;
    each(i, block(last) >> (i - last));
  }
#endif
};

template <class F>
void for_each_digit_before_separator(const unsigned char* s, std::size_t n, F f) {
  // A short text (most messages) stays with the sixteen-byte search.
  if (n < 64) {
    DigitsBeforeSeparators::fallback(s, n, kNibbles, f);
    return;
  }
  simd::dispatch<DigitsBeforeSeparators>(s, n, kNibbles, f);
}

// Characters in text[from, to), to > from: a piece of fewer than eight bytes (most of the
// stretches between the runs of a row of numbers) read as the eight bytes that end it, where
// the text holds them.
inline std::uint32_t chars_between(std::string_view text, std::size_t from, std::size_t to) {
  const std::size_t n = to - from;
  if (std::endian::native == std::endian::little && n < 8 && to >= 8) {
    const std::uint64_t cont = bytes::detail::continuation_bits(
        reinterpret_cast<const unsigned char*>(text.data()) + to - 8);
    return static_cast<std::uint32_t>(n - bytes::detail::count_bits(cont >> (8 * (8 - n))));
  }
  return utf8::count_chars(text.substr(from, n));
}

// The index of the unchanged segment of the earlier map `inner` that holds the run [start, end)
// (up to its end at most), when the segments from `i` on, where the composition stands at byte
// `pos`, take the stretch [pos, start) kept before the run whole: changes that begin and end
// within it (their rules sorted, as the passes' are) and unchanged segments that end within it
// (the first may begin before pos). SIZE_MAX otherwise, and at a deletion, which no earlier
// pass makes.
std::size_t holder_of_run(const std::vector<Segment>& inner, std::size_t i, std::uint32_t pos,
                          std::size_t start, std::size_t end) {
  for (std::uint32_t cur = pos; i < inner.size(); ++i) {
    const Segment& s = inner[i];
    if (s.dst.byte_end <= s.dst.byte_start || s.dst.byte_start > cur) break;
    if (s.kind == SegmentKind::identity) {
      if (end <= s.dst.byte_end) return i;
      if (s.dst.byte_end > start) break;
    } else if (s.dst.byte_start != cur || s.dst.byte_end > start || !s.rules.strictly_ascending()) {
      break;
    }
    cur = s.dst.byte_end;
  }
  return SIZE_MAX;
}

// The runs absorbed after the earlier passes' map, composed with it as they are written. Where
// the earlier map's segments take the stretch kept before a run whole and an unchanged one of
// them holds the run (nearly everywhere: the earlier passes change a few characters here and
// there), the composition of the stretch is those segments, the output side moved by the
// separators absorbed so far, and that of the run its own groups, the source side moved by the
// holder's offset: they are written into the result here as the composition writes them. The
// other runs go through the composition, which is handed each one settled, so that it stands
// at the run's end, with nothing pending, when it can.
void absorb_composing(pass_detail::Writer& w, std::string_view text, const Runs& runs,
                      const ClassRules& rules) {
  w.start();
  Builder& b = w.b;
  ComposeStream& st = *w.stream;
  const std::vector<Segment>& inner = st.inner->segments;
  std::vector<Segment>& out = st.result->segments;
  for (std::size_t r = 0; r < runs.count; ++r) {
    const Run& run = runs[r];
    const std::size_t start = run.first, end = run.second;
    const std::size_t holder = b.segments.empty() && !st.failed
                                   ? holder_of_run(inner, st.inner_index, b.sb, start, end)
                                   : SIZE_MAX;
    if (holder == SIZE_MAX) {
      keep(b, text.substr(w.emitted, start - w.emitted));
      absorb_run_apart(b, text, start, end, rules);
      w.emitted = end;
      compose_feed_settled(st, b.segments);
      continue;
    }
    // The output side of the stretch is its source side moved by (ob, oc) (unsigned: the
    // offsets wrap as the composition's do).
    const std::uint32_t ob = b.db - b.sb, oc = b.dc - b.sc;
    std::uint32_t cur = b.sb, cc = b.sc;  // the stretch is composed up to here
    for (std::size_t i = st.inner_index; i < holder; ++i) {
      const Segment& s = inner[i];
      const Span dst{cur + ob, s.dst.byte_end + ob, cc + oc, s.dst.char_end + oc};
      if (s.kind == SegmentKind::identity) {
        const std::uint32_t db = s.src.byte_start - s.dst.byte_start;
        const std::uint32_t dc = s.src.char_start - s.dst.char_start;
        append_identity(out, Span{cur + db, s.src.byte_end, cc + dc, s.src.char_end}, dst);
      } else {
        // The composition's kind of a group: its output holds bytes.
        auto chars = [](const Span& x) { return x.char_end > x.char_start ? x.char_end - x.char_start : 0; };
        out.push_back(Segment{s.rules, s.src, dst, s.cost,
                              chars(s.src) < chars(dst) ? SegmentKind::expand : SegmentKind::replace});
      }
      cur = s.dst.byte_end;
      cc = s.dst.char_end;
    }
    // The rest of the stretch, and the run, inside the holder.
    const Segment& h = inner[holder];
    const std::uint32_t hb = h.src.byte_start - h.dst.byte_start, hc = h.src.char_start - h.dst.char_start;
    if (cur < start) {
      const std::uint32_t k = chars_between(text, cur, start);
      const auto e = static_cast<std::uint32_t>(start);
      append_identity(out, Span{cur + hb, e + hb, cc + hc, cc + k + hc},
                      Span{cur + ob, e + ob, cc + oc, cc + k + oc});
      cc += k;
    }
    if (b.write_text) b.out.append(text.substr(w.emitted, start - w.emitted));
    b.sb = static_cast<std::uint32_t>(start);
    b.db = b.sb + ob;
    b.sc = cc;
    b.dc = cc + oc;
    std::size_t written = 1;
    auto group = [&](std::size_t from, std::size_t to, const SepClass& c, std::uint32_t chars) {
      const auto m = static_cast<std::uint32_t>(to - from);
      Segment& g = out.emplace_back();
      g.rules = rules[c.id];
      g.src = {b.sb + hb, b.sb + m + hb, b.sc + hc, b.sc + chars + hc};
      g.dst = {b.db, b.db, b.dc, b.dc};
      (c.absorb == AbsorbClass::whitespace ? g.cost.absorbed_whitespace : g.cost.absorbed_separators) =
          clamp16(chars);
      g.kind = SegmentKind::del;
      b.sb += m;
      b.sc += chars;
      ++written;
    };
    if (run.cls != kGroups)
      group(start, end, kSepClasses[run.cls], run.chars);
    else
      each_group(text, start, end, group);
    w.emitted = end;
    st.inner_index = holder + (end == h.dst.byte_end);
    st.dropped += written;
    st.b_byte = b.sb;
    st.b_char = b.sc;
  }
}

}  // namespace

PassResult pass_separator(std::string_view text, PassOutput& out) {
  const std::size_t n = text.size();
  // First the runs to absorb, then the rewrite: knowing how many segments it makes, the
  // rewrite reserves them once instead of growing the largest map of the pipeline by doubling.
  Runs runs;
  std::size_t segments = 1;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  // Each digit before a separator gives the place where the search goes on: after it, or,
  // after a run of separators, the byte that ends the run (no separator holds a digit-like
  // byte, so nothing is passed over). A run that reaches the end of the text stays, and ends it.
  for_each_digit_before_separator(p, n, [&](std::size_t d) __attribute__((always_inline)) {
    std::size_t i = d + 1;
    const SepClass* cls = nullptr;
    std::size_t len = separator_at(text, i, cls);
    if (!len) return d + 1;
    std::size_t end = i + len;
    std::size_t groups = 1;
    std::uint32_t chars = 1;
    for (const SepClass* c = nullptr; end < n && (len = separator_at(text, end, c)) != 0; ++chars) {
      groups += c != cls;
      cls = c;
      end += len;
    }
    if (end == n) return n;
    if (digit_like(byte_at(text, end))) {
      runs.add(Run{static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(end), chars,
                   groups == 1 ? cls->id : kGroups},
               n);
      segments += groups + 1;
    }
    return end;  // text[end] is no separator
  });
  if (runs.count == 0) return false;
  const ClassRules& rules = class_rules();
  if (!out.compose_after && !out.in_place && n <= kShortBytes) return rewrite_short(text, runs, segments, out, rules);
  pass_detail::Writer w(text, out);
  w.segments_hint = segments;
  if (out.compose_after) {
    absorb_composing(w, text, runs, rules);
  } else {
    for (std::size_t k = 0; k < runs.count; ++k) {
      const Run& run = runs[k];
      w.keep_to(run.first);
      if (run.cls != kGroups)
        absorb(w.b, text.substr(run.first, run.second - run.first), rules[run.cls], kSepClasses[run.cls].absorb);
      else
        absorb_run(w.b, text, run.first, run.second, rules);
      w.emitted = run.second;
    }
  }
  PassResult r = w.done();
  if (r && *r && out.in_place) {
    // The output is the input without the runs: moved down over them, front to back.
    std::string& s = *out.in_place;
    std::size_t to = runs[0].first, from = runs[0].second;
    for (std::size_t k = 1; k < runs.count; ++k) {
      const std::size_t len = runs[k].first - from;
      std::memmove(s.data() + to, s.data() + from, len);
      to += len;
      from = runs[k].second;
    }
    std::memmove(s.data() + to, s.data() + from, n - from);
    s.resize(to + (n - from));
  }
  return r;
}

}  // namespace kestrix
