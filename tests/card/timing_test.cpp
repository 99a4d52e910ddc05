// Card timing arithmetic: the reader's guard and waiting times and the
// serial time-outs derived from F, D, N, WI, CWI and BWI.

#include <gtest/gtest.h>

#include "card/CardTiming.h"

#include <array>
#include <cstdint>

namespace {

struct TimingCase {
    const char *name;
    ULONG protocol;
    ULONG f;
    ULONG dNumerator;
    UCHAR n;
    // expected
    ULONG etuClocks;
    UCHAR mode;
    ULONG guardValue;
    ULONG charWaiting;
    ULONG charWaitingValue;
    ULONG blockWaiting;
    ULONG blockWaitingValue;
    ULONG charClocks;
    ULONG charMs;
    ULONG blockClocks;
    ULONG blockMs;
    ULONG readCharTimeoutMs;
    ULONG readTotalTimeoutMs;
};

CARD_TIMING_INPUT inputFor(ULONG protocol, ULONG f, ULONG dNumerator, UCHAR n)
{
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

class TimingTable : public ::testing::TestWithParam<TimingCase> {};

TEST_P(TimingTable, ReproducesEveryQuantityToTheLastDigit)
{
    const TimingCase &c = GetParam();
    CARD_TIMING_INPUT input = inputFor(c.protocol, c.f, c.dNumerator, c.n);

    CARD_READER_TIMING reader{};
    ASSERT_TRUE(ComputeReaderTiming(&input, &reader));
    EXPECT_EQ(reader.EtuClocks, c.etuClocks);
    EXPECT_EQ(reader.Mode, c.mode);
    EXPECT_EQ(reader.GuardValue, c.guardValue);
    EXPECT_EQ(reader.CharWaitingTime, c.charWaiting);
    EXPECT_EQ(reader.CharWaitingValue, c.charWaitingValue);
    EXPECT_EQ(reader.BlockWaitingTime, c.blockWaiting);
    EXPECT_EQ(reader.BlockWaitingValue, c.blockWaitingValue);

    CARD_SERIAL_TIMING serial{};
    ComputeSerialTiming(&input, &serial);
    EXPECT_EQ(serial.CharClocks, c.charClocks);
    EXPECT_EQ(serial.CharMs, c.charMs);
    EXPECT_EQ(serial.BlockClocks, c.blockClocks);
    EXPECT_EQ(serial.BlockMs, c.blockMs);
    EXPECT_EQ(serial.ReadCharTimeout, c.readCharTimeoutMs);
    EXPECT_EQ(serial.ReadTotalTimeout, c.readTotalTimeoutMs);
}

// F = 372, clock 3580 kHz, WI/CWI/BWI at their defaults.
INSTANTIATE_TEST_SUITE_P(
    WorkedExample, TimingTable,
    ::testing::Values(
        TimingCase{"T0_D1", SCARD_PROTOCOL_T0, 372, 1, 0, 372, 3, 13, 9600, 10560, 9600, 10560,
                   3571200, 997, 3571200, 997, 1346, 1396},
        TimingCase{"T1_D1", SCARD_PROTOCOL_T1, 372, 1, 0, 372, 0, 12, 8203, 9023, 15371, 16908,
                   3051516, 852, 5718012, 1597, 1157, 2176},
        TimingCase{"T0_D4", SCARD_PROTOCOL_T0, 372, 4, 0, 93, 3, 13, 38400, 42240, 38400, 42240,
                   3571200, 997, 3571200, 997, 1346, 1396},
        TimingCase{"T1_D4", SCARD_PROTOCOL_T1, 372, 4, 0, 93, 0, 12, 8203, 9023, 61451, 67596,
                   762879, 213, 5714943, 1596, 326, 2174},
        // N = 255 counts as no extra guard time; 254 is the largest guard.
        TimingCase{"T0_N255", SCARD_PROTOCOL_T0, 372, 1, 255, 372, 3, 13, 9600, 10560, 9600, 10560,
                   3571200, 997, 3571200, 997, 1346, 1396},
        TimingCase{"T1_N255", SCARD_PROTOCOL_T1, 372, 1, 255, 372, 0, 12, 8203, 9023, 15371, 16908,
                   3051516, 852, 5718012, 1597, 1157, 2176},
        TimingCase{"T0_N254", SCARD_PROTOCOL_T0, 372, 1, 254, 372, 3, 267, 9600, 10560, 9600, 10560,
                   3571200, 997, 3571200, 997, 1346, 1396}),
    [](const ::testing::TestParamInfo<TimingCase> &caseInfo) { return caseInfo.param.name; });

TEST(CardTiming, NoProtocolWritesNothingToTheReaderButKeepsT0SerialTimeouts)
{
    CARD_TIMING_INPUT input = inputFor(0, 372, 1, 0);
    CARD_READER_TIMING reader{};
    EXPECT_FALSE(ComputeReaderTiming(&input, &reader));

    CARD_SERIAL_TIMING serial{};
    ComputeSerialTiming(&input, &serial);
    EXPECT_EQ(serial.ReadCharTimeout, 1346u);
    EXPECT_EQ(serial.ReadTotalTimeout, 1396u);
}

TEST(CardTiming, ZeroDNumeratorGivesNoEtuInsteadOfDividingByZero)
{
    for (ULONG protocol : {ULONG{SCARD_PROTOCOL_T0}, ULONG{SCARD_PROTOCOL_T1}}) {
        CARD_TIMING_INPUT input = inputFor(protocol, 372, 0, 0);
        CARD_READER_TIMING reader{};
        ASSERT_TRUE(ComputeReaderTiming(&input, &reader));
        EXPECT_EQ(reader.EtuClocks, 0u);
        if (protocol == SCARD_PROTOCOL_T1) {
            EXPECT_EQ(reader.BlockWaitingTime, 0u) << "BWT divides by E";
        }
        CARD_SERIAL_TIMING serial{};
        ComputeSerialTiming(&input, &serial);
        EXPECT_GE(serial.ReadCharTimeout, 50u);
        EXPECT_GE(serial.ReadTotalTimeout, 100u);
    }
}

TEST(CardTiming, FSmallerThanDNumeratorGivesNoEtu)
{
    CARD_TIMING_INPUT input = inputFor(SCARD_PROTOCOL_T1, 16, 32, 0);
    CARD_READER_TIMING reader{};
    ASSERT_TRUE(ComputeReaderTiming(&input, &reader));
    EXPECT_EQ(reader.EtuClocks, 0u);
    EXPECT_EQ(reader.BlockWaitingTime, 0u);
}

TEST(CardTiming, ZeroClockGivesTheLongestTimeoutsInsteadOfDividingByZero)
{
    CARD_TIMING_INPUT input = inputFor(SCARD_PROTOCOL_T0, 372, 1, 0);
    input.ClockKHz = 0;
    CARD_SERIAL_TIMING serial{};
    ComputeSerialTiming(&input, &serial);
    EXPECT_EQ(serial.CharMs, 3571200u);
    EXPECT_GT(serial.ReadTotalTimeout, 1396u);
}

// Reserved BWI values overflow 357120 x 2^BWI in 32 bits and a small E takes
// BWT past the reader's 24-bit register: both saturate, never wrap short.
TEST(CardTiming, LargeBlockWaitingTimesSaturateInsteadOfWrapping)
{
    for (UCHAR bwi = 9; bwi <= 15; bwi++) {
        CARD_TIMING_INPUT input = inputFor(SCARD_PROTOCOL_T1, 372, 32, 0);
        input.BWI = bwi;
        CARD_READER_TIMING reader{};
        ASSERT_TRUE(ComputeReaderTiming(&input, &reader));
        uint64_t exact = 357120ull * (1ull << bwi) / reader.EtuClocks + 11;
        EXPECT_EQ(reader.BlockWaitingTime, std::min<uint64_t>(exact, 0xFFFFFFFFu)) << int(bwi);
        EXPECT_EQ(reader.BlockWaitingValue, std::min<uint64_t>(exact + exact / 10, 0xFFFFFFu)) << int(bwi);

        CARD_SERIAL_TIMING serial{};
        ComputeSerialTiming(&input, &serial);
        uint64_t blockClocks = (1ull << bwi) * 357120ull + 11ull * reader.EtuClocks;
        EXPECT_EQ(serial.BlockClocks, std::min<uint64_t>(blockClocks, 0xFFFFFFFFu)) << int(bwi);
        // Room left for a waiting-time extension of 255 and a 767-byte read.
        EXPECT_LE(uint64_t{serial.ReadTotalTimeout} * 255 + 3ull * serial.ReadCharTimeout, 0xFFFFFFFFull);
        EXPECT_LE(uint64_t{serial.ReadCharTimeout} * 767 + serial.ReadTotalTimeout, 0xFFFFFFFFull);
    }
}

TEST(CardTiming, ExponentsWiderThanFourBitsAreHeldAtFifteen)
{
    CARD_TIMING_INPUT input = inputFor(SCARD_PROTOCOL_T1, 372, 1, 0);
    input.CWI = 200;
    CARD_READER_TIMING reader{};
    ASSERT_TRUE(ComputeReaderTiming(&input, &reader));
    EXPECT_EQ(reader.CharWaitingTime, (1u << 15) + 11);
}

TEST(CardTiming, T0WaitingValueIsTheSameForCharacterAndBlock)
{
    for (UCHAR wi : {UCHAR{1}, UCHAR{10}, UCHAR{255}}) {
        CARD_TIMING_INPUT input = inputFor(SCARD_PROTOCOL_T0, 512, 2, 0);
        input.WI = wi;
        CARD_READER_TIMING reader{};
        ASSERT_TRUE(ComputeReaderTiming(&input, &reader));
        EXPECT_EQ(reader.CharWaitingTime, wi * 2u * 960u);
        EXPECT_EQ(reader.CharWaitingValue, reader.BlockWaitingValue);
    }
}

// The inputs come from the card's capabilities; zero waiting integers are
// replaced by their defaults in the capabilities themselves.
TEST(CardTiming, ZeroWaitingIntegersAreReplacedInTheCardsCapabilities)
{
    static CLOCK_RATE_CONVERSION clockRates[16] = {{372, 4000000}, {372, 5000000}};
    static BIT_RATE_ADJUSTMENT bitRates[16] = {{0, 0}, {1, 1}, {2, 1}, {4, 1}};

    for (ULONG protocol : {ULONG{0}, ULONG{SCARD_PROTOCOL_T0}, ULONG{SCARD_PROTOCOL_T1}}) {
        SMARTCARD_EXTENSION extension{};
        extension.CardCapabilities.ClockRateConversion = clockRates;
        extension.CardCapabilities.BitRateAdjustment = bitRates;
        extension.CardCapabilities.Fl = 1;
        extension.CardCapabilities.Dl = 3;
        extension.CardCapabilities.Protocol.Selected = protocol;
        extension.ReaderCapabilities.CLKFrequency.Max = 3580;

        CARD_TIMING_INPUT input{};
        GetCardTimingInput(&extension, &input);
        EXPECT_EQ(input.F, 372u);
        EXPECT_EQ(input.DNumerator, 4u);
        EXPECT_EQ(input.ClockKHz, 3580u);
        if (protocol == SCARD_PROTOCOL_T1) {
            EXPECT_EQ(extension.CardCapabilities.T1.CWI, 13);
            EXPECT_EQ(extension.CardCapabilities.T1.BWI, 4);
            EXPECT_EQ(extension.CardCapabilities.T0.WI, 0) << "only the protocol's own integers";
        } else {
            EXPECT_EQ(extension.CardCapabilities.T0.WI, 10);
            EXPECT_EQ(extension.CardCapabilities.T1.CWI, 0);
        }
    }
}

}  // namespace
