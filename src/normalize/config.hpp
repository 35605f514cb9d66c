// Every setting of normalization and detection. The field order is the order of the Python
// properties; the passes receive a copy taken at the start of each call.
#pragma once
#include <cstdint>

namespace kestrix {

struct Weights {
  float checksum_passed = 0.6f;
  float checksum_failed = 0.25f;
  float context = 0.5f;
  float absorbed_whitespace = 0.08f;
  float absorbed_separator = 0.01f;
  float expanded_syllable = 0.01f;
  float replaced_char = 0.002f;
};

struct Config {
  std::uint64_t numeral_min_digits_without_context = 6;
  std::uint64_t numeral_min_digits_with_context = 2;
  std::uint64_t numeral_context_gap = 2;  // not visible from Python
  bool nfc = true;
  bool fold = true;
  bool hangul = true;
  bool lookalike = true;
  bool separator = true;
  std::uint32_t context_window = 24;
  float min_score = 0.5f;
  float min_context = 0.3f;
  float min_veto = 0.5f;
  Weights weights;
};

}  // namespace kestrix
