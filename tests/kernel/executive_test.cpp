// Work items, remove locks, pool attribution and the error log as drivers
// use them, in virtual time.
#include <chrono>

#include "kernel_test_support.h"

namespace kernel_test {
namespace {

using namespace std::chrono_literals;

using ExecutiveTest = BuiltStackTest;

struct WorkLog {
  std::vector<std::string> ran;
  KIRQL irql = HIGH_LEVEL;
};

VOID RecordWork(PDEVICE_OBJECT device, PVOID context) {
  auto *log = static_cast<WorkLog *>(context);
  log->irql = KeGetCurrentIrql();
  log->ran.push_back(platform::currentThreadName() + (device != nullptr ? " with device" : ""));
}

TEST_F(ExecutiveTest, WorkItemRunsAtPassiveLevelOnAWorkerThreadWithItsDevice) {
  WorkLog log;
  PIO_WORKITEM item = IoAllocateWorkItem(upperDevice);
  ASSERT_NE(item, nullptr);

  // Queued from an interrupt context at DISPATCH_LEVEL, as a completion
  // routine would.
  system.scheduler().callAfter(1ms, [item, &log] { IoQueueWorkItem(item, RecordWork, DelayedWorkQueue, &log); });
  system.scheduler().runUntilIdle();

  ASSERT_EQ(log.ran.size(), 1u);
  EXPECT_NE(log.ran[0].find("with device"), std::string::npos);
  EXPECT_NE(log.ran[0], platform::currentThreadName());
  EXPECT_EQ(log.irql, PASSIVE_LEVEL);
  IoQueueWorkItem(item, RecordWork, CriticalWorkQueue, &log);  // queued again once it has run: fine
  system.scheduler().runUntilIdle();
  EXPECT_EQ(log.ran.size(), 2u);
  IoFreeWorkItem(item);
  EXPECT_EQ(system.census().workItems, 0u);
}

TEST_F(ExecutiveTest, ReleaseAndWaitWaitsForEveryHolderAndLaterAcquiresFail) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0, 0, 0);
  ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);  // the remover's own hold
  int tag = 0;
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &tag), STATUS_SUCCESS);      // a request's hold
  system.scheduler().callAfter(40ms, [&lock, &tag] { IoReleaseRemoveLock(&lock, &tag); });

  IoReleaseRemoveLockAndWait(&lock, nullptr);

  EXPECT_EQ(system.scheduler().now().time_since_epoch(), 40ms);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_DELETE_PENDING);
}

TEST_F(ExecutiveTest, ErrorLogEntryReachesTheEventLogWithItsObjectAndCode) {
  auto *packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(upperDriver, sizeof(IO_ERROR_LOG_PACKET)));
  ASSERT_NE(packet, nullptr);
  packet->ErrorCode = static_cast<NTSTATUS>(0xC0040005U);
  IoWriteErrorLogEntry(packet);

  auto entries = system.eventLog().entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].object, upperDriver);
  EXPECT_EQ(entries[0].objectName, "driver upper");
  EXPECT_EQ(entries[0].code, static_cast<NTSTATUS>(0xC0040005U));
  EXPECT_TRUE(system.trace().contains(platform::TraceCategory::Log, "0xC0040005"));
}

TEST_F(ExecutiveTest, InterfaceStateChangesReportWhatWasAlreadySo) {
  auto *extension = static_cast<mini::UpperExtension *>(upperDevice->DeviceExtension);
  EXPECT_EQ(IoSetDeviceInterfaceState(&extension->interfaceName, TRUE), STATUS_OBJECT_NAME_EXISTS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&extension->interfaceName, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(IoSetDeviceInterfaceState(&extension->interfaceName, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(system.io().interfaces(mini::GUID_MINI_INTERFACE).empty());
}

}  // namespace
}  // namespace kernel_test
