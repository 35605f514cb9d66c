// Spans, costs, segments and span maps: the alignment records shared by every layer.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace kestrix {

// A piece of text in UTF-8 bytes and in characters. Stored unchecked: nothing forces
// start <= end or that both ranges describe the same text.
struct Span {
  std::uint32_t byte_start = 0;
  std::uint32_t byte_end = 0;
  std::uint32_t char_start = 0;
  std::uint32_t char_end = 0;

  friend bool operator==(const Span&, const Span&) = default;
};

// How far a span moved from its source. Every addition saturates at 65535 per counter.
struct NormalizationCost {
  std::uint16_t absorbed_whitespace = 0;
  std::uint16_t absorbed_separators = 0;
  std::uint16_t expanded_syllables = 0;
  std::uint16_t replaced_chars = 0;

  bool is_zero() const {
    return (absorbed_whitespace | absorbed_separators | expanded_syllables | replaced_chars) == 0;
  }
  friend bool operator==(const NormalizationCost&, const NormalizationCost&) = default;
};

inline std::uint16_t sat_add16(std::uint16_t a, std::uint16_t b) {
  unsigned s = unsigned{a} + unsigned{b};
  return static_cast<std::uint16_t>(s > 0xFFFF ? 0xFFFF : s);
}

inline std::uint16_t clamp16(std::uint64_t n) {
  return static_cast<std::uint16_t>(n > 0xFFFF ? 0xFFFF : n);
}

inline NormalizationCost saturating_add(const NormalizationCost& a, const NormalizationCost& b) {
  return {sat_add16(a.absorbed_whitespace, b.absorbed_whitespace),
          sat_add16(a.absorbed_separators, b.absorbed_separators),
          sat_add16(a.expanded_syllables, b.expanded_syllables),
          sat_add16(a.replaced_chars, b.replaced_chars)};
}

enum class SegmentKind : std::uint8_t { identity = 0, replace = 1, del = 2, expand = 3 };

inline std::string_view kind_name(SegmentKind k) {
  switch (k) {
    case SegmentKind::identity: return "identity";
    case SegmentKind::replace: return "replace";
    case SegmentKind::del: return "delete";
    case SegmentKind::expand: return "expand";
  }
  return "identity";
}

// Rule names live for the whole process (literals or interned), so views are safe to keep.
//
// A list of rule names that holds up to one name without allocating: nearly every segment
// carries none or one, and segments are made by the ten thousand per megabyte of text. Two or
// more names live in a heap array. The interface is the part of std::vector the code uses.
class RuleList {
 public:
  using value_type = std::string_view;
  using iterator = std::string_view*;
  using const_iterator = const std::string_view*;

