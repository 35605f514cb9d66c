// Helpers shared by the classes that show span-layer values.
#pragma once
#include <string>

#include "python/py.hpp"
#include "span/span.hpp"

namespace kestrix::py {

// ["a", "b"] with backslash escapes for quote and backslash.
std::string rules_repr(const RuleList& rules);

}  // namespace kestrix::py
