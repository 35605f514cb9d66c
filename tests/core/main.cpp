#include "check.hpp"

int main() {
  for (const auto& c : kestrix::test::cases()) {
    int before = kestrix::test::failures;
    c.fn();
    if (kestrix::test::failures != before) std::fprintf(stderr, "FAILED %s\n", c.name);
  }
  std::printf("%zu cases, %d failed checks\n", kestrix::test::cases().size(), kestrix::test::failures);
  return kestrix::test::failures == 0 ? 0 : 1;
}
