#include "mask/describe.hpp"

#include "text/debug_string.hpp"

namespace kestrix {

// Only the kind: a fixed text or a key must never show up in logs.
std::string describe(const Policy& p) { return "Policy." + std::string(policy_kind_name(p)) + "()"; }

std::string describe(const PolicySet&) { return "PolicySet(...)"; }

// Never the original.
std::string describe(const RestoreEntry& e) {
  return "RestoreEntry(token=" + debug_string(e.token) + ", entity=" + debug_string(entity_name(e.entity)) + ")";
}

std::string describe(const RestoreMap& m) {
  return "RestoreMap(prefix=" + debug_string(m.prefix) + ", entries=" + std::to_string(m.entries.size()) + ")";
}

std::string describe(const MaskOutput& o) {
  return "MaskOutput(applied=" + std::to_string(o.applied.size()) + ", skipped=" + std::to_string(o.skipped.size()) +
         ", restore=" + (o.restore ? "true" : "false") + ")";
}

}  // namespace kestrix
