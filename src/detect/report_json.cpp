// {"rule":..,"checksum":..,"context_hits":[..],"normalizations":[..],"cost":..,"snapped":..}
// {"entity":..,"source":..,"normalized":..,"certainty":..,"score":..,"evidence":..}
// {"entity":..,"source":..,"reason":..,"score":..}
// {"findings":[..],"rejections":[..],"normalized_text":..}
#include "detect/report_json.hpp"

#include "span/span_map.hpp"
#include "text/json_writer.hpp"

namespace kestrix {

void write_json(std::string& out, const ContextHit& hit) {
  out += "{\"cue\":";
  json::write_string(out, hit.cue);
  out += ",\"distance\":";
  json::write_uint(out, hit.distance);
  out += ",\"weight\":";
  json::write_f32(out, hit.weight);
  out.push_back('}');
}

void write_evidence_json(std::string& out, const Finding& f) {
  out += "{\"rule\":";
  json::write_string(out, f.rule);
  out += ",\"checksum\":";
  if (f.status == ChecksumStatus::not_applicable) {
    out += "{\"not_applicable\":";
    json::write_string(out, f.reason);
    out.push_back('}');
  } else {
    json::write_string(out, status_name(f.status));
  }
  out += ",\"context_hits\":[";
  for (std::size_t i = 0; i < f.context_hits.size(); ++i) {
    if (i) out.push_back(',');
    write_json(out, f.context_hits[i]);
  }
  out += "],\"normalizations\":";
  write_json_rules(out, f.normalizations);
  out += ",\"cost\":";
  write_json(out, f.cost);
  out += ",\"snapped\":";
  json::write_bool(out, f.snapped);
  out.push_back('}');
}

void write_json(std::string& out, const Finding& f) {
  out += "{\"entity\":";
  json::write_string(out, entity_name(f.entity));
  out += ",\"source\":";
  write_json(out, f.source);
  out += ",\"normalized\":";
  write_json(out, f.normalized);
  out += ",\"certainty\":";
  json::write_string(out, certainty_name(f.certainty));
  out += ",\"score\":";
  json::write_f32(out, f.score);
  out += ",\"evidence\":";
  write_evidence_json(out, f);
  out.push_back('}');
}

void write_json(std::string& out, const Rejection& r) {
  out += "{\"entity\":";
  json::write_string(out, entity_name(r.entity));
  out += ",\"source\":";
  write_json(out, r.source);
  out += ",\"reason\":";
  json::write_string(out, reject_reason_name(r.reason));
  out += ",\"score\":";
  json::write_f32(out, r.score);
  out.push_back('}');
}

void write_json(std::string& out, const Report& r) {
  out += "{\"findings\":[";
  for (std::size_t i = 0; i < r.findings.size(); ++i) {
    if (i) out.push_back(',');
    write_json(out, r.findings[i]);
  }
  out += "],\"rejections\":[";
  for (std::size_t i = 0; i < r.rejections.size(); ++i) {
    if (i) out.push_back(',');
    write_json(out, r.rejections[i]);
  }
  out += "],\"normalized_text\":";
  json::write_string(out, r.normalized_text);
  out.push_back('}');
}

}  // namespace kestrix
