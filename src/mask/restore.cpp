#include "mask/restore.hpp"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>

#include "text/bytes.hpp"
#include "text/debug_string.hpp"
#include "text/json_writer.hpp"
#include "text/utf8.hpp"

namespace kestrix {

// ---- prefix and tokens ---------------------------------------------------------------------

std::string choose_prefix(std::span<const std::string_view> texts) {
  // Equivalent to probing "[[PII:", "[[PII0:", "[[PII1:", ... one after another, but done in a
  // single pass over each text: collect which candidates occur, then take the first free one.
  // A candidate number larger than the number of occurrences can never be reached.
  constexpr std::string_view kHead = "[[PII";
  bool bare = false;
  std::vector<std::uint64_t> numbers;
  for (std::string_view source : texts) {
    for (std::size_t at = source.find(kHead); at != std::string_view::npos;
         at = source.find(kHead, at + 1)) {
      std::size_t i = at + kHead.size();
      if (i < source.size() && source[i] == ':') {
        bare = true;
        continue;
      }
      std::size_t j = i;
      std::uint64_t n = 0;
      while (j < source.size() && source[j] >= '0' && source[j] <= '9' && j - i < 12) {
        n = n * 10 + static_cast<std::uint64_t>(source[j] - '0');
        ++j;
      }
      const bool canonical = j > i && (j - i == 1 || source[i] != '0');
      if (canonical && j < source.size() && source[j] == ':') numbers.push_back(n);
    }
  }
  if (!bare) return "PII";
  std::vector<bool> used(numbers.size() + 1, false);
  for (std::uint64_t n : numbers)
    if (n < used.size()) used[static_cast<std::size_t>(n)] = true;
  std::size_t c = 0;
  while (used[c]) ++c;
  return "PII" + std::to_string(c);
}

RestoreMap new_restore_map(std::string_view source, std::span<const std::string_view> also) {
  std::vector<std::string_view> texts{source};
  texts.insert(texts.end(), also.begin(), also.end());
  return {choose_prefix(texts), {}};
}

namespace {

// "[[" + prefix + ":" + number + "]]", written at once: a table holds a token per finding.
std::string make_token(std::string_view prefix, std::uint64_t number) {
  char digits[20];
  const auto count = static_cast<std::size_t>(std::to_chars(digits, std::end(digits), number).ptr - digits);
  std::string token(prefix.size() + count + 5, ']');  // the closing brackets stay
  char* p = token.data();
  p[0] = p[1] = '[';
  std::memcpy(p + 2, prefix.data(), prefix.size());
  p[2 + prefix.size()] = ':';
  std::memcpy(p + 3 + prefix.size(), digits, count);
  return token;
}

}  // namespace

const std::string& add_entry(RestoreMap& map, std::string_view piece, Entity entity) {
  map.entries.emplace_back(make_token(map.prefix, map.entries.size()), std::string(piece), entity);
  return map.entries.back().token;
}

namespace {

// Optional single '+', then one or more ASCII digits, within 64 bits.
template <class Char>
bool parse_token_number(std::basic_string_view<Char> s, std::uint64_t& out) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  std::uint64_t v = 0;
  for (Char c : s) {
    if (c < '0' || c > '9') return false;
    if (__builtin_mul_overflow(v, 10u, &v) || __builtin_add_overflow(v, static_cast<std::uint64_t>(c - '0'), &v))
      return false;
  }
  out = v;
  return true;
}

// Where the "]]" of a token stands when only a number (an optional '+' and digits, as the mask
// pass writes it) comes before it, from `from` on; npos otherwise, and the search for "]]"
// decides. No "]]" can stand earlier, so it is the first one.
template <class Char>
std::size_t close_after_number(std::basic_string_view<Char> s, std::size_t from) {
  std::size_t i = from;
  if (i < s.size() && s[i] == '+') ++i;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
  return i + 1 < s.size() && s[i] == ']' && s[i + 1] == ']' ? i : std::basic_string_view<Char>::npos;
}

// The first place at or after i (and before n) of the unit c in s, or n: a block at a time.
inline std::size_t find_first(const wchar_t* s, std::size_t i, std::size_t n, wchar_t c) {
  return bytes::find_point(s, i, n, c);
}
inline std::size_t find_first(const char* s, std::size_t i, std::size_t n, char c) {
  const auto b = static_cast<unsigned char>(c);
  return bytes::find(reinterpret_cast<const unsigned char*>(s), i, n,
                     [b](bytes::V16 v) { return bytes::eq(v, b); }, [b](unsigned char x) { return x == b; });
}

// The first place at or after `from` where `needle` (not empty) stands in `text`, or npos.
// '[' and ']' are rare in text: their places are found a block at a time, without a library
// call per token.
template <class Char>
std::size_t find_units(std::basic_string_view<Char> text, std::basic_string_view<Char> needle, std::size_t from) {
  const std::size_t n = text.size(), m = needle.size();
  if (m > n) return std::basic_string_view<Char>::npos;
  const std::size_t last = n - m;  // the last place a match can start
  for (std::size_t i = from; i <= last;) {
    i = find_first(text.data(), i, last + 1, needle.front());
    if (i > last) break;
    if (text.compare(i, m, needle) == 0) return i;
    ++i;
  }
  return std::basic_string_view<Char>::npos;
}

}  // namespace

