// ATR analysis, PTS answers, check codes and the card as a whole (reset,
// negotiation, its knobs), against vectors written down independently.

#include <gtest/gtest.h>

#include "card_feed.h"
#include "emulator/atr.h"
#include "emulator/card.h"
#include "emulator/iso7816.h"
#include "emulator/pts.h"

namespace emulator::testing {
namespace {

TEST(CheckCodes, MatchKnownVectors) {
  const Bytes digits{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(blockCrc(digits), 0x6F91);  // CRC-16 of ISO/IEC 13239 without final inversion
  EXPECT_EQ(longitudinalRedundancy(Bytes{0x00, 0xC1, 0x01, 0xFE}), 0x3E);
  EXPECT_EQ(inverseConventionByte(0x3F), 0x03);
  EXPECT_EQ(inverseConventionByte(0x03), 0x3F);
  EXPECT_EQ(etuClocksFor(0x13), 93u);
  EXPECT_EQ(etuClocksFor(0x96), 16u);
  EXPECT_EQ(etuClocksFor(0x17), 5u);  // D = 64
  EXPECT_EQ(etuClocksFor(0x1A), 0u);  // Di 10 is reserved
}

struct AtrCase {
  const char* name;
  Bytes atr;
  bool complete;
  bool inverse;
  std::uint16_t protocols;
  std::uint8_t fiDi;
  std::size_t length;
  bool tckValid;
};

class AtrAnalysis : public ::testing::TestWithParam<AtrCase> {};

TEST_P(AtrAnalysis, FindsStructureAndParameters) {
  const AtrCase& c = GetParam();
  const AtrInfo info = parseAtr(c.atr);
  EXPECT_TRUE(info.error.empty()) << info.error;
  EXPECT_EQ(info.complete, c.complete);
  EXPECT_EQ(info.inverseConvention, c.inverse);
  EXPECT_EQ(info.protocols, c.protocols);
  EXPECT_EQ(info.fiDi, c.fiDi);
  EXPECT_EQ(info.length, c.length);
  EXPECT_EQ(info.tckValid, c.tckValid);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AtrAnalysis,
    ::testing::Values(
        // A PC/SC storage card ATR: T=0 and T=1 named, 15 historical bytes, TCK 6A.
        AtrCase{"DualWithTck",
                {0x3B, 0x8F, 0x80, 0x01, 0x80, 0x4F, 0x0C, 0xA0, 0x00, 0x00,
                 0x03, 0x06, 0x03, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x6A},
                true,
                false,
                0x03,
                0x11,
                20,
                true},
        AtrCase{
            "InverseAsLogicalTs", {0x3F, 0x15, 0x13, 0x54, 0x37, 0x31, 0x32, 0x30}, true, true, 0x01, 0x13, 8, false},
        AtrCase{"InverseAsReadDirectly",
                {0x03, 0x15, 0x13, 0x54, 0x37, 0x31, 0x32, 0x30},
                true,
                true,
                0x01,
                0x13,
                8,
                false},
        AtrCase{"MissingTck", {0x3B, 0x80, 0x01}, false, false, 0x02, 0x11, 3, false},
        AtrCase{"WrongTck", {0x3B, 0x80, 0x01, 0x00}, true, false, 0x02, 0x11, 4, false},
        AtrCase{"OnlyTsAndT0", {0x3B, 0x00}, true, false, 0x01, 0x11, 2, false}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(AtrAnalysis, ReadsTheT1ParametersOfTheGroupAfterTheFirstT1) {
  const AtrInfo info = parseAtr(cardProfile("t1-crc").coldAtr);
  EXPECT_TRUE(info.complete);
  EXPECT_TRUE(info.tckValid);
  EXPECT_EQ(info.ifsc, 0x20);
  EXPECT_TRUE(info.crc);
  EXPECT_EQ(info.blockWaitingInteger, 4);
  EXPECT_EQ(info.characterWaitingInteger, 13);
}

TEST(AtrAnalysis, RefusesABadTs) { EXPECT_FALSE(parseAtr(Bytes{0x3A, 0x00}).error.empty()); }

struct PtsCase {
  const char* name;
  Bytes request;
  Bytes reply;
  bool switched;
  std::uint8_t fiDi;
};

class PtsAnswers : public ::testing::TestWithParam<PtsCase> {};

TEST_P(PtsAnswers, FollowTheCardsPolicy) {
  const PtsCase& c = GetParam();
  // A card offering T=0 and T=1 with TA1 0x13, echoing what it accepts. The
  // other policies are driven through the driver by the card tests.
  const PtsAnswer answer = answerPts(c.request, PtsPolicy{}, 0x03, 0x13);
  EXPECT_EQ(answer.reply, c.reply);
  EXPECT_EQ(answer.switched, c.switched);
  if (c.switched) {
    EXPECT_EQ(answer.fiDi, c.fiDi);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, PtsAnswers,
    ::testing::Values(PtsCase{"EchoWithoutPts1", {0xFF, 0x01, 0xFE}, {0xFF, 0x01, 0xFE}, true, 0x11},
                      PtsCase{"SilentOnFactorsBeyondTa1", {0xFF, 0x11, 0x94, 0x7A}, {}, false, 0},
                      PtsCase{"SilentOnBadPck", {0xFF, 0x11, 0x13, 0x00}, {}, false, 0},
                      PtsCase{"SilentOnProtocolNotOffered", {0xFF, 0x12, 0x13, 0xFE}, {}, false, 0}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(Card, ColdAndWarmAtrs) {
  CardProfile profile = cardProfile("t0");
  profile.warmAtr = {0x3B, 0x00};
  Card card(profile);
  EXPECT_FALSE(card.powered());
  EXPECT_EQ(values(card.reset(true)), profile.coldAtr);  // unpowered: cold whatever was asked
  EXPECT_EQ(values(card.reset(true)), profile.warmAtr);
  EXPECT_EQ(values(card.reset(false)), profile.coldAtr);
}

TEST(Card, FirstBytesAfterTheAtrSettleProtocolAndRate) {
  struct Row {
    const char* profile;
    Bytes first;
    Bytes answer;
    int protocol;
    std::uint32_t etuClocks;
    std::uint32_t characterEtu;
  };
  for (const Row& row : {
           // PTS for T=1 at TA1 0x13, echoed.
           Row{"dual", {0xFF, 0x11, 0x13, 0xFD}, {0xFF, 0x11, 0x13, 0xFD}, 1, 93, 11},
           // Without PTS the first offered protocol runs at the default rate.
           Row{"dual", {0x00, 0x20, 0x00, 0x81, 0x00}, {0x63, 0xC3}, 0, 372, 12},
           // Specific mode: TA2's protocol at TA1's rate, S(RESYNCH) answered.
           Row{"specific", {0x00, 0xC0, 0x00, 0xC0}, {0x00, 0xE0, 0x00, 0xE0}, 1, 93, 11},
       }) {
    SCOPED_TRACE(::testing::Message() << row.profile << " " << ::testing::PrintToString(row.first));
    Card card(cardProfile(row.profile));
    card.reset(false);
    EXPECT_EQ(feed(card, row.first), row.answer);
    EXPECT_EQ(card.protocol(), row.protocol);
    EXPECT_EQ(card.etuClocks(), row.etuClocks);
    EXPECT_EQ(card.characterEtu(), row.characterEtu);
  }
}

TEST(Card, PowerDownLosesTheSessionButKeepsTheFiles) {
  Card card(cardProfile("t0"));
  card.reset(false);
  feed(card, {0x00, 0x20, 0x00, 0x81, 0x04});
  EXPECT_EQ(feed(card, {'9', '9', '9', '9'}), (Bytes{0x63, 0xC2}));
  card.powerDown();
  EXPECT_EQ(feed(card, {0x00}), Bytes{});
  card.reset(false);
  EXPECT_EQ(feed(card, {0x00, 0x20, 0x00, 0x81, 0x00}), (Bytes{0x63, 0xC2}));
}

// The reader's reset table shows the parity and silence knobs on the line.
TEST(CardKnobs, LateByteIsHeldAndSilenceLasts) {
  CardKnobs knobs;
  knobs.silentAfter = 5;
  knobs.lateBytes = {3};
  knobs.lateMs = 100;
  Card card(cardProfile("t0"), knobs);
  EXPECT_EQ(card.reset(false).at(2).delayEtu, 100u * 3580 / 372);
  EXPECT_TRUE(card.reset(false).empty());  // silent for good
}

TEST(CardKnobs, GarbageFollowsTheAtrAndIsSeeded) {
  CardKnobs knobs;
  knobs.garbageAfterAtr = 4;
  knobs.seed = 7;
  Card first(cardProfile("t0"), knobs);
  Card second(cardProfile("t0"), knobs);
  const Bytes a = values(first.reset(false));
  EXPECT_EQ(a.size(), cardProfile("t0").coldAtr.size() + 4);
  EXPECT_EQ(a, values(second.reset(false)));
}

}  // namespace
}  // namespace emulator::testing
