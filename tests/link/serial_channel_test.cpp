// The serial channel as the serial port driver receives it: configuration
// requests with their inputs and pauses, writes and reads, control requests
// that outlive their time-out, and where the serial event wait leads.
#include <gtest/gtest.h>

#include <platform/faults.h>

#include "link/ReaderStart.h"
#include "link/SerialChannel.h"
#include "support/driver_harness.h"

namespace tav712::testing {
namespace {

using namespace std::chrono_literals;

// The eight configuration requests, in order. (Their inputs and the armed
// wait are checked on the wire of a reader start, in ReaderStartTest.)
const ULONG kConfigurationCodes[] = {
    IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
    IOCTL_SERIAL_SET_TIMEOUTS,  IOCTL_SERIAL_SET_HANDFLOW,     IOCTL_SERIAL_PURGE,
    IOCTL_SERIAL_SET_BREAK_OFF, IOCTL_SERIAL_SET_WAIT_MASK,
};

// The port below the reader device, opened without being configured, on a
// scripted line (silent unless given); ReadTotalTimeout 100 ms.
class SerialChannel : public ::testing::Test {
 protected:
  explicit SerialChannel(const std::string& script = "") : harness({.line = ScriptLine{script}}) {}
  void SetUp() override {
    ASSERT_EQ(harness.openPort(), STATUS_SUCCESS);
    reader->ReadTotalTimeout = 100;
  }
  NTSTATUS control(ULONG code, PVOID input, ULONG inputLength, PVOID output = nullptr, ULONG outputLength = 0) {
    return harness.call([&] { return SerialIoControl(reader, code, input, inputLength, output, outputLength); });
  }
  NTSTATUS configure(SERIAL_CONFIG config) {
    return harness.call([&] { return ConfigureSerialPort(reader, &config); });
  }
  // Ends a serial wait with these events, as the serial driver does.
  void completeWait(ULONG events) {
    harness.call([&] {
      PIRP irp = IoAllocateIrp(static_cast<CCHAR>(reader->AttachedDeviceObject->StackSize + 1), FALSE);
      reader->SerialEventMask = events;
      KIRQL oldIrql;
      KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
      EXPECT_EQ(SerialEventCompletion(nullptr, irp, reader), STATUS_MORE_PROCESSING_REQUIRED);
      KeLowerIrql(oldIrql);
    });
    harness.runUntilIdle();
  }

  DriverHarness harness;
  PREADER_EXTENSION reader = harness.readerExtension();
};

SERIAL_CONFIG minimalConfig() {
  SERIAL_CONFIG config{};
  config.BaudRate.BaudRate = 19200;
  config.LineControl.WordLength = 8;
  return config;
}

// The n-th request cannot be built: the sequence stops after its pause.
class FailingConfigurationRequest : public SerialChannel, public ::testing::WithParamInterface<int> {};

TEST_P(FailingConfigurationRequest, StopsTheSequenceAfterItsPauseWithoutArmingTheWait) {
  const int failing = GetParam();
  harness.recorder()->clear();
  SERIAL_CONFIG config = minimalConfig();
  config.WaitMask = 0x11;
  config.PurgeMask = 0x0C;
  const platform::Instant start = harness.now();
  harness.system().faults().failCall(platform::fault::kBuildIoctl, static_cast<std::uint64_t>(failing));

  EXPECT_EQ(configure(config), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(harness.now() - start, 25ms * failing) << "every request sent or attempted gets its 25 ms";
  const std::vector<SerialRequest> requests = harness.recorder()->requests();
  ASSERT_EQ(requests.size(), static_cast<std::size_t>(failing - 1));
  for (std::size_t i = 0; i < requests.size(); ++i) EXPECT_TRUE(requests[i].isControl(kConfigurationCodes[i]));
  EXPECT_FALSE(harness.port().snapshot().waitPending);
}

INSTANTIATE_TEST_SUITE_P(FirstAndLast, FailingConfigurationRequest, ::testing::Values(1, 8),
                         [](const ::testing::TestParamInfo<int>& row) {
                           return "Request" + std::to_string(row.param);
                         });

TEST_F(SerialChannel, AWriteDiscardsTheBytesNobodyTook) {
  reader->ReceivedBytes = 5;
  harness.call([&] { KeSetEvent(&reader->DataAvailable, IO_NO_INCREMENT, FALSE); });
  const UCHAR command[] = {0xC0};
  EXPECT_EQ(harness.call([&] { return SerialWrite(reader, command, 1); }), STATUS_SUCCESS);
  EXPECT_EQ(reader->ReceivedBytes, 0u);
  EXPECT_EQ(KeReadStateEvent(&reader->DataAvailable), 0);
}

// A pending control request that outlives ReadTotalTimeout is cancelled and
// awaited: the serial driver finishes with it before the call returns, and
// the caller sees a failure, never success.
TEST_F(SerialChannel, AControlRequestOutlivingItsTimeoutIsCancelledAndReportedAsIoTimeout) {
  ULONG mask = SERIAL_EV_RXCHAR;
  ASSERT_EQ(control(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask), STATUS_SUCCESS);
  harness.recorder()->clear();

  const platform::Instant start = harness.now();
  ULONG events = 0;
  EXPECT_EQ(control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &events, sizeof events), STATUS_IO_TIMEOUT);
  EXPECT_EQ(harness.now() - start, 100ms);
  const std::vector<SerialRequest> requests = harness.recorder()->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].status, STATUS_CANCELLED) << "finished by the serial driver before the call returned";
  EXPECT_EQ(requests[0].completedAt, harness.now());
  EXPECT_FALSE(harness.port().snapshot().waitPending);
  EXPECT_EQ(harness.system().census().irps, 0u);
}

