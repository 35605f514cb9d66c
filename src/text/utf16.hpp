// UTF-16 to UTF-8 at memory speed. CPython hands out the UTF-16 form of a str nearly as a copy
// (for a two-byte str it is one), where its UTF-8 encoder costs a branch per character; the
// module reads long texts that way and transcodes them here, eight or sixteen code units at a
// time where the processor has SSSE3 or AVX2.
#pragma once
#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

namespace kestrix::utf16 {

// A unit in [0xD800, 0xE000) that is not half of a surrogate pair: it has no UTF-8 form.
struct LoneSurrogate {
  std::size_t index;  // in units
};

// Writes the UTF-8 form of the `n` units at `units` (UTF-16 in the machine's byte order, read
// unaligned) to `out`, which must have room for 3 * n + 32 bytes (three bytes per unit at most,
// and the vector loops store up to 32 bytes past what they write). Returns the bytes written.
std::expected<std::size_t, LoneSurrogate> to_utf8(const void* units, std::size_t n, char* out);

// The room `out` needs for `n` units.
constexpr std::size_t room(std::size_t n) { return 3 * n + 32; }

// Writes the UTF-8 form of the `n` code points at `points` to `out`, which must have room for
// points_room(n) bytes. Returns the bytes written, or (as a LoneSurrogate) the index of the
// first code point without one: a surrogate, or one past U+10FFFF.
std::expected<std::size_t, LoneSurrogate> points_to_utf8(const char32_t* points, std::size_t n, char* out);

// The room `out` needs for `n` code points.
constexpr std::size_t points_room(std::size_t n) { return 4 * n + 32; }

// The UTF-8 form of `units` into `out` (replacing what it held), in a buffer with room for
// three bytes per unit, hinted to huge pages. False, with `out` empty and let go, for a lone
// surrogate or a form longer than 32-bit offsets reach (4294967295 bytes).
bool to_utf8(std::u16string_view units, std::string& out);

}  // namespace kestrix::utf16
