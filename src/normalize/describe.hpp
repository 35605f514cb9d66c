// The one-line descriptions of the settings and of a normalized text that their Python reprs
// show.
#pragma once
#include <string>

#include "normalize/config.hpp"
#include "normalize/pipeline.hpp"

namespace kestrix {

std::string describe(const Config& c);      // Config(min_score=0.5, min_context=0.3, context_window=24)
std::string describe(const Normalized& n);  // Normalized(text="...", segments=2)

}  // namespace kestrix
