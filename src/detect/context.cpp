// Cue tables, the cue occurrence index and the window search.
#include "detect/context.hpp"

#include <algorithm>

namespace kestrix::det {
namespace {

constexpr std::uint8_t count_chars(std::string_view s) {
  std::uint8_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

constexpr Cue cue(std::string_view w, float weight) { return Cue{w, weight, count_chars(w)}; }

constexpr std::array<Cue, kCueCount> kCues = {
    // resident (Korean rules)
    cue("주민등록번호", 1.0f), cue("주민번호", 1.0f), cue("주민등록", 0.8f), cue("본인확인", 0.4f),
    cue("실명확인", 0.4f),
    // foreigner rules
    cue("외국인등록번호", 1.0f), cue("외국인등록", 0.8f), cue("외국인", 0.5f), cue("체류", 0.4f),
    // business
    cue("사업자등록번호", 1.0f), cue("사업자번호", 1.0f), cue("사업자", 0.6f), cue("세금계산서", 0.5f),
    cue("법인", 0.3f), cue("상호", 0.3f),
    // card
    cue("카드번호", 1.0f), cue("신용카드", 1.0f), cue("체크카드", 1.0f), cue("유효기간", 0.5f),
    cue("카드", 0.6f), cue("결제", 0.4f), cue("승인", 0.3f),
    // phone
    cue("전화번호", 1.0f), cue("휴대전화", 1.0f), cue("휴대폰", 1.0f), cue("핸드폰", 1.0f),
    cue("연락처", 1.0f), cue("전화", 0.6f), cue("문자", 0.4f), cue("통화", 0.3f),
    // licence
    cue("운전면허번호", 1.0f), cue("운전면허", 1.0f), cue("면허번호", 0.9f), cue("면허증", 0.8f),
    // account
    cue("계좌번호", 1.0f), cue("예금주", 0.9f), cue("계좌", 0.8f), cue("입금", 0.7f),
    cue("이체", 0.7f), cue("송금", 0.7f), cue("은행", 0.6f), cue("환불", 0.4f),
    // birth
    cue("생년월일", 1.0f), cue("출생일", 1.0f), cue("생일", 0.8f), cue("출생", 0.6f),
    cue("년생", 0.6f),
    // passport
    cue("여권번호", 1.0f), cue("여권", 0.8f),
    // veto
    cue("증권번호", 1.0f), cue("계약번호", 1.0f), cue("접수번호", 1.0f), cue("주문번호", 1.0f),
    cue("송장번호", 1.0f), cue("운송장", 0.8f), cue("관리번호", 0.9f), cue("문서번호", 0.9f),
    cue("일련번호", 0.9f), cue("발급번호", 0.8f), cue("전표번호", 0.8f), cue("상품코드", 1.0f),
    cue("제품코드", 1.0f), cue("모델번호", 1.0f), cue("모델명", 0.8f), cue("품번", 0.8f),
    cue("바코드", 0.8f), cue("콜센터", 1.0f), cue("고객센터", 1.0f), cue("대표번호", 1.0f),
    cue("상담센터", 0.9f), cue("ARS", 0.8f), cue("우편번호", 1.0f), cue("별표", 0.6f),
    cue("고시", 0.5f),
};

static_assert(cues::veto.first + cues::veto.count == kCueCount);

constexpr char32_t kHangulFirst = 0xAC00;
constexpr std::size_t kHangulCount = 11172;

// First character of every cue -> chain of cue ids starting with it (id + 1; 0 ends a chain).
struct FirstCharIndex {
  std::array<std::uint8_t, kHangulCount> hangul{};
  std::array<std::uint8_t, 128> ascii{};
  std::array<std::uint8_t, kCueCount> next{};
};

constexpr char32_t first_char(std::string_view s) {
  auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 < 0x80) return b0;
  // Every cue is ASCII or starts with a three-byte character.
  return (char32_t{b0 & 0x0Fu} << 12) | (char32_t{static_cast<unsigned char>(s[1]) & 0x3Fu} << 6) |
         char32_t{static_cast<unsigned char>(s[2]) & 0x3Fu};
}

constexpr FirstCharIndex build_first_char_index() {
  FirstCharIndex ix{};
  // Insert in reverse so each chain lists its cues in id order (the order does not matter
  // for the result; it only keeps the index easy to read in a debugger).
  for (std::size_t k = kCueCount; k-- > 0;) {
    char32_t c = first_char(kCues[k].word);
    std::uint8_t* head = c < 128 ? &ix.ascii[c] : &ix.hangul[c - kHangulFirst];
    ix.next[k] = *head;
    *head = static_cast<std::uint8_t>(k + 1);
  }
  return ix;
}

constexpr FirstCharIndex kFirst = build_first_char_index();

}  // namespace

const std::array<Cue, kCueCount>& all_cues() { return kCues; }

void build_cue_index(std::string_view text, CueIndex& index) {
  // (cue id, start char) in text order; grouped by cue afterwards with a counting sort, which
  // keeps each group ascending.
  std::vector<std::pair<std::uint8_t, std::uint32_t>> found;
  std::array<std::uint32_t, kCueCount> counts{};
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::uint32_t chars = 0;
  auto try_chain = [&](std::uint8_t head, std::size_t at) {
    for (std::uint8_t id1 = head; id1 != 0; id1 = kFirst.next[id1 - 1]) {
      std::string_view w = kCues[id1 - 1].word;
      if (w.size() > n - at) continue;
      // The first character matched by dispatch; cues are short, so compare inline.
      std::size_t k = 1;
      while (k < w.size() && s[at + k] == static_cast<unsigned char>(w[k])) ++k;
      if (k == w.size()) {
        found.emplace_back(static_cast<std::uint8_t>(id1 - 1), chars);
        ++counts[id1 - 1];
      }
    }
  };
  std::size_t i = 0;
  while (i < n) {
    unsigned char b = s[i];
    if (b < 0x80) {
      if (kFirst.ascii[b]) try_chain(kFirst.ascii[b], i);
      ++i;
    } else if (b >= 0xE0 && b < 0xF0) {
      if (b >= 0xEA && b <= 0xED && i + 2 < n) {
        char32_t c = (char32_t{b & 0x0Fu} << 12) | (char32_t{s[i + 1] & 0x3Fu} << 6) |
                     char32_t{s[i + 2] & 0x3Fu};
        if (c >= kHangulFirst && c < kHangulFirst + kHangulCount &&
            kFirst.hangul[c - kHangulFirst])
          try_chain(kFirst.hangul[c - kHangulFirst], i);
      }
      i += 3;
    } else {
      i += b >= 0xF0 ? 4 : b >= 0xC0 ? 2 : 1;
    }
    ++chars;
  }
  index.total_chars = chars;
  std::uint32_t acc = 0;
  for (std::size_t c = 0; c < kCueCount; ++c) {
    index.offsets[c] = acc;
    acc += counts[c];
  }
  index.offsets[kCueCount] = acc;
  index.starts.resize(acc);
  std::array<std::uint32_t, kCueCount> fill{};
  for (std::size_t c = 0; c < kCueCount; ++c) fill[c] = index.offsets[c];
  for (auto [id, start] : found) index.starts[fill[id]++] = start;
}

void reset_cursor(const CueIndex& index, CueCursor& cursor) {
  for (std::size_t c = 0; c < kCueCount; ++c) cursor.next[c] = index.offsets[c];
  cursor.last_end = 0;
}

void find_hits(const CueIndex& index, CueCursor& cursor, std::uint32_t char_start,
               std::uint32_t char_end, std::uint32_t window, CueTable table,
               std::vector<ContextHit>& out) {
  out.clear();
  if (char_end < cursor.last_end) reset_cursor(index, cursor);
  cursor.last_end = char_end;
  const std::uint32_t left_width = std::max<std::uint32_t>(window, 1);
  const std::uint32_t left_lo = char_start > left_width ? char_start - left_width : 0;
  const std::uint64_t right_hi =
      std::min<std::uint64_t>(std::uint64_t{char_end} + window, index.total_chars);
  const std::uint32_t* starts = index.starts.data();
  for (std::size_t id = table.first; id < std::size_t{table.first} + table.count; ++id) {
    const std::uint32_t lo = index.offsets[id], hi = index.offsets[id + 1];
    if (lo == hi) continue;
    const Cue& c = kCues[id];
    // Right: the first occurrence starting at or after the span end that fits the window.
    std::uint32_t k = cursor.next[id];
    while (k < hi && starts[k] < char_end) ++k;
    cursor.next[id] = k;
    std::uint64_t best = UINT64_MAX;
    if (k < hi && std::uint64_t{starts[k]} + c.chars <= right_hi) best = starts[k] - char_end;
    // Left: the last occurrence that ends by the span start; the ones skipped on the way back
    // overlap the span, so there are few of them.
    while (k > lo && std::uint64_t{starts[k - 1]} + c.chars > char_start) --k;
    if (k > lo && starts[k - 1] >= left_lo)
      best = std::min<std::uint64_t>(best, char_start - c.chars - starts[k - 1]);
    if (best == UINT64_MAX) continue;
    auto d = static_cast<std::uint32_t>(best);
    // weight x 1 / (0.125 d + 1), evaluated left to right: a division, not a reciprocal.
    float w = c.weight * 1.0f / (0.125f * static_cast<float>(d) + 1.0f);
    out.push_back(ContextHit{c.word, d, w});
  }
  // Stable insertion sort: at most one hit per cue of one table, and no buffer to allocate.
  auto before = [](const ContextHit& a, const ContextHit& b) {
    if (a.weight != b.weight) return a.weight > b.weight;
    return a.cue < b.cue;
  };
  for (std::size_t k = 1; k < out.size(); ++k) {
    ContextHit h = out[k];
    std::size_t j = k;
    for (; j > 0 && before(h, out[j - 1]); --j) out[j] = out[j - 1];
    out[j] = h;
  }
}

float context_score(const std::vector<ContextHit>& hits) {
  float sum = 0.0f;
  for (const ContextHit& h : hits) sum += h.weight;
  return sum > 1.5f ? 1.5f : sum;
}

}  // namespace kestrix::det