// Where a completed serial wait leads, by the events it reports: received
// characters to the serial event worker (which asks for the comm status),
// anything else to the close worker (which closes the port). A DSR change
// that comes with received characters closes the port after the worker.
struct WaitEnding {
  const char* name;
  ULONG events;
  bool worker;
  bool linkOpenAfter;
};

class SerialWaitEnding : public SerialChannel, public ::testing::WithParamInterface<WaitEnding> {};

TEST_P(SerialWaitEnding, QueuesTheWorkerForReceivedCharactersAndTheCloseOtherwise) {
  const WaitEnding& row = GetParam();
  ULONG waitMask = 0x11;
  control(IOCTL_SERIAL_SET_WAIT_MASK, &waitMask, sizeof waitMask);
  harness.call([&] { KeClearEvent(&harness.deviceExtension()->SerialCloseDone); });
  harness.recorder()->clear();
  completeWait(row.events);

  const std::vector<SerialRequest> requests = harness.recorder()->requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_TRUE(row.worker ? requests[0].isControl(IOCTL_SERIAL_GET_COMMSTATUS)
                         : requests[0].majorFunction == IRP_MJ_CLOSE)
      << requests[0].describe();
  EXPECT_EQ(harness.linkOpen(), row.linkOpenAfter);
}

INSTANTIATE_TEST_SUITE_P(ByMask, SerialWaitEnding,
                         ::testing::Values(WaitEnding{"ReceivedCharacter", SERIAL_EV_RXCHAR, true, true},
                                           WaitEnding{"ReceivedCharacterAndDsrChange", SERIAL_EV_RXCHAR | SERIAL_EV_DSR,
                                                      true, false},
                                           WaitEnding{"DsrChangeAlone", SERIAL_EV_DSR, false, false}),
                         [](const auto& row) { return std::string(row.param.name); });

// A wait the serial driver refuses leaves the mask unwritten; the events of
// the previous wait must not be taken for new ones.
TEST_F(SerialChannel, ARefusedWaitLeadsToTheCloseEvenAfterAnEarlierReceivedCharacter) {
  harness.call([&] { KeClearEvent(&harness.deviceExtension()->SerialCloseDone); });
  reader->SerialEventMask = SERIAL_EV_RXCHAR;  // what the last wait reported
  // No wait mask is set, so the serial driver refuses the wait at once.
  EXPECT_EQ(harness.call([&] { return StartSerialEventWait(reader); }), STATUS_SUCCESS);
  harness.runUntilIdle();
  EXPECT_FALSE(harness.linkOpen());
  const std::vector<SerialRequest> requests = harness.recorder()->requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_NE(requests[requests.size() - 2].status, STATUS_SUCCESS);
  EXPECT_EQ(requests.back().majorFunction, IRP_MJ_CLOSE);
}

// At PASSIVE_LEVEL the pause sleeps (the configuration requests' 25 ms each
// are timed above); at DISPATCH_LEVEL it stalls for exactly the time.
TEST(SerialChannelUnopened, DelayMillisecondsStallsForExactlyTheTimeAtDispatchLevel) {
  DriverHarness harness({.line = ScriptLine{""}});
  const platform::Instant start = harness.now();
  harness.call([&] {
    KIRQL oldIrql;
    KeRaiseIrql(DISPATCH_LEVEL, &oldIrql);
    DelayMilliseconds(25);
    KeLowerIrql(oldIrql);
  });
  EXPECT_EQ(harness.now() - start, 25ms);
}

}  // namespace
}  // namespace tav712::testing
