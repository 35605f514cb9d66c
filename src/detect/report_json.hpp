// Compact JSON of evidence, findings, rejections and reports, keys in their fixed orders.
#pragma once
#include <string>

#include "detect/detect.hpp"

namespace kestrix {

void write_json(std::string& out, const ContextHit& hit);
void write_evidence_json(std::string& out, const Finding& f);
void write_json(std::string& out, const Finding& f);
void write_json(std::string& out, const Rejection& r);
void write_json(std::string& out, const Report& r);

}  // namespace kestrix
