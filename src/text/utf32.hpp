// Code points to UTF-8 at memory speed, eight or sixteen at a time where the processor has
// SSSE3 or AVX2. CPython's UTF-8 encoder costs a branch per character, where it copies a str's
// code points out at memory speed: the module reads a long text's code points a piece at a
// time and transcodes them here.
#pragma once
#include <cstddef>
#include <expected>

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

}  // namespace kestrix::utf32
