// Writes at the line speed, the input and output queues, purge, comm status,
// cancellation, validation and the trace of the bytes on the line.

#include <platform/trace.h>

#include "common/test_cases.h"
#include "port_fixture.h"
#include "serial/serial_trace.h"

namespace serial::testing {
namespace {

using PortQueues = PortTest;

TEST_F(PortQueues, WrittenBytesLeaveAtTheLineSpeedAndTheWriteEndsWithTheLast) {
  setTimeouts(50, 0, 100, 0, 1000);
  const auto write = startWrite({0x45, 0x00, 0xC0, 0x10, 0x10, 0x7F});
  EXPECT_EQ(commStatus().AmountInOutQueue, 6u);
  runUntilIdle();
  EXPECT_EQ(write->status, STATUS_SUCCESS);
  EXPECT_EQ(write->information, 6u);
  EXPECT_EQ(write->completedAt - start_, 6 * kCharacter);
  ASSERT_EQ(line_->sent.size(), 6u);
  EXPECT_EQ(line_->sent[2].at - start_, 3 * kCharacter);
  EXPECT_EQ(line_->sent[2].byte, 0xC0);
}

TEST_F(PortQueues, ALateTransmitterInterruptDoesNotPushTheFollowingBytesBack) {
  // As on the wall clock: something holds the processor at DISPATCH_LEVEL
  // across the first stop bit, so its interrupt runs 2 ms late. The bytes
  // behind it leave as the line's own schedule says, in order.
  setTimeouts(50, 0, 100, 0, 1000);
  const auto write = startWrite({1, 2, 3, 4, 5, 6});
  platform::Scheduler::get().callAt(
      now() + kCharacter / 2, [] { KeStallExecutionProcessor(2000); }, platform::kDispatchLevel, "busy interrupt");
  runUntilIdle();
  ASSERT_EQ(write->status, STATUS_SUCCESS);
  EXPECT_EQ(write->completedAt - start_, 6 * kCharacter);
  ASSERT_EQ(line_->sent.size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(line_->sent[i].byte, i + 1);
}

TEST_F(PortQueues, AWriteTimeoutEndsTheWriteWithTheBytesSentSoFar) {
  setTimeouts(0, 0, 0, 0, 1);  // 1 ms: room for one byte and most of a second
  const auto write = startWrite({1, 2, 3, 4});
  runUntilIdle();
  EXPECT_EQ(write->status, STATUS_TIMEOUT);
  EXPECT_EQ(write->information, 1u);
  EXPECT_EQ(write->completedAt - start_, 1ms);
  // The byte on the wire at that moment still finishes; no more follow.
  ASSERT_EQ(line_->sent.size(), 2u);
  EXPECT_EQ(line_->sent[1].at - start_, 2 * kCharacter);
}

TEST_F(PortQueues, SlowerLineSettingsSlowTheBytesDown) {
  ASSERT_EQ(set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{9600}).status, STATUS_SUCCESS);
  ASSERT_EQ(set(IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BITS_2, EVEN_PARITY, 8}).status,
            STATUS_SUCCESS);
  const Instant before = now();
  const Outcome written = write({0x55});
  EXPECT_EQ(written.completedAt - before, characterTime({9600, 8, 2, 2}));
}

TEST_F(PortQueues, PurgeClearsTheQueuesAndAbortsPendingRequestsOnlyWhenAskedTo) {
  constexpr ULONG kClear = SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
  line_->sendAt(start_ + 1ms, {1, 2, 3, 4, 5});
  advanceTo(start_ + 10ms);
  EXPECT_EQ(commStatus().AmountInInQueue, 5u);
  ASSERT_EQ(control(IOCTL_SERIAL_PURGE, kClear).status, STATUS_SUCCESS);
  EXPECT_EQ(commStatus().AmountInInQueue, 0u);
  setTimeouts(0, 0, 0, 0, 0);
  const auto read = startRead(4);
  const auto write = startWrite({1, 2, 3, 4, 5, 6, 7, 8});
  ASSERT_EQ(control(IOCTL_SERIAL_PURGE, kClear).status, STATUS_SUCCESS);
  EXPECT_FALSE(read->done);
  EXPECT_FALSE(write->done);
  advanceTo(now() + 2 * kCharacter);
  ASSERT_EQ(control(IOCTL_SERIAL_PURGE, SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT).status, STATUS_SUCCESS);
  runUntilIdle();
  EXPECT_EQ(read->status, STATUS_CANCELLED);
  EXPECT_EQ(write->status, STATUS_CANCELLED);
  EXPECT_EQ(write->information, 2u);
  const SERIAL_STATUS status = commStatus();
  EXPECT_EQ(status.AmountInInQueue, 0u);
  EXPECT_EQ(status.AmountInOutQueue, 0u);
}

TEST_F(PortQueues, InputBeyondTheQueueIsLostAndReportedAsOverrun) {
  port_.reset();
  auto line = std::make_unique<FakeLine>();
  line_ = line.get();
  port_ = std::make_unique<SerialPort>(driver_, std::move(line), SerialPortOptions{.name = "COM2", .inQueueSize = 4});
  pdo_ = port_->physicalDeviceObject();
  line_->sendAt(now() + 1ms, {1, 2, 3, 4, 5, 6});
  runUntilIdle();
  SERIAL_STATUS status = commStatus();
  EXPECT_EQ(status.AmountInInQueue, 4u);
  EXPECT_EQ(status.Errors, static_cast<ULONG>(SERIAL_ERROR_QUEUEOVERRUN));
  EXPECT_EQ(commStatus().Errors, 0u);  // reading the status clears the errors
}

TEST_F(PortQueues, PendingReadsAndWritesCanBeCancelled) {
  setTimeouts(0, 0, 0, 0, 0);
  const auto read = startRead(3);
  line_->sendAt(start_ + 1ms, {9});
  advanceTo(start_ + 2ms);
  EXPECT_TRUE(cancel(*read));
  runUntilIdle();
  EXPECT_EQ(read->status, STATUS_CANCELLED);
  EXPECT_EQ(read->information, 1u);  // what it held

  const auto first = startWrite({1, 2, 3});
  const auto second = startWrite({4});
  EXPECT_TRUE(cancel(*first));
  runUntilIdle();
  EXPECT_EQ(first->status, STATUS_CANCELLED);
  EXPECT_EQ(second->status, STATUS_SUCCESS);
  // The cancelled write's byte on the wire finished; the next write followed.
  ASSERT_EQ(line_->sent.size(), 2u);
  EXPECT_EQ(line_->sent[1].byte, 4);
}

// A port that completes as a slow or loaded real one may: reads and waits
// from a late interrupt context, cancelled requests and power requests later.
class LatePort : public PortTest {
 protected:
  LatePort()
      : PortTest({}, SerialPortOptions{.completePowerAtDispatchLevel = true,
                                       .powerCompletionDelay = 4ms,
                                       .completeReadsAndWaitsAfter = 3ms,
                                       .completeCancelledAfter = 5ms}) {}
};

TEST_F(LatePort, CompletesReadsWaitsCancelledAndPowerRequestsLater) {
  setTimeouts(0, 0, 0);
  EXPECT_EQ(control(IOCTL_SERIAL_SET_WAIT_MASK, ULONG{SERIAL_EV_RXCHAR}).status, STATUS_SUCCESS);
  line_->sendAt(start_ + 1ms, {7});
  advanceTo(start_ + 2ms);

  // Both are finished by what is already there, yet end 3 ms later.
  const auto wait = startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
  const auto read = startRead(1);
  EXPECT_FALSE(wait->done || read->done);
  runUntilIdle();
  EXPECT_EQ(wait->status, STATUS_SUCCESS);
  EXPECT_EQ(wait->output, bytesOf(ULONG{SERIAL_EV_RXCHAR}));
  EXPECT_EQ(read->output, std::vector<std::uint8_t>{7});
  EXPECT_EQ(wait->completedAt, start_ + 5ms);
  EXPECT_EQ(read->completedAt, start_ + 5ms);

  const auto cancelled = startRead(2);
  line_->sendAt(now() + 1ms, {8});
  advanceTo(now() + 2ms);
  const Instant cancelledAt = now();
  EXPECT_TRUE(cancel(*cancelled));
  EXPECT_FALSE(cancelled->done);
  runUntilIdle();
  EXPECT_EQ(cancelled->status, STATUS_CANCELLED);
  EXPECT_EQ(cancelled->information, 1u);
  EXPECT_EQ(cancelled->completedAt, cancelledAt + 5ms);

  const Instant powerAt = now();
  EXPECT_EQ(system_.power().setDevicePower(pdo_, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(now(), powerAt + 4ms);
}

struct InvalidCase {
  const char* what;
  ULONG code;
  std::vector<std::uint8_t> input;
  ULONG outputLength;
  NTSTATUS expected;
};

class PortValidation : public PortTest, public ::testing::WithParamInterface<InvalidCase> {};

TEST_P(PortValidation, RefusesAsTheSerialDriverDoes) {
  const InvalidCase& c = GetParam();
  const Outcome outcome = control(c.code, c.input, c.outputLength);
  EXPECT_EQ(outcome.status, c.expected) << c.what;
  EXPECT_EQ(outcome.information, 0u) << c.what;
}

// One row per place the port checks a request: the buffer sizes (one check
// for every code; each code's sizes are in rules_test), then each request's
// values.
INSTANTIATE_TEST_SUITE_P(
    Requests, PortValidation,
    ::testing::Values(
        InvalidCase{"UnknownCode", IOCTL_SERIAL_SET_QUEUE_SIZE, std::vector<std::uint8_t>(8), 0,
                    STATUS_INVALID_DEVICE_REQUEST},
        InvalidCase{"BaudRate0", IOCTL_SERIAL_SET_BAUD_RATE, bytesOf(SERIAL_BAUD_RATE{0}), 0, STATUS_INVALID_PARAMETER},
        InvalidCase{
            "NineDataBits", IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BIT_1, NO_PARITY, 9}, 0, STATUS_INVALID_PARAMETER},
        InvalidCase{"AllReadTimeoutsMaxulong", IOCTL_SERIAL_SET_TIMEOUTS,
                    bytesOf(SERIAL_TIMEOUTS{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0, 0}), 0, STATUS_INVALID_PARAMETER},
        InvalidCase{"ReservedHandshakeBits", IOCTL_SERIAL_SET_HANDFLOW, bytesOf(SERIAL_HANDFLOW{0x100, 0, 0, 0}), 0,
                    STATUS_INVALID_PARAMETER},
        InvalidCase{"EmptyPurgeMask", IOCTL_SERIAL_PURGE, bytesOf(ULONG{0}), 0, STATUS_INVALID_PARAMETER},
        InvalidCase{"UnknownWaitEvent", IOCTL_SERIAL_SET_WAIT_MASK, bytesOf(ULONG{0x4000}), 0,
                    STATUS_INVALID_PARAMETER}),
    [](const auto& testInfo) { return std::string(testInfo.param.what); });

TEST_F(PortQueues, ABaudRateTheLineCannotDoIsRefusedAndTheOldOneKept) {
  line_->refusedBaudRate = 12345;
  EXPECT_EQ(set(IOCTL_SERIAL_SET_BAUD_RATE, SERIAL_BAUD_RATE{12345}).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(port_->snapshot().line.baudRate, 19200u);
}

TEST_F(PortQueues, BytesBothWaysJoinTheTraceWithDirectionAndTime) {
  system_.trace().clear();
  setTimeouts(50, 0, 100, 0, 1000);
  write({0xC0});
  line_->sendAt(now() + 2ms, {0x23});
  runUntilIdle();
  const auto entries = system_.trace().entries(platform::TraceCategory::Serial);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].text, "COM1 tx C0");
  EXPECT_EQ(entries[0].time, (start_ + kCharacter).time_since_epoch());
  EXPECT_EQ(entries[1].text, "COM1 rx 23");
  EXPECT_EQ(entries[1].time, (start_ + kCharacter + 2ms).time_since_epoch());
  // Programs read the entries back as bytes for the protocol decoder.
  const std::optional<SerialTraceByte> received = parseSerialByte(entries[1]);
  ASSERT_TRUE(received.has_value());
  EXPECT_EQ(received->port, "COM1");
  EXPECT_EQ(received->direction, ByteDirection::received);
  EXPECT_EQ(received->byte, 0x23);
  EXPECT_EQ(received->at, entries[1].time);
  EXPECT_EQ(parseSerialByte(platform::TraceEntry{{}, "t", platform::TraceCategory::Serial, "COM1 dsr off"}),
            std::nullopt);
}

TEST_F(PortQueues, TheBusSideEndsPlugAndPlayRequestsAndRemovalCancelsWhatIsPending) {
  EXPECT_EQ(system_.pnp().start(pdo_), STATUS_SUCCESS);
  EXPECT_TRUE(port_->snapshot().started);
  setTimeouts(0, 0, 0);
  const auto read = startRead(1);
  EXPECT_EQ(system_.pnp().send(pdo_, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  runUntilIdle();
  EXPECT_EQ(read->status, STATUS_CANCELLED);
  EXPECT_FALSE(port_->snapshot().started);
}

// On a loaded machine (late wake-ups, which also hold an interrupt context
// at a yield point while the next byte's interrupt falls due), the bytes
// still reach the line in the order they were written.
class PortOnLoadedMachine : public PortTest, public ::testing::WithParamInterface<std::uint64_t> {
 protected:
  PortOnLoadedMachine() : PortTest({.seed = GetParam(), .lateWakeupBound = 3 * kCharacter}) {}
};

TEST_P(PortOnLoadedMachine, BytesLeaveInTheOrderWritten) {
  std::vector<std::uint8_t> bytes(24);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(write(bytes).status, STATUS_SUCCESS);
  std::vector<std::uint8_t> onTheLine;
  for (const FakeLine::Sent& sent : line_->sent) onTheLine.push_back(sent.byte);
  EXPECT_EQ(onTheLine, bytes);
}

INSTANTIATE_TEST_SUITE_P(Sweep, PortOnLoadedMachine, tav712::testing::seedRange(1, 4), tav712::testing::SeedName{});

}  // namespace
}  // namespace serial::testing
