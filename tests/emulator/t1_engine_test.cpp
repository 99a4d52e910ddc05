// The card's T=1 engine against hand-written blocks (LRCs computed by hand):
// sequence numbers, chaining both ways, R-blocks, every S-block, and the
// misbehaviour options.

#include <gtest/gtest.h>

#include "card_feed.h"
#include "emulator/t1_engine.h"

namespace emulator::testing {
namespace {

struct T1Case {
  const char* name;
  T1Options options;
  std::vector<Exchange> exchanges;
};

// I(0) and I(1) carrying SELECT MF with P2 0C (00 A4 00 0C 02 3F 00), and the
// card's I-blocks with 90 00.
const Bytes selectMf0{0x00, 0x00, 0x07, 0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00, 0x92};
const Bytes selectMf1{0x00, 0x40, 0x07, 0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00, 0xD2};
const Bytes ok0{0x00, 0x00, 0x02, 0x90, 0x00, 0x92};
const Bytes ok1{0x00, 0x40, 0x02, 0x90, 0x00, 0xD2};
const Bytes otherError{0x00, 0x82, 0x00, 0x82};  // R(0) naming "other error"
const Bytes edcError{0x00, 0x81, 0x00, 0x81};    // R(0) naming an EDC error

// The default options with `edit` applied.
T1Options with(void (*edit)(T1Options&)) {
  T1Options options;
  edit(options);
  return options;
}

class T1Exchanges : public ::testing::TestWithParam<T1Case> {};

TEST_P(T1Exchanges, CardAnswersEachBlock) {
  CardApplication application;
  T1Engine engine(application, GetParam().options);
  play(engine, GetParam().exchanges);
}

INSTANTIATE_TEST_SUITE_P(
    Table, T1Exchanges,
    ::testing::Values(
        T1Case{"SequenceNumbersAlternate", {}, {{selectMf0, ok0}, {selectMf1, ok1}, {selectMf0, ok0}}},
        T1Case{"WrongSendSequenceGetsOtherError", {}, {{selectMf1, otherError}}},
        T1Case{"BadLrcGetsEdcError", {}, {{{0x00, 0x00, 0x07, 0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00, 0x93}, edcError}}},
        T1Case{"NonZeroNadGetsOtherError", {}, {{{0x12, 0xC0, 0x00, 0xD2}, otherError}}},
        T1Case{"LenFfFromTheHostGetsEdcError", {}, {{{0x00, 0x00, 0xFF}, edcError}}},
        T1Case{"ChainedCommandIsAcknowledgedLinkByLink", {},
               {{{0x00, 0x20, 0x03, 0x00, 0xA4, 0x00, 0x87}, {0x00, 0x90, 0x00, 0x90}},
                {{0x00, 0x40, 0x04, 0x0C, 0x02, 0x3F, 0x00, 0x75}, ok0}}},
        T1Case{"RBlockAsksForTheLastBlockAgain", {}, {{selectMf0, ok0}, {{0x00, 0x80, 0x00, 0x80}, ok0}}},
        T1Case{"RBlockWithEdcErrorAsksAgain", {}, {{selectMf0, ok0}, {edcError, ok0}}},
        T1Case{"Resynch", {}, {{selectMf0, ok0}, {{0x00, 0xC0, 0x00, 0xC0}, {0x00, 0xE0, 0x00, 0xE0}}, {selectMf0, ok0}}},
        T1Case{"IfsRequestFromTheHost", {}, {{{0x00, 0xC1, 0x01, 0xFE, 0x3E}, {0x00, 0xE1, 0x01, 0xFE, 0x1E}}}},
        T1Case{"AbortDuringChaining", {},
               {{{0x00, 0x20, 0x03, 0x00, 0xA4, 0x00, 0x87}, {0x00, 0x90, 0x00, 0x90}},
                {{0x00, 0xC2, 0x00, 0xC2}, {0x00, 0xE2, 0x00, 0xE2}}}},
        T1Case{"WtxRequestBeforeTheAnswer", with([](auto& o) { o.wtxMultiplier = 2; }),
               {{selectMf0, {0x00, 0xC3, 0x01, 0x02, 0xC0}}, {{0x00, 0xE3, 0x01, 0x02, 0xE0}, ok0}}},
        T1Case{"IfsRequestFromTheCard", with([](auto& o) { o.ifsRequest = 0x40; }),
               {{selectMf0, {0x00, 0xC1, 0x01, 0x40, 0x80}}, {{0x00, 0xE1, 0x01, 0x40, 0xA0}, ok0}, {selectMf1, ok1}}},
        T1Case{"UnexpectedSResponseGetsOtherError", {}, {{{0x00, 0xE3, 0x01, 0x02, 0xE0}, otherError}}},
        T1Case{"LenFfKnob", with([](auto& o) { o.lenFfBlocks = {1}; }),
               {{selectMf0, {0x00, 0x00, 0xFF}}, {{0x00, 0x80, 0x00, 0x80}, ok0}}},
        T1Case{"BadEdcKnobThenCleanRepeat", with([](auto& o) { o.badEdcBlocks = {1}; }),
               {{selectMf0, {0x00, 0x00, 0x02, 0x90, 0x00, 0x6D}}, {edcError, ok0}}}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

Bytes iBlock(std::uint8_t sequence, bool more, Bytes inf) {
  return encodeT1(T1Block::information(sequence, more, std::move(inf)), false);
}

// Selects DF 7F10 and EF 6F03, whose bytes count up from 0.
void selectCountingEf(T1Engine& engine) {
  ASSERT_EQ(feed(engine, iBlock(0, false, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x7F, 0x10})), ok0);
  ASSERT_EQ(feed(engine, iBlock(1, false, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x03})), ok1);
}

TEST(T1Engine, LongAnswerIsChainedInPiecesOfIfsd) {
  CardApplication application;
  T1Engine engine(application, {});
  selectCountingEf(engine);
  // READ BINARY of 40 bytes: 42 answer bytes.
  T1Frame frame = decodeT1(feed(engine, iBlock(0, false, {0x00, 0xB0, 0x00, 0x00, 0x28})), false);
  ASSERT_TRUE(frame.complete && frame.edcValid);
  EXPECT_EQ(frame.block.pcb, 0x20);  // I(0) with more data
  EXPECT_EQ(frame.block.inf.size(), 32u);
  // R(1) asks for the next link.
  frame = decodeT1(feed(engine, {0x00, 0x90, 0x00, 0x90}), false);
  ASSERT_TRUE(frame.complete && frame.edcValid);
  EXPECT_EQ(frame.block.pcb, 0x40);  // I(1), last
  ASSERT_EQ(frame.block.inf.size(), 10u);
  EXPECT_EQ(frame.block.inf[7], 39);
  EXPECT_EQ(frame.block.inf[8], 0x90);
}

TEST(T1Engine, IfsdFromTheHostLimitsTheCardsBlocks) {
  CardApplication application;
  T1Engine engine(application, {});
  feed(engine, {0x00, 0xC1, 0x01, 0x10, 0xD0});
  EXPECT_EQ(engine.ifsd(), 0x10);
  selectCountingEf(engine);
  const T1Frame frame = decodeT1(feed(engine, iBlock(0, false, {0x00, 0xB0, 0x00, 0x00, 0x14})), false);
  EXPECT_TRUE(frame.block.more());
  EXPECT_EQ(frame.block.inf.size(), 16u);
}

TEST(T1Engine, CommandLongerThanIfscIsRefused) {
  CardApplication application;
  T1Engine engine(application, with([](auto& o) { o.ifsc = 8; }));
  EXPECT_EQ(feed(engine, selectMf0), ok0);  // 7 bytes fit
  EXPECT_EQ(feed(engine, iBlock(1, false, Bytes(9, 0x00))), (Bytes{0x00, 0x92, 0x00, 0x92}));
}

TEST(T1Engine, EndlessChainIsCutOff) {
  CardApplication application;
  T1Engine engine(application, {});
  Bytes answer;
  for (std::uint8_t link = 0; link < 40; ++link) {
    answer = feed(engine, iBlock(static_cast<std::uint8_t>(link & 1), true, Bytes(32, 0xAB)));
    if (answer != encodeT1(T1Block::receiveReady(static_cast<std::uint8_t>((link + 1) & 1)), false)) break;
  }
  // The 33rd link takes the chain past 1024 bytes: refused, and the chain is gone.
  EXPECT_EQ(answer, (Bytes{0x00, 0x92, 0x00, 0x92}));
  EXPECT_EQ(feed(engine, iBlock(1, false, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00})), ok0);
}

TEST(T1Engine, AnswerAfterWtxComesLaterThanOneBlockWaitingTime) {
  CardApplication application;
  T1Engine engine(application, with([](auto& o) {
    o.blockWaitingEtu = 1000;
    o.wtxMultiplier = 3;
  }));
  feed(engine, selectMf0);
  CardOutput answer;
  for (const std::uint8_t b : Bytes{0x00, 0xE3, 0x01, 0x03, 0xE1}) answer = engine.receive(b);
  ASSERT_FALSE(answer.empty());
  EXPECT_EQ(answer.front().delayEtu, 2750u);  // between 1 and 3 block waiting times
}

TEST(T1Engine, CrcBlocksAreCheckedAndAnswered) {
  CardApplication application;
  T1Engine engine(application, with([](auto& o) { o.crc = true; }));
  const Bytes answer = feed(engine, encodeT1(T1Block::supervisory(T1Supervisory::resynch, false), true));
  EXPECT_EQ(answer, encodeT1(T1Block::supervisory(T1Supervisory::resynch, true), true));
  EXPECT_EQ(answer.size(), 5u);
}

}  // namespace
}  // namespace emulator::testing