bool find_tokens(std::wstring_view window, bool last, std::size_t room, const RestoreMap& map,
                 std::vector<RestoredToken>& tokens, std::size_t& next) {
  std::wstring open = L"[[";
  for (char c : map.prefix) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
    open.push_back(static_cast<wchar_t>(c));
  }
  open.push_back(L':');
  if (open.size() > room / 2) return false;
  // Where a token may begin and still run past the window when more text follows it.
  const std::size_t stop = last ? window.size() : window.size() - std::min(window.size(), room);
  for (std::size_t cur = 0;;) {
    const std::size_t at = find_units<wchar_t>(window, open, cur);
    if (at == std::wstring_view::npos || at >= stop) {
      next = at == std::wstring_view::npos ? std::max(cur, stop) : at;
      return true;
    }
    const std::size_t num_start = at + open.size();
    std::size_t close = close_after_number(window, num_start);
    if (close == std::wstring_view::npos) close = find_units<wchar_t>(window, L"]]", num_start);
    std::uint64_t n = 0;
    if (close == std::wstring_view::npos ||
        !parse_token_number(window.substr(num_start, close - num_start), n) || n >= map.entries.size())
      return false;
    tokens.push_back({at, close + 2, map.entries[static_cast<std::size_t>(n)].original});
    cur = close + 2;
  }
}

namespace {

// One token of the map's prefix, or what is wrong with it.
struct TokenAt {
  TokenCheck check;        // fault none: a token that unmask replaces
  std::size_t end = 0;     // past its "]]"
  std::uint64_t n = 0;     // its number
};

// The tokens of `open` ("[[" + prefix + ":") in text order from byte `cur`: calls each(TokenAt)
// for every good one and returns the first bad one (fault none at the end of the text).
template <class Each>
TokenCheck scan_tokens(std::string_view masked, std::string_view open, std::size_t entries, Each each) {
  for (std::size_t cur = 0;;) {
    const std::size_t at = find_units<char>(masked, open, cur);
    if (at == std::string_view::npos) return {};
    const std::size_t num_start = at + open.size();
    std::size_t close = close_after_number(masked, num_start);
    if (close == std::string_view::npos) close = find_units<char>(masked, "]]", num_start);
    if (close == std::string_view::npos) return {TokenFault::unclosed, at, masked.substr(num_start)};
    TokenAt t{{TokenFault::none, at, masked.substr(num_start, close - num_start)}, close + 2, 0};
    if (!parse_token_number(t.check.number, t.n)) return {TokenFault::not_number, at, t.check.number};
    if (t.n >= entries) return {TokenFault::no_entry, at, t.check.number};
    each(t);
    cur = t.end;
  }
}

Error token_error(const TokenCheck& bad, std::string_view open) {
  std::uint64_t n = 0;
  switch (bad.fault) {
    case TokenFault::unclosed:
      return Error::restore_token(std::string(open) + "...  에 닫는 괄호가 없다");
    case TokenFault::not_number:
      return Error::restore_token("토큰 번호가 숫자가 아니다: '" + std::string(bad.number) + "'");
    default:
      parse_token_number(bad.number, n);
      return Error::restore_token("표에 없는 토큰 번호 " + std::to_string(n));
  }
}

}  // namespace

