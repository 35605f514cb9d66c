#include "mask/policy.hpp"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include "mask/restore.hpp"
#include "text/utf8.hpp"

namespace kestrix {

std::string_view policy_kind_name(const Policy& p) {
  switch (p.kind) {
    case PolicyKind::redact:
      switch (p.redact) {
        case RedactKind::label: return "redact_label";
        case RedactKind::code: return "redact_code";
        case RedactKind::fill: return "redact_fill";
        case RedactKind::fixed: return "redact_fixed";
      }
      break;
    case PolicyKind::partial: return "partial";
    case PolicyKind::hash: return "hash";
    case PolicyKind::tokenize: return "tokenize";
  }
  return "redact_label";
}

std::string hmac_sha256_hex(std::string_view key, std::string_view data, std::uint64_t length) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_len = 0;
  // Some OpenSSL versions take a null key as "reuse the previous key"; an empty key must
  // always mean the empty key, so never pass a null pointer.
  static const unsigned char kNoKey = 0;
  const unsigned char* k =
      key.empty() ? &kNoKey : reinterpret_cast<const unsigned char*>(key.data());
  std::size_t klen = key.size();
  // A key longer than the SHA-256 block is replaced by its digest (as HMAC itself does);
  // doing it here keeps keys of any size within the int that HMAC() takes.
  unsigned char key_digest[EVP_MAX_MD_SIZE];
  if (klen > 64) {
    unsigned int dlen = 0;
    if (!EVP_Digest(k, klen, key_digest, &dlen, EVP_sha256(), nullptr)) return {};
    k = key_digest;
    klen = dlen;
  }
  static const unsigned char kNoData = 0;
  const unsigned char* d =
      data.empty() ? &kNoData : reinterpret_cast<const unsigned char*>(data.data());
  std::string out;
  if (!HMAC(EVP_sha256(), k, static_cast<int>(klen), d, data.size(), digest,
            &digest_len)) {
    return out;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::size_t keep = length < 64 ? static_cast<std::size_t>(length) : 64;
  if (keep > 2 * static_cast<std::size_t>(digest_len)) keep = 2 * digest_len;
  out.reserve(keep);
  for (std::size_t i = 0; i < keep; ++i) {
    unsigned char b = digest[i / 2];
    out.push_back(kHex[(i % 2 == 0) ? (b >> 4) : (b & 0x0F)]);
  }
  return out;
}

namespace {

void append_repeated(std::string& out, char32_t c, std::uint64_t n) {
  const std::string enc = utf8::encode(c);
  out.reserve(out.size() + enc.size() * n);
  for (std::uint64_t i = 0; i < n; ++i) out += enc;
}

// Byte offset of the character with index `chars` in s (s.size() when past the end).
std::size_t byte_of_char(std::string_view s, std::uint64_t chars) {
  std::size_t i = 0;
  while (chars > 0 && i < s.size()) {
    i += utf8::seq_len(static_cast<unsigned char>(s[i]));
    --chars;
  }
  return i < s.size() ? i : s.size();
}

void bracketed(std::string& out, std::string_view name) {
  out.push_back('[');
  out += name;
  out.push_back(']');
}

}  // namespace

void render(std::string& out, const Policy& p, Entity entity, std::string_view piece,
            RestoreMap* restore) {
  switch (p.kind) {
    case PolicyKind::redact:
      switch (p.redact) {
        case RedactKind::label: bracketed(out, entity_label(entity)); return;
        case RedactKind::code: bracketed(out, entity_code(entity)); return;
        case RedactKind::fill: append_repeated(out, p.fill, utf8::count_chars(piece)); return;
        case RedactKind::fixed: out += p.text; return;
      }
      return;
    case PolicyKind::partial: {
      const std::uint64_t n = utf8::count_chars(piece);
      // Written so that huge counts cannot overflow: prefix + suffix >= n covers everything.
      if (p.keep_prefix >= n || p.keep_suffix >= n - p.keep_prefix) {
        append_repeated(out, p.fill, n);
        return;
      }
      const std::size_t head = byte_of_char(piece, p.keep_prefix);
      const std::size_t tail = byte_of_char(piece, n - p.keep_suffix);
      out.append(piece.substr(0, head));
      append_repeated(out, p.fill, n - p.keep_prefix - p.keep_suffix);
      out.append(piece.substr(tail));
      return;
    }
    case PolicyKind::hash:
      out.push_back('[');
      out += entity_code(entity);
      out.push_back(':');
      out += hmac_sha256_hex(p.key, piece, p.length);
      out.push_back(']');
      return;
    case PolicyKind::tokenize:
      if (restore) {
        out += add_entry(*restore, piece, entity);
      } else {
        // Unreachable from the mask pass, which creates the table whenever a policy
        // tokenizes; hide the piece rather than leak it.
        bracketed(out, entity_label(entity));
      }
      return;
  }
}

}  // namespace kestrix
