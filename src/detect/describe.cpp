#include "detect/describe.hpp"

#include "span/describe.hpp"
#include "text/debug_string.hpp"

namespace kestrix {

std::string describe(const ContextHit& h) {
  return "ContextHit(cue=" + debug_string(h.cue) + ", distance=" + std::to_string(h.distance) +
         ", weight=" + format_fixed(h.weight, 3) + ")";
}

std::string describe(const Finding& f) {
  return "Finding(entity=" + debug_string(entity_name(f.entity)) + ", certainty=" +
         debug_string(certainty_name(f.certainty)) + ", score=" + format_fixed(f.score, 2) +
         ", byte=" + byte_range(f.source) + ")";
}

std::string describe(const Rejection& r) {
  return "Rejection(entity=" + debug_string(entity_name(r.entity)) + ", reason=" +
         debug_string(reject_reason_name(r.reason)) + ", score=" + format_fixed(r.score, 2) + ")";
}

std::string describe(const Report& r) {
  return "Report(findings=" + std::to_string(r.findings.size()) +
         ", rejections=" + std::to_string(r.rejections.size()) + ")";
}

std::string describe_evidence(const Finding& f) {
  return "Evidence(rule=" + debug_string(f.rule) + ", checksum=" + debug_string(status_name(f.status)) +
         ", context_hits=" + std::to_string(f.context_hits.size()) + ")";
}

}  // namespace kestrix
