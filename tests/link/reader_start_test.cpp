// Reader start and stop against the emulated reader: the serial traffic in
// order, the link states told by the events, the device interface, the event
// log, and every way a start can fail.
#include <gtest/gtest.h>

#include <platform/faults.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <string>

#include "link/ReaderCommands.h"
#include "link/ReaderStart.h"
#include "common/test_cases.h"
#include "support/driver_harness.h"
#include "tav712log.h"

namespace tav712::testing {
namespace {

using namespace std::chrono_literals;

// The requests the serial driver received, as text, without the receive
// engine's own traffic (reads, comm-status polls and re-armed waits).
std::vector<std::string> linkTraffic(const SerialRecorder& recorder, bool keepFirstWait = true) {
  std::vector<std::string> traffic;
  bool firstWait = keepFirstWait;
  for (const SerialRequest& request : recorder.requests()) {
    if (request.majorFunction == IRP_MJ_READ || request.isControl(IOCTL_SERIAL_GET_COMMSTATUS)) continue;
    if (request.isControl(IOCTL_SERIAL_WAIT_ON_MASK)) {
      if (!firstWait) continue;
      firstWait = false;
    }
    traffic.push_back(request.describe());
  }
  return traffic;
}

const std::vector<std::string> kStartTraffic = {
    "CREATE",
    "CONTROL 0x001B0004 in 00 4B 00 00",
    "CONTROL 0x001B000C in 00 00 08",
    "CONTROL 0x001B005C in 00 00 00 00 00 00",
    "CONTROL 0x001B001C in 32 00 00 00 00 00 00 00 64 00 00 00 00 00 00 00 E8 03 00 00",
    "CONTROL 0x001B0064 in 00 00 00 00 00 00 00 80 00 00 00 00 00 00 00 00",
    "CONTROL 0x001B004C in 0C 00 00 00",
    "CONTROL 0x001B0014",
    "CONTROL 0x001B0044 in 11 00 00 00",
    "CONTROL 0x001B0048",
    "WRITE C0",     // firmware version
    "WRITE 88 00",  // start table
    "WRITE 82 4F",
    "WRITE C4",  // card state
};

const std::vector<std::string> kStopTraffic = {
    "WRITE 84 00",  // power down
    "WRITE 84 00",  // stop table
    "WRITE 82 00", "CONTROL 0x001B0044 in 00 00 00 00", "CLOSE",
};

bool interfaceEnabled(DriverHarness& harness) {
  const UNICODE_STRING& name = harness.deviceExtension()->PnPDeviceName;
  return harness.system().io().interfaceEnabled(std::u16string(name.Buffer, name.Length / sizeof(WCHAR)));
}

emulator::EmulatorKnobs readerKnobs(const std::function<void(emulator::ReaderKnobs&)>& change) {
  emulator::EmulatorKnobs knobs;
  change(knobs.reader);
  return knobs;
}

bool signalled(KEVENT& event) { return KeReadStateEvent(&event) != 0; }

NTSTATUS start(DriverHarness& harness) {
  return harness.call([&] { return StartDevice(harness.deviceObject()); }, "start");
}

void stop(DriverHarness& harness) {
  harness.call([&] { StopDevice(harness.deviceExtension()); }, "stop");
}

TEST(ReaderStart, StartStopAndRestartSendTheirTrafficInOrder) {
  DriverHarness harness;
  ASSERT_EQ(start(harness), STATUS_SUCCESS);
  EXPECT_EQ(linkTraffic(*harness.recorder()), kStartTraffic);
  PDEVICE_EXTENSION device = harness.deviceExtension();
  EXPECT_FALSE(signalled(device->SerialCloseDone));
  EXPECT_TRUE(signalled(device->ReaderStarted));
  EXPECT_TRUE(interfaceEnabled(harness));
  EXPECT_EQ(harness.smartcardExtension()->ReaderCapabilities.CurrentState, ULONG{SCARD_SWALLOWED});
  EXPECT_TRUE(harness.system().eventLog().codes().empty());

  harness.recorder()->clear();
  stop(harness);
  const platform::Instant stopped = harness.now();
  EXPECT_EQ(linkTraffic(*harness.recorder(), false), kStopTraffic);
  std::vector<SerialRequest> writes;
  std::ranges::copy_if(harness.recorder()->requests(), std::back_inserter(writes),
                       [](const SerialRequest& request) { return request.majorFunction == IRP_MJ_WRITE; });
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_GE(writes[1].sentAt - writes[0].sentAt, 200ms) << "the power-down's pause";
  const std::vector<SerialRequest> requests = harness.recorder()->requests();
  const auto close = std::ranges::find(requests, UCHAR{IRP_MJ_CLOSE}, &SerialRequest::majorFunction);
  ASSERT_NE(close, requests.end());
  EXPECT_LE(close->completedAt, stopped) << "the close was done before StopDevice returned";

  EXPECT_TRUE(signalled(device->SerialCloseDone));
  EXPECT_FALSE(interfaceEnabled(harness));
  EXPECT_EQ(harness.port().snapshot().openCount, 0u);

  // A stopped reader starts again the same way.
  harness.recorder()->clear();
  ASSERT_EQ(start(harness), STATUS_SUCCESS);
  EXPECT_EQ(linkTraffic(*harness.recorder()), kStartTraffic);
  EXPECT_TRUE(interfaceEnabled(harness));
}

// A stop that could not disable the interface (no memory) leaves it enabled;
// the next start finds it so and still succeeds.
TEST(ReaderStart, StartsWithAnInterfaceAStopLeftEnabled) {
  DriverHarness harness;
  ASSERT_EQ(start(harness), STATUS_SUCCESS);
  harness.system().faults().failCall(platform::fault::kSetInterfaceState, 1);
  stop(harness);
  ASSERT_EQ(harness.system().faults().injected().size(), 1u);
  EXPECT_TRUE(interfaceEnabled(harness));
  EXPECT_EQ(start(harness), STATUS_SUCCESS);
  EXPECT_TRUE(signalled(harness.deviceExtension()->ReaderStarted));
}

// The start's card-state read that the reader answers with its error code,
// or too late, is asked again: with the state unknown every request would
// find no card in the reader for the rest of its life.
struct CardStateMiss {
  const char* name;
  std::function<void(emulator::ReaderKnobs&)> knobs;
};

void PrintTo(const CardStateMiss& row, std::ostream* out) { *out << row.name; }

class StartCardState : public ::testing::TestWithParam<CardStateMiss> {};

TEST_P(StartCardState, IsAskedAgainWhenTheReplyIsLost) {
  DriverHarness harness({.line = EmulatorLine{readerKnobs(GetParam().knobs)}});
  ASSERT_EQ(start(harness), STATUS_SUCCESS);
  EXPECT_EQ(harness.smartcardExtension()->ReaderCapabilities.CurrentState, ULONG{SCARD_SWALLOWED});
}

INSTANTIATE_TEST_SUITE_P(Replies, StartCardState,
                         ::testing::Values(CardStateMiss{"ReaderError",
                                                         [](emulator::ReaderKnobs& k) { k.errorReplies = {4}; }},
                                           CardStateMiss{"LateReply",
                                                         [](emulator::ReaderKnobs& k) {
                                                           k.lateReplies = {4};
                                                           k.lateReplyMs = 400;
                                                         }}),
                         tav712::testing::RowName{});

// When the serial event wait cannot be re-armed the port is no longer
// watched: the link closes, and a stop does not wait for a wait that never
// ends.
TEST(ReaderStart, AWaitThatCannotBeReArmedClosesTheLink) {
  DriverHarness harness;
  ASSERT_EQ(start(harness), STATUS_SUCCESS);
  harness.system().faults().failCall(platform::fault::kAllocateIrp, 1);
  UCHAR contacts = 0;
  EXPECT_EQ(harness.call([&] { return ReaderReadRegister(harness.readerExtension(), 4, &contacts); }), STATUS_SUCCESS);
  harness.runUntilIdle();
  EXPECT_TRUE(signalled(harness.deviceExtension()->SerialCloseDone));
  EXPECT_FALSE(interfaceEnabled(harness));
  harness.recorder()->clear();
  stop(harness);
  EXPECT_TRUE(harness.recorder()->requests().empty());
}

// The empty wait mask is what ends the pending wait; a stop whose request
// for it cannot be built tries again rather than wait for ever. (The reader
// is silent by then: the stop also goes on past an unanswered power-down.)
TEST(ReaderStop, RetriesTheEmptyWaitMaskWhenItsRequestCannotBeBuilt) {
  // The reader answers the start, then nothing more.
  DriverHarness harness({.line = EmulatorLine{readerKnobs([](auto& reader) { reader.silentAfter = 4; })}});
  ASSERT_EQ(start(harness), STATUS_SUCCESS);
  harness.recorder()->clear();
  // Request 1 is the power-down's write; request 2 the empty wait mask.
  harness.system().faults().failCall(platform::fault::kBuildIoctl, 2);
  stop(harness);
  EXPECT_EQ(harness.system().faults().injected().size(), 1u);
  EXPECT_TRUE(signalled(harness.deviceExtension()->SerialCloseDone));
  EXPECT_EQ(linkTraffic(*harness.recorder(), false),
            (std::vector<std::string>{"WRITE 84 00", "CONTROL 0x001B0044 in 00 00 00 00", "CLOSE"}));
  EXPECT_EQ(harness.port().snapshot().openCount, 0u);
}

struct StartFailure {
  const char* name;
  std::function<void(DriverHarness&)> inject;
  NTSTATUS status;  // STATUS_PENDING: any failure
  std::vector<NTSTATUS> logged;
  bool portOpened;
  emulator::EmulatorKnobs knobs = {};
};

void PrintTo(const StartFailure& row, std::ostream* out) { *out << row.name; }

class FailedStart : public ::testing::TestWithParam<StartFailure> {};

TEST_P(FailedStart, LogsItsCodeAndLeavesTheLinkClosed) {
  const StartFailure& test = GetParam();
  DriverHarness harness({.line = EmulatorLine{test.knobs}});
  test.inject(harness);
  const NTSTATUS status = start(harness);
  if (test.status == STATUS_PENDING) {
    EXPECT_NE(status, STATUS_SUCCESS);
  } else {
    EXPECT_EQ(status, test.status);
  }
  EXPECT_EQ(harness.system().eventLog().codes(), test.logged);
  EXPECT_TRUE(signalled(harness.deviceExtension()->SerialCloseDone));
  EXPECT_FALSE(signalled(harness.deviceExtension()->ReaderStarted));
  EXPECT_FALSE(interfaceEnabled(harness));
  const serial::PortSnapshot port = harness.port().snapshot();
  EXPECT_EQ(port.openCount, 0u) << "a port this start opened is closed again";
  EXPECT_FALSE(port.waitPending);
  const std::vector<SerialRequest> requests = harness.recorder()->requests();
  if (test.portOpened) {
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().majorFunction, IRP_MJ_CLOSE);
  } else {
    EXPECT_LE(requests.size(), 1u) << "at most the refused open";
  }
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, FailedStart,
    ::testing::Values(
        StartFailure{"RequestAllocation",
                     [](DriverHarness& h) { h.system().faults().failCall(platform::fault::kAllocateIrp, 1); },
                     STATUS_NO_MEMORY,
                     {MSG_NO_MEMORY},
                     false},
        StartFailure{"Open",
                     [](DriverHarness& h) { h.recorder()->failNext(IRP_MJ_CREATE, STATUS_ACCESS_DENIED); },
                     STATUS_ACCESS_DENIED,
                     {MSG_SERIAL_OPEN_FAILED},
                     false},
        StartFailure{"Configuration",
                     [](DriverHarness& h) {
                       h.recorder()->failNext(IRP_MJ_DEVICE_CONTROL, STATUS_INVALID_PARAMETER,
                                              IOCTL_SERIAL_SET_TIMEOUTS);
                     },
                     STATUS_INVALID_PARAMETER,
                     {MSG_SERIAL_CONFIG_FAILED},
                     true},
        StartFailure{"WaitAllocation",
                     [](DriverHarness& h) { h.system().faults().failCall(platform::fault::kAllocateIrp, 2); },
                     STATUS_INSUFFICIENT_RESOURCES,
                     {MSG_SERIAL_CONFIG_FAILED},
                     true},
        StartFailure{"FirmwareVersion",
                     [](DriverHarness&) {},
                     STATUS_IO_TIMEOUT,
                     {MSG_READER_INIT_FAILED},
                     true,
                     readerKnobs([](auto& reader) { reader.silentAfter = 0; })},
        StartFailure{"StartTable",
                     [](DriverHarness&) {},
                     STATUS_DATA_ERROR,
                     {MSG_READER_INIT_FAILED},
                     true,
                     readerKnobs([](auto& reader) { reader.wrongReplies = {2}; })},
        StartFailure{"Interface",
                     [](DriverHarness& h) { h.system().faults().failCall(platform::fault::kSetInterfaceState, 1); },
                     STATUS_PENDING,
                     {},
                     true}),
    [](const ::testing::TestParamInfo<StartFailure>& paramInfo) { return std::string(paramInfo.param.name); });

}  // namespace
}  // namespace tav712::testing
