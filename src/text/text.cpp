#include <charconv>
#include <cmath>
#include <cstdio>

#include "text/debug_string.hpp"
#include "text/json_writer.hpp"
#include "text/utf8.hpp"

namespace kestrix {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// Characters a debug form writes as \u{...}: controls, separators other than the ASCII space,
// invisible format characters and code points that are not characters.
bool non_printable(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0xA0)) return true;
  if (c == 0xAD || c == 0x034F || c == 0x061C || c == 0x115F || c == 0x1160 || c == 0x1680 ||
      c == 0x180E || c == 0x3000 || c == 0x3164 || c == 0xFEFF || c == 0xFFA0)
    return true;
  if ((c >= 0x2000 && c <= 0x200F) || (c >= 0x2028 && c <= 0x202F) || (c >= 0x205F && c <= 0x206F))
    return true;
  if ((c >= 0xD800 && c <= 0xDFFF) || (c >= 0xFFF0 && c <= 0xFFFB) || (c & 0xFFFE) == 0xFFFE)
    return true;
  if ((c >= 0xE000 && c <= 0xF8FF) || c >= 0xF0000) return true;  // private use
  if (c >= 0xE0000 && c <= 0xE0FFF) return true;                  // tags, variation selectors
  return false;
}

}  // namespace

void append_debug_string(std::string& out, std::string_view s) {
  out.push_back('"');
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t start = i;
    char32_t c = utf8::decode(s, i);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (non_printable(c)) {
          out += "\\u{";
          char buf[8];
          auto r = std::to_chars(buf, buf + sizeof buf, static_cast<unsigned long>(c), 16);
          out.append(buf, r.ptr);
          out.push_back('}');
        } else {
          out.append(s.substr(start, i - start));
        }
    }
  }
  out.push_back('"');
}

std::string format_f32(float v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string format_fixed(float v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, static_cast<double>(v));
  return buf;
}

namespace json {

void write_string(std::string& out, std::string_view s) {
  out.push_back('"');
  std::size_t run = 0;  // start of the pending stretch that needs no escape
  for (std::size_t i = 0; i < s.size(); ++i) {
    auto b = static_cast<unsigned char>(s[i]);
    if (b >= 0x20 && b != '"' && b != '\\') continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    switch (b) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        out += "\\u00";
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 0xF]);
    }
  }
  out.append(s.data() + run, s.size() - run);
  out.push_back('"');
}

void write_f32(std::string& out, float v) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void write_uint(std::string& out, unsigned long long v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

}  // namespace json
}  // namespace kestrix
