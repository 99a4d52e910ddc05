// Card timing arithmetic: the reader's guard and waiting times and the
// serial time-outs derived from F, D, N, WI, CWI and BWI.

#include <gtest/gtest.h>

#include "card/CardTiming.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

CARD_TIMING_INPUT inputFor(ULONG protocol, ULONG f, ULONG dNumerator, UCHAR n = 0) {
  CARD_TIMING_INPUT input{};
  input.Protocol = protocol;
  input.F = f;
  input.DNumerator = dNumerator;
  input.DDivisor = 1;
  input.N = n;
  input.WI = CARD_TIMING_DEFAULT_WI;
  input.CWI = CARD_TIMING_DEFAULT_CWI;
  input.BWI = CARD_TIMING_DEFAULT_BWI;
  input.ClockKHz = 3580;
  return input;
}

struct Timing {
  bool forReader = false;
  CARD_READER_TIMING reader{};
  CARD_SERIAL_TIMING serial{};

  // E, mode, guard, CWT, CWT value, BWT, BWT value; then the serial
  // character and block clocks and ms, ReadCharTimeout, ReadTotalTimeout.
  std::vector<ULONG> all() const {
    return {reader.EtuClocks,
            reader.Mode,
            reader.GuardValue,
            reader.CharWaitingTime,
            reader.CharWaitingValue,
            reader.BlockWaitingTime,
            reader.BlockWaitingValue,
            serial.CharClocks,
            serial.CharMs,
            serial.BlockClocks,
            serial.BlockMs,
            serial.ReadCharTimeout,
            serial.ReadTotalTimeout};
  }
};

Timing compute(const CARD_TIMING_INPUT& input) {
  Timing timing;
  timing.forReader = ComputeReaderTiming(&input, &timing.reader);
  ComputeSerialTiming(&input, &timing.serial);
  return timing;
}

struct TimingCase {
  const char* name;
  CARD_TIMING_INPUT input;
  std::vector<ULONG> expected;  // in the order of Timing::all
};

// F = 372, clock 3580 kHz, WI/CWI/BWI at their defaults: every quantity to
// the last digit.
TEST(CardTiming, WorkedExample) {
  const TimingCase cases[] = {
      {"T=0 D 1",
       inputFor(SCARD_PROTOCOL_T0, 372, 1),
       {372, 3, 13, 9600, 10560, 9600, 10560, 3571200, 997, 3571200, 997, 1346, 1396}},
      {"T=1 D 1",
       inputFor(SCARD_PROTOCOL_T1, 372, 1),
       {372, 0, 12, 8203, 9023, 15371, 16908, 3051516, 852, 5718012, 1597, 1157, 2176}},
      {"T=0 D 4",
       inputFor(SCARD_PROTOCOL_T0, 372, 4),
       {93, 3, 13, 38400, 42240, 38400, 42240, 3571200, 997, 3571200, 997, 1346, 1396}},
      {"T=1 D 4",
       inputFor(SCARD_PROTOCOL_T1, 372, 4),
       {93, 0, 12, 8203, 9023, 61451, 67596, 762879, 213, 5714943, 1596, 326, 2174}},
      // 254 is the largest extra guard time.
      {"T=0 N 254",
       inputFor(SCARD_PROTOCOL_T0, 372, 1, 254),
       {372, 3, 267, 9600, 10560, 9600, 10560, 3571200, 997, 3571200, 997, 1346, 1396}},
  };
  for (const TimingCase& c : cases) {
    SCOPED_TRACE(c.name);
    Timing timing = compute(c.input);
    EXPECT_TRUE(timing.forReader);
    EXPECT_EQ(timing.all(), c.expected);
  }
}

TEST(CardTiming, N255CountsAsNoExtraGuardTime) {
  for (ULONG protocol : {ULONG{SCARD_PROTOCOL_T0}, ULONG{SCARD_PROTOCOL_T1}}) {
    EXPECT_EQ(compute(inputFor(protocol, 372, 1, 255)).all(), compute(inputFor(protocol, 372, 1, 0)).all()) << protocol;
  }
}

// A zero D numerator, or F below it, gives no ETU instead of a division by
// zero; the serial time-outs keep their floors.
TEST(CardTiming, UncomputableEtuGivesZeroInsteadOfDividingByZero) {
  for (const CARD_TIMING_INPUT& input : {inputFor(SCARD_PROTOCOL_T0, 372, 0), inputFor(SCARD_PROTOCOL_T1, 372, 0),
                                         inputFor(SCARD_PROTOCOL_T1, 16, 32)}) {
    SCOPED_TRACE(::testing::Message() << "protocol " << input.Protocol << " F " << input.F);
    Timing timing = compute(input);
    ASSERT_TRUE(timing.forReader);
    EXPECT_EQ(timing.reader.EtuClocks, 0u);
    if (input.Protocol == SCARD_PROTOCOL_T1) {
      EXPECT_EQ(timing.reader.BlockWaitingTime, 0u) << "BWT divides by E";
    }
    EXPECT_GE(timing.serial.ReadCharTimeout, 50u);
    EXPECT_GE(timing.serial.ReadTotalTimeout, 100u);
  }
}

TEST(CardTiming, ZeroClockGivesTheLongestTimeoutsInsteadOfDividingByZero) {
  CARD_TIMING_INPUT input = inputFor(SCARD_PROTOCOL_T0, 372, 1);
  input.ClockKHz = 0;
  Timing timing = compute(input);
  EXPECT_EQ(timing.serial.CharMs, 3571200u);
  EXPECT_GT(timing.serial.ReadTotalTimeout, 1396u);
}

// Reserved BWI values overflow 357120 x 2^BWI in 32 bits and a small E takes
// BWT past the reader's 24-bit register: both saturate, never wrap short.
TEST(CardTiming, LargeBlockWaitingTimesSaturateInsteadOfWrapping) {
  for (UCHAR bwi = 9; bwi <= 15; bwi++) {
    SCOPED_TRACE(int(bwi));
    CARD_TIMING_INPUT input = inputFor(SCARD_PROTOCOL_T1, 372, 32);
    input.BWI = bwi;
    Timing timing = compute(input);
    const CARD_READER_TIMING& reader = timing.reader;
    uint64_t exact = 357120ull * (1ull << bwi) / reader.EtuClocks + 11;
    EXPECT_EQ(reader.BlockWaitingTime, std::min<uint64_t>(exact, 0xFFFFFFFFu));
    EXPECT_EQ(reader.BlockWaitingValue, std::min<uint64_t>(exact + exact / 10, 0xFFFFFFu));

    const CARD_SERIAL_TIMING& serial = timing.serial;
    uint64_t blockClocks = (1ull << bwi) * 357120ull + 11ull * reader.EtuClocks;
    EXPECT_EQ(serial.BlockClocks, std::min<uint64_t>(blockClocks, 0xFFFFFFFFu));
    // Room left for a waiting-time extension of 255 and a 767-byte read.
    EXPECT_LE(uint64_t{serial.ReadTotalTimeout} * 255 + 3ull * serial.ReadCharTimeout, 0xFFFFFFFFull);
    EXPECT_LE(uint64_t{serial.ReadCharTimeout} * 767 + serial.ReadTotalTimeout, 0xFFFFFFFFull);
  }
}

TEST(CardTiming, ExponentsWiderThanFourBitsAreHeldAtFifteen) {
  CARD_TIMING_INPUT input = inputFor(SCARD_PROTOCOL_T1, 372, 1);
  input.CWI = 200;
  EXPECT_EQ(compute(input).reader.CharWaitingTime, (1u << 15) + 11);
}

}  // namespace
