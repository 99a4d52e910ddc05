// GoogleTest support for anything built on the kernel: a fixture that builds
// a whole system whose verifier fails the running test on every violation
// the test did not expect, and a scope that expects a rule on purpose.
//
//   class ReaderTest : public platform::testing::SystemTest {};
//   TEST_F(ReaderTest, StartsAndStops) {
//     auto lower = system.pnp().loadDriver("serial", SerialEntry);
//     ...
//   }
//
//   { platform::testing::ExpectViolation expect(system.verifier(), platform::rule::kCompleteOnce);
//     ... drive the faulty driver ... }  // fails the test unless the rule fired
#pragma once

#include <platform/system.h>

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <string>
#include <string_view>

namespace platform::testing {

// Installs a handler that fails the current test with the violation.
inline void failTestsOnViolations(Verifier& verifier) {
  verifier.setHandler([](const Violation& violation) { ADD_FAILURE() << "verifier: " << violation.describe(); });
}

class SystemTest : public ::testing::Test {
 public:
  explicit SystemTest(SystemOptions options = {}) : system(options) {
    failTestsOnViolations(system.verifier());
    seedTrace_ =
        std::make_unique<::testing::ScopedTrace>(__FILE__, __LINE__, "system seed " + std::to_string(options.seed));
  }
  ~SystemTest() override {
    if (::testing::Test::HasFailure() && printTraceOnFailure) std::cerr << system.trace().format();
  }

  System system;
  // Prints the whole trace after a failed test (off for very chatty tests).
  bool printTraceOnFailure = true;

 private:
  std::unique_ptr<::testing::ScopedTrace> seedTrace_;
};

// Expects a rule's violations inside a scope: they do not fail the test,
// and the scope fails it unless the rule fired at least once.
class ExpectViolation {
 public:
  ExpectViolation(Verifier& verifier, std::string_view ruleName)
      : verifier_(verifier), rule_(ruleName), before_(verifier.violations(ruleName).size()) {
    verifier_.expect(rule_);
  }
  ~ExpectViolation() {
    verifier_.unexpect(rule_);
    EXPECT_GT(verifier_.violations(rule_).size(), before_) << "the verifier rule " << rule_ << " did not fire";
  }
  ExpectViolation(const ExpectViolation&) = delete;
  ExpectViolation& operator=(const ExpectViolation&) = delete;

 private:
  Verifier& verifier_;
  std::string rule_;
  std::size_t before_;
};

}  // namespace platform::testing
