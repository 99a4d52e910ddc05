// Plug and Play and power sequences through the two-driver stack.
#include <chrono>

#include "kernel_test_support.h"

namespace kernel_test {
namespace {

using namespace std::chrono_literals;
using Steps = std::vector<std::string>;
using platform::RecordedPowerState;

class PnpTest : public StackTest {};

TEST_F(PnpTest, StartStopStartRemoveSendsTheMinorCodesInOrder) {
  ASSERT_EQ(system.pnp().addDevice(upperDriver, physicalDevice), STATUS_SUCCESS);
  EXPECT_EQ(system.pnp().start(physicalDevice), STATUS_SUCCESS);
  EXPECT_EQ(system.io().interfaces(mini::GUID_MINI_INTERFACE).size(), 1u);
  EXPECT_EQ(system.pnp().stop(physicalDevice), STATUS_SUCCESS);
  EXPECT_TRUE(system.io().interfaces(mini::GUID_MINI_INTERFACE).empty());
  EXPECT_EQ(system.pnp().start(physicalDevice), STATUS_SUCCESS);
  PDEVICE_OBJECT upper = physicalDevice->AttachedDevice;
  EXPECT_EQ(system.pnp().remove(physicalDevice), STATUS_SUCCESS);

  EXPECT_EQ(mini::steps, (Steps{"upper pnp 0", "upper completion", "upper pnp 5", "upper completion", "upper pnp 4",
                                "upper completion", "upper pnp 0", "upper completion", "upper pnp 1",
                                "upper completion", "upper pnp 2"}));
  EXPECT_FALSE(system.deviceExists(upper));
  EXPECT_EQ(physicalDevice->AttachedDevice, nullptr);
  EXPECT_TRUE(system.io().interfaces(mini::GUID_MINI_INTERFACE).empty());
  removeAndUnload();
}

// A refused query remove stands for both queries: the PnP manager follows
// either with its cancel the same way.
TEST_F(PnpTest, RefusedQueryIsFollowedByItsCancel) {
  buildStack();
  mini::upperConfig.refusePnpMinor = IRP_MN_QUERY_REMOVE_DEVICE;

  EXPECT_EQ(system.pnp().remove(physicalDevice), STATUS_DEVICE_BUSY);

  EXPECT_EQ(mini::steps, (Steps{"upper pnp 1", "upper pnp 3", "upper completion"}));
  EXPECT_TRUE(system.deviceExists(physicalDevice->AttachedDevice));
  mini::upperConfig.refusePnpMinor = 0xFF;
  removeAndUnload();
}

TEST_F(PnpTest, SurpriseRemovalLeavesTheDeviceUntilTheRemoveThatFollows) {
  buildStack();
  PDEVICE_OBJECT upper = physicalDevice->AttachedDevice;

  EXPECT_EQ(system.pnp().surpriseRemove(physicalDevice), STATUS_SUCCESS);

  EXPECT_EQ(mini::steps, (Steps{"upper pnp 23", "upper pnp 2"}));
  EXPECT_FALSE(system.deviceExists(upper));
  EXPECT_TRUE(system.trace().contains(platform::TraceCategory::Pnp, "IRP_MN_SURPRISE_REMOVAL on \\Device\\MiniPort0"));
  removeAndUnload();
}

NTSTATUS NTAPI FailingEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_INSUFFICIENT_RESOURCES; }

TEST_F(PnpTest, DriverWhoseEntryFailsIsNotLoaded) {
  auto result = system.pnp().loadDriver("failing", FailingEntry);
  EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(result.driver, nullptr);
  removeAndUnload();
}

using PowerTest = BuiltStackTest;

TEST_F(PowerTest, DevicePowerIrpPassesTheStackAndIsRecorded) {
  EXPECT_EQ(system.power().setDevicePower(physicalDevice, PowerDeviceD3), STATUS_SUCCESS);

  EXPECT_EQ(mini::steps, (Steps{"upper power"}));
  EXPECT_EQ(system.power().devicePowerState(upperDevice), PowerDeviceD3);
  EXPECT_EQ(system.power().recordedStates(),
            (std::vector<RecordedPowerState>{{"upper#1", DevicePowerState, PowerDeviceD3}}));
}

struct PowerRequestLog {
  int calls = 0;
  NTSTATUS status = STATUS_PENDING;
};

VOID NTAPI RecordPowerCompletion(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK ioStatus) {
  auto* log = static_cast<PowerRequestLog*>(context);
  ++log->calls;
  log->status = ioStatus->Status;
}

// The driver's own system power handling requests its device power this way
// from a completion routine; the driver's power tests follow the whole path.
TEST_F(PowerTest, PowerIrpRequestedAtDispatchLevelIsSentFromAWorkerThread) {
  PowerRequestLog log;
  system.scheduler().callAfter(2ms, [&log, target = physicalDevice] {
    POWER_STATE state{};
    state.DeviceState = PowerDeviceD0;
    PoRequestPowerIrp(target, IRP_MN_SET_POWER, state, RecordPowerCompletion, &log, nullptr);
  });
  EXPECT_EQ(log.calls, 0);

  system.scheduler().runUntilIdle();

  EXPECT_EQ(log.calls, 1);
  EXPECT_EQ(log.status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace kernel_test
