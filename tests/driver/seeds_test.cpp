// One reader's whole life, run under many seeds: each seed picks other
// thread switches at the yield points, so the frame's locks, gate and
// remove lock meet the serial worker, the close worker and the parked
// tracking request in other orders. Every run must end clean.
#include "frame_fixture.h"

#include <gtest/gtest.h>

#include "common/test_cases.h"

namespace tav712::testing {
namespace {

class Seeds : public FrameTest, public ::testing::WithParamInterface<std::uint64_t> {
 protected:
  Seeds() : FrameTest(GetParam()) {}
};

TEST_P(Seeds, ReaderLifeEndsClean) {
  ReaderPort& port = startedReader();
  platform::Handle handle = open(port);
  auto tracking = system.io().deviceControlAsync(handle, IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
  auto power = coldReset(handle);
  EXPECT_EQ(power.wait().status, STATUS_SUCCESS);
  // The sleep query is refused while a request is inside the library:
  // wait until the tracking request is parked.
  const auto parkedTracking = [&] {
    return extension(port)->SmartcardExtension.OsData->NotificationIrp != nullptr && extension(port)->IoCount == 0;
  };
  ASSERT_TRUE(system.scheduler().runUntil(parkedTracking, 1s));

  ASSERT_EQ(system.power().querySystemPower(port.physicalDevice(), PowerSystemSleeping3), STATUS_SUCCESS);
  ASSERT_EQ(system.power().setSystemPower(port.physicalDevice(), PowerSystemSleeping3), STATUS_SUCCESS);
  ASSERT_EQ(system.power().setSystemPower(port.physicalDevice(), PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(tracking.wait().status, STATUS_SUCCESS);

  auto parked = system.io().deviceControlAsync(handle, IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
  ASSERT_TRUE(system.scheduler().runUntil(parkedTracking, 1s));
  EXPECT_EQ(close(handle), STATUS_SUCCESS);
  EXPECT_EQ(parked.wait().status, STATUS_CANCELLED);

  PDEVICE_OBJECT device = readerDevice(port);
  EXPECT_EQ(system.pnp().stop(port.physicalDevice()), STATUS_SUCCESS);
  EXPECT_EQ(system.pnp().start(port.physicalDevice()), STATUS_SUCCESS);
  EXPECT_EQ(system.pnp().remove(port.physicalDevice()), STATUS_SUCCESS);
  EXPECT_FALSE(system.deviceExists(device));
}

INSTANTIATE_TEST_SUITE_P(Frame, Seeds, seedRange(1, 32), SeedName{});

}  // namespace
}  // namespace tav712::testing
