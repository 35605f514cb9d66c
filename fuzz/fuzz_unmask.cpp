// unmask over random texts and tables: tokens made by adding entries always restore
// exactly; any other text either restores or fails, never crashes or half-returns. The token
// scan over windows of code points agrees with unmask on every text: the same tokens, or failure.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_common.hpp"
#include "mask/restore.hpp"
#include "text/utf8.hpp"

using namespace kestrix;

namespace {

// The code points of valid UTF-8 text, and for each byte offset the code points before it.
std::wstring to_points(const std::string& s, std::vector<std::size_t>& points_before) {
  std::wstring w;
  points_before.assign(s.size() + 1, 0);
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t at = i;
    const char32_t c = utf8::decode(s, i);
    for (std::size_t k = at; k < i; ++k) points_before[k] = w.size();
    w.push_back(static_cast<wchar_t>(c));
  }
  points_before[s.size()] = w.size();
  return w;
}

// The scan over the text's code points a window of `size` at a time, a token that begins in the
// last `room` of one left to the next (as unmask of a long str reads it), agrees with unmask:
// the same tokens, or failure. It may give up where unmask succeeds only when a token or the
// prefix is too long for the room (longer than half of it).
void same_tokens(const std::string& text, const RestoreMap& map, std::size_t size, std::size_t room) {
  std::vector<RestoredToken> by_bytes;
  const bool ok = unmask(text, map, &by_bytes, false).has_value();
  std::vector<std::size_t> points_before;
  const std::wstring points = to_points(text, points_before);
  std::vector<RestoredToken> found, by_points;
  bool scanned = true;
  for (std::size_t pos = 0; pos < points.size() && scanned;) {
    const std::size_t n = std::min(size, points.size() - pos);
    const bool last = pos + n == points.size();
    std::size_t next = 0;
    found.clear();
    scanned = find_tokens(std::wstring_view(points).substr(pos, n), last, room, map, found, next);
    if (scanned && !last && (next == 0 || next > n)) fuzz::fail("the windowed scan went nowhere");
    for (const RestoredToken& t : found) by_points.push_back({pos + t.start, pos + t.end, t.original});
    pos += next;
  }
  if (scanned && !ok) fuzz::fail("the windowed scan took a text that unmask refuses");
  if (!scanned) {
    // Tokens and an opening "[[" prefix ":" no longer than half the room always fit a window.
    bool fit = 2 * (map.prefix.size() + 3) <= room;
    for (const RestoredToken& t : by_bytes) fit = fit && 2 * (points_before[t.end] - points_before[t.start]) <= room;
    if (ok && fit) fuzz::fail("the windowed scan refused a text that unmask takes");
    return;
  }
  if (by_points.size() != by_bytes.size()) fuzz::fail("the windowed scan found other tokens");
  for (std::size_t k = 0; k < by_bytes.size(); ++k)
    if (by_points[k].start != points_before[by_bytes[k].start] ||
        by_points[k].end != points_before[by_bytes[k].end] || by_points[k].original != by_bytes[k].original)
      fuzz::fail("the windowed scan placed a token elsewhere");
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
  // Windows longer than the room; a room at times too small for the prefix.
  const std::size_t room = 4 + in.byte() % 40;
  const std::size_t window = room + 1 + in.byte() % 48;
  same_tokens(masked, map, window, room);

  // Random text with the map: restores or fails cleanly.
  std::string noise = fuzz::valid_utf8(in.rest());
  auto r = unmask(noise, map);
  if (r && noise.find("[[" + map.prefix + ":") == std::string::npos && *r != noise)
    fuzz::fail("text without tokens changed");
  same_tokens(noise, map, window, room);
  same_tokens(masked + noise, map, window, room);
  return 0;
}
