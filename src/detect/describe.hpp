// The one-line descriptions of detection's records that their Python reprs show.
#pragma once
#include <string>

#include "detect/detect.hpp"

namespace kestrix {

std::string describe(const ContextHit& h);  // ContextHit(cue="생년월일", distance=3, weight=0.438)
std::string describe(const Finding& f);     // Finding(entity="phone", certainty="certain", score=0.95, byte=0..13)
std::string describe(const Rejection& r);   // Rejection(entity="credit_card", reason="checksum_failed", score=0.25)
std::string describe(const Report& r);      // Report(findings=1, rejections=0)
// The evidence of a finding: Evidence(rule="phone.seoul", checksum="not_applicable", context_hits=0)
std::string describe_evidence(const Finding& f);

}  // namespace kestrix
