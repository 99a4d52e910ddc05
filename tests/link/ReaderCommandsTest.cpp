// Reader commands: byte-exact exchanges against the scripted line, and what
// the emulated reader's registers hold afterwards.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "link/ReaderCommands.h"
#include "support/DriverHarness.h"

namespace tav712::testing {
namespace {

using namespace std::chrono_literals;

std::string hexList(const Bytes& bytes) {
  std::string text;
  char item[4];
  for (std::uint8_t byte : bytes) {
    std::snprintf(item, sizeof item, " %02X", byte);
    text += item;
  }
  return text;
}

Bytes counting(std::size_t count, std::uint8_t first) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
  return bytes;
}

const Bytes kBytes25 = counting(25, 0x01);

struct Exchange {
  const char* name;
  std::string script;  // what the reader expects and answers
  std::function<NTSTATUS(PREADER_EXTENSION)> operation;
  NTSTATUS status;
  Bytes written;  // every byte the driver wrote, in order
};

class ReaderExchange : public ::testing::TestWithParam<Exchange> {};

TEST_P(ReaderExchange, SendsExactlyTheseBytesAndReturnsThisStatus) {
  const Exchange& test = GetParam();
  DriverHarness harness({.line = ScriptLine{test.script}});
  ASSERT_EQ(harness.openLink(), STATUS_SUCCESS);
  EXPECT_EQ(harness.call([&] { return test.operation(harness.readerExtension()); }), test.status);
  harness.runFor(100ms);
  Bytes written;
  for (const auto& byte : harness.script()->hostBytes()) written.push_back(byte.byte);
  EXPECT_EQ(hexList(written), hexList(test.written));
  EXPECT_TRUE(harness.script()->mismatches().empty());
}

NTSTATUS writeRegister(PREADER_EXTENSION reader, UCHAR reg, Bytes data) {
  return ReaderWriteRegister(reader, reg, static_cast<ULONG>(data.size()), data.data());
}

NTSTATUS send(PREADER_EXTENSION reader, const Bytes& data) {
  return ReaderSendToCard(reader, data.data(), static_cast<ULONG>(data.size()));
}

NTSTATUS readRegisterExpecting(PREADER_EXTENSION reader, UCHAR reg, UCHAR expected) {
  UCHAR value = static_cast<UCHAR>(~expected);
  NTSTATUS status = ReaderReadRegister(reader, reg, &value);
  EXPECT_EQ(value, expected);
  return status;
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ReaderExchange,
    ::testing::Values(
        Exchange{"RegisterWriteAcknowledged", "> 82 4F\n< 90", [](auto r) { return writeRegister(r, 2, {0x4F}); },
                 STATUS_SUCCESS, {0x82, 0x4F}},
        Exchange{"RegisterWriteRefused", "> 82 4F\n< 91", [](auto r) { return writeRegister(r, 2, {0x4F}); },
                 STATUS_DATA_ERROR, {0x82, 0x4F}},
        Exchange{"RegisterWriteUnanswered", "> 82 4F", [](auto r) { return writeRegister(r, 2, {0x4F}); },
                 STATUS_IO_TIMEOUT, {0x82, 0x4F}},
        Exchange{"RegisterReadOf0x90IsAValue", "> C2\n< 90", [](auto r) { return readRegisterExpecting(r, 2, 0x90); },
                 STATUS_SUCCESS, {0xC2}},
        Exchange{"RegisterReadFailureLeavesTheDestination", "> C4\n< 10 84 41",
                 [](auto r) {
                   UCHAR value = 0x5A;
                   NTSTATUS status = ReaderReadRegister(r, 4, &value);
                   EXPECT_EQ(value, 0x5A);
                   return status;
                 },
                 STATUS_DATA_ERROR,
                 {0xC4}},
        Exchange{"SendOf25Is24Plus1",
                 "> 58" + hexList(counting(24, 0x01)) + "\n< 90\n> 41 19\n< 90",
                 [](auto r) { return send(r, kBytes25); }, STATUS_SUCCESS,
                 [] {
                   Bytes b{0x58};
                   for (int i = 0; i < 24; ++i) b.push_back(kBytes25[static_cast<std::size_t>(i)]);
                   b.push_back(0x41);
                   b.push_back(0x19);
                   return b;
                 }()},
        Exchange{"SendOf24IsOneChunk", "> 58" + hexList(counting(24, 0x01)) + "\n< 90",
                 [](auto r) { return send(r, counting(24, 0x01)); }, STATUS_SUCCESS,
                 [] {
                   Bytes b{0x58};
                   Bytes data = counting(24, 0x01);
                   b.insert(b.end(), data.begin(), data.end());
                   return b;
                 }()},
        Exchange{"SendOf0IsTheEmptyCommand", "> 40\n< 90", [](auto r) { return send(r, {}); }, STATUS_SUCCESS,
                 {0x40}},
        Exchange{"ChunkAnswered88IsAcceptedAnd0x10GoesOutUnescaped", "> 42 10 20\n< 88",
                 [](auto r) { return send(r, {0x10, 0x20}); }, STATUS_SUCCESS, {0x42, 0x10, 0x20}},
        Exchange{"RefusedChunkEndsTheSend", "> 58" + hexList(counting(24, 0x01)) + "\n< 91",
                 [](auto r) { return send(r, kBytes25); }, STATUS_UNSUCCESSFUL,
                 [] {
                   Bytes b{0x58};
                   Bytes data = counting(24, 0x01);
                   b.insert(b.end(), data.begin(), data.end());
                   return b;
                 }()},
        Exchange{"GuardTime256SetsBit7", "> C1\n< 0D\n> C2\n< 4F\n> 81 00\n< 90\n> 82 CF\n< 90",
                 [](auto r) { return ReaderSetGuardTime(r, 256); }, STATUS_SUCCESS,
                 {0xC1, 0xC2, 0x81, 0x00, 0x82, 0xCF}},
        Exchange{"GuardTime255ClearsBit7", "> C1\n< 0D\n> C2\n< CF\n> 81 FF\n< 90\n> 82 4F\n< 90",
                 [](auto r) { return ReaderSetGuardTime(r, 255); }, STATUS_SUCCESS,
                 {0xC1, 0xC2, 0x81, 0xFF, 0x82, 0x4F}},
        Exchange{"GuardTime511SendsNothing", "", [](auto r) { return ReaderSetGuardTime(r, 511); },
                 STATUS_DATA_ERROR, {}},
        Exchange{"CharWaitingTimeLeastSignificantFirst", "> 85 80 25 00\n< 90",
                 [](auto r) { return ReaderSetCharWaitingTime(r, 9600); }, STATUS_SUCCESS, {0x85, 0x80, 0x25, 0x00}},
        Exchange{"BlockWaitingTimeDropsBits31To24", "> 86 78 56 34\n< 90",
                 [](auto r) { return ReaderSetBlockWaitingTime(r, 0x12345678); }, STATUS_SUCCESS,
                 {0x86, 0x78, 0x56, 0x34}},
        Exchange{"ModeKeepsTheOtherBits", "> C2\n< CC\n> 82 CF\n< 90", [](auto r) { return ReaderSetMode(r, 3); },
                 STATUS_SUCCESS, {0xC2, 0x82, 0xCF}},
        Exchange{"StartTable", "> 88 00\n< 90\n> 82 4F\n< 90",
                 [](auto r) { return ReaderRunRegisterTable(r, ReaderStartTable); }, STATUS_SUCCESS,
                 {0x88, 0x00, 0x82, 0x4F}},
        Exchange{"TableStopsAtTheFirstRefusal", "> 84 00\n< 00",
                 [](auto r) { return ReaderRunRegisterTable(r, ReaderStopTable); }, STATUS_DATA_ERROR, {0x84, 0x00}},
        Exchange{"FirmwareVersionUnanswered", "> C0",
                 [](auto r) {
                   r->FirmwareMajor = 7;
                   NTSTATUS status = ReaderGetFirmwareVersion(r);
                   EXPECT_EQ(r->FirmwareMajor, 7) << "left unchanged";
                   return status;
                 },
                 STATUS_IO_TIMEOUT, {0xC0}},
        Exchange{"EtuSendsNothing", "", [](auto r) { return ReaderSetEtu(r, 372); }, STATUS_SUCCESS, {}}),
    [](const ::testing::TestParamInfo<Exchange>& paramInfo) { return std::string(paramInfo.param.name); });

TEST(ReaderCommands, PowerDownPauses200MsAfterTheWriteEvenWhenItFails) {
  for (const bool answered : {true, false}) {
    DriverHarness harness({.line = ScriptLine{answered ? "> 84 00\n< 90" : "> 84 00"}});
    ASSERT_EQ(harness.openLink(), STATUS_SUCCESS);
    const platform::Instant start = harness.now();
    const NTSTATUS status = harness.call([&] { return ReaderPowerDownCard(harness.readerExtension()); });
    const platform::Duration took = harness.now() - start;
    if (answered) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      EXPECT_GE(took, 200ms);
      EXPECT_LT(took, 210ms);
    } else {
      EXPECT_EQ(status, STATUS_IO_TIMEOUT);
      EXPECT_GE(took, 150ms + 200ms) << "the reply's time-out, then the pause";
      EXPECT_LT(took, 360ms);
    }
  }
}

