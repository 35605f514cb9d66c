// Rule-list handles: one handle per distinct list, whatever the length, the thread or where the
// names' bytes happen to be.
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "check.hpp"
#include "span/span.hpp"

using namespace kestrix;

namespace {

std::vector<std::string> read(const RuleSeq& r) {
  std::vector<std::string> v;
  for (std::string_view name : r) v.emplace_back(name);
  return v;
}

}  // namespace

KX_TEST(rule_seq_keeps_every_list_as_given) {
  KX_CHECK(RuleSeq{}.empty() && RuleSeq{}.size() == 0 && RuleSeq{}.begin() == RuleSeq{}.end());
  // Short lists go through the per-thread memory of handles, longer ones straight to the store;
  // order and duplicates are kept (checking them is the validator's business).
  const std::vector<std::vector<std::string>> lists = {
      {"a"}, {"b"}, {"a", "b"}, {"b", "a"}, {"a", "a"}, {"a", "b", "c", "d"},
      {"a", "b", "c", "d", "e"}, {"e", "d", "c", "b", "a", "a"}, {""}, {"", ""},
      {std::string("x\0y", 3)}, {std::string("x\0z", 3)}};
  std::vector<RuleSeq> handles;
  for (const auto& names : lists) {
    std::vector<std::string_view> views(names.begin(), names.end());
    RuleSeq r(views.data(), views.size());
    KX_CHECK(!r.empty());
    KX_CHECK(read(r) == names);
    bool ascending = true;
    for (std::size_t i = 1; i < names.size(); ++i) ascending = ascending && names[i - 1] < names[i];
    KX_CHECK(r.strictly_ascending() == ascending);
    handles.push_back(r);
  }
  for (std::size_t i = 0; i < handles.size(); ++i)
    for (std::size_t j = 0; j < handles.size(); ++j)
      KX_CHECK((handles[i] == handles[j]) == (lists[i] == lists[j]));
}

KX_TEST(rule_seq_finds_a_list_by_its_text_not_its_address) {
  // The same bytes at two addresses, and two texts at one address one after the other.
  std::string one = "fold.fullwidth", two = "fold.fullwidth";
  std::string_view a = one, b = two;
  KX_CHECK(RuleSeq(&a, 1) == RuleSeq(&b, 1));
  std::vector<std::string_view> five_a(5, a), five_b(5, b);
  KX_CHECK(RuleSeq(five_a.data(), 5) == RuleSeq(five_b.data(), 5));
  RuleSeq before(&a, 1);
  one = "fold.halfwidth";  // same length, same buffer, other text
  a = one;
  RuleSeq after(&a, 1);
  KX_CHECK(!(before == after));
  KX_CHECK(read(after) == std::vector<std::string>{"fold.halfwidth"});
  KX_CHECK(read(before) == std::vector<std::string>{"fold.fullwidth"});  // a copy of its own
}

KX_TEST(rule_seq_gives_every_thread_the_same_handles) {
  constexpr int kThreads = 4, kLists = 3000;
  auto names_of = [](int k) {
    // Appended, not `"t" + std::to_string(..)`, which g++ 12 flags with a false -Wrestrict.
    std::string t = "t", u = "u";
    t += std::to_string(k % 7);
    u += std::to_string(k);
    return std::vector<std::string>{t, u};
  };
  std::vector<std::vector<RuleSeq>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int k = 0; k < kLists; ++k) {
        auto names = names_of(t % 2 ? kLists - 1 - k : k);
        std::vector<std::string_view> views(names.begin(), names.end());
        got[t].push_back(RuleSeq(views.data(), views.size()));
      }
    });
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t)
    for (int k = 0; k < kLists; ++k) {
      const int index = t % 2 ? kLists - 1 - k : k;
      KX_CHECK(got[t][k] == got[0][index]);
      KX_CHECK(read(got[t][k]) == names_of(index));
    }
}

KX_TEST(rule_seq_store_full_is_out_of_memory) {
  const std::vector<std::string_view> known = {"full.known", "full.z"};
  const RuleSeq before(known.data(), known.size());
  rule_seq_detail::limit_for_tests(0);  // no room for one more list
  bool refused = false;
  try {
    const std::vector<std::string_view> fresh = {"full.fresh", "full.z"};
    (void)RuleSeq(fresh.data(), fresh.size());
  } catch (const std::bad_alloc&) {
    refused = true;
  }
  // A list already stored is still found: only new lists need room.
  const RuleSeq again(known.data(), known.size());
  rule_seq_detail::limit_for_tests(std::numeric_limits<std::uint32_t>::max());
  KX_CHECK(refused);
  KX_CHECK(again == before);
  const std::vector<std::string_view> later = {"full.later", "full.z"};
  KX_CHECK(read(RuleSeq(later.data(), later.size())) ==
           (std::vector<std::string>{"full.later", "full.z"}));
}
