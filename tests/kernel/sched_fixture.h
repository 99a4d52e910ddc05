// Shared by the scheduler's tests: a verifier of the test's own that fails
// the test on any violation the test did not expect, and small helpers for
// kernel intervals.
#pragma once

#include <platform/scheduler.h>
#include <platform/verifier.h>

#include <gtest/gtest.h>
#include <wdm.h>

#include <chrono>
#include <cstdint>

namespace sched_test {

class VerifiedTest : public ::testing::Test {
 protected:
  VerifiedTest() {
    platform::Verifier::install(&verifier);
    verifier.setHandler([](const platform::Violation& violation) { ADD_FAILURE() << violation.describe(); });
  }
  ~VerifiedTest() override { platform::Verifier::install(nullptr); }

  platform::Verifier verifier;
};

// A relative kernel interval (negative 100 ns ticks).
inline LARGE_INTEGER relative(platform::Duration duration) {
  LARGE_INTEGER interval;
  interval.QuadPart = platform::durationToRelativeKernelInterval(duration);
  return interval;
}

inline platform::Instant at(platform::Duration sinceBoot) { return platform::Instant(sinceBoot); }

}  // namespace sched_test
