// The device-control gate against the PnP manager: a request held at the
// closed gate ends when the reader goes away or the application cancels it;
// a stop query that closes the gate again before a released request has run
// keeps it waiting; removal never overtakes a request's last touch of the
// device; and the Plug and Play requests the driver handles go down and come
// back with plain success.
#include "frame_fixture.h"

#include <gtest/gtest.h>

#include "common/test_cases.h"

#include <functional>
#include <ostream>

namespace tav712::testing {
namespace {

class Gate : public FrameTest {
 protected:
  Gate() = default;
  explicit Gate(platform::SystemOptions options) : FrameTest(options) {}

  // An application request that waits at the gate an accepted query-stop
  // closed.
  platform::PendingRequest heldRequest(ReaderPort& port, platform::Handle handle) {
    EXPECT_EQ(system.pnp().send(port.physicalDevice(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    auto request = system.io().deviceControlAsync(handle, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
    system.scheduler().advanceBy(5s);
    EXPECT_FALSE(request.done()) << "the request passed a closed gate";
    return request;
  }
};

// Each way the device goes away while a request waits at the gate: the
// request ends with STATUS_DELETE_PENDING, later ones too, and the device
// is removed without anything left behind (the unload at the end checks).
class GateReleased;

struct Departure {
  const char* name;
  // Runs from the held request on; clears the handle when it closed it.
  std::function<void(GateReleased&, ReaderPort&, platform::Handle&)> depart;

  friend void PrintTo(const Departure& departure, std::ostream* out) { *out << departure.name; }
};

class GateReleased : public Gate, public ::testing::WithParamInterface<Departure> {
 public:
  using Gate::close;
};

TEST_P(GateReleased, HeldRequestEndsAndTheDeviceGoes) {
  ReaderPort& port = startedReader();
  platform::Handle handle = open(port);
  PDEVICE_OBJECT device = readerDevice(port);
  auto request = heldRequest(port, handle);

  GetParam().depart(*this, port, handle);

  auto result = request.wait();
  EXPECT_EQ(result.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(result.information, 0u);
  if (handle) {
    auto later = control(handle, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
    EXPECT_EQ(later.status, STATUS_DELETE_PENDING) << "the gate stays closed for good";
    EXPECT_EQ(close(handle), STATUS_SUCCESS);
    EXPECT_EQ(system.pnp().send(port.physicalDevice(), IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  }
  EXPECT_FALSE(system.deviceExists(device));
  EXPECT_EQ(port.port->snapshot().openCount, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Gate, GateReleased,
    ::testing::Values(Departure{"SurpriseRemoval",
                                [](GateReleased& test, ReaderPort& port, platform::Handle&) {
                                  port.reader->unplug();
                                  EXPECT_EQ(test.system.pnp().send(port.physicalDevice(), IRP_MN_SURPRISE_REMOVAL),
                                            STATUS_SUCCESS);
                                }},
                      Departure{"FailedRestart",
                                [](GateReleased& test, ReaderPort& port, platform::Handle&) {
                                  EXPECT_EQ(test.system.pnp().send(port.physicalDevice(), IRP_MN_STOP_DEVICE),
                                            STATUS_SUCCESS);
                                  port.reader->unplug();
                                  EXPECT_NE(test.system.pnp().start(port.physicalDevice()), STATUS_SUCCESS);
                                }}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

// The handle goes while its request waits at the gate: the request still
// holds the file, so the driver has had no close and refuses to be removed;
// once the request is cancelled (as the sending thread's exit does), the
// close comes and the removal goes through.
TEST_F(Gate, ClosedHandleKeepsTheDeviceUntilItsHeldRequestEnds) {
  ReaderPort& port = startedReader();
  platform::Handle handle = open(port);
  PDEVICE_OBJECT device = readerDevice(port);
  auto request = heldRequest(port, handle);

  EXPECT_EQ(close(handle), STATUS_SUCCESS);
  EXPECT_NE(system.pnp().remove(port.physicalDevice()), STATUS_SUCCESS);
  EXPECT_FALSE(request.done());
  EXPECT_TRUE(system.deviceExists(device));

  EXPECT_TRUE(request.cancel());
  EXPECT_EQ(request.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(system.pnp().remove(port.physicalDevice()), STATUS_SUCCESS);
  EXPECT_FALSE(system.deviceExists(device));
  EXPECT_EQ(port.port->snapshot().openCount, 0u);
}

// The same with a card-tracking request: it reaches the library only after
// its handle's cleanup, which found nothing parked. It is cancelled then,
// not parked for a card event that may never come while the handle's close
// waits for it.
TEST_F(Gate, TrackingRequestOfAClosedHandleIsCancelledOnceItPassesTheGate) {
  ReaderPort& port = startedReader();
  platform::Handle handle = open(port);
  PDEVICE_OBJECT device = readerDevice(port);
  ASSERT_EQ(system.pnp().send(port.physicalDevice(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  auto tracking = system.io().deviceControlAsync(handle, IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
  system.scheduler().advanceBy(5s);
  ASSERT_FALSE(tracking.done());

  EXPECT_EQ(close(handle), STATUS_SUCCESS);
  ASSERT_EQ(system.pnp().send(port.physicalDevice(), IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  system.scheduler().advanceBy(1s);
  ASSERT_TRUE(tracking.done()) << "parked for the card's removal after its handle was cleaned up";
  EXPECT_EQ(tracking.wait().status, STATUS_CANCELLED);

  // The next handle's tracking request is parked as ever.
  handle = open(port);
  auto next = system.io().deviceControlAsync(handle, IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
  system.scheduler().advanceBy(1s);
  EXPECT_FALSE(next.done());
  EXPECT_EQ(close(handle), STATUS_SUCCESS);
  EXPECT_EQ(next.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(system.pnp().remove(port.physicalDevice()), STATUS_SUCCESS);
  EXPECT_FALSE(system.deviceExists(device));
}

TEST_F(Gate, HeldRequestCanBeCancelled) {
  ReaderPort& port = startedReader();
  platform::Handle handle = open(port);
  auto request = heldRequest(port, handle);

  EXPECT_TRUE(request.cancel());
  auto result = request.wait();
  EXPECT_EQ(result.status, STATUS_CANCELLED);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(extension(port)->IoCount, 0);

  // The gate itself is as it was: closed until the stop is cancelled.
  EXPECT_EQ(system.pnp().send(port.physicalDevice(), IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(cardState(handle), static_cast<ULONG>(SCARD_SWALLOWED));
  EXPECT_EQ(close(handle), STATUS_SUCCESS);
}

// A cancel-stop releases the held request, but the stop is asked again
// before the request's thread has run: the request must not go to the
// reader while the second stop is pending, and waits on. Threads switch only
// where they block, so the released thread cannot run between the two.
class GateWithoutSwitches : public Gate {
 protected:
  GateWithoutSwitches() : Gate(platform::SystemOptions{.switchAtYieldPoints = false}) {}
};

TEST_F(GateWithoutSwitches, GateClosedAgainBeforeTheReleasedRequestRunsKeepsItWaiting) {
  ReaderPort& port = startedReader();
  platform::Handle handle = open(port);
  auto request = heldRequest(port, handle);

  ASSERT_EQ(system.pnp().send(port.physicalDevice(), IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  ASSERT_EQ(system.pnp().send(port.physicalDevice(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  system.scheduler().advanceBy(5s);
  EXPECT_FALSE(request.done()) << "the request passed the gate the second query-stop closed";
  EXPECT_EQ(extension(port)->IoCount, 0);

  ASSERT_EQ(system.pnp().send(port.physicalDevice(), IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(request.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(close(handle), STATUS_SUCCESS);
}

// A refused query-remove enabled the interface again; the cancel-remove
// that follows must still end with plain success, not with the
// informational status of enabling an enabled interface.
TEST_F(Gate, CancelRemoveAfterARefusedQueryEndsWithSuccess) {
  ReaderPort& port = startedReader();
  platform::Handle handle = open(port);

  EXPECT_EQ(system.pnp().send(port.physicalDevice(), IRP_MN_QUERY_REMOVE_DEVICE), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(system.pnp().send(port.physicalDevice(), IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
  EXPECT_TRUE(system.io().interfaceEnabled(interfaceName(port)));
  EXPECT_EQ(close(handle), STATUS_SUCCESS);
}

// Removal waits for the request inside the library, and goes on the moment
// that request lets go of the device; with the port already closed (the
// reader was unplugged) nothing holds it up on its way to deleting the
// device. Each seed switches threads at other points: the request's thread
// must be done with the device before it lets go.
class RemovalAfterRequest : public FrameTest, public ::testing::WithParamInterface<std::uint64_t> {
 protected:
  RemovalAfterRequest() : FrameTest(GetParam()) {}
};

TEST_P(RemovalAfterRequest, DoesNotOvertakeTheRequestsLastTouch) {
  ReaderPort& port = startedReader();
  platform::Handle handle = open(port);
  PDEVICE_OBJECT device = readerDevice(port);
  auto request = coldReset(handle);
  ASSERT_TRUE(system.scheduler().runUntil([&] { return extension(port)->IoCount > 0; }, 1s));

  port.reader->unplug();
  ASSERT_TRUE(
      system.scheduler().runUntil([&] { return KeReadStateEvent(&extension(port)->SerialCloseDone) != 0; }, 1s));
  ASSERT_FALSE(request.done()) << "the request should still be inside the library";
  EXPECT_EQ(close(handle), STATUS_SUCCESS);

  NTSTATUS removal = STATUS_PENDING;
  auto pnpThread =
      system.scheduler().spawn("pnp", [&] { removal = system.pnp().surpriseRemove(port.physicalDevice()); });
  request.wait();
  system.scheduler().join(pnpThread);
  EXPECT_EQ(removal, STATUS_SUCCESS);
  EXPECT_FALSE(system.deviceExists(device));
}

// The same for the handle's own hold: the removal that waits for the open
// handle goes on the moment the close lets go, and the close request must
// be finished by then.
TEST_P(RemovalAfterRequest, DoesNotOvertakeTheClose) {
  ReaderPort& port = startedReader();
  platform::Handle handle = open(port);
  PDEVICE_OBJECT device = readerDevice(port);
  port.reader->unplug();
  ASSERT_TRUE(
      system.scheduler().runUntil([&] { return KeReadStateEvent(&extension(port)->SerialCloseDone) != 0; }, 1s));

  NTSTATUS removal = STATUS_PENDING;
  auto pnpThread =
      system.scheduler().spawn("pnp", [&] { removal = system.pnp().surpriseRemove(port.physicalDevice()); });
  system.scheduler().advanceBy(1s);
  ASSERT_EQ(removal, STATUS_PENDING) << "the removal should wait for the open handle";
  EXPECT_EQ(close(handle), STATUS_SUCCESS);
  system.scheduler().join(pnpThread);
  EXPECT_EQ(removal, STATUS_SUCCESS);
  EXPECT_FALSE(system.deviceExists(device));
}

INSTANTIATE_TEST_SUITE_P(Gate, RemovalAfterRequest, seedRange(1, 16), SeedName{});

// A query-stop races a request on its way through the gate, the seed
// switching threads at other points: the stop is refused while the request
// is counted, or the request waits at the gate the stop closed. An accepted
// stop never lets the request go on to the reader.
class QueryStopRace : public FrameTest, public ::testing::WithParamInterface<std::uint64_t> {
 protected:
  QueryStopRace() : FrameTest(GetParam()) {}
};

TEST_P(QueryStopRace, AnAcceptedStopKeepsAnUnfinishedRequestAtTheGate) {
  ReaderPort& port = startedReader();
  platform::Handle handle = open(port);
  auto request = coldReset(handle);
  const NTSTATUS query = system.pnp().send(port.physicalDevice(), IRP_MN_QUERY_STOP_DEVICE);
  if (query == STATUS_SUCCESS) {
    const bool finishedBefore = request.done();
    system.scheduler().advanceBy(5s);
    EXPECT_EQ(request.done(), finishedBefore) << "the request passed the gate after the stop was accepted";
    ASSERT_EQ(system.pnp().send(port.physicalDevice(), IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
  } else {
    EXPECT_EQ(query, STATUS_DEVICE_BUSY);
  }
  EXPECT_EQ(request.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(close(handle), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Gate, QueryStopRace, seedRange(1, 16), SeedName{});

}  // namespace
}  // namespace tav712::testing
