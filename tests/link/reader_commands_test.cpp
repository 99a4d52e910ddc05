// Reader commands: byte-exact exchanges against the scripted line. The
// script holds every byte the driver must write and the reader's answers;
// an exchange passes when the whole script was played and nothing else was
// written.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "link/ReaderCommands.h"
#include "support/driver_harness.h"

namespace tav712::testing {
namespace {

using namespace std::chrono_literals;

Bytes counting(std::size_t count) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(1 + i);
  return bytes;
}

NTSTATUS writeRegister(PREADER_EXTENSION reader, UCHAR reg, Bytes data) {
  return ReaderWriteRegister(reader, reg, static_cast<ULONG>(data.size()), data.data());
}

NTSTATUS send(PREADER_EXTENSION reader, const Bytes& data) {
  return ReaderSendToCard(reader, data.data(), static_cast<ULONG>(data.size()));
}

// Reads a register whose destination holds `before`, which must then hold `after`.
NTSTATUS readRegister(PREADER_EXTENSION reader, UCHAR reg, UCHAR before, UCHAR after) {
  UCHAR value = before;
  NTSTATUS status = ReaderReadRegister(reader, reg, &value);
  EXPECT_EQ(value, after);
  return status;
}

struct Exchange {
  const char* name;
  std::string script;  // what the reader expects and answers
  std::function<NTSTATUS(PREADER_EXTENSION)> operation;
  NTSTATUS status;
};

void PrintTo(const Exchange& row, std::ostream* out) { *out << row.name; }

class ReaderExchange : public ::testing::TestWithParam<Exchange> {};

TEST_P(ReaderExchange, SendsExactlyTheScriptedBytesAndReturnsThisStatus) {
  const Exchange& test = GetParam();
  DriverHarness harness({.line = ScriptLine{test.script}});
  ASSERT_EQ(harness.openLink(), STATUS_SUCCESS);
  EXPECT_EQ(harness.call([&] { return test.operation(harness.readerExtension()); }), test.status);
  harness.runFor(100ms);
  EXPECT_TRUE(harness.script()->finished());
  EXPECT_TRUE(harness.script()->mismatches().empty()) << harness.script()->mismatches().front();
}

const std::string kSend24 = "> 58 " + hex(counting(24)) + "\n";

INSTANTIATE_TEST_SUITE_P(
    Commands, ReaderExchange,
    ::testing::Values(
        Exchange{"RegisterWriteRefused", "> 82 4F\n< 91", [](auto r) { return writeRegister(r, 2, {0x4F}); },
                 STATUS_DATA_ERROR},
        Exchange{"RegisterReadOf0x90IsAValue", "> C2\n< 90", [](auto r) { return readRegister(r, 2, 0x6F, 0x90); },
                 STATUS_SUCCESS},
        Exchange{"RegisterReadFailureLeavesTheDestination", "> C4\n< 10 84 41",
                 [](auto r) { return readRegister(r, 4, 0x5A, 0x5A); }, STATUS_DATA_ERROR},
        Exchange{"SendOf25Is24Plus1", kSend24 + "< 90\n> 41 19\n< 90", [](auto r) { return send(r, counting(25)); },
                 STATUS_SUCCESS},
        Exchange{"SendOf24IsOneChunk", kSend24 + "< 90", [](auto r) { return send(r, counting(24)); }, STATUS_SUCCESS},
        Exchange{"SendOf0IsTheEmptyCommand", "> 40\n< 90", [](auto r) { return send(r, {}); }, STATUS_SUCCESS},
        Exchange{"ChunkAnswered88IsAcceptedAnd0x10GoesOutUnescaped", "> 42 10 20\n< 88",
                 [](auto r) {
                   return send(r, {0x10, 0x20});
                 },
                 STATUS_SUCCESS},
        Exchange{"RefusedChunkEndsTheSend", kSend24 + "< 91", [](auto r) { return send(r, counting(25)); },
                 STATUS_UNSUCCESSFUL},
        Exchange{"GuardTime256SetsBit7", "> C1\n< 0D\n> C2\n< 4F\n> 81 00\n< 90\n> 82 CF\n< 90",
                 [](auto r) { return ReaderSetGuardTime(r, 256); }, STATUS_SUCCESS},
        Exchange{"GuardTime255ClearsBit7", "> C1\n< 0D\n> C2\n< CF\n> 81 FF\n< 90\n> 82 4F\n< 90",
                 [](auto r) { return ReaderSetGuardTime(r, 255); }, STATUS_SUCCESS},
        Exchange{"GuardTime511SendsNothing", "", [](auto r) { return ReaderSetGuardTime(r, 511); }, STATUS_DATA_ERROR},
        Exchange{"BlockWaitingTimeDropsBits31To24", "> 86 78 56 34\n< 90",
                 [](auto r) { return ReaderSetBlockWaitingTime(r, 0x12345678); }, STATUS_SUCCESS},
        Exchange{"TableStopsAtTheFirstRefusal", "> 84 00\n< 00",
                 [](auto r) { return ReaderRunRegisterTable(r, ReaderStopTable); }, STATUS_DATA_ERROR}),
    [](const ::testing::TestParamInfo<Exchange>& paramInfo) { return std::string(paramInfo.param.name); });

// An unanswered register write, timed. (The pause after an answered
// power-down is checked on the wire of a reader stop, in ReaderStartTest.)
TEST(ReaderCommands, PowerDownPauses200MsAfterTheWriteEvenWhenItFails) {
  DriverHarness harness({.line = ScriptLine{"> 84 00"}});
  ASSERT_EQ(harness.openLink(), STATUS_SUCCESS);
  const platform::Instant start = harness.now();
  EXPECT_EQ(harness.call([&] { return ReaderPowerDownCard(harness.readerExtension()); }), STATUS_IO_TIMEOUT);
  const platform::Duration took = harness.now() - start;
  EXPECT_GE(took, 150ms + 200ms) << "the reply's time-out, then the pause";
  EXPECT_LT(took, 360ms);
}

}  // namespace
}  // namespace tav712::testing
