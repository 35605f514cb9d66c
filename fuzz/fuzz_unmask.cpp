// unmask over random texts and tables: tokens made by adding entries always restore
// exactly; any other text either restores or fails, never crashes or half-returns.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_common.hpp"
#include "mask/restore.hpp"
#include "text/utf8.hpp"

using namespace kestrix;

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

  // Random text with the map: restores or fails cleanly.
  std::string noise = fuzz::valid_utf8(in.rest());
  auto r = unmask(noise, map);
  if (r && noise.find("[[" + map.prefix + ":") == std::string::npos && *r != noise)
    fuzz::fail("text without tokens changed");
  return 0;
}
