// A reader's whole life under the PnP manager: add, start, use through the
// smart card library, a request inside the library against the stop and
// sleep queries, the removal query that refuses while a handle is open,
// surprise removal, the ten-reader limit and every way AddDevice can fail.
// Every test ends by unloading the driver with its readers still present.
#include "frame_fixture.h"

#include "card/ReaderAttributes.h"
#include "tav712log.h"

#include <gtest/gtest.h>

#include <optional>

namespace tav712::testing {
namespace {

class DeviceLife : public FrameTest {};

TEST_F(DeviceLife, ReaderServesApplicationsFromStartToRemoval) {
  ReaderPort& port = addPort();
  ASSERT_EQ(system.pnp().addDevice(driver, port.physicalDevice()), STATUS_SUCCESS);

  PDEVICE_OBJECT device = readerDevice(port);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->DeviceType, static_cast<ULONG>(FILE_DEVICE_SMARTCARD));
  EXPECT_EQ(device->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING),
            static_cast<ULONG>(DO_BUFFERED_IO | DO_POWER_PAGABLE));
  // Registered, not enabled before the start.
  EXPECT_TRUE(system.io().interfaces(GUID_DEVINTERFACE_SMARTCARD_READER).empty());

  ASSERT_EQ(system.pnp().start(port.physicalDevice()), STATUS_SUCCESS);
  EXPECT_EQ(system.io().interfaces(GUID_DEVINTERFACE_SMARTCARD_READER),
            std::vector<std::u16string>{interfaceName(port)});

  platform::Handle handle = open(port);
  EXPECT_EQ(cardState(handle), static_cast<ULONG>(SCARD_SWALLOWED));
  // SCARD_ATTR_VENDOR_IFD_VERSION (0x00010102) tells the firmware (2.3)
  // that the start has read.
  auto version = control(handle, IOCTL_SMARTCARD_GET_ATTRIBUTE, {0x02, 0x01, 0x01, 0x00}, sizeof(ULONG));
  EXPECT_EQ(version.status, STATUS_SUCCESS);
  EXPECT_EQ(version.output, (std::vector<std::uint8_t>{0x00, 0x00, 0x03, 0x02}));
  auto power = coldReset(handle).wait();
  EXPECT_EQ(power.status, STATUS_SUCCESS);
  EXPECT_GT(power.information, 0u) << "the answer-to-reset comes back";

