#include "span/builder.hpp"

#include <mutex>
#include <set>

#include "text/utf8.hpp"

namespace kestrix {

void insert(Builder& b, std::string_view dst, std::string_view rule) {
  if (dst.empty()) return;
  std::uint32_t m = static_cast<std::uint32_t>(dst.size());
  std::uint32_t j = utf8::count_chars(dst);
  Segment s;
  s.src = {b.sb, b.sb, b.sc, b.sc};
  s.dst = {b.db, b.db + m, b.dc, b.dc + j};
  s.kind = SegmentKind::expand;
  s.rules = rules_of(b, rule);
  b.out.append(dst);
  b.db += m;
  b.dc += j;
  b.segments.push_back(std::move(s));
}

std::pair<std::string, SpanMap> finish(Builder& b) {
  SpanMap map{std::move(b.segments)};
  std::string out = std::move(b.out);
  b = Builder{};
  return {std::move(out), std::move(map)};
}

std::string_view intern_rule(std::string_view name) {
  // Node-based set: stored strings never move, so views into them stay valid.
  static std::mutex mu;
  static std::set<std::string, std::less<>>* names = new std::set<std::string, std::less<>>();
  std::lock_guard lock(mu);
  auto it = names->find(name);
  if (it == names->end()) it = names->emplace(name).first;
  return *it;
}

}  // namespace kestrix
