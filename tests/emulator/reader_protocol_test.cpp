// The reader from the host side, byte for byte: commands and replies,
// escaping, events, the waiting-time marker and wire timing.

#include <gtest/gtest.h>

#include "emulator/iso7816.h"
#include "emulator/reader.h"
#include "reader_rig.h"

namespace emulator::testing {
namespace {

const Bytes t1Atr{0x3B, 0x95, 0x13, 0x81, 0x11, 0x20, 0x54, 0x37, 0x31, 0x32, 0x31, 0x67};

struct CommandCase {
  const char* name;
  const char* knobs;
  Bytes command;
  Bytes reply;
};

class ReaderCommands : public ::testing::TestWithParam<CommandCase> {};

TEST_P(ReaderCommands, AnswerEachCommandWithOneReply) {
  ReaderRig rig(GetParam().knobs);
  EXPECT_EQ(rig.host->exchange(GetParam().command), GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReaderCommands,
    ::testing::Values(CommandCase{"FirmwareVersion", "", {0xC0}, {0x23}},
                      CommandCase{"CardPresentUnpowered", "", {0xC4}, {0x01}},
                      CommandCase{"NoCard", "no-card", {0xC4}, {0x00}},
                      CommandCase{"FirmwareRegisterIsReadOnly", "", {0x80, 0x55}, {0x10, 0x84}},
                      CommandCase{"UnknownCommandClass", "", {0x3F}, {0x10, 0x84}},
                      CommandCase{"SendToUnpoweredCard", "", {0x41, 0x00}, {0x10, 0x84}},
                      CommandCase{"ErrorReplyKnob", "error-reply=1", {0xC0}, {0x10, 0x84}},
                      CommandCase{"ErrorBeforeReplyKnob", "error-before-reply=1", {0xC0}, {0x10, 0x84, 0x23}}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(ReaderTiming, RepliesFollowTheCommandAtTheLineRate) {
  ReaderRig rig;
  const line::Nanoseconds commandEnd = rig.host->write({0xC0, 0xC4});
  rig.timeline.runFor(100ms);
  ASSERT_EQ(rig.host->received().size(), 2u);
  // C0 is answered one character time after it arrived; C4 arrived one
  // character later and is answered right behind the first reply.
  EXPECT_EQ(rig.host->received()[0].at, commandEnd);
  EXPECT_EQ(rig.host->received()[1].at, commandEnd + byteTime);
}

TEST(ReaderTiming, LateReplyKnobHoldsTheReply) {
  ReaderRig rig("late-reply=1,late-reply-ms=300");
  const line::Nanoseconds commandEnd = rig.host->write({0xC0});
  rig.timeline.runFor(1s);
  ASSERT_EQ(rig.host->received().size(), 1u);
  EXPECT_EQ(rig.host->received()[0].at, commandEnd + 300ms + byteTime);
}

TEST(ReaderTiming, IncompleteCommandIsDroppedAfterAPause) {
  ReaderRig rig;
  rig.host->exchange({0x85, 0x80}, 150ms);  // two of four bytes, then a pause
  EXPECT_EQ(rig.host->exchange({0xC0}), Bytes{0x23});
}

struct ResetCase {
  const char* name;
  const char* knobs;
  Bytes answer;                // everything from the reset's reply on
  std::uint8_t contactsAfter;  // register 4: bit 0 present, bit 1 powered
};

class ReaderReset : public ::testing::TestWithParam<ResetCase> {};

TEST_P(ReaderReset, SendsReplyThenAtrThenTimeoutMarker) {
  ReaderRig rig(GetParam().knobs);
  EXPECT_EQ(rig.coldReset(2s), GetParam().answer);
  EXPECT_EQ(rig.host->exchange({0xC4}), Bytes{GetParam().contactsAfter});
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReaderReset,
    ::testing::Values(
        ResetCase{"ColdReset",
                  "",
                  {0x90, 0x3B, 0x95, 0x13, 0x81, 0x11, 0x20, 0x54, 0x37, 0x31, 0x32, 0x31, 0x67, 0x10, 0x83},
                  0x03},
        // TS arrives as read from the line; later characters as logical values.
        ResetCase{"InverseConventionTsArrivesAs03",
                  "profile=inverse",
                  {0x90, 0x03, 0x15, 0x13, 0x54, 0x37, 0x31, 0x32, 0x30, 0x10, 0x83},
                  0x03},
        ResetCase{"ParityErrorTakesTheBytesPlace",
                  "parity-error-byte=3",
                  {0x90, 0x3B, 0x95, 0x10, 0x88, 0x81, 0x11, 0x20, 0x54, 0x37, 0x31, 0x32, 0x31, 0x67, 0x10, 0x83},
                  0x03},
        ResetCase{"SilentCardLeavesOnlyTheMarker", "silent-after=4", {0x90, 0x3B, 0x95, 0x13, 0x81, 0x10, 0x83}, 0x03},
        ResetCase{"CardPulledMidAtrIsReportedAndStopsTheStream",
                  "remove-after-byte=2",
                  {0x90, 0x3B, 0x95, 0x10, 0x86},
                  0x00}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(ReaderResetTiming, AtrAtTheCardRateThenTheMarkerAfterTheCharacterWaitingTime) {
  ReaderRig rig;
  rig.coldReset(2s);
  const auto& got = rig.host->received();
  ASSERT_EQ(got.size(), 1 + t1Atr.size() + 2);
  // 12 ETU of 372 clocks at 3.58 MHz a character; the host line (0.52 ms) keeps up.
  EXPECT_NEAR(static_cast<double>((got[3].at - got[2].at).count()), 12 * 372 * 1e9 / 3.58e6, 2.0);
  // 9600 ETU from the last ATR character.
  EXPECT_EQ(got[t1Atr.size() + 1].at - got[t1Atr.size()].at, line::Nanoseconds(clocksToNanoseconds(9600ull * 372)));
}

TEST(ReaderReset, WarmResetOfAPoweredCardSkipsNothingButThePowerCycle) {
  ReaderRig rig;
  rig.coldReset(2s);
  EXPECT_EQ(rig.host->exchange({0x83, 0x1D}, 50ms), replyThen(t1Atr));
}

TEST(ReaderCard, SendOfMoreThan24BytesIsRefused) {
  ReaderRig rig;
  rig.coldReset(2s);
  Bytes command(26, 0x00);
  command[0] = 0x59;  // a send of 25 bytes
  EXPECT_EQ(rig.host->exchange(command), (Bytes{0x10, 0x84}));
  EXPECT_EQ(rig.host->exchange({0xC0}), Bytes{0x23});  // framing kept
}

TEST(ReaderEvents, InsertionAndRemovalAtAnyMoment) {
  ReaderRig rig("no-card,insert-at-ms=5,remove-at-ms=40");
  rig.timeline.runFor(100ms);
  EXPECT_EQ(rig.host->bytes_(), (Bytes{0x10, 0x85, 0x10, 0x86}));
  EXPECT_EQ(rig.host->received()[0].at, 5ms + byteTime);
}

TEST(ReaderEvents, EventDuringARunOfBytesNeverSplitsAnEscapePair) {
  ReaderRig rig("firmware=0x10");
  // Three reads of 0x10 (each sent as 10 10), the card pulled while the
  // first pair is on the line.
  rig.host->write({0xC0, 0xC0, 0xC0});
  rig.timeline.runUntil(2 * byteTime + 100us);
  rig.reader->removeCard();
  rig.timeline.runFor(50ms);
  EXPECT_EQ(rig.host->bytes_(), (Bytes{0x10, 0x10, 0x10, 0x10, 0x10, 0x86, 0x10, 0x10}));
}

TEST(ReaderLine, UnplugDropsDsrAndSilencesTheReader) {
  ReaderRig rig("dsr-drop-ms=10");
  EXPECT_TRUE(rig.reader->dsr());
  rig.timeline.runFor(20ms);
  EXPECT_FALSE(rig.reader->dsr());
  ASSERT_EQ(rig.host->dsrChanges().size(), 1u);
  EXPECT_EQ(rig.host->dsrChanges()[0], std::make_pair(line::Nanoseconds(10ms), false));
  EXPECT_EQ(rig.host->exchange({0xC0}), Bytes{});
  rig.reader->plug();
  EXPECT_EQ(rig.host->exchange({0xC0}), Bytes{0x23});
}

TEST(ReaderLine, BytesAtTheWrongLineSpeedAreGarbled) {
  ReaderRig rig;
  rig.reader->applyLineSettings(line::LineSettings{9600, 8, 0, 0});
  EXPECT_NE(rig.host->exchange({0xC0}), Bytes{0x23});
  rig.reader->applyLineSettings(readerLineSettings);
  EXPECT_EQ(rig.host->exchange({0xC0}), Bytes{0x23});
  // The same when the reader is the one set to another rate.
  EXPECT_NE(ReaderRig("reader-baud=9600").host->exchange({0xC0}), Bytes{0x23});
}

// The host's interrupt for a byte may end the reader's life: on the
// platform it can be held at a yield point while the stack is torn down. The
// byte's action must not touch the reader once the call returns, though the
// error reply's second byte is still queued behind the first.
TEST(ReaderLine, AReaderGoneDuringTheHostsInterruptIsNotTouchedAgain) {
  struct EndingHost final : line::HostPort {
    std::unique_ptr<Reader>* reader = nullptr;
    int bytes = 0;
    void byteReceived(std::uint8_t) override {
      ++bytes;
      reader->reset();
    }
    void dsrChanged(bool) override {}
  };
  QueueTimeline timeline;
  EmulatorKnobs knobs;
  ASSERT_FALSE(applyKnobs("error-reply=1", knobs));
  std::unique_ptr<Reader> reader = buildReader(timeline, knobs);
  EndingHost host;
  host.reader = &reader;
  reader->connect(&host);
  timeline.callAt(byteTime, [&] { reader->byteFromHost(0xC0); });
  timeline.runUntilIdle();
  EXPECT_EQ(reader, nullptr);
  EXPECT_EQ(host.bytes, 1);
}

}  // namespace
}  // namespace emulator::testing
