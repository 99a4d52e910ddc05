// How the program reads what people type: hex, APDUs and script files.

#include <gtest/gtest.h>

#include "apdu.h"
#include "common/test_cases.h"
#include "errors.h"
#include "hex.h"
#include "script.h"

namespace tav712 {
namespace {

using tav712::testing::RowName;

struct HexCase {
  const char* name;
  const char* text;
  Bytes bytes;
};

class HexParses : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexParses, AcceptsTheUsualSpellings) { EXPECT_EQ(parseHex(GetParam().text), GetParam().bytes); }

INSTANTIATE_TEST_SUITE_P(Spellings, HexParses,
                         ::testing::Values(HexCase{"Run", "00A40400", {0x00, 0xA4, 0x04, 0x00}},
                                           HexCase{"SpacedLowerCase", "00 a4 04 00", {0x00, 0xA4, 0x04, 0x00}},
                                           HexCase{"ColonSeparated", "00:A4:04:00", {0x00, 0xA4, 0x04, 0x00}},
                                           HexCase{"PrefixedBytes", "0x3B 0x02", {0x3B, 0x02}},
                                           HexCase{"Empty", "", {}}),
                         RowName{});

TEST(HexRejects, MalformedInputWithItsPosition) {
  for (const char* text : {"0", "00 A", "0G", "00 4 00", "zz"}) {
    try {
      parseHex(text);
      ADD_FAILURE() << text << " was accepted";
    } catch (const ToolError& error) {
      EXPECT_EQ(error.status(), ExitStatus::badInput) << text;
      EXPECT_NE(std::string(error.what()).find("malformed hex"), std::string::npos) << error.what();
    }
  }
}

TEST(HexFormats, UpperCaseSpaceSeparated) {
  const Bytes bytes{0x00, 0xA4, 0x0F, 0xFF};
  EXPECT_EQ(formatHex(bytes), "00 A4 0F FF");
}

TEST(ApduCheck, RefusesWhatCannotBeAShortCommand) {
  struct Case {
    Bytes apdu;
    bool valid;
  };
  const Case cases[] = {
      {{0x00, 0xA4, 0x00}, false},                               // no P2
      {{0x00, 0xA4, 0x00, 0x00}, true},                          // case 1
      {{0x00, 0xB0, 0x00, 0x00, 0x10}, true},                    // case 2
      {{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, true},        // case 3
      {{0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00, 0x00}, true},  // case 4
      {{0x00, 0xA4, 0x00, 0x00, 0x03, 0x3F, 0x00}, false},       // Lc larger than the data
      {{0x00, 0xA4, 0x00, 0x00, 0x01, 0x3F, 0x00, 0x00}, false},
      {Bytes(262, 0x00), false},  // too long
  };
  for (const auto& c : cases) {
    if (c.valid) {
      EXPECT_NO_THROW(checkCommandApdu(c.apdu)) << formatHex(c.apdu);
    } else {
      EXPECT_THROW(checkCommandApdu(c.apdu), ToolError) << formatHex(c.apdu);
    }
  }
}

// A card that answers from a fixed list and records what it was sent.
struct ScriptedCard {
  std::vector<Bytes> answers;
  std::vector<Bytes> received;
  Bytes operator()(std::span<const std::uint8_t> command) {
    received.emplace_back(command.begin(), command.end());
    Bytes answer = answers.front();
    answers.erase(answers.begin());
    return answer;
  }
};

TEST(ApduT0Completion, FetchesPendingBytesWithGetResponse) {
  ScriptedCard card{{{0x61, 0x04}, {0xDE, 0xAD, 0x61, 0x02}, {0xBE, 0xEF, 0x90, 0x00}}, {}};
  const Bytes select{0x00, 0xA4, 0x04, 0x00, 0x02, 0xA0, 0x00};
  const auto outcome = exchangeApdu(select, std::ref(card), true);
  EXPECT_EQ(outcome.data, (Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
  EXPECT_EQ(outcome.sw1, 0x90);
  ASSERT_EQ(card.received.size(), 3u);
  EXPECT_EQ(card.received[1], (Bytes{0x00, 0xC0, 0x00, 0x00, 0x04}));
  EXPECT_EQ(card.received[2], (Bytes{0x00, 0xC0, 0x00, 0x00, 0x02}));
}

TEST(ApduT0Completion, ResendsWithTheLengthTheCardAsksFor) {
  ScriptedCard card{{{0x6C, 0x08}, {1, 2, 3, 4, 5, 6, 7, 8, 0x90, 0x00}}, {}};
  const auto outcome = exchangeApdu(Bytes{0x00, 0xB0, 0x00, 0x00, 0x20}, std::ref(card), true);
  EXPECT_EQ(outcome.data.size(), 8u);
  EXPECT_EQ(card.received[1], (Bytes{0x00, 0xB0, 0x00, 0x00, 0x08}));
}

TEST(ApduT0Completion, StopsAfterABoundedNumberOfRounds) {
  ScriptedCard card{std::vector<Bytes>(200, Bytes{0x61, 0x01}), {}};
  const auto outcome = exchangeApdu(Bytes{0x00, 0x84, 0x00, 0x00, 0x08}, std::ref(card), true);
  EXPECT_EQ(outcome.sw1, 0x61);
  EXPECT_LT(card.received.size(), 100u);
}

TEST(ApduT1, LeavesStatusWordsAsTheCardGaveThem) {
  ScriptedCard card{{{0x61, 0x04}}, {}};
  const auto outcome = exchangeApdu(Bytes{0x00, 0xA4, 0x00, 0x00}, std::ref(card), false);
  EXPECT_EQ(outcome.sw1, 0x61);
  EXPECT_EQ(card.received.size(), 1u);
}

TEST(Script, ParsesApdusExpectationsAndComments) {
  const auto lines = parseScript(
      "# header\n"
      "00 A4 00 00 02 3F 00 -> 90 00\n"
      "\n"
      "00 B0 00 00 10   # no expectation\n"
      "00 20 00 01 04 31 32 33 34 -> 63cx\n",
      "t.apdu");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].lineNumber, 2);
  EXPECT_FALSE(lines[1].expected);
  EXPECT_EQ(lines[2].lineNumber, 5);
  EXPECT_TRUE(lines[2].expected->matches(0x63, 0xC2));
  EXPECT_FALSE(lines[2].expected->matches(0x63, 0x02));
  EXPECT_TRUE(lines[0].expected->matches(0x90, 0x00));
}

TEST(Script, NamesTheLineOfAMalformedEntry) {
  try {
    parseScript("00 A4 00 00\n00 A4 -> 90 00\n", "bad.apdu");
    FAIL();
  } catch (const ToolError& error) {
    EXPECT_NE(std::string(error.what()).find("bad.apdu:2:"), std::string::npos) << error.what();
  }
  EXPECT_THROW(parseScript("00 A4 00 00 -> 9000 00\n", "x"), ToolError);
}

}  // namespace
}  // namespace tav712
