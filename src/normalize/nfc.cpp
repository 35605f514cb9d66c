// Hangul jamo composition: conjoining jamo typed or pasted in decomposed form become
// precomposed syllables. Nothing else of Unicode normalization is done.
#include <cstring>

#include "normalize/pass_writer.hpp"
#include "text/utf8.hpp"

namespace kestrix {
namespace {

using pass_detail::byte_at;
using pass_detail::decode3;

constexpr std::string_view kRule = "nfc.hangul_jamo";

// Every conjoining jamo (U+1100..U+11FF) is a three-byte sequence with lead byte 0xE1.
constexpr unsigned char kJamoLead = 0xE1;

bool is_l(std::uint32_t c) { return c >= 0x1100 && c <= 0x1112; }
bool is_v(std::uint32_t c) { return c >= 0x1161 && c <= 0x1175; }
bool is_t(std::uint32_t c) { return c >= 0x11A8 && c <= 0x11C2; }

// The jamo at byte i, or 0 when no three-byte 0xE1 sequence starts there.
std::uint32_t jamo_at(std::string_view s, std::size_t i) {
  if (i + 3 > s.size() || byte_at(s, i) != kJamoLead) return 0;
  return decode3(s, i);
}

}  // namespace

PassResult pass_nfc(std::string_view text, PassOutput& out) {
  const std::size_t n = text.size();
  // A text without conjoining jamo is done before the writer is set up.
  const void* first = n == 0 ? nullptr : std::memchr(text.data(), kJamoLead, n);
  if (!first) return false;
  // Every composition is one syllable of three bytes for two or three jamo of three bytes
  // each: in place, the output is written over the input. Once anything is composed, the
  // output ends at least three bytes before the scan position, so the syllable read before a
  // trailing consonant is never one written over.
  pass_detail::OverWriter w(text, out);
  // The scan position; everything before it is settled (and before the first lead byte,
  // there is nothing to settle).
  std::size_t p = static_cast<std::size_t>(static_cast<const char*>(first) - text.data());
  std::string syllable;
  while (p < n) {
    const void* hit = std::memchr(text.data() + p, kJamoLead, n - p);
    if (!hit) break;
    std::size_t i = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
    std::uint32_t c = jamo_at(text, i);
    std::size_t start = i, end = i + 3;
    std::uint32_t composed = 0;
    if (is_l(c)) {
      std::uint32_t v = jamo_at(text, i + 3);
      if (is_v(v)) {
        std::uint32_t t = jamo_at(text, i + 6);
        std::uint32_t t_index = is_t(t) ? t - 0x11A7 : 0;
        composed = 0xAC00 + (c - 0x1100) * 588 + (v - 0x1161) * 28 + t_index;
        end = i + (t_index ? 9 : 6);
      }
    } else if (is_t(c) && i >= 3 && byte_at(text, i - 3) >= 0xEA && byte_at(text, i - 3) <= 0xED) {
      // The syllable right before a trailing consonant is never part of an earlier
      // composition: those always end on a jamo.
      std::uint32_t s = decode3(text, i - 3);
      if (s >= 0xAC00 && s <= 0xD7A3 && (s - 0xAC00) % 28 == 0) {
        composed = s + (c - 0x11A7);
        start = i - 3;
      }
    }
    if (composed) {
      w.keep_to(start);
      syllable.clear();
      utf8::append(syllable, composed);
      replace(w.b, text.substr(start, end - start), syllable, kRule);
      w.write(syllable);
      w.emitted = end;
    }
    p = c ? end : i + 1;
  }
  return w.done();
}

}  // namespace kestrix
