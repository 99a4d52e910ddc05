// tav712 on the built-in emulator, as a person runs it: the demo's stages,
// each error case with its message and exit status, and script runs.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "process.h"

namespace program_test {
namespace {

// Each needle must appear after the previous one.
void expectInOrder(const std::string& text, const std::vector<std::string>& needles) {
  std::size_t at = 0;
  for (const auto& needle : needles) {
    const std::size_t found = text.find(needle, at);
    ASSERT_NE(found, std::string::npos) << "missing, or out of order: \"" << needle << "\" in\n" << text;
    at = found + needle.size();
  }
}

TEST(Demo, TellsTheWholeLifeOfAReaderInOrder) {
  const auto result = runTav712({"demo", "--seed", "3"});
  ASSERT_EQ(result.exitStatus, 0) << result.out << result.err;
  expectInOrder(result.out, {"kernel up: virtual clock, seed 3",
                             "reader started on the emulated reader, firmware 2.3",
                             "waiting for a card",
                             "T=0 card inserted",
                             "cold reset, ATR 3B",
                             "protocol T=0 selected",
                             "APDU: select the application by its AID",
                             "APDU: verify a wrong PIN",
                             "SW 63 C",
                             "APDU: verify PIN 1234",
                             "SW 90 00",
                             "card removed",
                             "T=1 card inserted",
                             "protocol T=1 selected",
                             "APDU: get an 8-byte challenge",
                             "system going to sleep",
                             "system waking up",
                             "reader stopped",
                             "reader started again",
                             "reader unplugged",
                             "interface disabled",
                             "device removed",
                             "driver unloaded"});
}

TEST(Demo, TraceAddsTheDecodedSerialTraffic) {
  const auto plain = runTav712({"demo"});
  const auto traced = runTav712({"demo", "--trace"});
  ASSERT_EQ(traced.exitStatus, 0) << traced.err;
  EXPECT_GT(traced.out.size(), plain.out.size() * 2);
  // Key lines of the decoder on the recorded conversation.
  expectInOrder(traced.out, {"PTS response: echoed, accepted", "T=1: IFSC=32 CWI=13 BWI=4 EDC=LRC"});
}

// A card that stops after 13 of its 15 historical bytes: the trace shows
// the bytes that came, where they came, and that the answer is incomplete.
TEST(Trace, ShowsAnAnswerToResetTheCardNeverFinished) {
  const auto result =
      runTav712({"--knob", "atr=3B0F" + std::string(30, '4'), "--knob", "silent-after=15", "--trace", "atr"});
  EXPECT_EQ(result.exitStatus, 7) << result.out << result.err;
  expectInOrder(result.out, {"write card reset", "reply: ok",
                             "3B 0F 44 44 44 44 44 44 44 44 44 44 44 44 44  "
                             "ATR incomplete: the card stopped in the historical bytes (13 of 15)",
                             "power the card down"});
}

TEST(Demo, SameSeedSameStory) {
  const auto first = runTav712({"demo", "--seed", "11"});
  const auto second = runTav712({"demo", "--seed", "11"});
  EXPECT_EQ(first.out, second.out);
}

struct ErrorCase {
  const char* name;
  std::vector<std::string> arguments;
  int exitStatus;
  const char* message;
};

class Errors : public testing::TestWithParam<ErrorCase> {};

// T=1 with four interface byte groups and 15 historical bytes: 34 bytes.
const std::string atrOf34Bytes = "3BFF110000F1200000F1204500F1204500014141414141414141414141414141417F";

TEST_P(Errors, NameTheCauseWithTheirOwnExitStatus) {
  const auto& c = GetParam();
  const auto result = runTav712(c.arguments, std::chrono::seconds(30));
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitStatus, c.exitStatus) << result.out << result.err;
  EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("try:"), std::string::npos) << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    Program, Errors,
    testing::Values(
        ErrorCase{"UnknownCommand", {"frobnicate"}, 2, "unknown command"},
        ErrorCase{"PortMissing", {"--port", "/dev/no-such-tty", "atr"}, 4, "cannot open /dev/no-such-tty"},
        ErrorCase{"ReaderSilent", {"--knob", "reader-silent-after=0", "status"}, 5, "does not answer"},
        ErrorCase{"NoCard", {"--no-card", "atr"}, 6, "no card"},
        ErrorCase{"MuteCard", {"--knob", "silent-after=0", "atr"}, 7, "did not answer"},
        ErrorCase{"ProtocolRefused", {"--card", "t0", "protocol", "t1"}, 8, "refused"},
        ErrorCase{"MalformedHex", {"apdu", "00A4GG"}, 3, "malformed hex"},
        ErrorCase{
            "DriverImageMissing", {"--driver-image", "/no/such/tav712.sys", "status"}, 3, "cannot open kernel image"},
        ErrorCase{"DriverImageNotAKernelImage", {"--driver-image", TAV712_BINARY, "status"}, 3, "not a PE image"},
        ErrorCase{"ApduTooLong", {"apdu", std::string(600, 'A')}, 3, "APDU too long"},
        ErrorCase{"WaitTimesOut", {"--no-card", "--timeout", "3000", "wait"}, 10, "no card inserted within 3000 ms"},
        ErrorCase{"ParityErrorInTheAtr", {"--knob", "parity-error-byte=1", "atr"}, 7, "answer-to-reset"},
        ErrorCase{"AtrLongerThan33Bytes", {"--knob", "atr=" + atrOf34Bytes, "atr"}, 7, "longer than the 33 bytes"},
        ErrorCase{"ReaderReplyReplaced",
                  {"--knob", "wrong-reply=24", "apdu", "00A4000C023F00"},
                  5,
                  "a reply no TAV712 gives"},
        ErrorCase{"ReaderUnpluggedDuringTheReset",
                  {"--knob", "dsr-drop-ms=300", "apdu", "00B0000010"},
                  5,
                  "the reader is gone"}),
    [](const auto& testInfo) { return testInfo.param.name; });

