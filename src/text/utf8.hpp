// UTF-8 helpers over text that is known to be valid UTF-8 (every text that enters the core
// comes from a Python str, so it is). Offsets are bytes unless a name says chars.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "text/bytes.hpp"

namespace kestrix::utf8 {

constexpr bool is_cont(unsigned char b) { return (b & 0xC0) == 0x80; }

// Byte length of the sequence that starts with lead byte b (1 for a stray continuation byte).
constexpr std::size_t seq_len(unsigned char b) {
  return b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
}

// Characters (Unicode scalar values) in s: the number of non-continuation bytes. Usable at
// compile time (the cue tables count their words with it).
constexpr std::uint32_t count_chars(std::string_view s) {
  if consteval {
    std::uint32_t n = 0;
    for (char c : s) n += !is_cont(static_cast<unsigned char>(c));
    return n;
  } else {
    return static_cast<std::uint32_t>(
        bytes::count_chars(reinterpret_cast<const unsigned char*>(s.data()), s.size()));
  }
}

// The invisible format characters: the characters that show nothing and slip in between the
// characters of a number or an address. The zero-width ones (U+200B, U+200C, U+200D, U+2060,
// U+FEFF); the direction marks, embeddings and isolates (U+200E, U+200F, U+202A to U+202E,
// U+2066 to U+2069) that text copied from the web carries; the invisible operators (U+2061 to
// U+2064) and the deprecated format characters (U+206A to U+206F); the variation selectors
// (U+FE00 to U+FE0F); the Mongolian vowel separator (U+180E) and the Khmer inherent vowels
// (U+17B4, U+17B5); and the Hangul fillers (U+115F, U+1160, U+3164, U+FFA0), blank in Korean
// text. All are three bytes in UTF-8, led by 0xE1, 0xE2, 0xE3 or 0xEF.
constexpr bool is_invisible_format(char32_t c) {
  return (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2060 && c <= 0x2064) || (c >= 0x2066 && c <= 0x206F) ||
         (c >= 0xFE00 && c <= 0xFE0F) || c == 0xFEFF || c == 0x180E || c == 0x17B4 ||
         c == 0x17B5 || c == 0x115F || c == 0x1160 || c == 0x3164 || c == 0xFFA0;
}
// Byte length of the invisible format character at byte i of s (all are three bytes), or 0.
constexpr std::size_t invisible_format_len(std::string_view s, std::size_t i) {
  if (i + 3 > s.size()) return 0;
  const auto a = static_cast<unsigned char>(s[i]), b = static_cast<unsigned char>(s[i + 1]),
             c = static_cast<unsigned char>(s[i + 2]);
  if (a != 0xE1 && a != 0xE2 && a != 0xE3 && a != 0xEF) return 0;
  const char32_t cp = (char32_t{a & 0x0Fu} << 12) | (char32_t{b & 0x3Fu} << 6) | (c & 0x3Fu);
  return is_cont(b) && is_cont(c) && is_invisible_format(cp) ? 3 : 0;
}

// Decodes the character at byte i and advances i past it.
inline char32_t decode(std::string_view s, std::size_t& i) {
  auto b0 = static_cast<unsigned char>(s[i]);
  std::size_t len = seq_len(b0);
  if (len == 1 || i + len > s.size()) { ++i; return b0; }
  char32_t c = len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  i += len;
  return c;
}

// Decodes the character that ends right before byte i and moves i to its start.
inline char32_t decode_back(std::string_view s, std::size_t& i) {
  std::size_t j = i - 1;
  while (j > 0 && is_cont(static_cast<unsigned char>(s[j]))) --j;
  std::size_t k = j;
  char32_t c = decode(s, k);
  i = j;
  return c;
}

inline void append(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Strict UTF-8, as Python's decoder reads it: no overlong forms, no surrogates, nothing above
// U+10FFFF, no cut sequence. (Unlike the helpers above, for text of unknown origin: escapes
// such as a lone "\udc00" in JSON decode to surrogate bytes, which must never reach a str.)
// This one reads a sequence at a time, and is quickest on short texts.
inline bool valid_scalar(std::string_view s) {
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    // ASCII, eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, s.data() + i, 8);
      if (w & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    char32_t c;
    char32_t min;
    if ((b & 0xE0) == 0xC0) {
      len = 2, c = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3, c = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4, c = b & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto cb = static_cast<unsigned char>(s[i + k]);
      if (!is_cont(cb)) return false;
      c = (c << 6) | (cb & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

// The same answer as valid_scalar, a block of 16 or 32 bytes at a time where the processor
// allows (utf8.cpp), at the speed of reading memory.
bool valid_blocks(std::string_view s);

// Whether s is strict UTF-8 (see valid_scalar): texts of a block or more by blocks.
inline bool valid(std::string_view s) { return s.size() < 32 ? valid_scalar(s) : valid_blocks(s); }

// Bytes of s before its first byte past ASCII (s.size() for none), eight at a time.
inline std::size_t ascii_prefix(std::string_view s) {
  std::size_t i = 0;
  for (std::uint64_t w; i + 8 <= s.size(); i += 8) {
    std::memcpy(&w, s.data() + i, 8);
    if (w & 0x8080808080808080ull) break;
  }
  while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
  return i;
}

// The code points of s written to `out` (room for s.size() units of at least 32 bits), read
// as `valid` reads: their count, or SIZE_MAX where s is not valid.
template <class Unit>
std::size_t decode_all(std::string_view s, Unit* out) {
  static_assert(sizeof(Unit) >= sizeof(char32_t));
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  std::size_t k = 0;
  // One branch per form, the continuation bytes of a form checked together.
  for (std::size_t i = 0; i < n;) {
    const std::uint32_t b = p[i];
    const std::size_t left = n - i;
    std::uint32_t c;
    std::uint32_t w;
    if (b < 0x80) {
      c = b;
      i += 1;
    } else if (left >= 4 && (std::memcpy(&w, p + i, 4), (w & 0xC0C0F0) == 0x8080E0)) {
      // Three bytes (Hangul), read as one little-endian word.
      w = std::endian::native == std::endian::little ? w : __builtin_bswap32(w);
      c = ((w & 0x0F) << 12) | ((w & 0x3F00) >> 2) | ((w >> 16) & 0x3F);
      if (c < 0x800 || c - 0xD800 < 0x800) return SIZE_MAX;
      i += 3;
    } else if ((b & 0xF0) == 0xE0 && left >= 3) {
      const std::uint32_t b1 = p[i + 1], b2 = p[i + 2];
      c = ((b & 0x0F) << 12) | ((b1 & 0x3F) << 6) | (b2 & 0x3F);
      if (((b1 | (b2 << 8)) & 0xC0C0) != 0x8080 || c < 0x800 || c - 0xD800 < 0x800) return SIZE_MAX;
      i += 3;
    } else if ((b & 0xE0) == 0xC0 && left >= 2) {
      const std::uint32_t b1 = p[i + 1];
      c = ((b & 0x1F) << 6) | (b1 & 0x3F);
      if ((b1 & 0xC0) != 0x80 || c < 0x80) return SIZE_MAX;
      i += 2;
    } else if ((b & 0xF8) == 0xF0 && left >= 4) {
      const std::uint32_t b1 = p[i + 1], b2 = p[i + 2], b3 = p[i + 3];
      c = ((b & 0x07) << 18) | ((b1 & 0x3F) << 12) | ((b2 & 0x3F) << 6) | (b3 & 0x3F);
      if (((b1 | (b2 << 8) | (b3 << 16)) & 0xC0C0C0) != 0x808080 || c < 0x10000 || c > 0x10FFFF)
        return SIZE_MAX;
      i += 4;
    } else {
      return SIZE_MAX;
    }
    out[k++] = static_cast<Unit>(c);
  }
  return k;
}

inline std::string encode(char32_t c) {
  std::string s;
  append(s, c);
  return s;
}

}  // namespace kestrix::utf8
