// The application face: interfaces, exclusive opens, pending device control,
// cleanup and close. (Cancellation through a cancel routine and the copy-back
// of a device-control answer are checked in irp_flow_test.)
#include <algorithm>
#include <chrono>

#include "kernel_test_support.h"

namespace kernel_test {
namespace {

using namespace std::chrono_literals;

class IoManagerTest : public BuiltStackTest {
 protected:
  void SetUp() override {
    BuiltStackTest::SetUp();
    auto links = system.io().interfaces(mini::GUID_MINI_INTERFACE);
    ASSERT_EQ(links.size(), 1u);
    link = links.front();
  }

  // Opens the device and sends a device-control request that the lower
  // driver parks.
  platform::PendingRequest startParked() {
    mini::lowerConfig.mode = mini::LowerMode::Pend;
    handle = system.io().open(link).handle;
    auto request = system.io().deviceControlAsync(handle, kBufferedIoctl, {}, 0);
    system.scheduler().runUntilIdle();
    return request;
  }

  std::u16string link;
  platform::Handle handle;
};

TEST_F(IoManagerTest, ExclusiveDeviceTakesOneHandleAtATime) {
  auto first = system.io().open(link);
  ASSERT_EQ(first.status, STATUS_SUCCESS);

  EXPECT_EQ(system.io().open(link).status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(system.io().close(first.handle), STATUS_SUCCESS);
  auto again = system.io().open(link);
  EXPECT_EQ(again.status, STATUS_SUCCESS);
  system.io().close(again.handle);
}

TEST_F(IoManagerTest, DisabledOrUnknownInterfaceCannotBeOpened) {
  EXPECT_EQ(system.io().open(u"\\??\\nothing").status, STATUS_OBJECT_NAME_NOT_FOUND);
  system.pnp().stop(physicalDevice);
  EXPECT_EQ(system.io().open(link).status, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(IoManagerTest, HandleClosedUnderAPendingRequestKeepsItsFileObjectUntilTheRequestEnds) {
  auto request = startParked();
  EXPECT_EQ(system.io().close(handle), STATUS_SUCCESS);
  system.scheduler().callAfter(1ms, [] { mini::completeParked(STATUS_SUCCESS, 0); });

  EXPECT_EQ(request.wait().status, STATUS_SUCCESS);
}

TEST_F(IoManagerTest, CloseSendsCleanupThenClose) {
  auto opened = system.io().open(link);
  system.trace().clear();

  system.io().close(opened.handle);

  auto irps = system.trace().texts(platform::TraceCategory::Irp);
  ASSERT_GE(irps.size(), 2u);
  EXPECT_NE(irps[0].find("IRP_MJ_CLEANUP -> upper#1"), std::string::npos) << irps[0];
  EXPECT_TRUE(std::ranges::any_of(
      irps, [](const std::string& text) { return text.find("IRP_MJ_CLOSE -> upper#1") != std::string::npos; }));
  EXPECT_EQ(system.io().deviceControl(opened.handle, kBufferedIoctl, {}, 0).status, STATUS_INVALID_HANDLE);
}

// The trace holds no addresses: one seed gives the same trace twice.
TEST(IoTraceTest, SameSeedGivesTheSameTrace) {
  auto runOnce = [] {
    struct Run : StackTest {
      Run() : StackTest({.seed = 5}) {}
      void TestBody() override {}
    } run;
    run.buildStack();
    mini::lowerConfig.mode = mini::LowerMode::Pend;
    auto link = run.system.io().interfaces(mini::GUID_MINI_INTERFACE).front();
    auto opened = run.system.io().open(link);
    run.system.scheduler().callAfter(4ms, [] { mini::completeParked(STATUS_SUCCESS, 0); });
    auto first = run.system.io().deviceControlAsync(opened.handle, kBufferedIoctl, {}, 0, "first");
    first.wait();
    run.system.io().close(opened.handle);
    run.removeAndUnload();
    return run.system.trace().format();
  };
  std::string once = runOnce();
  EXPECT_EQ(once, runOnce());
  EXPECT_NE(once.find("4.000000 ms"), std::string::npos) << once;
}

}  // namespace
}  // namespace kernel_test
