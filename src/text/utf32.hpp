// Code points to UTF-8 at memory speed, eight or sixteen at a time where the processor has
// SSSE3 or AVX2. CPython's UTF-8 encoder costs a branch per character, where it copies a str's
// code points out at memory speed: the module reads a long text's code points a piece at a
// time and transcodes them here.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <memory>
#include <string>

#include "text/pages.hpp"

namespace kestrix::utf32 {

// A code point without a UTF-8 form: a surrogate (U+D800..U+DFFF) or one past U+10FFFF.
struct Unencodable {
  std::size_t index;
};

// Writes the UTF-8 form of the `n` code points at `points` to `out`, which must have room(n)
// bytes (four a code point at most, and the vector loops store up to 16 bytes past what they
// write). Returns the bytes written, or the first code point without a UTF-8 form.
std::expected<std::size_t, Unencodable> to_utf8(const char32_t* points, std::size_t n, char* out);

// The room `out` needs for `n` code points.
constexpr std::size_t room(std::size_t n) { return 4 * n + 32; }

// Code points read a piece at a time: a buffer that stays in the nearest cache.
inline constexpr std::size_t kPiece = 4096;

// The UTF-8 form of a text of `chars` code points into `out`, the code points read kPiece at a
// time by `read(at, n, points)` (false: it failed). `out` is reserved once, three bytes a code
// point: only code points beyond U+FFFF make it grow. False, with `out` emptied, when a read
// fails, a code point has no UTF-8 form, or the form is longer than 32-bit offsets reach.
template <class Read>
bool to_utf8_by_pieces(std::size_t chars, Read&& read, std::string& out) {
  auto points = std::make_unique<char32_t[]>(kPiece);
  out.reserve(3 * chars + room(kPiece));
  pages::advise_huge(out.data(), out.capacity());
  for (std::size_t at = 0; at < chars; at += kPiece) {
    const std::size_t n = std::min(kPiece, chars - at), size = out.size();
    if (!read(at, n, points.get())) break;
    if (out.capacity() - size < room(n)) out.reserve(std::max(2 * out.capacity(), size + room(n)));
    bool done = false;
    out.resize_and_overwrite(size + room(n), [&](char* buf, std::size_t) {
      const auto written = to_utf8(points.get(), n, buf + size);
      done = written.has_value();
      return size + (done ? *written : 0);
    });
    if (!done) break;
    if (at + n == chars && out.size() <= std::numeric_limits<std::uint32_t>::max()) return true;
  }
  std::string().swap(out);
  return false;
}

}  // namespace kestrix::utf32
