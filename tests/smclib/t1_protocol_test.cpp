// The T=1 engine against an independent card-side peer, driven the way the
// reader driver drives it: build a block, hand it to the card, give the
// card's answer (or nothing) back, until the library stops asking for more.
#include "smclib_fixture.h"
#include "t1_card_peer.h"

#include <gtest/gtest.h>

#include <string>

namespace smclib_test {
namespace {

Bytes pattern(std::size_t length, std::uint8_t seed) {
  Bytes bytes(length);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  return bytes;
}

// The peer as the transmit loop's card.
std::function<Bytes(const Bytes&)> peer(T1CardPeer& card) {
  return [&card](const Bytes& block) { return card.exchange(block); };
}

std::size_t countPcb(const Exchange& exchange, std::uint8_t pcb) {
  return static_cast<std::size_t>(std::count(exchange.sentPcbs.begin(), exchange.sentPcbs.end(), pcb));
}

// The card's application: answers `answerLength` bytes derived from the
// command, ending in 90 00.
std::function<Bytes(const Bytes&)> answering(std::size_t answerLength) {
  return [answerLength](const Bytes& command) {
    Bytes answer = pattern(answerLength - 2, command.empty() ? 0 : command[0]);
    answer.push_back(0x90);
    answer.push_back(0x00);
    return answer;
  };
}

struct Scenario {
  std::string name;
  std::uint8_t atrIfsc = 32;
  bool crc = false;
  T1CardPeer::Script script = {};
  std::size_t commandLength = 5;
  std::size_t answerLength = 2;
  std::size_t replyCapacity = 1024;
  NTSTATUS expected = STATUS_SUCCESS;
  std::function<void(const Exchange&, const T1CardPeer&, const SMARTCARD_EXTENSION&)> check = {};
};

void PrintTo(const Scenario& scenario, std::ostream* os) { *os << scenario.name; }

class T1ScenarioTest : public ::testing::TestWithParam<Scenario> {};

TEST_P(T1ScenarioTest, EndsAsExpected) {
  const Scenario& scenario = GetParam();
  T1Session session(scenario.crc, scenario.atrIfsc);
  T1CardPeer::Script cardScript = scenario.script;
  cardScript.ifsc = scenario.atrIfsc;
  cardScript.crc = scenario.crc;
  T1CardPeer card(cardScript, answering(scenario.answerLength));
  const Bytes command = pattern(scenario.commandLength, 0x40);
  const Exchange exchange = session.transmit(peer(card), command, scenario.replyCapacity);
  EXPECT_EQ(exchange.status, scenario.expected);
  if (scenario.expected == STATUS_SUCCESS) {
    ASSERT_FALSE(card.commands.empty());
    EXPECT_EQ(card.commands.back(), command);
    EXPECT_EQ(exchange.answer, answering(scenario.answerLength)(command));
  } else {
    EXPECT_TRUE(exchange.answer.empty());
  }
  if (scenario.check) scenario.check(exchange, card, session.extension);
}

using Kind = T1CardPeer::Kind;

const Scenario kScenarios[] = {
    {.name = "ChainingBothWaysWithCrc", .crc = true, .commandLength = 300, .answerLength = 300},
    {.name = "IfsOneRequestedMidChain",
     .script = {.ifsRequestAfterBlock = 1, .newIfsc = 1},
     .commandLength = 80,
     .check = [](const auto&, const auto&, const auto& ext) { EXPECT_EQ(ext.T1.IFSC, 1); }},
    {.name = "Ifs254RequestedMidChain",
     .atrIfsc = 16,
     .script = {.ifsRequestAfterBlock = 2, .newIfsc = 254},
     .commandLength = 300,
     .check = [](const auto&, const auto& card, const auto&) { EXPECT_EQ(card.maxInfReceived, 254u); }},
    {.name = "Wtx2And255Granted",
     .script = {.wtxBeforeAnswer = {2, 255}},
     .check =
         [](const auto& e, const auto&, const auto&) {
           ASSERT_EQ(countPcb(e, 0xE3), 2u);
           EXPECT_EQ(e.wtxGranted[e.wtxGranted.size() - 2], 2);
           EXPECT_EQ(e.wtxGranted.back(), 255);
         }},
    {.name = "EdcErrorInAnswerIBlock",
     .script = {.corruptKind = Kind::I, .corruptCount = 2},
     .answerLength = 40,
     .check =
         [](const auto& e, const auto&, const auto&) {
           EXPECT_EQ(countPcb(e, 0x81) + countPcb(e, 0x91), 2u);  // R-blocks reporting an EDC error
         }},
    // Only the CRC's low byte is wrong.
    {.name = "CrcLowByteErrorInAnswerIBlock",
     .crc = true,
     .script = {.corruptKind = Kind::I, .corruptCount = 1},
     .check = [](const auto& e, const auto&, const auto&) { EXPECT_EQ(countPcb(e, 0x81) + countPcb(e, 0x91), 1u); }},
    // The card insists on an IFS of 0: refused every time, until the library
    // gives up.
    {.name = "IfsZeroRequestedMidChain",
     .script = {.ifsRequestAfterBlock = 1, .newIfsc = 0},
     .commandLength = 80,
     .expected = STATUS_DEVICE_PROTOCOL_ERROR,
     .check = [](const auto&, const auto&, const auto& ext) { EXPECT_EQ(ext.T1.IFSC, 32); }},
    // The IFS response, then the WTX request, arrive damaged.
    {.name = "EdcErrorInSBlock", .script = {.wtxBeforeAnswer = {3}, .corruptKind = Kind::S, .corruptCount = 2}},
    // Three unanswered IFS requests (the reader keeps IFSD 32), then the
    // I-block and two R-blocks unanswered: the fourth failure resynchronises.
    {.name = "MuteCardUntilResynchronisation",
     .script = {.muteCount = 6},
     .check =
         [](const auto& e, const auto& card, const auto& ext) {
           EXPECT_EQ(e.sentPcbs, (std::vector<std::uint8_t>{0xC1, 0xC1, 0xC1, 0x00, 0x82, 0x82, 0xC0, 0x00}));
           EXPECT_EQ(card.resynchCount, 1);
           EXPECT_EQ(ext.T1.IFSD, 32);
         }},
    {.name = "MuteCardEndsInTimeout",
     .script = {.muteForever = true},
     .expected = STATUS_IO_TIMEOUT,
     .check =
         [](const auto& e, const auto&, const auto&) {
           EXPECT_EQ(countPcb(e, 0xC0), 3u);  // three resynchronisation attempts, then give up
           EXPECT_LE(e.sentPcbs.size(), 12u);
         }},
    {.name = "GarbledCardEndsInProtocolError",
     .script = {.corruptKind = Kind::I, .corruptCount = 1000},
     .expected = STATUS_DEVICE_PROTOCOL_ERROR,
     .check =
         [](const auto& e, const auto& card, const auto&) {
           EXPECT_EQ(countPcb(e, 0xC0), 3u);
           EXPECT_EQ(card.resynchCount, 3);
         }},
    {.name = "DuplicatedAnswerBlockIsDropped", .script = {.duplicateAnswerBlock = true}, .answerLength = 400},
    {.name = "RBlockNamingABlockNeverSent", .script = {.rBlockNamingNeverSent = true}},
    {.name = "CardAbortsCommandChain",
     .script = {.abortAfterBlock = 1},
     .commandLength = 100,
     .expected = STATUS_CANCELLED,
     .check = [](const auto& e, const auto&, const auto&) { EXPECT_EQ(countPcb(e, 0xE2), 1u); }},
    {.name = "ReaderAbortsAnswerThatDoesNotFit",
     .answerLength = 600,
     .replyCapacity = 300,
     .expected = STATUS_BUFFER_TOO_SMALL,
     .check = [](const auto& e, const auto&, const auto&) { EXPECT_EQ(countPcb(e, 0xC2), 1u); }},
};

INSTANTIATE_TEST_SUITE_P(Scenarios, T1ScenarioTest, ::testing::ValuesIn(kScenarios),
                         [](const auto& paramInfo) { return paramInfo.param.name; });

TEST(T1Protocol, BlockDoesNotOverflowTheRequestBuffer) {
  T1Session session;
  session.extension.SmartcardRequest.BufferSize = 8;  // too small for IFS request plus a header
  session.extension.SmartcardRequest.BufferLength = 4;
  Bytes command = pattern(5, 0);
  ULONG information = 0;
  Bytes reply(16);
  session.extension.IoRequest = {&information, command.data(), 5, reply.data(), 16};
  EXPECT_EQ(SmartcardT1Request(&session.extension), STATUS_BUFFER_OVERFLOW);
}

}  // namespace
}  // namespace smclib_test
