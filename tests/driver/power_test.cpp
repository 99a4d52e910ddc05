// Power management end to end: the system sleeps and wakes with a card in
// the reader (also when the port completes power requests at DISPATCH_LEVEL),
// a reader whose port closed by itself serves requests again after a wake,
// a failed device power change never fails the system's, requests the
// driver does not handle go down unchanged, and every system state maps to
// its device state. (The sleep query that refuses while a request is inside
// the library is in device_life_test.cpp.)
#include "frame_fixture.h"
#include "tav712log.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tav712::testing {
namespace {

class Power : public FrameTest {
 protected:
  ULONG readerPowerState(const ReaderPort& port) {
    return extension(port)->SmartcardExtension.ReaderExtension->PowerState;
  }
  // The power states this reader device recorded, from the index on.
  std::vector<platform::RecordedPowerState> recordedSince(const ReaderPort& port, std::size_t from) {
    auto all = system.power().recordedStates();
    std::vector<platform::RecordedPowerState> mine;
    const std::string name = system.nameOf(readerDevice(port));
    for (std::size_t i = from; i < all.size(); ++i)
      if (all[i].device == name) mine.push_back(all[i]);
    return mine;
  }
};

// Where the port completes power requests: in its dispatch routine, or at
// DISPATCH_LEVEL, where the driver's completion routines must not wait.
struct PortPowerCompletion {
  const char* name;
  bool atDispatchLevel;
};

class SleepAndWake : public Power, public ::testing::WithParamInterface<PortPowerCompletion> {
 protected:
  SleepAndWake() { portsCompletePowerAtDispatchLevel = GetParam().atDispatchLevel; }
};

TEST_P(SleepAndWake, WithACardInTheReader) {
  ReaderPort& port = startedReader();
  platform::Handle handle = open(port);
  ASSERT_EQ(coldReset(handle).wait().status, STATUS_SUCCESS);
  ASSERT_TRUE(port.reader->card()->powered());

  // An application waits for the card to go.
  auto tracking = system.io().deviceControlAsync(handle, IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
  system.scheduler().advanceBy(1s);
  ASSERT_FALSE(tracking.done());

  ASSERT_EQ(system.power().querySystemPower(port.physicalDevice(), PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_FALSE(gateOpen(port)) << "the gate closes for the sleep";
  const auto sleepStart = system.scheduler().now();
  ASSERT_EQ(system.power().setSystemPower(port.physicalDevice(), PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_GE(system.scheduler().now() - sleepStart, 200ms) << "the reader settles before its power goes";
  EXPECT_FALSE(port.reader->card()->powered()) << "the card is powered down before the sleep";
  EXPECT_EQ(readerPowerState(port), 2u);
  EXPECT_EQ(system.power().devicePowerState(readerDevice(port)), PowerDeviceD3);
  EXPECT_FALSE(tracking.done()) << "the card is still there";

  ASSERT_EQ(system.power().setSystemPower(port.physicalDevice(), PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(readerPowerState(port), 1u);
  EXPECT_EQ(system.power().devicePowerState(readerDevice(port)), PowerDeviceD0);
  // The card found after the wake counts as newly inserted.
  EXPECT_EQ(tracking.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(cardState(handle), static_cast<ULONG>(SCARD_SWALLOWED)) << "the gate is open again";
  EXPECT_EQ(coldReset(handle).wait().status, STATUS_SUCCESS);
  EXPECT_EQ(close(handle), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Power, SleepAndWake,
                         ::testing::Values(PortPowerCompletion{"PortCompletesInItsDispatchRoutine", false},
                                           PortPowerCompletion{"PortCompletesAtDispatchLevel", true}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

// The reader's cable is pulled: the port closes by itself, but the reader
// stays started as far as Plug and Play knows. A sleep (carried out, or
// queried and abandoned) closes the gate; the wake must open it again, so
// that a request fails as on the closed port instead of waiting for a start
// that will not come.
struct SleepOfAnUnpluggedReader {
  const char* name;
  bool sleeps;  // false: the sleep is queried, then abandoned
};

class UnpluggedReaderSleeps : public Power, public ::testing::WithParamInterface<SleepOfAnUnpluggedReader> {};

TEST_P(UnpluggedReaderSleeps, ARequestAfterTheWakeEndsAsOnTheClosedPort) {
  ReaderPort& port = startedReader();
  platform::Handle handle = open(port);
  port.reader->unplug();
  system.scheduler().advanceBy(1s);
  ASSERT_FALSE(system.io().interfaceEnabled(interfaceName(port))) << "the port closed by itself";
  const NTSTATUS onTheClosedPort = coldReset(handle).wait().status;
  EXPECT_FALSE(NT_SUCCESS(onTheClosedPort));

  ASSERT_EQ(system.power().querySystemPower(port.physicalDevice(), PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_FALSE(gateOpen(port));
  if (GetParam().sleeps) {
    ASSERT_EQ(system.power().setSystemPower(port.physicalDevice(), PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(readerPowerState(port), 2u);
  }
  ASSERT_EQ(system.power().setSystemPower(port.physicalDevice(), PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(readerPowerState(port), 1u);
  EXPECT_TRUE(gateOpen(port));
  EXPECT_FALSE(system.io().interfaceEnabled(interfaceName(port))) << "nothing restarted the reader";

  auto request = coldReset(handle);
  system.scheduler().advanceBy(10s);
  ASSERT_TRUE(request.done()) << "the request waits at a gate nothing will open";
  EXPECT_EQ(request.wait().status, onTheClosedPort);
  EXPECT_EQ(close(handle), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Power, UnpluggedReaderSleeps,
                         ::testing::Values(SleepOfAnUnpluggedReader{"SleepsAndWakes", true},
                                           SleepOfAnUnpluggedReader{"AbandonsTheSleep", false}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(Power, SleepWithoutACardAndWithTheReaderStopped) {
  emulator::EmulatorKnobs noCard;
  noCard.cardInserted = false;
  ReaderPort& empty = startedReader(noCard);
  ReaderPort& stopped = startedReader();
  ASSERT_EQ(system.pnp().stop(stopped.physicalDevice()), STATUS_SUCCESS);

  for (ReaderPort* port : {&empty, &stopped}) {
    ASSERT_EQ(system.power().setSystemPower(port->physicalDevice(), PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_EQ(readerPowerState(*port), 2u);
    ASSERT_EQ(system.power().setSystemPower(port->physicalDevice(), PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(readerPowerState(*port), 1u);
  }
  // A stopped reader stays stopped, its gate closed.
  EXPECT_FALSE(gateOpen(stopped));
  EXPECT_FALSE(system.io().interfaceEnabled(interfaceName(stopped)));

  platform::Handle emptyHandle = open(empty);
  EXPECT_EQ(cardState(emptyHandle), static_cast<ULONG>(SCARD_ABSENT));
  EXPECT_EQ(close(emptyHandle), STATUS_SUCCESS);
}

// After a wake the card state is asked twice (the second time a card counts
// as newly inserted). A reader that answers the second time with its error
// code leaves the card the first answer found, not "no card".
TEST_F(Power, AReaderErrorOnTheWakesSecondCardStateReadLeavesTheCardFound) {
  // The same life on a reader without faults tells which reply that is:
  // the wake's start table takes two, the card-state reads the next two.
  const auto sleepAndWake = [&](ReaderPort& port) {
    EXPECT_EQ(system.power().setSystemPower(port.physicalDevice(), PowerSystemSleeping3), STATUS_SUCCESS);
    const std::uint32_t beforeTheWake = port.reader->repliesSent();
    EXPECT_EQ(system.power().setSystemPower(port.physicalDevice(), PowerSystemWorking), STATUS_SUCCESS);
    return beforeTheWake;
  };
  ReaderPort& probe = startedReader();
  const std::uint32_t secondRead = sleepAndWake(probe) + 4;
  ASSERT_EQ(probe.reader->repliesSent(), secondRead);

  emulator::EmulatorKnobs knobs;
  knobs.reader.errorReplies = {secondRead};
  ReaderPort& port = startedReader(knobs);
  sleepAndWake(port);
  platform::Handle handle = open(port);
  // As the first answer left it: the card known before the sleep (powered
  // down for it) is still there.
  EXPECT_EQ(cardState(handle), static_cast<ULONG>(SCARD_PRESENT));
  EXPECT_EQ(close(handle), STATUS_SUCCESS);
}

TEST_F(Power, WorkingStateQueryChangesNothingAndAnAbandonedSleepReopensTheGate) {
  ReaderPort& port = startedReader();
  platform::Handle handle = open(port);
  EXPECT_EQ(system.power().querySystemPower(port.physicalDevice(), PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_TRUE(gateOpen(port));
  ASSERT_EQ(system.power().querySystemPower(port.physicalDevice(), PowerSystemSleeping3), STATUS_SUCCESS);
  // The sleep does not happen: the system stays at work.
  ASSERT_EQ(system.power().setSystemPower(port.physicalDevice(), PowerSystemWorking), STATUS_SUCCESS);
  auto request = system.io().deviceControlAsync(handle, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
  system.scheduler().advanceBy(2s);
  EXPECT_TRUE(request.done()) << "the request waits at a gate nothing will open";
  EXPECT_EQ(request.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(close(handle), STATUS_SUCCESS);
}

// A system set-power request is never failed: when the device power request
// cannot even be made, the system request succeeds, the failure is logged and
// the device stays as it is.
TEST_F(Power, DevicePowerRequestThatCannotBeMadeIsLoggedAndTheSystemRequestSucceeds) {
  ReaderPort& port = startedReader();
  system.faults().failCall(platform::fault::kRequestPowerIrp, 1);
  EXPECT_EQ(system.power().setSystemPower(port.physicalDevice(), PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(system.eventLog().codes(), std::vector<NTSTATUS>{MSG_DEVICE_POWER_FAILED});
  EXPECT_EQ(readerPowerState(port), 1u);
  EXPECT_EQ(system.power().devicePowerState(readerDevice(port)), PowerDeviceD0);
  // Its remove-lock hold was released: the device can still be removed.
  EXPECT_EQ(system.pnp().remove(port.physicalDevice()), STATUS_SUCCESS);
}

// The sleep query closed the gate; when the device power request that should
// follow cannot be made, nothing else would open it again: requests go on
// to the reader as it is instead of waiting until they are cancelled. So for
// a sleep (the device stays working) and for a wake (it stays powered down).
TEST_F(Power, AGateThatNoDevicePowerChangeWillReopenIsOpenedAgain) {
  ReaderPort& port = startedReader();
  platform::Handle handle = open(port);
  const auto requestEnds = [&] {
    auto request = system.io().deviceControlAsync(handle, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
    system.scheduler().advanceBy(5s);
    const bool done = request.done();
    if (!done) request.cancel();
    request.wait();
    return done;
  };

  ASSERT_EQ(system.power().querySystemPower(port.physicalDevice(), PowerSystemSleeping3), STATUS_SUCCESS);
  system.faults().failCall(platform::fault::kRequestPowerIrp, 1);
  ASSERT_EQ(system.power().setSystemPower(port.physicalDevice(), PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_TRUE(requestEnds()) << "after a sleep whose device request could not be made";

  ASSERT_EQ(system.power().querySystemPower(port.physicalDevice(), PowerSystemSleeping3), STATUS_SUCCESS);
  ASSERT_EQ(system.power().setSystemPower(port.physicalDevice(), PowerSystemSleeping3), STATUS_SUCCESS);
  ASSERT_EQ(system.power().devicePowerState(readerDevice(port)), PowerDeviceD3);
  system.faults().failCall(platform::fault::kRequestPowerIrp, 1);
  ASSERT_EQ(system.power().setSystemPower(port.physicalDevice(), PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_TRUE(requestEnds()) << "after a wake whose device request could not be made";
  EXPECT_EQ(close(handle), STATUS_SUCCESS);
}

// The port fails the device power change (as a bus driver may): the system
// request still succeeds, with the failure logged; the driver's record of
// the device is what it did itself.
struct FailedDevicePowerChange {
  const char* name;
  SYSTEM_POWER_STATE systemState;
  DEVICE_POWER_STATE failedDeviceState;
  ULONG readerPowerStateAfter;
};

class PortFailsDevicePower : public Power, public ::testing::WithParamInterface<FailedDevicePowerChange> {
 protected:
  static NTSTATUS NTAPI FailingPower(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    NTSTATUS status = STATUS_SUCCESS;
    if (location->MinorFunction == IRP_MN_SET_POWER && location->Parameters.Power.Type == DevicePowerState &&
        location->Parameters.Power.State.DeviceState == failing) {
      status = STATUS_UNSUCCESSFUL;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }
  static inline DEVICE_POWER_STATE failing = PowerDeviceUnspecified;
};

TEST_P(PortFailsDevicePower, SystemRequestSucceedsAndTheFailureIsLogged) {
  const FailedDevicePowerChange& row = GetParam();
  ReaderPort& port = startedReader();
  if (row.systemState == PowerSystemWorking) {
    ASSERT_EQ(system.power().setSystemPower(port.physicalDevice(), PowerSystemSleeping3), STATUS_SUCCESS);
  }
  PDRIVER_DISPATCH& portPower = port.physicalDevice()->DriverObject->MajorFunction[IRP_MJ_POWER];
  const PDRIVER_DISPATCH portOwnPower = portPower;
  failing = row.failedDeviceState;
  portPower = FailingPower;
  EXPECT_EQ(system.power().setSystemPower(port.physicalDevice(), row.systemState), STATUS_SUCCESS);
  portPower = portOwnPower;

  EXPECT_EQ(system.eventLog().codes(), std::vector<NTSTATUS>{MSG_DEVICE_POWER_FAILED});
  EXPECT_EQ(readerPowerState(port), row.readerPowerStateAfter);
  // The device comes back to work all the same.
  ASSERT_EQ(system.power().setSystemPower(port.physicalDevice(), PowerSystemWorking), STATUS_SUCCESS);
  platform::Handle handle = open(port);
  EXPECT_EQ(cardState(handle), static_cast<ULONG>(SCARD_SWALLOWED));
  EXPECT_EQ(close(handle), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Power, PortFailsDevicePower,
                         ::testing::Values(FailedDevicePowerChange{"PowerDown", PowerSystemSleeping3, PowerDeviceD3,
                                                                   2u},
                                           FailedDevicePowerChange{"PowerUp", PowerSystemWorking, PowerDeviceD0, 1u}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(Power, DeviceStatesOtherThanD0AndD3AndOtherRequestsGoDownUnchanged) {
  ReaderPort& port = startedReader();
  const std::size_t before = system.power().recordedStates().size();
  POWER_STATE d1{};
  d1.DeviceState = PowerDeviceD1;
  system.power().setDevicePower(port.physicalDevice(), PowerDeviceD1);
  system.power().queryDevicePower(port.physicalDevice(), PowerDeviceD3);
  system.power().send(port.physicalDevice(), IRP_MN_POWER_SEQUENCE, DevicePowerState, d1);
  EXPECT_TRUE(recordedSince(port, before).empty());
  EXPECT_EQ(readerPowerState(port), 1u);
  EXPECT_TRUE(gateOpen(port));
}

// The system-to-device state table, from a device in D0.
struct SystemStateRow {
  ULONG systemState;
  bool powersDown;  // D3 requested; otherwise completed here with no device request
};

class SystemStates : public Power, public ::testing::WithParamInterface<SystemStateRow> {};

TEST_P(SystemStates, MapToTheirDeviceState) {
  const SystemStateRow row = GetParam();
  ReaderPort& port = startedReader();
  const std::size_t before = system.power().recordedStates().size();

  EXPECT_EQ(system.power().setSystemPower(port.physicalDevice(), static_cast<SYSTEM_POWER_STATE>(row.systemState)),
            STATUS_SUCCESS);
  if (row.powersDown) {
    EXPECT_EQ(readerPowerState(port), 2u);
    // Asking again for a sleep state finds the device there already.
    const std::size_t again = system.power().recordedStates().size();
    EXPECT_EQ(system.power().setSystemPower(port.physicalDevice(), PowerSystemShutdown), STATUS_SUCCESS);
    EXPECT_TRUE(recordedSince(port, again).empty());
    EXPECT_EQ(system.power().setSystemPower(port.physicalDevice(), PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(readerPowerState(port), 1u);
  } else {
    EXPECT_EQ(readerPowerState(port), 1u);
    EXPECT_TRUE(recordedSince(port, before).empty()) << "no device request";
  }
}

INSTANTIATE_TEST_SUITE_P(Power, SystemStates,
                         ::testing::Values(SystemStateRow{0, false}, SystemStateRow{3, false}, SystemStateRow{4, true},
                                           SystemStateRow{6, true}, SystemStateRow{7, false}),
                         [](const auto& testInfo) { return "S" + std::to_string(testInfo.param.systemState); });

}  // namespace
}  // namespace tav712::testing
