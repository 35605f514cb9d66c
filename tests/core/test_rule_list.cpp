// The rule list of segments against std::vector, across the switch from its one inline name to
// the heap: the Python surface only ever appends and sorts.
#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "check.hpp"
#include "span/span.hpp"

using namespace kestrix;

namespace {

using Names = std::vector<std::string_view>;

// Sorts ascending and drops duplicates through the list's own erase.
void sort_unique(RuleList& r) {
  std::sort(r.begin(), r.end());
  r.erase(std::unique(r.begin(), r.end()), r.end());
}

bool same(const RuleList& r, const Names& v) {
  return r.size() == v.size() && r.empty() == v.empty() &&
         std::equal(r.begin(), r.end(), v.begin(), v.end());
}

}  // namespace

KX_TEST(rule_list_follows_vector_through_every_operation) {
  const Names pool = {"c", "a", "b", "d", "e"};
  for (std::size_t n = 0; n <= pool.size(); ++n) {
    RuleList r;
    Names v;
    for (std::size_t k = 0; k < n; ++k) {
      r.push_back(pool[k]);
      v.push_back(pool[k]);
    }
    KX_CHECK(same(r, v));
    for (std::size_t at = 0; at <= n; ++at) {
      RuleList r2 = r;
      Names v2 = v;
      r2.insert(r2.begin() + at, pool.begin(), pool.begin() + 2);
      v2.insert(v2.begin() + static_cast<std::ptrdiff_t>(at), pool.begin(), pool.begin() + 2);
      KX_CHECK(same(r2, v2));
      KX_CHECK(same(r, v));  // the copy shares nothing
      r2.erase(r2.begin() + at, r2.begin() + at + 1);
      v2.erase(v2.begin() + static_cast<std::ptrdiff_t>(at),
               v2.begin() + static_cast<std::ptrdiff_t>(at) + 1);
      KX_CHECK(same(r2, v2));
    }
    sort_unique(r);
    std::sort(v.begin(), v.end());
    KX_CHECK(same(r, v));

    RuleList moved = std::move(r);
    KX_CHECK(same(moved, v));
    KX_CHECK(r.empty());  // a moved-from list is empty and reusable
    r.push_back("z");
    KX_CHECK(same(r, Names{"z"}));
    r = moved;
    KX_CHECK(r == moved);
    RuleList& self = r;
    r = self;
    KX_CHECK(same(r, v));
    r = std::move(moved);
    KX_CHECK(same(r, v));
    r.assign(pool.begin() + 1, pool.begin() + 2);
    KX_CHECK(same(r, Names{"a"}));
    r.clear();
    KX_CHECK(r.empty() && r.begin() == r.end());
  }
}

KX_TEST(rule_list_duplicates_are_dropped_after_sorting) {
  RuleList r{"b", "a", "b", "a", "c"};
  sort_unique(r);
  KX_CHECK(same(r, Names{"a", "b", "c"}));
  KX_CHECK(!(r == RuleList{"a", "b"}));
  KX_CHECK(r == (RuleList{"a", "b", "c"}));
}
