// A minimal harness for C++ tests of core paths that the Python surface cannot reach
// (hand-made maps that no builder produces). KX_TEST registers a case; main.cpp runs them.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

namespace kestrix::test {

struct Case {
  const char* name;
  void (*fn)();
};
inline std::vector<Case>& cases() {
  static std::vector<Case> v;
  return v;
}
inline int failures = 0;
struct Register {
  Register(const char* name, void (*fn)()) { cases().push_back({name, fn}); }
};
inline void fail(const char* file, int line, const std::string& what) {
  std::fprintf(stderr, "%s:%d: %s\n", file, line, what.c_str());
  ++failures;
}

}  // namespace kestrix::test

#define KX_TEST(name)                                              \
  static void name();                                              \
  static ::kestrix::test::Register name##_registered(#name, name); \
  static void name()

#define KX_CHECK(cond) \
  if (!(cond)) ::kestrix::test::fail(__FILE__, __LINE__, "check failed: " #cond)

#define KX_CHECK_STR(actual, expected)                                                       \
  if (std::string a_ = (actual), e_ = (expected); a_ != e_)                                  \
  ::kestrix::test::fail(__FILE__, __LINE__, "got \"" + a_ + "\", expected \"" + e_ + "\"")