TokenCheck check_tokens(std::string_view masked, const RestoreMap& map) {
  return scan_tokens(masked, "[[" + map.prefix + ":", map.entries.size(), [](const TokenAt&) {});
}

std::expected<std::string, Error> unmask(std::string_view masked, const RestoreMap& map,
                                         std::vector<RestoredToken>* tokens, bool make_text) {
  if (tokens) tokens->clear();
  const std::string open = "[[" + map.prefix + ":";
  std::string out;
  if (make_text) out.reserve(masked.size());
  std::size_t cur = 0;
  const TokenCheck bad = scan_tokens(masked, open, map.entries.size(), [&](const TokenAt& t) {
    const std::string& original = map.entries[static_cast<std::size_t>(t.n)].original;
    if (make_text) {
      out.append(masked.substr(cur, t.check.start - cur));
      out += original;
    }
    if (tokens) tokens->push_back({t.check.start, t.end, original});
    cur = t.end;
  });
  if (bad.fault != TokenFault::none) return std::unexpected(token_error(bad, open));
  if (make_text) out.append(masked.substr(cur));
  return out;
}

std::expected<std::string, Error> merge_restore(RestoreMap& into, std::uint64_t first,
                                                std::string_view masked, const RestoreMap& piece) {
  const std::string open = "[[" + piece.prefix + ":";
  const std::uint64_t base = first + into.entries.size();
  std::string out;
  out.reserve(masked.size());
  std::size_t cur = 0;
  const TokenCheck bad = scan_tokens(masked, open, piece.entries.size(), [&](const TokenAt& t) {
    out.append(masked.substr(cur, t.check.start - cur));
    out += make_token(into.prefix, base + t.n);
    cur = t.end;
  });
  if (bad.fault != TokenFault::none) return std::unexpected(token_error(bad, open));
  out.append(masked.substr(cur));
  std::uint64_t number = base;
  for (const RestoreEntry& e : piece.entries)
    into.entries.push_back({make_token(into.prefix, number++), e.original, e.entity});
  return out;
}

std::vector<TokenShape> token_shapes(std::string_view text) {
  constexpr std::string_view kHead = "[[PII";
  constexpr std::size_t kMaxTail = 40, kMaxDigits = 20;
  auto in_prefix = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' ||
           c == '-';
  };
  std::vector<TokenShape> shapes;
  const std::size_t n = text.size();
  for (std::size_t at = text.find(kHead); at != std::string_view::npos; at = text.find(kHead, at + 1)) {
    std::size_t i = at + kHead.size();
    while (i < n && in_prefix(text[i])) ++i;
    if (i - (at + kHead.size()) > kMaxTail || i >= n || text[i] != ':') continue;
    const std::string_view prefix = text.substr(at + 2, i - at - 2);
    std::size_t j = i + 1;
    if (j < n && text[j] == '+') ++j;
    const std::size_t digits = j;
    while (j < n && text[j] >= '0' && text[j] <= '9') ++j;
    if (j == digits || j - digits > kMaxDigits || text.substr(j, 2) != "]]") continue;
    shapes.push_back({at, j + 2, prefix});
    at = j + 1;  // the search goes on after the token
  }
  return shapes;
}

// ---- JSON writing --------------------------------------------------------------------------

void write_json_head(std::string& out, std::string_view prefix) {
  out += "{\"prefix\":";
  json::write_string(out, prefix);
  out += ",\"entries\":[";
}

void write_json_entry(std::string& out, const RestoreEntry& e, std::uint64_t number) {
  if (number != 0) out.push_back(',');
  out += "{\"token\":";
  json::write_string(out, e.token);
  out += ",\"original\":";
  json::write_string(out, e.original);
  out += ",\"entity\":";
  json::write_string(out, entity_name(e.entity));
  out.push_back('}');
}

