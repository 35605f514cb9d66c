#include "span/builder.hpp"

#include <mutex>
#include <set>


namespace kestrix {

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
