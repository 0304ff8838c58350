// A minimal test harness: TEST registers a function, CHECK and CHECK_EQ
// record failures with file and line and keep going.
#ifndef MOVRA_CPP_TESTS_TEST_H_
#define MOVRA_CPP_TESTS_TEST_H_

#include <cstdint>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace movra_test {

struct Case {
  const char* name;
  std::function<void()> body;
};

std::vector<Case>& registry();
int& failures();
// The calls of the global operator new so far, on any thread.  The test
// binary replaces operator new in event_id_set_test.cc.
std::uint64_t allocations();

struct Registrar {
  Registrar(const char* name, std::function<void()> body) {
    registry().push_back({name, std::move(body)});
  }
};

template <typename A, typename B>
void check_eq(const A& a, const B& b, const char* expr_a, const char* expr_b, const char* file,
              int line) {
  if (a == b) return;
  ++failures();
  std::ostringstream msg;
  msg << file << ":" << line << ": CHECK_EQ(" << expr_a << ", " << expr_b << ") failed: ";
  if constexpr (requires(std::ostream& o) { o << a; o << b; }) {
    msg << "'" << a << "' != '" << b << "'";
  }
  std::cerr << msg.str() << "\n";
}

}  // namespace movra_test

#define MOVRA_CONCAT2(a, b) a##b
#define MOVRA_CONCAT(a, b) MOVRA_CONCAT2(a, b)
#define TEST(name)                                                              \
  static void name();                                                           \
  static ::movra_test::Registrar MOVRA_CONCAT(registrar_, name)(#name, name);  \
  static void name()

#define CHECK(cond)                                                                  \
  do {                                                                               \
    if (!(cond)) {                                                                   \
      ++::movra_test::failures();                                                    \
      std::cerr << __FILE__ << ":" << __LINE__ << ": CHECK(" #cond ") failed\n";   \
    }                                                                                \
  } while (0)

#define CHECK_EQ(a, b) ::movra_test::check_eq((a), (b), #a, #b, __FILE__, __LINE__)

#endif  // MOVRA_CPP_TESTS_TEST_H_
