// Restore maps of many mask calls merged into one, the map's JSON written in pieces, the first
// token unmask would refuse, and token-shaped texts of any run.
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "mask/restore.hpp"
#include "text/utf8.hpp"

using namespace kestrix;

namespace {

RestoreMap piece_map(std::string prefix, std::vector<std::string> originals) {
  RestoreMap m{std::move(prefix), {}};
  for (const std::string& o : originals) add_entry(m, o, Entity::phone);
  return m;
}

std::string tokens_of(const RestoreMap& m) {
  std::string s;
  for (const RestoreEntry& e : m.entries) s += e.token + "=" + e.original + " ";
  return s;
}

std::string shapes(std::string_view text) {
  std::string s;
  for (const TokenShape& t : token_shapes(text))
    s += std::to_string(t.start) + "-" + std::to_string(t.end) + ":" + std::string(t.prefix) + " ";
  return s;
}

}  // namespace

KX_TEST(merge_renumbers_tokens_after_the_entries_already_held) {
  RestoreMap run{"PII-r", {}};
  auto a = merge_restore(run, 5, "x [[PII:0]] y [[PII:1]]", piece_map("PII", {"a", "b"}));
  KX_CHECK(a.has_value());
  KX_CHECK_STR(*a, "x [[PII-r:5]] y [[PII-r:6]]");
  // Another piece's own numbering starts at 0 again; its tokens follow the first piece's. A
  // token of another prefix, and the "+" form, are read as unmask reads them.
  auto b = merge_restore(run, 5, "[[PII0:+1]][[PII:0]][[PII0:0]]", piece_map("PII0", {"c", "d"}));
  KX_CHECK(b.has_value());
  KX_CHECK_STR(*b, "[[PII-r:8]][[PII:0]][[PII-r:7]]");
  KX_CHECK_STR(tokens_of(run), "[[PII-r:5]]=a [[PII-r:6]]=b [[PII-r:7]]=c [[PII-r:8]]=d ");
}

KX_TEST(merge_refuses_a_broken_token_and_keeps_the_map) {
  RestoreMap run{"R", {}};
  for (std::string_view bad : {"[[PII:2]]", "[[PII:x]]", "[[PII:1"}) {
    auto r = merge_restore(run, 0, bad, piece_map("PII", {"a", "b"}));
    KX_CHECK(!r.has_value());
  }
  KX_CHECK(run.entries.empty());
}

KX_TEST(check_tokens_names_the_first_fault_and_where) {
  const RestoreMap m = piece_map("P", {"a"});
  struct Row {
    std::string_view text;
    TokenFault fault;
    std::size_t start;
    std::string_view number;
  };
  for (const Row& r : {Row{"[[P:0]] ok", TokenFault::none, 0, ""},
                       Row{"[[P:0]] [[P:+0]] [[P:1]] [[P:x", TokenFault::no_entry, 17, "1"},
                       Row{"ab[[P:0x]]", TokenFault::not_number, 2, "0x"},
                       Row{"[[P:0]]가[[P:12", TokenFault::unclosed, 10, "12"},
                       Row{"[[P:18446744073709551616]]", TokenFault::not_number, 0, "18446744073709551616"}}) {
    const TokenCheck c = check_tokens(r.text, m);
    KX_CHECK(c.fault == r.fault);
    if (r.fault != TokenFault::none) {
      KX_CHECK(c.start == r.start);
      KX_CHECK_STR(std::string(c.number), std::string(r.number));
    }
  }
}

KX_TEST(token_shapes_are_the_tokens_of_any_run) {
  KX_CHECK_STR(shapes("a[[PII:0]]b[[PII-3f_a:+12]]"), "1-10:PII 11-27:PII-3f_a ");
  // Not a token: no digits, a 21st digit, another character in the prefix, no closing, a
  // prefix tail of 41 characters; one of 40 is.
  KX_CHECK_STR(shapes("[[PII:]] [[PII:123456789012345678901]] [[PII.x:1]] [[PII:1]"), "");
  const std::string tail40(40, 'a');
  KX_CHECK_STR(shapes("[[PII" + tail40 + "a:1]]"), "");
  KX_CHECK_STR(shapes("[[[PII" + tail40 + ":1]]"), "1-50:PII" + tail40 + " ");
  // The text ends inside a token's number: nothing past its end is read.
  KX_CHECK_STR(shapes(std::string_view("[[PII:12]]").substr(0, 7)), "");
  KX_CHECK_STR(shapes(std::string_view("[[PII:12]]").substr(0, 9)), "");
}

KX_TEST(restore_json_in_pieces_is_the_whole_form) {
  const RestoreMap m = piece_map("PII", {"a\"b", "c"});
  std::string whole, pieces;
  write_json(whole, m);
  write_json_head(pieces, m.prefix);
  write_json_entry(pieces, m.entries[0], 0);
  write_json_entry(pieces, m.entries[1], 1);
  pieces += "]}";
  KX_CHECK_STR(pieces, whole);
  KX_CHECK_STR(whole,
               "{\"prefix\":\"PII\",\"entries\":[{\"token\":\"[[PII:0]]\",\"original\":\"a\\\"b\",\"entity\":"
               "\"phone\"},{\"token\":\"[[PII:1]]\",\"original\":\"c\",\"entity\":\"phone\"}]}");
}

KX_TEST(utf8_validity_reads_nothing_past_the_text) {
  // Views that end where a longer buffer goes on with bytes that would be refused.
  const std::string_view buffer = "abcdefgh\xff\x80";
  KX_CHECK(utf8::valid(buffer.substr(0, 8)));
  KX_CHECK(!utf8::valid(buffer.substr(0, 9)));
  const std::string_view cut = "abcdefgh\xea\xb0\x80";  // "가" after eight ASCII bytes
  KX_CHECK(!utf8::valid(cut.substr(0, 10)));
  KX_CHECK(utf8::valid(cut));
}
