// Arbitrary bytes through the restore-map reader: it either refuses with a positioned
// message or yields a map whose JSON reads back to the same map; unmask with such a map
// never fails on a text without its tokens. The raw bytes also go to both UTF-8 checks, which
// must agree.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_common.hpp"
#include "mask/restore.hpp"
#include "text/utf8.hpp"

using namespace kestrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  if (utf8::valid_blocks(raw) != utf8::valid_scalar(raw)) fuzz::fail("block and scalar UTF-8 checks differ");
  fuzz::Reader in(data, size);
  std::string json = fuzz::valid_utf8(in.rest());
  auto m = restore_map_from_json(json);
  if (!m) {
    if (m.error().find(" at line ") == std::string::npos) fuzz::fail("error without position: " + m.error());
    return 0;
  }
  std::string again;
  write_json(again, *m);
  auto back = restore_map_from_json(again);
  if (!back) fuzz::fail("own JSON refused: " + back.error());
  if (back->prefix != m->prefix || back->entries.size() != m->entries.size()) fuzz::fail("round trip");
  for (std::size_t i = 0; i < m->entries.size(); ++i) {
    const auto& a = m->entries[i];
    const auto& b = back->entries[i];
    if (a.token != b.token || a.original != b.original || a.entity != b.entity) fuzz::fail("entry round trip");
    // Every string handed out must be valid UTF-8.
    if (fuzz::valid_utf8(a.original) != a.original || fuzz::valid_utf8(a.token) != a.token)
      fuzz::fail("invalid UTF-8 in an entry");
  }
  if (fuzz::valid_utf8(m->prefix) != m->prefix) fuzz::fail("invalid UTF-8 in the prefix");
  auto plain = unmask("no tokens here", *m);
  if (!m->prefix.empty() && std::string_view("no tokens here").find("[[" + m->prefix + ":") == std::string_view::npos &&
      (!plain || *plain != "no tokens here"))
    fuzz::fail("unmask changed a text without tokens");
  return 0;
}
