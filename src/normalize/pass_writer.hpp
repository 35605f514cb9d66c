// The builder front end shared by the passes. Nothing is copied until the first change, so a
// pass that finds nothing to rewrite costs only its scan and returns false.
#pragma once
#include <array>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string_view>

#include "normalize/passes.hpp"
#include "span/builder.hpp"
#include "span/mapping.hpp"
#include "text/bytes.hpp"
#include "text/pages.hpp"
#include "text/recycled.hpp"

namespace kestrix::pass_detail {

struct Writer {
  // Composing after an earlier map, the pass's segments go to the composition every so many.
  static constexpr std::size_t kBatch = 1024;

  std::string_view in;
  PassOutput& out;  // its buffers become the builder's at the first change
  Builder b;
  std::optional<ComposeStream> stream;  // made when out.compose_after is set
  std::size_t emitted = 0;  // start of the input not yet handed to the builder
  std::size_t segments_hint = 0;  // segments to reserve at the first change, when known
  bool changed = false;

  Writer(std::string_view text, PassOutput& recycled) : in(text), out(recycled) {}

  // Makes the builder ready for the first change: its buffers taken from `out`, the
  // composition begun when there is one. keep_to calls it.
  void start() {
    changed = true;
    if (!out.in_place) {
      b.out = std::move(out.text);
      // A long text's output goes to a buffer of the thread's (see recycled.hpp) when the
      // output has no room for it yet.
      if (in.size() >= recycled::kLongText && b.out.capacity() < in.size()) [[unlikely]]
        if (std::string kept = recycled::text_buffer(in.size()); kept.capacity() > b.out.capacity())
          b.out = std::move(kept);
      b.out.clear();
    }
    if (out.compose_after) {
      b.segments = std::move(out.batch);
      b.segments.clear();
      b.segments.reserve(kBatch + 64);
      if (out.map.segments.capacity() == 0 && out.spare_map) out.map.segments = out.spare_map(in.size());
      compose_begin(stream.emplace(), *out.compose_after, out.map, segments_hint);
    } else {
      b.segments = std::move(out.map.segments);
      if (b.segments.capacity() == 0 && out.spare_map) b.segments = out.spare_map(in.size());
      b.segments.clear();
      b.segments.reserve(segments_hint);
      pages::advise_huge(b.segments.data(), b.segments.capacity() * sizeof(Segment));
    }
    if (out.in_place) {
      if (out.keep_input) {
        *out.keep_input = recycled::text_buffer(in.size());
        out.keep_input->assign(in);
      }
      b.write_text = false;
    } else {
      reserve(b, in.size() + in.size() / 8 + 16);
      pages::advise_huge(b.out.data(), b.out.capacity());
    }
  }

  // Hands the unchanged input [emitted, pos) to the builder; call before every rewrite.
  void keep_to(std::size_t pos) {
    if (!changed) start();
    keep(b, in.substr(emitted, pos - emitted));
    emitted = pos;
    if (out.compose_after && b.segments.size() >= kBatch) compose_feed(*stream, b.segments, false);
  }

  PassResult done() {
    if (!changed) return false;
    keep(b, in.substr(emitted));
    // The builder's buffers become the output's as they are (the writer is done with them).
    out.text = std::move(b.out);
    if (!out.compose_after) {
      out.map.segments = std::move(b.segments);
      return true;
    }
    compose_feed(*stream, b.segments, true);
    out.batch = std::move(b.segments);
    if (auto ok = compose_end(*stream); !ok) return std::unexpected(std::move(ok.error()));
    return true;
  }
};

// The writer of a pass whose every replacement is no longer than what it replaces, and which
// reads its input only from `emitted` on: in place (the input is out.in_place), the output
// goes over the input as it is written, ending at or before `emitted`, never over bytes still
// to be read.
struct OverWriter : Writer {
  char* over;  // the input's bytes, or nullptr when the pass writes a copy
  std::size_t put = 0;  // the output's end in place

  OverWriter(std::string_view text, PassOutput& recycled)
      : Writer(text, recycled), over(recycled.in_place ? recycled.in_place->data() : nullptr) {}

  void keep_to(std::size_t pos) {
    const std::size_t from = emitted;
    Writer::keep_to(pos);
    if (over) move(from, pos);
  }

  // The replacement of the input from `emitted` on, after its segment.
  void write(std::string_view replacement) {
    if (!over) return;
    std::memcpy(over + put, replacement.data(), replacement.size());
    put += replacement.size();
  }

  PassResult done() {
    const std::size_t from = emitted;
    PassResult r = Writer::done();
    if (r && *r && over) {
      move(from, in.size());
      out.in_place->resize(put);
    }
    return r;
  }

 private:
  void move(std::size_t from, std::size_t to) {
    if (put != from) std::memmove(over + put, over + from, to - from);
    put += to - from;
  }
};

using ByteTable = std::array<bool, 256>;

constexpr ByteTable byte_table(std::initializer_list<unsigned char> bytes) {
  ByteTable t{};
  for (unsigned char b : bytes) t[b] = true;
  return t;
}

// The first position at or after i whose byte is in the table, or s.size(). The hot loop of
// every pass: a pass whose trigger bytes are absent costs this one scan. `block` tests sixteen
// bytes at once and must accept exactly the bytes of the table.
template <class Block>
inline std::size_t scan(std::string_view s, std::size_t i, const ByteTable& t, Block block) {
  return bytes::find(reinterpret_cast<const unsigned char*>(s.data()), i, s.size(), block,
                     [&t](unsigned char b) { return t[b]; });
}

inline std::uint32_t decode3(std::string_view s, std::size_t i) {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(s[i]) & 0x0F) << 12) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(s[i + 1]) & 0x3F) << 6) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(s[i + 2]) & 0x3F));
}

inline unsigned char byte_at(std::string_view s, std::size_t i) {
  return static_cast<unsigned char>(s[i]);
}

// Digit-like characters of the lookalike and separator passes: ASCII digits and the marks
// that stand for masked digits.
inline constexpr ByteTable kDigitLike =
    byte_table({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9', '*', 'X', 'x'});
constexpr bool digit_like(unsigned char b) { return kDigitLike[b]; }
inline bytes::V16 digit_like_block(bytes::V16 v) {
  return bytes::in_range(v, '0', '9') | bytes::eq(v, '*') | bytes::eq(v, 'X') | bytes::eq(v, 'x');
}

// Byte length of the separator (tab, space, parentheses, comma, hyphen-minus, full stop,
// U+00B7, U+30FB) at byte i, or 0 when none starts there.
inline std::size_t separator_len(std::string_view s, std::size_t i) {
  switch (byte_at(s, i)) {
    case '\t': case ' ': case '(': case ')': case ',': case '-': case '.':
      return 1;
    case 0xC2:
      return i + 1 < s.size() && byte_at(s, i + 1) == 0xB7 ? 2 : 0;
    case 0xE3:
      return i + 2 < s.size() && byte_at(s, i + 1) == 0x83 && byte_at(s, i + 2) == 0xBB ? 3 : 0;
    default:
      return 0;
  }
}

}  // namespace kestrix::pass_detail
