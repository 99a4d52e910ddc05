// Card capabilities from the answer-to-reset: a table of ATRs of both
// conventions, and malformed ones refused.
#include "smclib_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace smclib_test {
namespace {

struct AtrCase {
  std::string name;
  Bytes atr;
  ULONG readerMaxRate = 9600;
  UCHAR requestedPts = PTS_TYPE_OPTIMAL;  // the driver's wish before the ATR
  // Expected results.
  ULONG protocols = 0;
  bool inverse = false;
  UCHAR fl = 1, dl = 1;  // factors in force until the PTS
  UCHAR ptsType = PTS_TYPE_DEFAULT;
  UCHAR ptsFl = 1, ptsDl = 1;  // the PTS proposal
  UCHAR n = 0, wi = 10;
  UCHAR ifsc = 32, cwi = 13, bwi = 4, edc = 0;
  bool specific = false;
  ULONG selected = 0;
  Bytes historical = {};
};

void PrintTo(const AtrCase& atrCase, std::ostream* os) { *os << atrCase.name; }

class AtrTable : public ::testing::TestWithParam<AtrCase> {};

TEST_P(AtrTable, FillsCardCapabilities) {
  const AtrCase& expected = GetParam();
  ExtensionFixture fixture;
  fixture.extension.ReaderCapabilities.DataRate.Max = expected.readerMaxRate;
  fixture.extension.CardCapabilities.PtsData.Type = expected.requestedPts;
  ASSERT_EQ(fixture.setAtr(expected.atr), STATUS_SUCCESS);
  const auto& card = fixture.extension.CardCapabilities;
  EXPECT_EQ(card.Protocol.Supported, expected.protocols);
  EXPECT_EQ(card.InversConvention != FALSE, expected.inverse);
  EXPECT_EQ(card.Fl, expected.fl);
  EXPECT_EQ(card.Dl, expected.dl);
  EXPECT_EQ(card.PtsData.Type, expected.ptsType);
  EXPECT_EQ(card.PtsData.Fl, expected.ptsFl);
  EXPECT_EQ(card.PtsData.Dl, expected.ptsDl);
  EXPECT_EQ(card.N, expected.n);
  EXPECT_EQ(card.T0.WI, expected.wi);
  EXPECT_EQ(card.T1.IFSC, expected.ifsc);
  EXPECT_EQ(card.T1.CWI, expected.cwi);
  EXPECT_EQ(card.T1.BWI, expected.bwi);
  EXPECT_EQ(card.T1.EDC, expected.edc);
  EXPECT_EQ(card.SpecificMode != 0, expected.specific);
  EXPECT_EQ(card.Protocol.Selected, expected.selected);
  EXPECT_EQ(Bytes(card.HistoricalChars.Buffer, card.HistoricalChars.Buffer + card.HistoricalChars.Length),
            expected.historical);
  EXPECT_EQ(fixture.extension.T1.State, static_cast<ULONG>(T1_INIT));
  EXPECT_EQ(fixture.extension.T1.IFSC, expected.ifsc);
}

const AtrCase kAtrs[] = {
    {.name = "TsAndT0Only", .atr = {0x3B, 0x00}, .protocols = SCARD_PROTOCOL_T0},
    {.name = "T1CardWithHistoricalBytes",
     .atr = withTck({0x3B, 0xB2, 0x11, 0x00, 0x81, 0x31, 0xFE, 0x45, 0x65, 0x43}),
     .protocols = SCARD_PROTOCOL_T1,
     .ifsc = 254,
     .cwi = 5,
     .bwi = 4,
     .historical = {0x65, 0x43}},
    {.name = "ExtraGuardTimeAndWorkWaitingTime",
     .atr = {0x3B, 0xC0, 0x05, 0x40, 0x20},
     .protocols = SCARD_PROTOCOL_T0,
     .n = 5,
     .wi = 32},
    {.name = "InverseConventionT1WithCrc",
     .atr = withTck({0x3F, 0x80, 0x81, 0x71, 0x80, 0x64, 0x01}),
     .protocols = SCARD_PROTOCOL_T1,
     .inverse = true,
     .ifsc = 0x80,
     .cwi = 4,
     .bwi = 6,
     .edc = T1_CRC_CHECK},
    {.name = "BothProtocolsOffered",
     .atr = withTck({0x3B, 0x80, 0x80, 0x01}),
     .protocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1},
    {.name = "FasterFactorsBeyondTheReaderStayDefault", .atr = {0x3B, 0x10, 0x96}, .protocols = SCARD_PROTOCOL_T0},
    {.name = "OptimalFactorsWithinTheReader",
     .atr = {0x3B, 0x10, 0x13},
     .readerMaxRate = 115200,
     .protocols = SCARD_PROTOCOL_T0,
     .ptsType = PTS_TYPE_OPTIMAL,
     .ptsFl = 1,
     .ptsDl = 3},
    {.name = "DefaultProposalAfterTheDriverFellBack",
     .atr = {0x3B, 0x10, 0x13},
     .readerMaxRate = 115200,
     .requestedPts = PTS_TYPE_DEFAULT,
     .protocols = SCARD_PROTOCOL_T0},
    {.name = "OptimalStopsAtTheReaderLimit",
     .atr = {0x3B, 0x10, 0x19},
     .readerMaxRate = 115200,
     .protocols = SCARD_PROTOCOL_T0,
     .ptsType = PTS_TYPE_OPTIMAL,
     .ptsFl = 1,
     .ptsDl = 8},
    {.name = "SpecificModeUsesTa1",
     .atr = withTck({0x3B, 0x90, 0x13, 0x91, 0x01, 0x31, 0x20, 0x45}),
     .protocols = SCARD_PROTOCOL_T1,
     .fl = 1,
     .dl = 3,
     .ifsc = 0x20,
     .cwi = 5,
     .specific = true,
     .selected = SCARD_PROTOCOL_T1},
    // Reserved values with a safe reading, as cards in the field announce them.
    {.name = "FieldCardAnnouncingIfscFfGets254",
     .atr = {0x3B, 0xEF, 0x00, 0xFF, 0x81, 0x31, 0xFF, 0x65, 0x49, 0x42, 0x4D, 0x20,
             0x4D, 0x46, 0x43, 0x39, 0x32, 0x32, 0x39, 0x32, 0x38, 0x39, 0x30, 0x17},
     .protocols = SCARD_PROTOCOL_T1,
     .n = 255,
     .ifsc = 254,
     .cwi = 5,
     .bwi = 6,
     .historical = {0x49, 0x42, 0x4D, 0x20, 0x4D, 0x46, 0x43, 0x39, 0x32, 0x32, 0x39, 0x32, 0x38, 0x39, 0x30}},
    {.name = "ReservedBwiIsTheLongestDefined",
     .atr = withTck({0x3B, 0x80, 0x81, 0x21, 0xA5}),
     .protocols = SCARD_PROTOCOL_T1,
     .cwi = 5,
     .bwi = 9},
    {.name = "ReservedFiInTa1RunsAtTheDefaults",
     .atr = {0x3B, 0x10, 0x71},
     .readerMaxRate = 115200,
     .protocols = SCARD_PROTOCOL_T0},
    {.name = "ReservedDiInTa1RunsAtTheDefaults",
     .atr = {0x3B, 0x10, 0x1A},
     .readerMaxRate = 115200,
     .protocols = SCARD_PROTOCOL_T0},
    {.name = "SpecificModeWithImplicitFactors",
     .atr = withTck({0x3B, 0x90, 0x13, 0x91, 0x11, 0x31, 0x20, 0x45}),
     .protocols = SCARD_PROTOCOL_T1,
     .ifsc = 0x20,
     .cwi = 5,
     .specific = true,
     .selected = SCARD_PROTOCOL_T1},
};

INSTANTIATE_TEST_SUITE_P(Atrs, AtrTable, ::testing::ValuesIn(kAtrs),
                         [](const auto& paramInfo) { return paramInfo.param.name; });

struct MalformedAtr {
  std::string name;
  Bytes atr;
};

void PrintTo(const MalformedAtr& atr, std::ostream* os) { *os << atr.name; }

class MalformedAtrTable : public ::testing::TestWithParam<MalformedAtr> {};

TEST_P(MalformedAtrTable, IsRefused) {
  ExtensionFixture fixture;
  EXPECT_EQ(fixture.setAtr(GetParam().atr), STATUS_UNRECOGNIZED_MEDIA);
}

Bytes wrongTck(Bytes atr) {
  atr = withTck(std::move(atr));
  atr.back() ^= 0x01;
  return atr;
}

const MalformedAtr kMalformed[] = {
    {"OnlyTs", {0x3B}},
    {"UnknownTs", {0x3C, 0x00}},
    {"InterfaceByteMissing", {0x3B, 0x80}},
    {"HistoricalBytesMissing", {0x3B, 0x05, 0x01, 0x02}},
    {"WrongTck", wrongTck({0x3B, 0x80, 0x01})},
    {"BytesAfterTck", {0x3B, 0x80, 0x01, 0x81, 0x00}},
    {"IfscZero", withTck({0x3B, 0x80, 0x81, 0x11, 0x00})},
    {"SpecificModeAtReservedFactors", withTck({0x3B, 0x90, 0x71, 0x11, 0x01})},
    {"SpecificModeForUnknownProtocol", withTck({0x3B, 0x80, 0x91, 0x05, 0x01})},
    {"OffersOnlyOtherProtocols", withTck({0x3B, 0x80, 0x02})},
    {"LongerThan33Bytes", Bytes(34, 0x3B)},
};

INSTANTIATE_TEST_SUITE_P(Malformed, MalformedAtrTable, ::testing::ValuesIn(kMalformed),
                         [](const auto& paramInfo) { return paramInfo.param.name; });

TEST(CardCapabilities, WaitingTimesFollowTheFactors) {
  ExtensionFixture fixture;
  ASSERT_EQ(fixture.setAtr(t1Atr(32, false)), STATUS_SUCCESS);
  const auto& card = fixture.extension.CardCapabilities;
  EXPECT_EQ(card.etu, 103u);                      // 372 / 3.58 MHz
  EXPECT_EQ(card.T0.WT, 997541u);                 // 10 x 960 x 372 / 3.58 MHz
  EXPECT_EQ(card.T1.CWT, (11u + 32u) * 103u);     // CWI 5
  EXPECT_EQ(card.T1.BWT, 11u * 103u + 1596067u);  // BWI 4: 16 x 960 x 372 / 3.58 MHz
}

// A card in a specific mode at F 512, D 32 on a 20 MHz clock: 0.8 us.
TEST(CardCapabilities, AnEtuUnderAMicrosecondCountsAsOne) {
  ExtensionFixture fixture;
  fixture.extension.ReaderCapabilities.CLKFrequency.Max = 20000;
  ASSERT_EQ(fixture.setAtr(withTck({0x3B, 0x90, 0x96, 0x11, 0x01})), STATUS_SUCCESS);
  const auto& card = fixture.extension.CardCapabilities;
  EXPECT_EQ(card.etu, 1u);
  EXPECT_EQ(card.GT, 12u);
  EXPECT_EQ(card.T1.CWT, 11u + 8192u);  // CWI 13
}

TEST(CardCapabilities, InvertDataRestoresDirectBytes) {
  Bytes bytes{0x03, 0x3F, 0x13};
  SmartcardInvertData(bytes.data(), 3);
  EXPECT_EQ(bytes, (Bytes{0x3F, 0x03, 0x37}));
}

}  // namespace
}  // namespace smclib_test
