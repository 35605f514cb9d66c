#include "normalize/pipeline.hpp"

#include <limits>

#include "normalize/passes.hpp"
#include "span/mapping.hpp"

namespace kestrix {

std::expected<Normalized, Error> normalize(std::string_view source, const Config& config) {
  // `current` views the source until a pass changes something, then the latest output.
  std::string owned;
  std::string_view current = source;
  // The map from the source to `current`; while no pass has changed anything it is the
  // identity map, built only at the end. Composing with an identity map on either side gives
  // the other map unchanged, so unchanged passes and the first change skip composition.
  SpanMap map;
  bool map_is_identity = true;

  auto apply = [&](PassResult r) -> std::expected<void, Error> {
    if (!r) return {};
    if (r->text.size() > std::numeric_limits<std::uint32_t>::max())
      return std::unexpected(Error::coordinate("normalized text exceeds 4294967295 bytes"));
    if (map_is_identity) {
      map = std::move(r->map);
      map_is_identity = false;
    } else {
      auto composed = compose(map, r->map);
      if (!composed) return std::unexpected(std::move(composed.error()));
      map = std::move(*composed);
    }
    owned = std::move(r->text);
    current = owned;
    return {};
  };

  if (config.nfc)
    if (auto ok = apply(pass_nfc(current)); !ok) return std::unexpected(std::move(ok.error()));
  if (config.fold)
    if (auto ok = apply(pass_fold(current)); !ok) return std::unexpected(std::move(ok.error()));
  if (config.hangul)
    if (auto ok = apply(pass_hangul(current, config)); !ok)
      return std::unexpected(std::move(ok.error()));
  if (config.lookalike)
    if (auto ok = apply(pass_lookalike(current)); !ok)
      return std::unexpected(std::move(ok.error()));
  if (config.separator)
    if (auto ok = apply(pass_separator(current)); !ok)
      return std::unexpected(std::move(ok.error()));

  if (map_is_identity) return Normalized{std::string(source), identity(source)};
  return Normalized{std::move(owned), std::move(map)};
}

}  // namespace kestrix
