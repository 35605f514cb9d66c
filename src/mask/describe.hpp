// The one-line descriptions of masking's values that their Python reprs show: structure and
// counts, never a piece of the text, a fixed replacement or a key (reprs end up in logs).
#pragma once
#include <string>

#include "mask/mask.hpp"
#include "mask/policy.hpp"
#include "mask/restore.hpp"

namespace kestrix {

std::string describe(const Policy& p);        // Policy.partial()
std::string describe(const PolicySet& s);     // PolicySet(...)
std::string describe(const RestoreEntry& e);  // RestoreEntry(token="[[PII:0]]", entity="phone")
std::string describe(const RestoreMap& m);    // RestoreMap(prefix="PII", entries=3)
std::string describe(const MaskOutput& o);    // MaskOutput(applied=2, skipped=0, restore=false)

}  // namespace kestrix
