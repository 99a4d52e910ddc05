// Fault injection: allocation-like calls fail at the first reach of each call
// site or by seeded chance, and the stack still ends cleanly. (Failing the
// n-th call of a kind is checked at exact call numbers by the link's
// configuration and stop tests.)
#include "kernel_test_support.h"

namespace kernel_test {
namespace {

namespace fault = platform::fault;

using FaultInjectionTest = StackTest;

TEST_F(FaultInjectionTest, EachCallSiteFailsTheFirstTimeItIsReached) {
  std::uint64_t sitesBefore = system.faults().sitesSeen();
  system.faults().failEachSiteOnce();
  std::vector<PVOID> results;
  for (int round = 0; round < 2; ++round) {
    // Two distinct call sites: each fails on its first call only.
    results.push_back(ExAllocatePoolWithTag(NonPagedPool, 4, 0x41414141));
    results.push_back(ExAllocatePoolWithTag(NonPagedPool, 4, 0x42424242));
  }

  EXPECT_EQ(results[0], nullptr);
  EXPECT_EQ(results[1], nullptr);
  EXPECT_NE(results[2], nullptr);
  EXPECT_NE(results[3], nullptr);
  EXPECT_EQ(system.faults().sitesSeen(), sitesBefore + 2);
  ExFreePool(results[2]);
  ExFreePool(results[3]);
  removeAndUnload();
}

// One system of a sweep, outside gtest's own fixture machinery.
struct SweepRun : StackTest {
  void TestBody() override {}
};

// A sweep: in run k the k-th new call site fails; every run of AddDevice and
// start ends cleanly, and the sweep ends when k passes the last site.
TEST(FaultSweepTest, EveryFailurePathOfAddAndStartEndsCleanly) {
  for (std::uint64_t k = 1;; ++k) {
    SweepRun run;
    run.system.faults().failNthNewSite(k);
    NTSTATUS added = run.system.pnp().addDevice(run.upperDriver, run.physicalDevice);
    if (NT_SUCCESS(added)) run.system.pnp().start(run.physicalDevice);
    run.removeAndUnload();
    EXPECT_EQ(run.system.census().poolBlocks, 0u) << "run " << k;
    EXPECT_EQ(run.system.census().irps, 0u) << "run " << k;
    if (run.system.faults().injected().empty()) {
      EXPECT_GT(k, 3u) << "creating, attaching and registering are failure paths at least";
      break;  // k passed the last site
    }
    ASSERT_LT(k, 50u);
  }
}

TEST(FaultChanceTest, SameSeedFailsTheSameCalls) {
  auto failures = [](std::uint64_t seed) {
    platform::FaultInjector faults;
    faults.failWithChance(0.3, seed);
    std::vector<bool> failed;
    for (int i = 0; i < 40; ++i) failed.push_back(faults.shouldFail(fault::kPool, nullptr));
    return failed;
  };
  EXPECT_EQ(failures(11), failures(11));
  EXPECT_NE(failures(11), failures(12));
}

}  // namespace
}  // namespace kernel_test