// Against the emulated reader: what the registers hold afterwards.
class EmulatedReader : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(harness.openLink(), STATUS_SUCCESS); }
  NTSTATUS run(const std::function<NTSTATUS(PREADER_EXTENSION)>& operation) {
    return harness.call([&] { return operation(harness.readerExtension()); });
  }
  DriverHarness harness{HarnessOptions{.line = EmulatorLine{}}};
};

TEST_F(EmulatedReader, RegistersKeepWhatIsWrittenAndReadBack) {
  ASSERT_EQ(run([](auto r) { return writeRegister(r, 2, {0x4F}); }), STATUS_SUCCESS);
  EXPECT_EQ(harness.reader()->registerValue(2), 0x4F);
  UCHAR value = 0;
  ASSERT_EQ(run([&](auto r) { return ReaderReadRegister(r, 2, &value); }), STATUS_SUCCESS);
  EXPECT_EQ(value, 0x4F);
}

TEST_F(EmulatedReader, GuardTimeCarriesBit8InRegister2Bit7) {
  for (ULONG guardTime : {13u, 255u, 256u, 510u, 0u}) {
    SCOPED_TRACE(guardTime);
    ASSERT_EQ(run([&](auto r) { return ReaderSetGuardTime(r, guardTime); }), STATUS_SUCCESS);
    EXPECT_EQ(harness.reader()->guardTimeEtu(), guardTime);
    EXPECT_EQ(harness.reader()->registerValue(1), guardTime & 0xFF);
    EXPECT_EQ((harness.reader()->registerValue(2) & 0x80) != 0, guardTime >= 256);
  }
  EXPECT_EQ(run([](auto r) { return ReaderSetGuardTime(r, 511); }), STATUS_DATA_ERROR);
  EXPECT_EQ(harness.reader()->guardTimeEtu(), 0u);
}

