// The receive engine fed with exact reader-to-host streams from the scripted
// line: decoding of escapes and in-stream codes, the receive buffer's limit,
// wake rules, time-outs, data errors, the block-end marker and waiting-time
// extensions.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "common/test_cases.h"
#include "link/ReceiveEngine.h"
#include "link/SerialChannel.h"
#include "support/driver_harness.h"

namespace tav712::testing {
namespace {

using namespace std::chrono_literals;

// Every stream below follows a one-byte "command" 0x00 that the test writes,
// so that it starts when the receive does.
std::unique_ptr<DriverHarness> linkWithStream(const std::string& stream) {
  auto harness = std::make_unique<DriverHarness>(HarnessOptions{.line = ScriptLine{"> 00\n" + stream}});
  EXPECT_EQ(harness->openLink(), STATUS_SUCCESS);
  return harness;
}

struct Received {
  NTSTATUS status = STATUS_PENDING;
  Bytes bytes;
  platform::Duration took{};
};

// Writes the trigger byte, then receives `count` bytes.
Received commandAndReceive(DriverHarness& harness, ULONG count) {
  Received received;
  harness.call([&] {
    PREADER_EXTENSION reader = harness.readerExtension();
    const UCHAR trigger = 0x00;
    ASSERT_EQ(SerialWrite(reader, &trigger, 1), STATUS_SUCCESS);
    Bytes buffer(count + 1, 0xEE);
    const platform::Instant start = harness.now();
    received.status = ReaderReceive(reader, buffer.data(), count);
    received.took = harness.now() - start;
    if (received.status == STATUS_SUCCESS) received.bytes.assign(buffer.begin(), buffer.begin() + count);
  });
  return received;
}

void writeTrigger(DriverHarness& harness) {
  harness.call([&] {
    const UCHAR trigger = 0x00;
    EXPECT_EQ(SerialWrite(harness.readerExtension(), &trigger, 1), STATUS_SUCCESS);
  });
}

constexpr auto kAnyTime = std::chrono::hours(1);

struct StreamCase {
  const char* name;
  const char* stream;
  ULONG count;
  NTSTATUS status;
  Bytes bytes;
  NTSTATUS transferError = STATUS_SUCCESS;
  ULONG cardState = SCARD_UNKNOWN;  // as the stream leaves it
  platform::Duration tookAtLeast{0};
  platform::Duration tookAtMost = kAnyTime;
};

void PrintTo(const StreamCase& row, std::ostream* out) { *out << row.name; }

// The receive's own time-out at the link's 50 ms per byte and 100 ms total.
constexpr platform::Duration receiveTimeout(ULONG count) { return count * 50ms + 100ms; }

class InStreamCode : public ::testing::TestWithParam<StreamCase> {};

TEST_P(InStreamCode, DecodesAsTheReaderMeansIt) {
  const StreamCase& test = GetParam();
  auto harness = linkWithStream(test.stream);
  const Received received = commandAndReceive(*harness, test.count);
  harness->runUntilIdle();  // a card event may be handled after the receive was woken
  EXPECT_EQ(received.status, test.status);
  EXPECT_EQ(received.bytes, test.bytes);
  EXPECT_EQ(harness->readerExtension()->TransferError, test.transferError);
  EXPECT_EQ(harness->smartcardExtension()->ReaderCapabilities.CurrentState, test.cardState);
  EXPECT_GE(received.took, test.tookAtLeast);
  EXPECT_LE(received.took, test.tookAtMost);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, InStreamCode,
    ::testing::Values(
        StreamCase{"EscapedEscapeIsOneDataByte", "< 10 10 41", 2, STATUS_SUCCESS, {0x10, 0x41}},
        StreamCase{"DataErrorStandsAsZero", "< 41 10 88 43", 3, STATUS_SUCCESS, {0x41, 0x00, 0x43}, STATUS_DATA_ERROR},
        // The byte the reader could not receive still counts: when it is the
        // last one wanted, the run that ends with a card event wakes the
        // receive.
        StreamCase{"DataErrorOnTheLastWantedByteCountsForTheWake",
                   "< 41 10 88 10 85",
                   2,
                   STATUS_SUCCESS,
                   {0x41, 0x00},
                   STATUS_DATA_ERROR,
                   SCARD_PRESENT,
                   0ms,
                   5ms},
        StreamCase{"UnknownCodeIsDropped", "< 10 87 41", 1, STATUS_SUCCESS, {0x41}},
        StreamCase{"ReaderErrorThenSilenceTimesOut", "< 10 84", 1, STATUS_IO_TIMEOUT, {}},
        StreamCase{"ReaderErrorThenAByteIsADataError", "< 10 84 41", 1, STATUS_DATA_ERROR, {}},
        StreamCase{"TimeoutCodeBeforeTheCountIsAShortBlock", "< 41 10 83", 2, STATUS_IO_TIMEOUT, {}},
        // The marker settles the receive: it is woken at once, not after a
        // read that waits out the serial time-out for bytes that are over.
        StreamCase{"TimeoutCodeWakesTheShortReceiveAtOnce",
                   "< 41 10 83",
                   3,
                   STATUS_IO_TIMEOUT,
                   {},
                   STATUS_SUCCESS,
                   SCARD_UNKNOWN,
                   0ms,
                   5ms},
        // The reader replies to a command before anything else: a marker
        // ahead of the reply closed an earlier exchange's card transfer
        // (behind a late reply), and the reply still comes to this one.
        StreamCase{"TimeoutCodeAheadOfTheReplyBelongsToAnEarlierExchange", "< 10 83 41", 1, STATUS_SUCCESS, {0x41}},
        // The reader's error came behind a byte that reads as success: the
        // receive still fails, nothing having been delivered.
        StreamCase{"ReaderErrorBehindAnOkByteIsNeverSuccess", "< 90 10 84 41", 2, STATUS_UNSUCCESSFUL, {}},
        StreamCase{"SilenceEndsAReceiveAfterItsOwnTimeout",
                   "",
                   3,
                   STATUS_IO_TIMEOUT,
                   {},
                   STATUS_SUCCESS,
                   SCARD_UNKNOWN,
                   receiveTimeout(3),
                   receiveTimeout(3)},
        StreamCase{"ACardEventAloneDoesNotWakeAWaitingReceive",
                   "< 41 10 85",
                   2,
                   STATUS_IO_TIMEOUT,
                   {},
                   STATUS_SUCCESS,
                   SCARD_PRESENT,
                   receiveTimeout(2),
                   receiveTimeout(2)},
        StreamCase{"ACardEventAfterTheWantedBytesEndsTheRunAndWakesTheReceive",
                   "< 41 42 10 86",
                   2,
                   STATUS_SUCCESS,
                   {0x41, 0x42},
                   STATUS_SUCCESS,
                   SCARD_ABSENT,
                   0ms,
                   10ms}),
    [](const ::testing::TestParamInfo<StreamCase>& paramInfo) { return std::string(paramInfo.param.name); });

Bytes received(PREADER_EXTENSION reader) {
  return Bytes(reader->ReceiveBuffer, reader->ReceiveBuffer + reader->ReceivedBytes);
}

TEST(ReceiveEngine, AFailedReceiveLeavesTheBufferAsItWas) {
  auto harness = linkWithStream("< 90 10 84 41");
  EXPECT_EQ(commandAndReceive(*harness, 2).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(received(harness->readerExtension()), (Bytes{0x90, 0x84, 0x41}));
}

// Worker runs overlap (the next wait is armed before a run ends); under
// every interleaving a reader error is never handed over as data. With late
// wake-ups the receiving thread may also lose the CPU for a while: the whole
// reply may arrive before it waits, or a later run (the block-end marker)
// may end while a failure it was handed is still untaken. That last window
// is narrow: these 32 seeds do not reach it; the thousand-seed sweep below
// does.
class ReaderErrorUnderSeeds : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(ReaderErrorUnderSeeds, IsNeverReceivedAsData) {
  struct Reply {
    const char* stream;
    ULONG count;
  };
  for (platform::Duration lateWakeupBound : {platform::Duration::zero(), platform::Duration(5ms)}) {
    for (Reply reply : {Reply{"< 10 84 41", 1}, Reply{"< 10 84", 1}, Reply{"< 90 10 84 41 42", 2},
                        Reply{"< +20ms 10 84 41\n< +1ms 10 83", 1}}) {
      SCOPED_TRACE(std::string(reply.stream) + (lateWakeupBound > 0ms ? ", late wake-ups" : ""));
      DriverHarness harness({.seed = GetParam(),
                             .line = ScriptLine{std::string("> 00\n") + reply.stream},
                             .lateWakeupBound = lateWakeupBound});
      ASSERT_EQ(harness.openLink(), STATUS_SUCCESS);
      EXPECT_NE(commandAndReceive(harness, reply.count).status, STATUS_SUCCESS);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ReaderErrorUnderSeeds, seedRange(1, 32), SeedName{});

// A reply that is stored before its receive waits (the thread lost the CPU
// after its write) wakes nobody: a wake-up left behind, set after the next
// write cleared the event, would end the next exchange's receive at once and
// without its byte. So from the first exchange of a fresh link, and after a
// receive that timed out.
class BackToBackExchanges : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(BackToBackExchanges, EachReceivesItsOwnReply) {
  for (const bool afterATimeout : {false, true}) {
    SCOPED_TRACE(afterATimeout ? "after a receive that timed out" : "on a fresh link");
    DriverHarness harness({.seed = GetParam(),
                           .line = ScriptLine{std::string(afterATimeout ? "> 00\n" : "") + "> 00\n< 23\n> 00\n< 90"},
                           .lateWakeupBound = 5ms});
    ASSERT_EQ(harness.openLink(), STATUS_SUCCESS);
    if (afterATimeout) {
      ASSERT_EQ(commandAndReceive(harness, 1).status, STATUS_IO_TIMEOUT);
    }
    for (const std::uint8_t reply : {std::uint8_t{0x23}, std::uint8_t{0x90}}) {
      const Received received = commandAndReceive(harness, 1);
      EXPECT_EQ(received.status, STATUS_SUCCESS);
      EXPECT_EQ(received.bytes, Bytes{reply});
    }
  }
}

// A block whose end marker the thread has already seen when it returns from
// the block-end wait, while the run that decoded the marker has yet to hand
// over its wake-up: that wake-up belongs to the block, not to the next
// command's acknowledgement.
TEST_P(BackToBackExchanges, ABlockEndsWakeUpIsNotTheNextReplys) {
  DriverHarness harness(
      {.seed = GetParam(), .line = ScriptLine{"> 00\n< 41 42 10 83\n> 00\n< 90"}, .lateWakeupBound = 5ms});
  ASSERT_EQ(harness.openLink(), STATUS_SUCCESS);
  PREADER_EXTENSION reader = harness.readerExtension();
  reader->BlockEndStatus = STATUS_IO_TIMEOUT;
  const Received block = commandAndReceive(harness, 2);
  ASSERT_EQ(block.status, STATUS_SUCCESS);
  EXPECT_EQ(harness.call([&] { return WaitForBlockEnd(reader); }), STATUS_SUCCESS);
  const Received acknowledgement = commandAndReceive(harness, 1);
  EXPECT_EQ(acknowledgement.status, STATUS_SUCCESS);
  EXPECT_EQ(acknowledgement.bytes, Bytes{0x90});
}

INSTANTIATE_TEST_SUITE_P(Seeds, BackToBackExchanges, seedRange(1, 64), SeedName{});

// A receive that gave up before the worker's read for it timed out: the
// thread sends its next command, and the read's time-out, coming after that
// write, neither ends the new receive nor purges the reply on its way.
TEST(ReceiveEngine, AReadTimeoutOfAnEarlierExchangeLeavesTheNextAlone) {
  auto harness = linkWithStream("< 41\n> 00\n< +200ms 90");
  PREADER_EXTENSION reader = harness->readerExtension();
  reader->ReadCharTimeout = 0;
  reader->ReadTotalTimeout = 10;
  EXPECT_EQ(commandAndReceive(*harness, 2).status, STATUS_IO_TIMEOUT);
  reader->ReadTotalTimeout = 1000;
  const Received acknowledgement = commandAndReceive(*harness, 1);
  EXPECT_EQ(acknowledgement.status, STATUS_SUCCESS);
  EXPECT_EQ(acknowledgement.bytes, Bytes{0x90});
}

// The whole reply, a reader error with a byte behind it, comes while the
// command is still being written, and a second run (the block-end marker)
// hands over its success before the thread has looked: the error it was
// handed first still decides the receive.
TEST(ReceiveEngine, AReaderErrorHandedOverBeforeTheReceiveOutlivesALaterRun) {
  auto harness = linkWithStream("< 10 84 41\n< +1ms 10 83");
  const Bytes command(20, 0x00);
  NTSTATUS status = STATUS_PENDING;
  harness->call([&] {
    PREADER_EXTENSION reader = harness->readerExtension();
    ASSERT_EQ(SerialWrite(reader, command.data(), static_cast<ULONG>(command.size())), STATUS_SUCCESS);
    UCHAR byte = 0;
    status = ReaderReceive(reader, &byte, 1);
  });
  EXPECT_NE(status, STATUS_SUCCESS) << "the reader's error was taken for data";
}

// The same race reached by chance, as on a loaded machine. The reader's error
// and a card event end one run with the failure handed over; the receive's
// count is still open, so a byte a few milliseconds later ends a second run
// with success. Where the woken thread is held off the CPU past that second
// run (seeds 201, 250, 265, 458 and 901 of these, with the scheduler as it
// is), the failure it was handed must still decide the receive.
TEST(ReceiveEngine, AReaderErrorOutlivesALaterRunUnderLateWakeups) {
  std::vector<std::uint64_t> takenAsData;
  for (std::uint64_t seed = 1; seed <= 1000; ++seed) {
    DriverHarness harness(
        {.seed = seed, .line = ScriptLine{"> 00\n< +20ms 10 84 10 86\n< +4ms 41"}, .lateWakeupBound = 5ms});
    ASSERT_EQ(harness.openLink(), STATUS_SUCCESS);
    if (commandAndReceive(harness, 1).status == STATUS_SUCCESS) takenAsData.push_back(seed);
  }
  EXPECT_EQ(takenAsData, std::vector<std::uint64_t>{}) << "seeds whose reader error was taken for data";
}

// A run that cannot ask the port how many bytes it holds (no memory for the
// request) leaves the reply unread in the port; the next command's reply
// would then be read behind it and the old one taken for it. The port is
// purged, as after a failed read: the first exchange fails, the next one
// gets its own reply.
TEST(ReceiveEngine, ARunThatCannotCountTheQueuedBytesLeavesNoReplyBehind) {
  auto harness = linkWithStream("< 41\n> 00\n< 42");
  harness->system().faults().failCall(platform::fault::kBuildIoctl, 2);  // the write's, then the run's count
  EXPECT_EQ(commandAndReceive(*harness, 1).status, STATUS_IO_TIMEOUT);
  ASSERT_EQ(harness->system().faults().injected().size(), 1u);
  const Received next = commandAndReceive(*harness, 1);
  EXPECT_EQ(next.status, STATUS_SUCCESS);
  EXPECT_EQ(next.bytes, Bytes{0x42});
}

// The reader's cable is pulled and plugged in again while a run waits for
// the rest of a reply: the next wait ends at once with received characters
// and the DSR change together. The bytes still reach the receive, and then
// the link closes, as after a DSR change alone: the reader came back with
// its registers at their power-on values and may hold another card.
TEST(ReceiveEngine, ADsrChangeSeenWithReceivedBytesClosesTheLinkAfterThem) {
  auto harness = linkWithStream("< 41\ndsr off +1ms\ndsr on\n< 42");
  const Received reply = commandAndReceive(*harness, 2);
  EXPECT_EQ(reply.status, STATUS_SUCCESS);
  EXPECT_EQ(reply.bytes, (Bytes{0x41, 0x42}));
  harness->runFor(1s);
  EXPECT_NE(KeReadStateEvent(&harness->deviceExtension()->SerialCloseDone), 0) << "the link stayed open";
}

// An escape at the end of one worker run and its partner at the start of the
// next (after the run ended by a read time-out) still form one sequence.
TEST(ReceiveEngine, EscapeSequencesSurviveTheEndOfAWorkerRun) {
  auto harness = linkWithStream("< 10\n< +300ms 83");
  PREADER_EXTENSION reader = harness->readerExtension();
  reader->BlockEndStatus = STATUS_IO_TIMEOUT;
  writeTrigger(*harness);
  reader->ReplyPending = FALSE;  // as after the command's reply
  harness->runFor(150ms);
  EXPECT_TRUE(reader->EscapePending) << "the first run ended on the escape byte";
  harness->runFor(400ms);
  EXPECT_FALSE(reader->EscapePending);
  EXPECT_EQ(reader->BlockEndStatus, STATUS_SUCCESS) << "0x83 was decoded as the time-out code";
  EXPECT_EQ(reader->ReceivedBytes, 0u);
}

TEST(ReceiveEngine, TheBufferKeeps767BytesAndDropsTheRest) {
  Bytes data(770);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i % 15);
  auto harness = linkWithStream("< " + hex(data) + " 10 10 10 88");
  writeTrigger(*harness);
  harness->runFor(1s);

  PREADER_EXTENSION reader = harness->readerExtension();
  EXPECT_EQ(reader->ReceivedBytes, 767u);
  EXPECT_EQ(reader->TransferError, STATUS_DATA_ERROR) << "the data error is recorded though its byte is dropped";
  Bytes buffer(768);
  EXPECT_EQ(harness->call([&] { return ReaderReceive(reader, buffer.data(), 768); }), STATUS_BUFFER_TOO_SMALL);
  ASSERT_EQ(harness->call([&] { return ReaderReceive(reader, buffer.data(), 767); }), STATUS_SUCCESS);
  EXPECT_EQ(hex(Bytes(buffer.begin(), buffer.begin() + 767)), hex(Bytes(data.begin(), data.begin() + 767)));
  EXPECT_EQ(reader->ReceivedBytes, 0u);
}

// Silence after an escape code ends the worker's run by a read time-out,
// which wakes the receive before its own time-out and purges the port.
TEST(ReceiveEngine, AReadTimeoutInsideARunEndsTheReceiveEarly) {
  auto harness = linkWithStream("< 41 10 87");
  harness->recorder()->clear();
  const Received received = commandAndReceive(*harness, 2);
  EXPECT_EQ(received.status, STATUS_IO_TIMEOUT);
  EXPECT_GE(received.took, 100ms);
  EXPECT_LT(received.took, receiveTimeout(2));
  harness->runUntilIdle();  // the worker purges after it has woken the receive
  EXPECT_TRUE(std::ranges::any_of(harness->recorder()->requests(), [](const SerialRequest& request) {
    return request.isControl(IOCTL_SERIAL_PURGE) && request.input == ulongBytes(0x0C);
  }));
}

// While the card has asked for more time, the reader's time-out code and read
// time-outs do not end the receive.
TEST(ReceiveEngine, AWaitingTimeExtensionKeepsTheReceiveWaiting) {
  auto harness = linkWithStream("< 41 10 83\n< +300ms 42");
  harness->smartcardExtension()->T1.Wtx = 2;
  harness->readerExtension()->ReadTotalTimeout = 1000;
  const Received received = commandAndReceive(*harness, 2);
  EXPECT_EQ(received.status, STATUS_SUCCESS);
  EXPECT_EQ(received.bytes, (Bytes{0x41, 0x42}));
  EXPECT_GT(received.took, 300ms);
}

// The block-end marker after the wanted bytes ends the block: it is recorded
// when decoded, but the run that decoded it wakes nobody before it ends, so
// the wait may run its full ReadCharTimeout. Without the marker the wait
// gives up after exactly ReadCharTimeout.
TEST(ReceiveEngine, WaitForBlockEndWaitsForTheMarkerAtMostReadCharTimeout) {
  const std::tuple<const char*, ULONG, NTSTATUS, platform::Duration> rows[] = {
      {"< 41 42 10 83", 50, STATUS_SUCCESS, 50ms},
      {"< 41 42", 50, STATUS_IO_TIMEOUT, 50ms},
      {"< 41 42", 0, STATUS_IO_TIMEOUT, 0ms},
  };
  for (const auto& [stream, charTimeoutMs, status, longest] : rows) {
    SCOPED_TRACE(::testing::Message() << stream << " char time-out " << charTimeoutMs);
    auto harness = linkWithStream(stream);
    PREADER_EXTENSION reader = harness->readerExtension();
    reader->BlockEndStatus = STATUS_IO_TIMEOUT;
    ASSERT_EQ(commandAndReceive(*harness, 2).status, STATUS_SUCCESS);
    reader->ReadCharTimeout = charTimeoutMs;
    const platform::Instant start = harness->now();
    EXPECT_EQ(harness->call([&] { return WaitForBlockEnd(reader); }), status);
    if (status == STATUS_SUCCESS) {
      EXPECT_LE(harness->now() - start, longest);
      const platform::Instant again = harness->now();
      EXPECT_EQ(harness->call([&] { return WaitForBlockEnd(reader); }), STATUS_SUCCESS);
      EXPECT_EQ(harness->now(), again) << "at once the second time";
    } else {
      EXPECT_EQ(harness->now() - start, longest);
    }
  }
}

TEST(ReceiveEngine, ReadBytesDeliversAllOrNothing) {
  auto harness = linkWithStream("< 41 42 43");
  PREADER_EXTENSION reader = harness->readerExtension();
  writeTrigger(*harness);
  harness->runFor(10ms);
  UCHAR bytes[4] = {};
  // Reads `count` bytes into a buffer of `capacity`; the length it reports.
  const auto read = [&](ULONG capacity, ULONG count, NTSTATUS status) {
    ULONG length = capacity;
    EXPECT_EQ(harness->call([&] { return ReaderReadBytes(reader, bytes, &length, count); }), status);
    return length;
  };
  EXPECT_EQ(read(4, 0, STATUS_SUCCESS), 0u);
  EXPECT_EQ(read(1, 2, STATUS_BUFFER_TOO_SMALL), 0u);
  EXPECT_EQ(reader->ReceivedBytes, 1u) << "the two bytes were taken and are lost";
  EXPECT_EQ(read(4, 2, STATUS_IO_TIMEOUT), 0u);
  EXPECT_EQ(read(4, 1, STATUS_SUCCESS), 1u);
  EXPECT_EQ(bytes[0], 0x43);
}

}  // namespace
}  // namespace tav712::testing