  RuleList() noexcept {}
  RuleList(std::initializer_list<std::string_view> names) { assign(names.begin(), names.end()); }
  RuleList(const RuleList& o) { assign(o.begin(), o.end()); }
  RuleList(RuleList&& o) noexcept { take(o); }
  RuleList& operator=(const RuleList& o) {
    if (this != &o) assign(o.begin(), o.end());
    return *this;
  }
  RuleList& operator=(RuleList&& o) noexcept {
    if (this != &o) {
      release();
      take(o);
    }
    return *this;
  }
  ~RuleList() { release(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  iterator begin() { return cap_ ? heap_ : &one_; }
  iterator end() { return begin() + size_; }
  const_iterator begin() const { return cap_ ? heap_ : &one_; }
  const_iterator end() const { return begin() + size_; }
  std::string_view& operator[](std::size_t i) { return begin()[i]; }
  const std::string_view& operator[](std::size_t i) const { return begin()[i]; }

  void clear() { size_ = 0; }
  void push_back(std::string_view name) {
    if (size_ == capacity()) grow(size_ + 1);
    begin()[size_++] = name;
  }
  // Inserts [first, last) before pos; the source must not be this list.
  template <class It>
  void insert(const_iterator pos, It first, It last) {
    const auto at = static_cast<std::size_t>(pos - begin());
    const auto n = static_cast<std::size_t>(std::distance(first, last));
    if (n == 0) return;
    if (size_ + n > capacity()) grow(size_ + n);
    std::string_view* p = begin();
    std::move_backward(p + at, p + size_, p + size_ + n);
    std::copy(first, last, p + at);
    size_ += static_cast<std::uint32_t>(n);
  }
  template <class It>
  void assign(It first, It last) {
    clear();
    if (const auto n = static_cast<std::size_t>(std::distance(first, last)); n > capacity()) grow(n);
    for (; first != last; ++first) push_back(*first);
  }
  iterator erase(const_iterator first, const_iterator last) {
    std::string_view* p = begin();
    auto* f = p + (first - p);
    auto* l = p + (last - p);
    std::move(l, p + size_, f);
    size_ -= static_cast<std::uint32_t>(l - f);
    return f;
  }

  friend bool operator==(const RuleList& a, const RuleList& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  std::size_t capacity() const { return cap_ ? cap_ : 1; }
  void grow(std::size_t need) {
    std::size_t cap = std::max<std::size_t>(need, 2 * capacity());
    auto* p = new std::string_view[cap];
    std::copy(begin(), end(), p);
    release();
    heap_ = p;
    cap_ = static_cast<std::uint32_t>(cap);
  }
  void release() {
    if (cap_) delete[] heap_;
    cap_ = 0;
  }
  void take(RuleList& o) {
    size_ = o.size_;
    cap_ = o.cap_;
    if (cap_)
      heap_ = o.heap_;
    else
      one_ = o.one_;
    o.size_ = 0;
    o.cap_ = 0;
  }

  union {
    std::string_view one_{};  // the only name while cap_ == 0
    std::string_view* heap_;  // capacity cap_ while cap_ > 0
  };
  std::uint32_t size_ = 0;
  std::uint32_t cap_ = 0;
};

namespace rule_seq_detail {
// Throws std::bad_alloc when the store is full (2^28 lists, or the limit set below).
std::uint32_t intern(const std::string_view* names, std::size_t count);
// Caps the store at `ids` handles, for tests that fill it.
void limit_for_tests(std::uint32_t ids);
}

// A rule list stored once for the whole process and held by a four-byte handle: a span map
// carries one per segment, ten thousand segments and more per megabyte of text, and nearly all
// hold no name or one of a few. Equal lists have equal handles. Read-only once made; a list
// read through a handle stays valid for the whole process.
class RuleSeq {
 public:
  using value_type = std::string_view;
  using const_iterator = const std::string_view*;

  RuleSeq() = default;
  RuleSeq(std::initializer_list<std::string_view> names) : RuleSeq(names.begin(), names.size()) {}
  RuleSeq(const std::string_view* names, std::size_t count);
  explicit RuleSeq(const RuleList& names) : RuleSeq(names.begin(), names.size()) {}
  static RuleSeq one(std::string_view name);

  bool empty() const { return id_ == 0; }
  std::size_t size() const { return entry().size; }
  const_iterator begin() const { return entry().names; }
  const_iterator end() const { return entry().names + entry().size; }
  const std::string_view& operator[](std::size_t i) const { return begin()[i]; }
  friend bool operator==(RuleSeq a, RuleSeq b) { return a.id_ == b.id_; }

  // Names in strictly ascending byte order (so sorted and without duplicates).
  bool strictly_ascending() const { return entry().ascending; }

  struct Entry {
    const std::string_view* names = nullptr;
    std::uint32_t size = 0;
    bool ascending = true;
  };
  static constexpr unsigned kChunkBits = 12;  // entries per chunk: 1 << kChunkBits
  static constexpr std::size_t kChunks = std::size_t{1} << 16;

 private:
  static RuleSeq from_id(std::uint32_t id) {
    RuleSeq r;
    r.id_ = id;
    return r;
  }
  const Entry& entry() const {
    return chunks_[id_ >> kChunkBits].load(std::memory_order_acquire)[id_ & ((1u << kChunkBits) - 1)];
  }
  friend std::uint32_t rule_seq_detail::intern(const std::string_view*, std::size_t);
  static std::atomic<const Entry*> chunks_[kChunks];  // chunk 0 holds the empty list at id 0

  std::uint32_t id_ = 0;
};

struct Segment {
  RuleSeq rules;  // ascending, no duplicates; empty for identity
  Span src;
  Span dst;
  NormalizationCost cost;  // zero for identity
  SegmentKind kind = SegmentKind::identity;
};

// Segments tile source and normalized text in order (see validate in span_map.hpp).
struct SpanMap {
  std::vector<Segment> segments;
};

struct SourceSpan {
  RuleList rules;  // de-duplicated, ascending byte-wise
  Span span;
  NormalizationCost cost;
  bool snapped = false;
};

}  // namespace kestrix