TEST_F(EmulatedReader, WaitingTimesGoOutLeastSignificantByteFirst) {
  ASSERT_EQ(run([](auto r) { return ReaderSetCharWaitingTime(r, 0x00ABCDEF); }), STATUS_SUCCESS);
  ASSERT_EQ(run([](auto r) { return ReaderSetBlockWaitingTime(r, 0xFF123456); }), STATUS_SUCCESS);
  EXPECT_EQ(harness.reader()->characterWaitingEtu(), 0x00ABCDEFu);
  EXPECT_EQ(harness.reader()->blockWaitingEtu(), 0x00123456u);
}

TEST_F(EmulatedReader, ModeChangesOnlyTheLowTwoBits) {
  ASSERT_EQ(run([](auto r) { return writeRegister(r, 2, {0xCC}); }), STATUS_SUCCESS);
  ASSERT_EQ(run([](auto r) { return ReaderSetMode(r, 3); }), STATUS_SUCCESS);
  EXPECT_EQ(harness.reader()->registerValue(2), 0xCF);
  ASSERT_EQ(run([](auto r) { return ReaderSetMode(r, 0); }), STATUS_SUCCESS);
  EXPECT_EQ(harness.reader()->registerValue(2), 0xCC);
}

TEST_F(EmulatedReader, PrepareAtrLeavesRegister2At0x6C) {
  ASSERT_EQ(run([](auto r) { return ReaderPrepareAtr(r); }), STATUS_SUCCESS);
  EXPECT_EQ(harness.reader()->registerValue(2), 0x6C);
  EXPECT_EQ(harness.reader()->guardTimeEtu(), 13u);
  EXPECT_EQ(harness.reader()->characterWaitingEtu(), 9600u);
}

TEST_F(EmulatedReader, FirmwareVersionSplitsRegister0IntoNibbles) {
  ASSERT_EQ(run([](auto r) { return ReaderGetFirmwareVersion(r); }), STATUS_SUCCESS);
  EXPECT_EQ(harness.readerExtension()->FirmwareMajor, 2);
  EXPECT_EQ(harness.readerExtension()->FirmwareMinor, 3);
}

TEST_F(EmulatedReader, TablesWriteTheirRows) {
  ASSERT_EQ(run([](auto r) { return ReaderRunRegisterTable(r, ReaderStartTable); }), STATUS_SUCCESS);
  EXPECT_EQ(harness.reader()->registerValue(2), 0x4F);
  EXPECT_EQ(harness.reader()->registerValue(8), 0x00);
  ASSERT_EQ(run([](auto r) { return ReaderRunRegisterTable(r, ReaderStopTable); }), STATUS_SUCCESS);
  EXPECT_EQ(harness.reader()->registerValue(2), 0x00);
}

}  // namespace
}  // namespace tav712::testing