// Cards the driver once failed, each through the whole stack: a T=1 card
// that checks its blocks by CRC, a T=0 card that sends a NULL before its
// status word, a T=1 card announcing IFSC 0xFF as cards in the field do.
struct CardCase {
  const char* name;
  std::vector<std::string> arguments;
  const char* statusWord;  // the card's answer, as the program shows it
};

void PrintTo(const CardCase& card, std::ostream* os) { *os << card.name; }

class Cards : public testing::TestWithParam<CardCase> {};

TEST_P(Cards, ExchangeAnApdu) {
  const auto result = runTav712(GetParam().arguments, std::chrono::seconds(30));
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_NE(result.out.find(GetParam().statusWord), std::string::npos) << result.out;
}

INSTANTIATE_TEST_SUITE_P(
    Program, Cards,
    testing::Values(
        // An application the card does not hold: the card's answer is the point.
        CardCase{"T1WithCrc", {"--card", "t1-crc", "apdu", "00A4040C07A0000002471001"}, "SW 6A 82"},
        CardCase{
            "T0WithNullsBeforeTheStatus", {"--card", "t0", "--knob", "t0-nulls=1", "apdu", "0084000008"}, "SW 90 00"},
        CardCase{
            "T1AnnouncingIfscFf",
            {"--card", "t1", "--knob", "atr=3BEF00FF8131FF6549424D204D4643393232393238393017", "apdu", "0084000008"},
            "SW 90 00"}),
    [](const auto& testInfo) { return testInfo.param.name; });

// A data error the reader reports inside the answer-to-reset (here on the
// second historical byte, '7') fails the reset instead of delivering an
// ATR with a zero in that place.
TEST(Atr, DataErrorInsideTheAnswerFailsTheReset) {
  const auto result = runTav712({"--card", "t0", "--knob", "parity-error-byte=5", "atr"}, std::chrono::seconds(30));
  EXPECT_FALSE(result.timedOut);
  EXPECT_NE(result.exitStatus, 0) << result.out << result.err;
  EXPECT_EQ(result.out.find("ATR 3B"), std::string::npos) << result.out;
}

std::string writeScript(const std::string& name, const std::string& text) {
  const std::string path = testing::TempDir() + name;
  std::ofstream(path) << text;
  return path;
}

TEST(Script, PassesWhenEveryStatusWordMatches) {
  const auto path = writeScript("good.apdu",
                                "# select and read\n"
                                "00 A4 04 00 06 A0 00 00 07 12 01 -> 9000\n"
                                "00 A4 00 0C 02 6F 01 -> 9000\n"
                                "00 B0 00 00 04 -> 9000\n"
                                "00 20 00 80 04 39 39 39 39 -> 63CX\n");
  const auto result = runTav712({"script", path, "--protocol", "t1"});
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("4 of 4 commands as expected"), std::string::npos) << result.out;
}

TEST(Script, FailsNamingTheLineOfTheMismatch) {
  const auto path = writeScript("bad.apdu",
                                "00 A4 04 0C 06 A0 00 00 07 12 01 -> 9000\n"
                                "\n"
                                "00 A4 00 0C 02 6F 99 -> 9000\n");
  const auto result = runTav712({"script", path});
  EXPECT_EQ(result.exitStatus, 9) << result.out << result.err;
  EXPECT_NE(result.err.find("bad.apdu:3: expected 9000, got 6A82"), std::string::npos) << result.err;
}

TEST(Json, GivesOneDocumentWithTheResult) {
  const auto result = runTav712({"--json", "apdu", "00A4000C023F00"});
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.out.find("{\"firmware\":\"2.3\""), 0u) << result.out;
  EXPECT_NE(result.out.find("\"sw\":\"9000\""), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\"ok\":true"), std::string::npos);
}

// The version comes from the build's one project version; like --help it
// wins wherever it stands and runs no command.
TEST(Version, ReportsTheProjectVersionAndRunsNothing) {
  const auto alone = runTav712({"--version"});
  EXPECT_EQ(alone.exitStatus, 0) << alone.err;
  EXPECT_EQ(alone.out, "tav712 " TAV712_PROJECT_VERSION "\n");
  const auto withCommand = runTav712({"--no-card", "--version", "atr"});
  EXPECT_EQ(withCommand.exitStatus, 0) << withCommand.err;
  EXPECT_EQ(withCommand.out, alone.out);
}

}  // namespace
}  // namespace program_test
