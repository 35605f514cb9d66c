// unmask over random texts and tables: tokens made by adding entries always restore
// exactly; any other text either restores or fails, never crashes or half-returns. The token
// scan over UTF-16 units agrees with unmask on every text: the same tokens, or failure.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_common.hpp"
#include "mask/restore.hpp"
#include "text/utf8.hpp"

using namespace kestrix;

namespace {

// UTF-16 units of valid UTF-8 text, and for each byte offset the units before it.
std::u16string to_units(const std::string& s, std::vector<std::size_t>& units_before) {
  std::u16string u;
  units_before.assign(s.size() + 1, 0);
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t at = i;
    const char32_t c = utf8::decode(s, i);
    for (std::size_t k = at; k < i; ++k) units_before[k] = u.size();
    if (c < 0x10000) {
      u.push_back(static_cast<char16_t>(c));
    } else {
      u.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      u.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
  }
  units_before[s.size()] = u.size();
  return u;
}

void same_tokens(const std::string& text, const RestoreMap& map) {
  std::vector<RestoredToken> by_bytes, by_units;
  const bool ok = unmask(text, map, &by_bytes, false).has_value();
  std::vector<std::size_t> units_before;
  const std::u16string units = to_units(text, units_before);
  if (find_tokens(units, map, by_units) != ok) fuzz::fail("the UTF-16 scan disagrees on failure");
  if (!ok) return;
  if (by_units.size() != by_bytes.size()) fuzz::fail("the UTF-16 scan found other tokens");
  for (std::size_t k = 0; k < by_bytes.size(); ++k)
    if (by_units[k].start != units_before[by_bytes[k].start] ||
        by_units[k].end != units_before[by_bytes[k].end] || by_units[k].original != by_bytes[k].original)
      fuzz::fail("the UTF-16 scan placed a token elsewhere");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Reader in(data, size);
  std::string source = fuzz::valid_utf8(in.take(in.byte() % 96));
  RestoreMap map = new_restore_map(source);
  if (source.find("[[" + map.prefix + ":") != std::string::npos) fuzz::fail("prefix collides");

  // Tokenize random pieces of the source at character boundaries.
  std::string masked;
  std::size_t i = 0;
  while (i < source.size()) {
    std::size_t j = i;
    std::size_t take = 1 + in.byte() % 6;
    for (std::size_t k = 0; k < take && j < source.size(); ++k)
      j += utf8::seq_len(static_cast<unsigned char>(source[j]));
    std::string_view piece(source.data() + i, j - i);
    if (in.byte() & 1)
      masked += add_entry(map, piece, static_cast<Entity>(in.byte() % kEntityCount));
    else
      masked += piece;
    i = j;
  }
  auto back = unmask(masked, map);
  if (!back || *back != source) fuzz::fail("tokens did not restore the source");
  same_tokens(masked, map);

  // Random text with the map: restores or fails cleanly.
  std::string noise = fuzz::valid_utf8(in.rest());
  auto r = unmask(noise, map);
  if (r && noise.find("[[" + map.prefix + ":") == std::string::npos && *r != noise)
    fuzz::fail("text without tokens changed");
  same_tokens(noise, map);
  same_tokens(masked + noise, map);
  return 0;
}
