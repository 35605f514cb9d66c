// The cue index's compare of a word past the two syllables it looks for: every cue is noted
// where it stands whole, at every distance from the text's end (sixteen bytes read at once, or
// a byte at a time near the end), and not where any one of its bytes differs.
#include <cstdint>
#include <string>
#include <vector>

#include "check.hpp"
#include "detect/context.hpp"

using namespace kestrix;

namespace {

// The character starts of cue `id` in the index of `text`.
std::vector<std::uint32_t> starts_of(const std::string& text, std::size_t id) {
  det::CueIndex index;
  det::build_cue_index(text, index);
  if (((index.present[id / 64] >> (id % 64)) & 1) == 0) return {};
  return {index.starts.begin() + index.begin[id], index.starts.begin() + index.end[id]};
}

}  // namespace

KX_TEST(every_cue_is_noted_whole_at_every_distance_from_the_end_and_not_with_a_byte_changed) {
  const auto& cues = det::all_cues();
  for (std::size_t id = 0; id < cues.size(); ++id) {
    const std::string word(cues[id].word);
    for (std::size_t before : {0u, 1u, 5u})
      for (std::size_t after = 0; after <= 20; ++after) {
        const std::string head(before, 'x'), tail(after, '.');
        const std::vector<std::uint32_t> found = starts_of(head + word + tail, id);
        KX_CHECK(found.size() == 1 && found[0] == before);
        // Either case of a word that matches in either case.
        if (cues[id].any_case) {
          std::string upper = word;
          for (char& c : upper) c = static_cast<char>(c & ~0x20);
          KX_CHECK(starts_of(head + upper + tail, id).size() == 1);
        }
        // Each byte changed in its low bit: a lead byte still leads, a continuation byte still
        // continues, an ASCII letter becomes another (no other case of itself).
        for (std::size_t k = 0; k < word.size(); ++k) {
          std::string changed = word;
          changed[k] = static_cast<char>(changed[k] ^ 1);
          KX_CHECK(starts_of(head + changed + tail, id).empty());
        }
      }
  }
}