  // One handle at a time, and no removal while it is open.
  EXPECT_NE(system.io().open(interfaceName(port)).status, STATUS_SUCCESS);
  EXPECT_EQ(system.pnp().remove(port.physicalDevice()), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(system.io().interfaceEnabled(interfaceName(port))) << "the interface is enabled again";
  EXPECT_EQ(cardState(handle), static_cast<ULONG>(SCARD_NEGOTIABLE)) << "the handle is still served";
  EXPECT_EQ(close(handle), STATUS_SUCCESS);
  platform::Handle again = open(port);
  EXPECT_EQ(close(again), STATUS_SUCCESS);

  EXPECT_EQ(system.pnp().remove(port.physicalDevice()), STATUS_SUCCESS);
  EXPECT_FALSE(system.deviceExists(device));
  EXPECT_EQ(readerDevice(port), nullptr);
  EXPECT_TRUE(system.io().interfaces(GUID_DEVINTERFACE_SMARTCARD_READER).empty());
  EXPECT_EQ(port.port->snapshot().openCount, 0u) << "the serial port was closed again";
  EXPECT_EQ(DeviceSlots[0], 0);
}

// A request inside the library is counted, lets a second one pass the gate
// and makes the stop and sleep queries refuse.
TEST_F(DeviceLife, ARequestInsideTheLibraryIsCountedAndMakesTheStopAndSleepQueriesRefuse) {
  ReaderPort& port = startedReader();
  platform::Handle handle = open(port);
  auto request = coldReset(handle);
  ASSERT_TRUE(system.scheduler().runUntil([&] { return extension(port)->IoCount > 0; }, 1s));
  EXPECT_EQ(extension(port)->IoCount, 1);
  EXPECT_EQ(system.pnp().send(port.physicalDevice(), IRP_MN_QUERY_STOP_DEVICE), STATUS_DEVICE_BUSY);
  EXPECT_EQ(system.power().querySystemPower(port.physicalDevice(), PowerSystemHibernate), STATUS_DEVICE_BUSY);
  EXPECT_TRUE(gateOpen(port)) << "the refused queries leave the gate open";

  // A second request while one is inside passes the gate without waiting,
  // even with the gate closed.
  KeClearEvent(&extension(port)->ReaderStarted);
  auto second = system.io().deviceControlAsync(handle, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
  EXPECT_EQ(second.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(request.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(extension(port)->IoCount, 0);
  KeSetEvent(&extension(port)->ReaderStarted, IO_NO_INCREMENT, FALSE);

  // Idle again: the sleep query is accepted.
  EXPECT_EQ(system.power().querySystemPower(port.physicalDevice(), PowerSystemHibernate), STATUS_SUCCESS);
  EXPECT_EQ(close(handle), STATUS_SUCCESS);
}

// After an accepted query-stop the next request waits at the gate until the
// stop is cancelled or the reader has started again.
struct GateOpener {
  const char* name;
  std::vector<UCHAR> pnpRequests;
};

class HeldRequest : public FrameTest, public ::testing::WithParamInterface<GateOpener> {};

TEST_P(HeldRequest, WaitsAfterAnAcceptedQueryStopUntilTheGateOpens) {
  ReaderPort& port = startedReader();
  platform::Handle handle = open(port);

  ASSERT_EQ(system.pnp().send(port.physicalDevice(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  auto request = system.io().deviceControlAsync(handle, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
  system.scheduler().advanceBy(5s);
  EXPECT_FALSE(request.done()) << "the request passed a closed gate";

  const auto& requests = GetParam().pnpRequests;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(system.pnp().send(port.physicalDevice(), requests[i]), STATUS_SUCCESS);
    if (i + 1 < requests.size()) {
      system.scheduler().advanceBy(1s);
      EXPECT_FALSE(request.done()) << "released before the last step";
    }
  }
  auto result = request.wait();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(close(handle), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(DeviceLife, HeldRequest,
                         ::testing::Values(GateOpener{"CancelStop", {IRP_MN_CANCEL_STOP_DEVICE}},
                                           GateOpener{"StopThenStart", {IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE}}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(DeviceLife, SurpriseRemovalThenRemoveWaitsForTheOpenHandle) {
  ReaderPort& port = startedReader();
  platform::Handle handle = open(port);
  PDEVICE_OBJECT device = readerDevice(port);

  NTSTATUS removal = STATUS_PENDING;
  auto pnpThread =
      system.scheduler().spawn("pnp", [&] { removal = system.pnp().surpriseRemove(port.physicalDevice()); });
  system.scheduler().advanceBy(5s);
  EXPECT_EQ(removal, STATUS_PENDING) << "the device went while a handle was open";
  EXPECT_TRUE(system.deviceExists(device));

  auto refused = control(handle, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
  EXPECT_EQ(refused.status, STATUS_DEVICE_REMOVED);
  EXPECT_EQ(refused.information, 0u);

  EXPECT_EQ(close(handle), STATUS_SUCCESS);
  system.scheduler().join(pnpThread);
  EXPECT_EQ(removal, STATUS_SUCCESS);
  EXPECT_FALSE(system.deviceExists(device));
}

TEST_F(DeviceLife, TenReadersAtMostAndAFreedSlotIsReused) {
  std::vector<ReaderPort*> ports;
  for (int i = 0; i < 10; ++i) {
    ports.push_back(&addPort());
    ASSERT_EQ(system.pnp().addDevice(driver, ports.back()->physicalDevice()), STATUS_SUCCESS);
    EXPECT_EQ(extension(*ports.back())->DeviceInstance, static_cast<ULONG>(i));
  }
  const auto devicesBefore = system.census().devices;

  ReaderPort& eleventh = addPort();
  EXPECT_EQ(system.pnp().addDevice(driver, eleventh.physicalDevice()), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(system.eventLog().count(MSG_TOO_MANY_DEVICES), 1u);
  EXPECT_EQ(readerDevice(eleventh), nullptr);
  EXPECT_EQ(system.census().devices, devicesBefore + 1) << "only the eleventh port's own device is new";

  ASSERT_EQ(system.pnp().remove(ports[3]->physicalDevice()), STATUS_SUCCESS);
  ASSERT_EQ(system.pnp().addDevice(driver, eleventh.physicalDevice()), STATUS_SUCCESS);
  EXPECT_EQ(extension(eleventh)->DeviceInstance, 3u);
  ASSERT_EQ(system.pnp().start(eleventh.physicalDevice()), STATUS_SUCCESS);
  EXPECT_TRUE(system.io().interfaceEnabled(interfaceName(eleventh)));
}

// A reader whose interface is not enabled (never started, stopped, or its
// port closed by itself when the cable was pulled) is removed all the same,
// and a cancelled removal does not make its interface visible.
struct IdleReader {
  const char* name;
  bool start;
  bool stop;
  bool unplug;
};

class IdleReaderRemoval : public FrameTest, public ::testing::WithParamInterface<IdleReader> {};

TEST_P(IdleReaderRemoval, IsRemovedAndCancelLeavesTheInterfaceDisabled) {
  const IdleReader& row = GetParam();
  ReaderPort& port = addPort();
  ASSERT_EQ(system.pnp().addDevice(driver, port.physicalDevice()), STATUS_SUCCESS);
  if (row.start) {
    ASSERT_EQ(system.pnp().start(port.physicalDevice()), STATUS_SUCCESS);
  }
  if (row.stop) {
    ASSERT_EQ(system.pnp().stop(port.physicalDevice()), STATUS_SUCCESS);
  }
  if (row.unplug) {
    port.reader->unplug();
    system.scheduler().advanceBy(1s);
  }
  ASSERT_FALSE(system.io().interfaceEnabled(interfaceName(port)));

  EXPECT_EQ(system.pnp().send(port.physicalDevice(), IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(system.pnp().send(port.physicalDevice(), IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_FALSE(system.io().interfaceEnabled(interfaceName(port)));

  PDEVICE_OBJECT device = readerDevice(port);
  EXPECT_EQ(system.pnp().remove(port.physicalDevice()), STATUS_SUCCESS);
  EXPECT_FALSE(system.deviceExists(device));
}

INSTANTIATE_TEST_SUITE_P(DeviceLife, IdleReaderRemoval,
                         ::testing::Values(IdleReader{"NeverStarted", false, false, false},
                                           IdleReader{"Stopped", true, true, false},
                                           IdleReader{"Unplugged", true, false, true}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

// A cancel-remove may not fail: when the interface cannot be enabled again
// (no memory), the device stays and the cancel still succeeds.
TEST_F(DeviceLife, CancelRemoveSucceedsWhenTheInterfaceCannotBeEnabledAgain) {
  ReaderPort& port = startedReader();
  platform::Handle handle = open(port);
  // The query disables the interface (1) and, finding the handle open,
  // enables it again (2); the cancel's enable (3) fails.
  system.faults().failCall(platform::fault::kSetInterfaceState, 3);
  EXPECT_EQ(system.pnp().remove(port.physicalDevice()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(system.faults().injected().size(), 1u);
  EXPECT_EQ(cardState(handle), static_cast<ULONG>(SCARD_SWALLOWED)) << "the handle is still served";
  EXPECT_EQ(close(handle), STATUS_SUCCESS);
}

// The serial wait cannot be armed again after the reply to the start's
// last command but one (no memory): the port closes under the start. The
// start still ends, but the reader's interface must not be left enabled on
// a closed port, where every application would find a reader that never
// knows its card.
TEST_F(DeviceLife, APortClosedUnderTheStartLeavesTheInterfaceDisabled) {
  ReaderPort& first = startedReader();
  const std::uint64_t irpsPerStart = system.faults().calls(platform::fault::kAllocateIrp);
  ReaderPort& second = addPort();
  ASSERT_EQ(system.pnp().addDevice(driver, second.physicalDevice()), STATUS_SUCCESS);
  system.faults().failCall(platform::fault::kAllocateIrp, irpsPerStart - 1);
  system.pnp().start(second.physicalDevice());
  ASSERT_EQ(system.faults().injected().size(), 1u);
  system.scheduler().advanceBy(1s);
  EXPECT_EQ(system.io().interfaces(GUID_DEVINTERFACE_SMARTCARD_READER),
            std::vector<std::u16string>{interfaceName(first)});
}

// The port closes under a restart, before the reader counts as started, so
// the close does not forget the card; the start's card-state read then fails
// on the closed port. The state from before the stop (a card, pulled since)
// must not survive it.
TEST_F(DeviceLife, APortClosedUnderARestartForgetsTheCardItKnew) {
  ReaderPort& port = startedReader();
  const std::uint64_t irpsPerStart = system.faults().calls(platform::fault::kAllocateIrp);
  ASSERT_EQ(system.pnp().stop(port.physicalDevice()), STATUS_SUCCESS);
  port.reader->removeCard();
  system.faults().failCall(platform::fault::kAllocateIrp, irpsPerStart - 1);
  system.pnp().start(port.physicalDevice());
  ASSERT_EQ(system.faults().injected().size(), 1u);
  system.scheduler().advanceBy(1s);
  PSMARTCARD_EXTENSION smartcard =
      &static_cast<PDEVICE_EXTENSION>(readerDevice(port)->DeviceExtension)->SmartcardExtension;
  EXPECT_EQ(smartcard->ReaderCapabilities.CurrentState, static_cast<ULONG>(SCARD_UNKNOWN));
}

// A stop powers the card down, and the restart reads only whether a card is
// in the reader. A handle that had the card powered and in its protocol must
// then find it in need of a reset, its answer-to-reset gone, instead of a
// protocol selection or an APDU sent to a card that cannot answer.
TEST_F(DeviceLife, ARestartFindsTheCardThatTheStopPoweredDown) {
  ReaderPort& port = startedReader();
  platform::Handle handle = open(port);
  ASSERT_EQ(coldReset(handle).wait().status, STATUS_SUCCESS);
  ASSERT_EQ(
      control(handle, IOCTL_SMARTCARD_SET_PROTOCOL, {SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, 0, 0, 0}, sizeof(ULONG))
          .status,
      STATUS_SUCCESS);
  ASSERT_EQ(system.pnp().stop(port.physicalDevice()), STATUS_SUCCESS);
  ASSERT_EQ(system.pnp().start(port.physicalDevice()), STATUS_SUCCESS);

  EXPECT_EQ(cardState(handle), static_cast<ULONG>(SCARD_PRESENT));
  EXPECT_EQ(
      control(handle, IOCTL_SMARTCARD_SET_PROTOCOL, {SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, 0, 0, 0}, sizeof(ULONG))
          .status,
      STATUS_INVALID_DEVICE_STATE);
  // SCARD_ATTR_ATR_STRING (0x00090303)
  EXPECT_EQ(control(handle, IOCTL_SMARTCARD_GET_ATTRIBUTE, {0x03, 0x03, 0x09, 0x00}, 64).status,
            STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(coldReset(handle).wait().status, STATUS_SUCCESS) << "the card serves again after a reset";
  EXPECT_EQ(close(handle), STATUS_SUCCESS);
}

// The reader's cable is pulled and a removal is queried at once, with a
// handle open: the refused query and its cancel must not enable the
// interface again on the port that the cable's close worker is closing.
TEST_F(DeviceLife, ARefusedRemovalDoesNotReviveTheInterfaceOfAPortClosing) {
  ReaderPort& port = startedReader();
  platform::Handle handle = open(port);
  port.reader->unplug();
  EXPECT_EQ(system.pnp().remove(port.physicalDevice()), STATUS_UNSUCCESSFUL);
  system.scheduler().advanceBy(1s);
  EXPECT_FALSE(system.io().interfaceEnabled(interfaceName(port)));
  EXPECT_EQ(close(handle), STATUS_SUCCESS);
}

// A reader that goes away by itself cannot vouch for its card any more: a
// handle still open hears "unknown" and its wait for the card's removal
// ends. When the interface cannot be disabled, a handle opened after the
// card was pulled (and the cable plugged in again) must not hear "present".
TEST_F(DeviceLife, AReaderThatWentAwayNoLongerVouchesForItsCard) {
  ReaderPort& port = startedReader();
  platform::Handle handle = open(port);
  auto removal = system.io().deviceControlAsync(handle, IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
  system.scheduler().runUntilIdle();
  ASSERT_FALSE(removal.done());
  system.faults().failCall(platform::fault::kSetInterfaceState, 1);  // the close's disable
  port.reader->unplug();
  system.scheduler().advanceBy(1s);
  ASSERT_EQ(system.faults().injected().size(), 1u);
  EXPECT_TRUE(removal.done());
  EXPECT_EQ(removal.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(cardState(handle), static_cast<ULONG>(SCARD_UNKNOWN));
  EXPECT_EQ(close(handle), STATUS_SUCCESS);

  port.reader->removeCard();
  port.reader->plug();
  system.scheduler().advanceBy(1s);
  platform::Handle later = open(port);
  EXPECT_EQ(cardState(later), static_cast<ULONG>(SCARD_UNKNOWN));
  EXPECT_EQ(close(later), STATUS_SUCCESS);
}

// Every way AddDevice fails: what is logged, what it returns, and that no
// device, slot or allocation is left behind.
struct AddDeviceFailure {
  const char* name;
  std::string_view faultKind;
  std::uint64_t callNumber;
  std::optional<NTSTATUS> status;  // none: the status of the failed call
  std::optional<NTSTATUS> logged;
};

class AddDeviceFails : public FrameTest, public ::testing::WithParamInterface<AddDeviceFailure> {};

TEST_P(AddDeviceFails, LeavesNothingBehind) {
  const AddDeviceFailure& row = GetParam();
  ReaderPort& port = addPort();
  const auto devicesBefore = system.census().devices;

  system.faults().failCall(row.faultKind, row.callNumber);
  const NTSTATUS status = system.pnp().addDevice(driver, port.physicalDevice());
  EXPECT_FALSE(NT_SUCCESS(status));
  if (row.status) {
    EXPECT_EQ(status, *row.status);
  }
  EXPECT_EQ(system.faults().injected().size(), 1u) << "the planned failure happened";

  if (row.logged) {
    EXPECT_EQ(system.eventLog().codes(), std::vector<NTSTATUS>{*row.logged});
  } else {
    EXPECT_TRUE(system.eventLog().codes().empty());
  }
  EXPECT_EQ(readerDevice(port), nullptr);
  EXPECT_EQ(system.census().devices, devicesBefore);
  EXPECT_EQ(driver->DeviceObject, nullptr);
  EXPECT_EQ(DeviceSlots[0], 0);

  // The slot is free again: the next reader takes it.
  system.faults().reset();
  ASSERT_EQ(system.pnp().addDevice(driver, port.physicalDevice()), STATUS_SUCCESS);
  EXPECT_EQ(extension(port)->DeviceInstance, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    DeviceLife, AddDeviceFails,
    ::testing::Values(
        AddDeviceFailure{"DeviceObject", platform::fault::kCreateDevice, 1, std::nullopt, MSG_CREATE_DEVICE_FAILED},
        AddDeviceFailure{"ReaderRecord", platform::fault::kPool, 1, STATUS_INSUFFICIENT_RESOURCES, MSG_NO_MEMORY},
        AddDeviceFailure{"CloseWorkItem", platform::fault::kWorkItem, 1, STATUS_INSUFFICIENT_RESOURCES, std::nullopt},
        AddDeviceFailure{"SmartcardInitialize", platform::fault::kSmartcardInitialize, 1, std::nullopt, std::nullopt},
        AddDeviceFailure{"Attach", platform::fault::kAttach, 1, STATUS_UNSUCCESSFUL, MSG_SERIAL_PORT_CONNECT_FAILED},
        AddDeviceFailure{"InterfaceRegistration", platform::fault::kRegisterInterface, 1, std::nullopt, std::nullopt}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

}  // namespace
}  // namespace tav712::testing
