// Masking policies: how one detected piece of the source text is replaced.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "detect/entity.hpp"

namespace kestrix {

struct RestoreMap;

enum class PolicyKind : std::uint8_t { redact, partial, hash, tokenize };
enum class RedactKind : std::uint8_t { label, code, fill, fixed };

// An immutable value. Only the fields of its kind are meaningful; copying deep-copies the
// fixed text and the key, so copies never share anything.
struct Policy {
  PolicyKind kind = PolicyKind::redact;
  RedactKind redact = RedactKind::label;  // only for PolicyKind::redact
  char32_t fill = U'*';                   // redact fill and partial
  std::string text;                       // redact fixed
  std::uint64_t keep_prefix = 0;          // partial, in characters
  std::uint64_t keep_suffix = 0;          // partial, in characters
  std::string key;                        // hash: any bytes, may be empty
  std::uint64_t length = 12;              // hash: hex digits kept, at most 64 are used

  static Policy redact_label() { return {}; }
  static Policy redact_code() {
    Policy p;
    p.redact = RedactKind::code;
    return p;
  }
  static Policy redact_fill(char32_t fill) {
    Policy p;
    p.redact = RedactKind::fill;
    p.fill = fill;
    return p;
  }
  static Policy redact_fixed(std::string text) {
    Policy p;
    p.redact = RedactKind::fixed;
    p.text = std::move(text);
    return p;
  }
  static Policy partial(std::uint64_t keep_prefix, std::uint64_t keep_suffix, char32_t fill) {
    Policy p;
    p.kind = PolicyKind::partial;
    p.keep_prefix = keep_prefix;
    p.keep_suffix = keep_suffix;
    p.fill = fill;
    return p;
  }
  static Policy hash(std::string key, std::uint64_t length) {
    Policy p;
    p.kind = PolicyKind::hash;
    p.key = std::move(key);
    p.length = length;
    return p;
  }
  static Policy tokenize() {
    Policy p;
    p.kind = PolicyKind::tokenize;
    return p;
  }
};

// "redact_label", "redact_code", "redact_fill", "redact_fixed", "partial", "hash", "tokenize".
std::string_view policy_kind_name(const Policy& p);

// Appends the replacement of `piece` (the exact source text of a finding of `entity`) to out.
// Counts are in Unicode scalar values of the piece. A tokenize policy appends an entry to
// `restore` and writes its token; the mask pass always supplies a table when a policy set
// tokenizes. Rendering never fails.
void render(std::string& out, const Policy& p, Entity entity, std::string_view piece,
            RestoreMap* restore);

// The first min(length, 64) lowercase hex digits of HMAC-SHA-256(key, data).
std::string hmac_sha256_hex(std::string_view key, std::string_view data, std::uint64_t length);

}  // namespace kestrix
