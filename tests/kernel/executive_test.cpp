// Remove locks and device interface states as drivers use them, in virtual
// time. (Work items and the error log are driven end to end by the reader
// link: its serial event and close workers, and the codes of a failed start.)
#include <chrono>

#include "kernel_test_support.h"

namespace kernel_test {
namespace {

using namespace std::chrono_literals;

using ExecutiveTest = BuiltStackTest;

TEST_F(ExecutiveTest, ReleaseAndWaitWaitsForEveryHolderAndLaterAcquiresFail) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0, 0, 0);
  ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);  // the remover's own hold
  int tag = 0;
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &tag), STATUS_SUCCESS);  // a request's hold
  system.scheduler().callAfter(40ms, [&lock, &tag] { IoReleaseRemoveLock(&lock, &tag); });

  IoReleaseRemoveLockAndWait(&lock, nullptr);

  EXPECT_EQ(system.scheduler().now().time_since_epoch(), 40ms);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_DELETE_PENDING);
}

TEST_F(ExecutiveTest, InterfaceStateChangesReportWhatWasAlreadySo) {
  auto* extension = static_cast<mini::UpperExtension*>(upperDevice->DeviceExtension);
  EXPECT_EQ(IoSetDeviceInterfaceState(&extension->interfaceName, TRUE), STATUS_OBJECT_NAME_EXISTS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&extension->interfaceName, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&extension->interfaceName, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(system.io().interfaces(mini::GUID_MINI_INTERFACE).empty());
}

}  // namespace
}  // namespace kernel_test
