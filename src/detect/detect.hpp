// The detection pass and its result records.
#pragma once
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "detect/entity.hpp"
#include "normalize/config.hpp"
#include "span/error.hpp"
#include "span/span.hpp"

namespace kestrix {

struct ContextHit {
  std::string_view cue;  // points into a static cue table
  std::uint32_t distance = 0;
  float weight = 0;
};

enum class RejectReason : std::uint8_t {
  checksum_failed = 0,
  no_context = 1,
  below_threshold = 2,
  outranked = 3,
  business_context = 4,
};
std::string_view reject_reason_name(RejectReason r);

// Members by size: 128 bytes a finding on 64-bit targets (a report holds one per item found).
struct Finding {
  std::vector<ContextHit> context_hits;
  RuleList normalizations;
  std::string_view reason;  // static text; meaningful only for not_applicable
  std::string_view rule;  // static rule name
  Span source;
  Span normalized;
  NormalizationCost cost;
  float score = 0;
  ChecksumStatus status = ChecksumStatus::not_applicable;
  Certainty certainty = Certainty::possible;
  Entity entity = Entity::resident;
  bool snapped = false;
};

struct Rejection {
  Span source;
  float score = 0;
  Entity entity = Entity::resident;
  RejectReason reason = RejectReason::below_threshold;
};

struct Report {
  std::vector<Finding> findings;
  std::vector<Rejection> rejections;
  std::string normalized_text;
};

std::expected<Report, Error> detect(std::string_view text, const Config& config);
// Lets go of a report its caller is done with: the buffers of a long text's lists and of its
// normalized text may serve the next detection on this thread (see text/recycled.hpp).
void recycle(Report&& report);
// The same for a report's list of findings alone (a mask output's applied findings).
void recycle(std::vector<Finding>&& findings);
// The same, consuming the text (see normalize): a long text is not kept beside its
// normalized form.
std::expected<Report, Error> detect(std::string&& text, const Config& config);
// The same for callers that read only the findings: no rejections are kept, and normalized_text
// is left empty where the normalized text is `text` itself, which then is not copied.
std::expected<Report, Error> detect_findings(std::string_view text, const Config& config);
// The same, consuming the text like detect above.
std::expected<Report, Error> detect_findings(std::string&& text, const Config& config);
// The same for callers that read the source too: where a pass changes the text, a copy of the
// source is made into `source_copy` before the text is rewritten; where none does, it stays
// empty and the report's normalized text is the source itself.
std::expected<Report, Error> detect_findings(std::string&& text, const Config& config, std::string& source_copy);

}  // namespace kestrix
