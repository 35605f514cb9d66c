#include "normalize/pipeline.hpp"

#include <limits>

#include "normalize/passes.hpp"
#include "span/mapping.hpp"

namespace kestrix {

std::expected<Normalized, Error> normalize(std::string_view source, const Config& config) {
  // `current` views the source until a pass changes something, then the latest output, which
  // `owned` holds. `scratch` receives each pass's output; after a change the two swap, so the
  // passes reuse two text buffers and one map buffer between them.
  std::string owned;
  std::string_view current = source;
  PassOutput scratch;
  // The map from the source to `current`; while no pass has changed anything it is the
  // identity map, built only at the end. Composing with an identity map on either side gives
  // the other map unchanged, so unchanged passes and the first change skip composition.
  // `spare` receives each composition and then swaps with `map`.
  SpanMap map, spare;
  bool map_is_identity = true;

  auto apply = [&](bool changed) -> std::expected<void, Error> {
    if (!changed) return {};
    if (scratch.text.size() > std::numeric_limits<std::uint32_t>::max())
      return std::unexpected(Error::coordinate("normalized text exceeds 4294967295 bytes"));
    if (map_is_identity) {
      std::swap(map, scratch.map);
      map_is_identity = false;
    } else {
      if (auto ok = compose_into(map, scratch.map, spare); !ok)
        return std::unexpected(std::move(ok.error()));
      std::swap(map, spare);
    }
    std::swap(owned, scratch.text);
    current = owned;
    return {};
  };

  if (config.nfc)
    if (auto ok = apply(pass_nfc(current, scratch)); !ok) return std::unexpected(std::move(ok.error()));
  if (config.fold)
    if (auto ok = apply(pass_fold(current, scratch)); !ok)
      return std::unexpected(std::move(ok.error()));
  if (config.hangul)
    if (auto ok = apply(pass_hangul(current, config, scratch)); !ok)
      return std::unexpected(std::move(ok.error()));
  if (config.lookalike)
    if (auto ok = apply(pass_lookalike(current, scratch)); !ok)
      return std::unexpected(std::move(ok.error()));
  if (config.separator)
    if (auto ok = apply(pass_separator(current, scratch)); !ok)
      return std::unexpected(std::move(ok.error()));

  if (map_is_identity) return Normalized{std::string(source), identity(source)};
  return Normalized{std::move(owned), std::move(map)};
}

}  // namespace kestrix
