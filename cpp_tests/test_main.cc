#include "test.h"

namespace movra_test {

std::vector<Case>& registry() {
  static std::vector<Case> cases;
  return cases;
}

int& failures() {
  static int count = 0;
  return count;
}

}  // namespace movra_test

int main() {
  int failed_cases = 0;
  for (const auto& c : movra_test::registry()) {
    const int before = movra_test::failures();
    c.body();
    if (movra_test::failures() != before) {
      ++failed_cases;
      std::cerr << "FAILED " << c.name << "\n";
    }
  }
  const int total = static_cast<int>(movra_test::registry().size());
  std::cout << "core: " << (total - failed_cases) << " passed, " << failed_cases << " failed\n";
  return failed_cases == 0 ? 0 : 1;
}
