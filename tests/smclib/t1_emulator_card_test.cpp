// The T=1 engine against the emulator's card, a peer written apart from this
// library: CRC blocks as smart card stacks compute them, the card's IFS
// request and a chained command. The card tests drive the LRC exchanges
// through the driver.
#include "smclib_fixture.h"

#include "emulator/card_application.h"
#include "emulator/t1_engine.h"

#include <gtest/gtest.h>

#include <string>

namespace smclib_test {
namespace {

struct EmulatorCase {
  std::string name;
  emulator::T1Options options;
  Bytes command;
  std::size_t answerLength;  // data and status word
  std::uint8_t sw1 = 0x90;
};

void PrintTo(const EmulatorCase& emulatorCase, std::ostream* os) { *os << emulatorCase.name; }

class EmulatorCard : public ::testing::TestWithParam<EmulatorCase> {};

TEST_P(EmulatorCard, AnswersThroughTheEngine) {
  const EmulatorCase& c = GetParam();
  T1Session session(c.options.crc, c.options.ifsc);
  emulator::CardApplication application;
  emulator::T1Engine card(application, c.options);
  const Exchange exchange = session.transmit(
      [&card](const Bytes& block) {
        Bytes answer;
        for (const std::uint8_t byte : block) {
          for (const emulator::CardByte& out : card.receive(byte)) answer.push_back(out.value);
        }
        return answer;
      },
      c.command, 512);
  ASSERT_EQ(exchange.status, STATUS_SUCCESS);
  ASSERT_EQ(exchange.answer.size(), c.answerLength);
  EXPECT_EQ(exchange.answer[c.answerLength - 2], c.sw1);  // the application's own status word came through
  EXPECT_EQ(card.ifsd(), 254);
}

emulator::T1Options options(void (*edit)(emulator::T1Options&)) {
  emulator::T1Options result;
  edit(result);
  return result;
}

const Bytes kGetChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};

const EmulatorCase kCases[] = {
    {"WithCrc", options([](auto& o) { o.crc = true; }), kGetChallenge, 10},
    {"WithIfsRequest", options([](auto& o) { o.ifsRequest = 20; }), kGetChallenge, 10},
    {"ChainedCommand",
     options([](auto& o) { o.ifsc = 16; }),
     {0x00, 0xA4, 0x00, 0x00, 0x28, 0x3F, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
      0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
      0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25},
     2,
     0x67},  // a 40-byte file identifier is the wrong length for SELECT
};

INSTANTIATE_TEST_SUITE_P(Cases, EmulatorCard, ::testing::ValuesIn(kCases),
                         [](const auto& paramInfo) { return paramInfo.param.name; });

}  // namespace
}  // namespace smclib_test