void write_json(std::string& out, const RestoreMap& map) {
  write_json_head(out, map.prefix);
  for (std::size_t i = 0; i < map.entries.size(); ++i) write_json_entry(out, map.entries[i], i);
  out += "]}";
}

// ---- JSON reading --------------------------------------------------------------------------

namespace {

// " at line L column C" for the position `pos` (bytes read so far): L counts the newlines
// before pos, C the characters between the last newline and pos. from("{}") fails after
// reading the closing brace: line 1 column 2.
std::string position_text(std::string_view text, std::size_t pos) {
  if (pos > text.size()) pos = text.size();
  std::size_t line = 1;
  std::size_t line_start = 0;
  for (std::size_t i = 0; i < pos; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  std::size_t column = 0;
  for (std::size_t i = line_start; i < pos; ++i)
    column += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

constexpr std::string_view kTableFields[] = {"prefix", "entries"};
constexpr std::string_view kEntryFields[] = {"token", "original", "entity"};

// What the value at the current position must be.
enum class Want : std::uint8_t { table, prefix, entries, entry, token, original, entity, skip };

std::string_view expected_text(Want w) {
  switch (w) {
    case Want::table: return "struct RestoreMap";
    case Want::entries: return "a sequence";
    case Want::entry: return "struct RestoreEntry";
    case Want::entity: return "variant identifier";
    default: return "a string";
  }
}

struct Frame {
  enum Kind : std::uint8_t { table_obj, table_arr, entries_arr, entry_obj, entry_arr };
  Kind kind;
  std::uint64_t count = 0;  // arrays: elements completed
  std::uint8_t seen = 0;    // objects: bit i set when field i was given
  int pending = -1;         // objects: field of the value that follows the key, -1 ignored
};

// SAX handler that builds the table with an explicit frame stack; ignored values, however
// deeply nested, are skipped with a counter. Every handler call that returns false leaves
// the message and the position in `error` / `error_pos`.
class Builder {
 public:
  using Ch = char;

  explicit Builder(const rapidjson::MemoryStream& is) : is_(is) { frames_.reserve(4); }

  RestoreMap table;
  std::string error;
  std::size_t error_pos = 0;

  bool Null() { return scalar("null", nullptr, 0); }
  bool Bool(bool b) { return scalar(b ? "boolean `true`" : "boolean `false`", nullptr, 0); }
  bool Int(int) { return scalar("integer", nullptr, 0); }
  bool Uint(unsigned) { return scalar("integer", nullptr, 0); }
  bool Int64(std::int64_t) { return scalar("integer", nullptr, 0); }
  bool Uint64(std::uint64_t) { return scalar("integer", nullptr, 0); }
  bool Double(double) { return scalar("floating point", nullptr, 0); }
  bool RawNumber(const Ch* s, rapidjson::SizeType len, bool) {
    if (skip_ > 0) return true;
    const std::string_view raw(s, len);
    const bool is_float = raw.find_first_of(".eE") != std::string_view::npos;
    return scalar((is_float ? "floating point `" : "integer `") + std::string(raw) + "`", nullptr,
                  0);
  }
  bool String(const Ch* s, rapidjson::SizeType len, bool) { return scalar({}, s, len); }

  bool StartObject() { return open(false); }
  bool StartArray() { return open(true); }

  bool Key(const Ch* s, rapidjson::SizeType len, bool) {
    if (skip_ > 0) return true;
    Frame& f = frames_.back();
    const std::string_view key(s, len);
    const std::string_view* fields = f.kind == Frame::table_obj ? kTableFields : kEntryFields;
    const int nfields = f.kind == Frame::table_obj ? 2 : 3;
    f.pending = -1;
    for (int i = 0; i < nfields; ++i) {
      if (key != fields[i]) continue;
      if (f.seen & (1u << i))
        return fail("duplicate field `" + std::string(fields[i]) + "`", is_.Tell());
      f.seen = static_cast<std::uint8_t>(f.seen | (1u << i));
      f.pending = i;
    }
    return true;
  }

  bool EndObject(rapidjson::SizeType) {
    const std::size_t pos = is_.Tell() + 1;  // called before the brace is taken
    if (skip_ > 0) return close_skipped();
    Frame f = frames_.back();
    if (f.kind == Frame::table_obj) {
      for (int i = 0; i < 2; ++i)
        if (!(f.seen & (1u << i)))
          return fail("missing field `" + std::string(kTableFields[i]) + "`", pos);
    } else {
      for (int i = 0; i < 3; ++i)
        if (!(f.seen & (1u << i)))
          return fail("missing field `" + std::string(kEntryFields[i]) + "`", pos);
      table.entries.push_back(std::move(entry_));
    }
    frames_.pop_back();
    completed();
    return true;
  }

  bool EndArray(rapidjson::SizeType) {
    const std::size_t pos = is_.Tell() + 1;
    if (skip_ > 0) return close_skipped();
    Frame f = frames_.back();
    if (f.kind == Frame::table_arr && f.count != 2)
      return fail("invalid length " + std::to_string(f.count) +
                      ", expected struct RestoreMap with 2 elements",
                  pos);
    if (f.kind == Frame::entry_arr) {
      if (f.count != 3)
        return fail("invalid length " + std::to_string(f.count) +
                        ", expected struct RestoreEntry with 3 elements",
                    pos);
      table.entries.push_back(std::move(entry_));
    }
    frames_.pop_back();
    completed();
    return true;
  }

 private:
  bool fail(std::string msg, std::size_t pos) {
    error = std::move(msg);
    error_pos = pos;
    return false;
  }

  Want want() const {
    if (frames_.empty()) return Want::table;
    const Frame& f = frames_.back();
    switch (f.kind) {
      case Frame::table_obj:
        return f.pending == 0 ? Want::prefix : f.pending == 1 ? Want::entries : Want::skip;
      case Frame::table_arr:
        return f.count == 0 ? Want::prefix : f.count == 1 ? Want::entries : Want::skip;
      case Frame::entries_arr: return Want::entry;
      case Frame::entry_obj:
      case Frame::entry_arr: {
        const std::uint64_t i = f.kind == Frame::entry_obj
                                    ? static_cast<std::uint64_t>(f.pending < 0 ? 3 : f.pending)
                                    : f.count;
        return i == 0 ? Want::token : i == 1 ? Want::original : i == 2 ? Want::entity : Want::skip;
      }
    }
    return Want::skip;
  }

  // A value of the current frame is complete.
  void completed() {
    if (frames_.empty()) return;
    Frame& f = frames_.back();
    ++f.count;
    f.pending = -1;
  }

  bool close_skipped() {
    if (--skip_ == 0) completed();
    return true;
  }

  bool type_error(std::string_view got, Want w, std::size_t pos) {
    return fail("invalid type: " + std::string(got) + ", expected " + std::string(expected_text(w)),
                pos);
  }

  bool open(bool array) {
    const std::size_t pos = is_.Tell() + 1;  // called before the bracket is taken
    if (skip_ > 0) {
      ++skip_;
      return true;
    }
    const Want w = want();
    if (w == Want::skip) {
      skip_ = 1;
      return true;
    }
    if (w == Want::table) {
      frames_.push_back({array ? Frame::table_arr : Frame::table_obj});
      return true;
    }
    if (w == Want::entry) {
      entry_ = {};
      frames_.push_back({array ? Frame::entry_arr : Frame::entry_obj});
      return true;
    }
    if (w == Want::entries && array) {
      frames_.push_back({Frame::entries_arr});
      return true;
    }
    return type_error(array ? "sequence" : "map", w, pos);
  }

  // A scalar value; `s` is non-null for strings (then `what` is unused).
  bool scalar(std::string what, const Ch* s, rapidjson::SizeType len) {
    if (skip_ > 0) return true;
    const std::size_t pos = is_.Tell();  // called after the value is read
    const Want w = want();
    if (w == Want::skip) {
      completed();
      return true;
    }
    if (!s) return type_error(what, w, pos);
    const std::string_view str(s, len);
    const bool valid = utf8::valid(str);
    if (w == Want::table || w == Want::entries || w == Want::entry)
      return type_error(valid ? "string " + debug_string(str) : "string", w, pos);
    if (!valid) return fail("invalid unicode code point in string", pos);
    switch (w) {
      case Want::prefix: table.prefix.assign(str); break;
      case Want::token: entry_.token.assign(str); break;
      case Want::original: entry_.original.assign(str); break;
      case Want::entity: {
        auto e = parse_entity(str);
        if (!e) {
          std::string msg = "unknown variant `" + std::string(str) + "`, expected one of ";
          bool first = true;
          for (std::string_view name : entity_names()) {
            if (!first) msg += ", ";
            first = false;
            msg += "`";
            msg += name;
            msg += "`";
          }
          return fail(std::move(msg), pos);
        }
        entry_.entity = *e;
        break;
      }
      default: break;
    }
    completed();
    return true;
  }

  const rapidjson::MemoryStream& is_;
  std::vector<Frame> frames_;
  std::size_t skip_ = 0;
  RestoreEntry entry_;
};

std::string syntax_message(rapidjson::ParseErrorCode code, std::string_view text,
                           std::size_t offset) {
  const bool eof = offset >= text.size();
  using namespace rapidjson;
  switch (code) {
    case kParseErrorDocumentEmpty: return "EOF while parsing a value";
    case kParseErrorDocumentRootNotSingular: return "trailing characters";
    case kParseErrorValueInvalid: return eof ? "EOF while parsing a value" : "expected value";
    case kParseErrorObjectMissName:
      return eof ? "EOF while parsing an object" : "key must be a string";
    case kParseErrorObjectMissColon: return eof ? "EOF while parsing an object" : "expected `:`";
    case kParseErrorObjectMissCommaOrCurlyBracket:
      return eof ? "EOF while parsing an object" : "expected `,` or `}`";
    case kParseErrorArrayMissCommaOrSquareBracket:
      return eof ? "EOF while parsing a list" : "expected `,` or `]`";
    case kParseErrorStringUnicodeEscapeInvalidHex: return "invalid unicode escape";
    case kParseErrorStringUnicodeSurrogateInvalid: return "lone leading surrogate in hex escape";
    case kParseErrorStringEscapeInvalid:
      if (!eof && static_cast<unsigned char>(text[offset]) < 0x20)
        return "control character (\\u0000-\\u001F) found while parsing a string";
      return "invalid escape";
    case kParseErrorStringMissQuotationMark: return "EOF while parsing a string";
    case kParseErrorStringInvalidEncoding: return "invalid UTF-8 in string";
    case kParseErrorNumberTooBig: return "number out of range";
    case kParseErrorNumberMissFraction:
    case kParseErrorNumberMissExponent: return "invalid number";
    default: return "syntax error";
  }
}

}  // namespace

std::expected<RestoreMap, std::string> restore_map_from_json(std::string_view json) {
  // The reader takes a NUL byte for the end of input. No JSON text can hold a raw NUL, so
  // the first one is an error unless the reader already failed before it.
  const std::size_t nul = json.find('\0');
  rapidjson::MemoryStream is(json.data(), json.size());
  Builder builder(is);
  rapidjson::Reader reader;
  constexpr unsigned kFlags = rapidjson::kParseIterativeFlag |
                              rapidjson::kParseNumbersAsStringsFlag |
                              rapidjson::kParseValidateEncodingFlag;
  const rapidjson::ParseResult r = reader.Parse<kFlags>(is, builder);
  if (r.IsError() && r.Code() == rapidjson::kParseErrorTermination)
    return std::unexpected(builder.error + position_text(json, builder.error_pos));
  if (nul != std::string_view::npos && (!r.IsError() || r.Offset() >= nul))
    return std::unexpected("NUL character (\\u0000) found" + position_text(json, nul + 1));
  if (r.IsError()) {
    const std::size_t off = r.Offset();
    const std::size_t pos = off < json.size() ? off + 1 : json.size();
    return std::unexpected(syntax_message(r.Code(), json, off) + position_text(json, pos));
  }
  return std::move(builder.table);
}

}  // namespace kestrix
