// The kinds of bytes a short text holds, found in one pass: a normalization pass or a scanner
// whose trigger bytes are absent has no work, and a short message (a chat line) is spared the
// set-up of each of their searches. The answer may be too wide, never too narrow: a kind that
// is clear is absent. A text longer than kMaxBytes is not looked at and holds every kind.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kestrix::kinds {

using Set = std::uint8_t;
inline constexpr Set jamo_lead = 0x01;       // 0xE1: conjoining jamo
inline constexpr Set fold_lead = 0x02 | 0x04;  // 0xE2, 0xE3, 0xEF; 0xC2
inline constexpr Set lookalike = 0x08;       // I, l, O, o (and L, i)
inline constexpr Set upper_or_at = 0x10;     // 0x40..0x5F: "@" and the upper-case letters
inline constexpr Set digit = 0x20;           // 0..9
inline constexpr Set syllable_lead = 0x40;   // 0xEA..0xED: precomposed Hangul syllables
inline constexpr Set mark = 0x80;            // "*", "X", "x" (and "(", "Z", "z")
inline constexpr Set digit_like = digit | mark;
inline constexpr Set all = 0xFF;

inline constexpr std::size_t kMaxBytes = 4096;

// The kinds of the bytes of `s`, or `all` when it is longer than kMaxBytes.
Set of(std::string_view s);

}  // namespace kestrix::kinds
