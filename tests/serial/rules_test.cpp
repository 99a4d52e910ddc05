// The rules a port applies on its own: how the time-outs bound a read or a
// write, and how control requests are validated. (The common read settings
// are checked end to end, at exact instants, in port_read_test.)

#include <gtest/gtest.h>

#include "rules/control_checks.h"
#include "rules/timeouts.h"

namespace serial {
namespace {

constexpr ULONG kMax = 0xFFFFFFFFu;
const auto caseName = [](const auto& testCase) { return "case" + std::to_string(testCase.index); };

SERIAL_TIMEOUTS readTimeouts(ULONG interval, ULONG multiplier, ULONG constant) {
  return SERIAL_TIMEOUTS{interval, multiplier, constant, 0, 0};
}

struct ReadCase {
  const char* what;
  SERIAL_TIMEOUTS timeouts;
  ULONG length;
  ReadPlan plan;
};

class ReadPlanTable : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ReadPlanTable, FollowsTheCommTimeoutRules) {
  EXPECT_EQ(planRead(GetParam().timeouts, GetParam().length), GetParam().plan) << GetParam().what;
}

INSTANTIATE_TEST_SUITE_P(
    Reads, ReadPlanTable,
    ::testing::Values(ReadCase{"MAXULONG interval, MAXULONG multiplier, constant 0: a plain huge total",
                               readTimeouts(kMax, kMax, 0),
                               2,
                               {.total = Milliseconds(2ull * kMax)}},
                      ReadCase{"MAXULONG interval with a total: no interval time-out",
                               readTimeouts(kMax, 0, 70),
                               4,
                               {.total = Milliseconds(70)}},
                      ReadCase{"the total is formed without 32-bit overflow",
                               readTimeouts(0, 0x80000000u, 0x80000000u),
                               2,
                               {.total = Milliseconds(3ull * 0x80000000u)}}),
    caseName);

TEST(WritePlan, IsMultiplierPerByteAndConstantOrNone) {
  EXPECT_EQ(planWrite(SERIAL_TIMEOUTS{50, 0, 100, 0, 1000}, 6), Milliseconds(1000));
  EXPECT_EQ(planWrite(SERIAL_TIMEOUTS{0, 0, 0, 2, 10}, 5), Milliseconds(20));
  EXPECT_EQ(planWrite(SERIAL_TIMEOUTS{0, 0, 0, 0, 0}, 5), std::nullopt);
}

// The smallest buffers each request takes: one byte less is too small, and
// what a request does not use is not checked.
TEST(ControlBuffers, SizesAreCheckedBeforeAnythingElse) {
  struct Row {
    ULONG code;
    ULONG inputLength;
    ULONG outputLength;
  };
  const Row rows[] = {{IOCTL_SERIAL_SET_BAUD_RATE, 4, 0},   {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0},
                      {IOCTL_SERIAL_SET_CHARS, 6, 0},       {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0},
                      {IOCTL_SERIAL_SET_HANDFLOW, 16, 0},   {IOCTL_SERIAL_PURGE, 4, 0},
                      {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0},   {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4},
                      {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20}, {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << std::hex << row.code);
    EXPECT_EQ(checkControlBuffers(row.code, row.inputLength, row.outputLength), STATUS_SUCCESS);
    EXPECT_EQ(checkControlBuffers(row.code, row.inputLength + 8, row.outputLength + 8), STATUS_SUCCESS);
    if (row.inputLength > 0) {
      EXPECT_EQ(checkControlBuffers(row.code, row.inputLength - 1, row.outputLength), STATUS_BUFFER_TOO_SMALL);
    }
    if (row.outputLength > 0) {
      EXPECT_EQ(checkControlBuffers(row.code, row.inputLength, row.outputLength - 1), STATUS_BUFFER_TOO_SMALL);
    }
  }
  EXPECT_EQ(checkControlBuffers(IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(checkControlBuffers(0x00318000, 4, 0), STATUS_INVALID_DEVICE_REQUEST);
}

TEST(ControlValues, LineControlFollowsTheUartsOwnCombinations) {
  EXPECT_EQ(checkLineControl({STOP_BIT_1, NO_PARITY, 8}), STATUS_SUCCESS);
  EXPECT_EQ(checkLineControl({STOP_BITS_2, EVEN_PARITY, 7}), STATUS_SUCCESS);
  EXPECT_EQ(checkLineControl({STOP_BITS_1_5, NO_PARITY, 5}), STATUS_SUCCESS);
  EXPECT_EQ(checkLineControl({STOP_BITS_1_5, NO_PARITY, 8}), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(checkLineControl({STOP_BITS_2, NO_PARITY, 5}), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(checkLineControl({STOP_BIT_1, NO_PARITY, 9}), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(checkLineControl({STOP_BIT_1, NO_PARITY, 4}), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(checkLineControl({STOP_BIT_1, 5, 8}), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(checkLineControl({3, NO_PARITY, 8}), STATUS_INVALID_PARAMETER);
}

TEST(ControlValues, HandFlowRejectsReservedBitsAndLimitsOutsideTheQueue) {
  const SERIAL_HANDFLOW reader{0, SERIAL_XOFF_CONTINUE, 0, 0};
  EXPECT_EQ(checkHandFlow(reader, 4096), STATUS_SUCCESS);
  EXPECT_EQ(checkHandFlow({0x00000100, 0, 0, 0}, 4096), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(checkHandFlow({0, 0x00000100, 0, 0}, 4096), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(checkHandFlow({SERIAL_DTR_MASK, 0, 0, 0}, 4096), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(checkHandFlow({0, 0, -1, 0}, 4096), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(checkHandFlow({0, 0, 0, 4097}, 4096), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(checkFlowCharacters({0, SERIAL_AUTO_TRANSMIT, 0, 0}, SERIAL_CHARS{}), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(checkFlowCharacters({0, SERIAL_AUTO_TRANSMIT, 0, 0}, SERIAL_CHARS{0, 0, 0, 0, 0x11, 0x13}), STATUS_SUCCESS);
  EXPECT_EQ(checkFlowCharacters(reader, SERIAL_CHARS{}), STATUS_SUCCESS);
}

TEST(ControlValues, MasksAndTimeouts) {
  EXPECT_EQ(checkPurgeMask(SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
  EXPECT_EQ(checkPurgeMask(0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(checkPurgeMask(0x10), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(checkWaitMask(0), STATUS_SUCCESS);
  EXPECT_EQ(checkWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_DSR), STATUS_SUCCESS);
  EXPECT_EQ(checkWaitMask(0x2000), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(checkBaudRate({0}), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(checkTimeouts(readTimeouts(kMax, kMax, kMax)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(checkTimeouts(readTimeouts(kMax, kMax, 100)), STATUS_SUCCESS);
}

}  // namespace
}  // namespace serial
