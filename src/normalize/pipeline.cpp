#include "normalize/pipeline.hpp"

#include <limits>

#include "normalize/passes.hpp"
#include "span/mapping.hpp"
#include "text/kinds.hpp"
#include "text/pages.hpp"
#include "text/recycled.hpp"

namespace kestrix {

namespace {

// The buffers of maps' segments, kept per thread (see recycled.hpp): the first pass that
// changes something writes its map into one, the first that composes its map after it into
// the other, and detection, which lets go of its map before it returns, gives it back for the
// next call.
struct SpareSegments {
  recycled::Homes<std::vector<Segment>> maps;
};

recycled::Homes<std::vector<Segment>>& spare_maps() { return recycled::per_thread<SpareSegments>().maps; }

std::vector<Segment> spare_map(std::size_t text_bytes) { return recycled::take(spare_maps(), text_bytes); }

}  // namespace

std::expected<bool, Error> normalize_changes(std::string_view source, std::string* owned_source,
                                             const Config& config, Normalized& out,
                                             kinds::Set* kinds_out, std::string* source_copy) {
  // `current` views the source until a pass changes something, then the latest output, which
  // `owned` holds. `scratch` receives each pass's map (and the output of a pass that writes a
  // copy); after a change the maps swap, so the passes reuse two map buffers between them.
  std::string owned;
  std::string_view current = source;
  PassOutput scratch;
  scratch.spare_map = spare_map;  // taken at the first change: most texts have none
  // The map from the source to `current`; while no pass has changed anything it is the
  // identity map, built only at the end. Composing with an identity map on either side gives
  // the other map unchanged, so unchanged passes and the first change skip composition; every
  // later pass composes its segments after `map` as it writes them.
  SpanMap map;
  bool map_is_identity = true;
  // The kinds of bytes `current` may hold: a pass whose trigger bytes it lacks would find
  // nothing, and is not called.
  kinds::Set present = kinds::of(source);

  // Inlined, so that a pass that changes nothing (most passes over most texts) costs a test.
  // A pass that only deletes (`deletes`) leaves no kind of byte that was not there before.
  auto apply = [&](PassResult&& r, bool deletes = false) __attribute__((always_inline))
      -> std::expected<void, Error> {
    if (!r) return std::unexpected(std::move(r.error()));
    if (!*r) return {};
    if (!scratch.in_place)
      std::swap(owned, scratch.text);
    else if (scratch.in_place != &owned)
      owned = std::move(*scratch.in_place);  // the consumed source, rewritten
    if (owned.size() > std::numeric_limits<std::uint32_t>::max())
      return std::unexpected(Error::coordinate("normalized text exceeds 4294967295 bytes"));
    std::swap(map, scratch.map);
    map_is_identity = false;
    current = owned;
    scratch.compose_after = &map;
    if (!deletes) present = kinds::of(current);
    return {};
  };

  // Every pass rewrites its input in place when it may: after an earlier change `owned`, and
  // at the first change the source when the call owns it (consumed anyway). Only a pass that
  // makes the first change to a borrowed source writes a copy.
  auto run = [&](auto&& pass, bool deletes = false) __attribute__((always_inline))
      -> std::expected<void, Error> {
    scratch.in_place = map_is_identity ? owned_source : &owned;
    scratch.keep_input = map_is_identity && owned_source ? source_copy : nullptr;
    auto ok = apply(pass(), deletes);
    scratch.in_place = nullptr;
    scratch.keep_input = nullptr;
    return ok;
  };
  if (config.nfc && (present & kinds::jamo_lead))
    if (auto ok = run([&] { return pass_nfc(current, scratch); }); !ok)
      return std::unexpected(std::move(ok.error()));
  if (config.fold && (present & kinds::fold_lead))
    if (auto ok = run([&] { return pass_fold(current, scratch); }); !ok)
      return std::unexpected(std::move(ok.error()));
  if (config.hangul && (present & kinds::syllable_lead))
    if (auto ok = run([&] { return pass_hangul(current, config, scratch); }); !ok)
      return std::unexpected(std::move(ok.error()));
  if (config.lookalike && (present & kinds::lookalike) && (present & kinds::digit_like))
    if (auto ok = run([&] { return pass_lookalike(current, scratch); }); !ok)
      return std::unexpected(std::move(ok.error()));
  // The separator pass only deletes: in place, the largest map of the pipeline is built beside
  // one copy of the text.
  if (config.separator && (present & kinds::digit_like))
    if (auto ok = run([&] { return pass_separator(current, scratch); }, true); !ok)
      return std::unexpected(std::move(ok.error()));

  // A small buffer left over from the passes goes back; a large one is let go, not to be kept
  // beside what detection allocates next.
  if (scratch.map.segments.capacity() != 0) recycled::give_back_small(spare_maps().small, scratch.map.segments);
  if (kinds_out) *kinds_out = present;
  if (map_is_identity) return false;
  // The passes that rewrote the text in place left it shorter where it stands: the pages past
  // its end and its terminating zero go back, not to be held beside what detection allocates.
  if (owned.capacity() - owned.size() >= recycled::kLongText)
    pages::release(owned.data() + owned.size() + 1, owned.capacity() - owned.size());
  out.text = std::move(owned);
  out.map = std::move(map);
  return true;
}

std::string copy_of(std::string_view source) {
  std::string copy;
  copy.reserve(source.size());
  pages::advise_huge(copy.data(), copy.capacity());
  copy.assign(source);
  return copy;
}

void recycle(SpanMap&& map) {
  if (map.segments.capacity() == 0) return;  // nothing to keep: the thread's home is not looked up
  recycled::give_back(spare_maps(), map.segments);
  std::vector<Segment>().swap(map.segments);  // a buffer not kept is let go now
}

std::expected<Normalized, Error> normalize(std::string_view source, const Config& config) {
  Normalized out;
  auto changed = normalize_changes(source, nullptr, config, out);
  if (!changed) return std::unexpected(std::move(changed.error()));
  if (!*changed) return Normalized{copy_of(source), identity(source)};
  return out;
}

std::expected<Normalized, Error> normalize(std::string&& source, const Config& config) {
  const std::string_view view = source;
  Normalized out;
  auto changed = normalize_changes(view, &source, config, out);
  if (!changed) return std::unexpected(std::move(changed.error()));
  if (!*changed) {
    SpanMap map = identity(view);
    return Normalized{std::move(source), std::move(map)};
  }
  return out;
}

}  // namespace kestrix
