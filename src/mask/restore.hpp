// Tokens, restore maps, their JSON form and unmasking.
#pragma once
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "detect/entity.hpp"
#include "span/error.hpp"

namespace kestrix {

struct RestoreEntry {
  std::string token;     // exact token text written into the masked output
  std::string original;  // the source piece it replaced
  Entity entity = Entity::resident;
};

// While the mask pass builds it, entry n has the token "[[" + prefix + ":" + n + "]]".
// A map read from JSON keeps whatever tokens it was given; unmask only uses the prefix and
// the entry index.
struct RestoreMap {
  std::string prefix;
  std::vector<RestoreEntry> entries;
};

// "PII", or the first of "PII0", "PII1", ... whose opening "[[" + prefix + ":" occurs in none
// of `texts`. One pass over each.
std::string choose_prefix(std::span<const std::string_view> texts);

// An empty table whose prefix cannot collide with anything in source, nor in `also` (the
// fixed texts that the mask pass may write beside the tokens).
RestoreMap new_restore_map(std::string_view source, std::span<const std::string_view> also = {});

// Appends an entry for piece and returns its token.
const std::string& add_entry(RestoreMap& map, std::string_view piece, Entity entity);

// Merges the map of one mask call into a map of many: the entries of `piece` are appended to
// `into`, entry n of `into` taking the token of number `first` + n under into's prefix (the
// entries before `first` live elsewhere, e.g. already written out), and `masked`, a text
// masked with `piece`, is returned with each of piece's tokens replaced by its new token.
// Fails, leaving `into` as it was, on a token of piece's prefix that unmask would refuse.
std::expected<std::string, Error> merge_restore(RestoreMap& into, std::uint64_t first,
                                                std::string_view masked, const RestoreMap& piece);

// What is wrong with the first token of the map's prefix that unmask would refuse.
enum class TokenFault : std::uint8_t { none, unclosed, not_number, no_entry };
struct TokenCheck {
  TokenFault fault = TokenFault::none;
  std::size_t start = 0;    // byte offset of the token's opening "[["
  std::string_view number;  // the text between ':' and "]]" (to the end when unclosed)
};
TokenCheck check_tokens(std::string_view masked, const RestoreMap& map);

// A token that any masking run may have written, whatever its map: "[[" + prefix + ":" +
// optional '+' + 1 to 20 ASCII digits + "]]", where the prefix is "PII" and up to 40 of
// [0-9A-Za-z_-] (the prefixes choose_prefix picks, and the command line's run prefixes).
struct TokenShape {
  std::size_t start = 0, end = 0;  // bytes
  std::string_view prefix;
};
// Every such token of text, in text order (none overlap).
std::vector<TokenShape> token_shapes(std::string_view text);

// A token that unmask replaced: bytes [start, end) of the masked text became `original`.
struct RestoredToken {
  std::size_t start = 0, end = 0;
  std::string_view original;  // views the map's entry
};

// Replaces every token of the map's prefix by its original. Fails (returning no text) on an
// unclosed token, a number that is not an unsigned decimal, or a number without an entry.
// When `tokens` is given, it receives the replaced tokens in text order; a caller that makes
// the text from them may pass make_text = false and gets an empty string.
std::expected<std::string, Error> unmask(std::string_view masked, const RestoreMap& map,
                                         std::vector<RestoredToken>* tokens = nullptr,
                                         bool make_text = true);

// How close to the end of a window of a longer text a token may begin and be left to the next
// window (see find_tokens): room enough for the tokens the mask pass writes.
inline constexpr std::size_t kTokenRoom = 256;

// The tokens of the map's prefix in a window of a text given as code points (offsets in code
// points from the window's start), when unmask would replace them all: true with the tokens in
// text order appended to `tokens`, or false on any token that unmask would refuse, one that runs
// past the window, and a prefix beyond ASCII or longer than half the room. (The UTF-8 form then
// says what is wrong.) Unless the window is the `last` of the text, a token that begins in its
// last `room` code points is left to the next window, and the window must be longer than that:
// `next` (above zero then) tells where to begin the next one (a token's start, or a place after
// every token found, before which no token begins).
bool find_tokens(std::wstring_view window, bool last, std::size_t room, const RestoreMap& map,
                 std::vector<RestoredToken>& tokens, std::size_t& next);

// Compact JSON: {"prefix":...,"entries":[{"token":...,"original":...,"entity":...}]}.
void write_json(std::string& out, const RestoreMap& map);
// The same form written in pieces, for a map too large to hold at once: the head
// {"prefix":...,"entries":[ , then each entry (`number` is its place in the whole map: every
// one but number 0 is preceded by a comma), then "]}".
void write_json_head(std::string& out, std::string_view prefix);
void write_json_entry(std::string& out, const RestoreEntry& e, std::uint64_t number);

// Reads the JSON form back. The table may be an object (keys in any order, unknown keys
// ignored) or a two-element array; an entry an object or a three-element array. The error is
// the reader's message followed by " at line L column C". Nesting depth is not limited by the
// C stack. Strings that would not be valid UTF-8 after unescaping are refused.
std::expected<RestoreMap, std::string> restore_map_from_json(std::string_view json);

}  // namespace kestrix
