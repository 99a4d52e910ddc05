// What a transmit must fit on its way to the card, and how long the handler
// waits for it.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transmit_limits.h"

namespace tav712::pcsc {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A command APDU: header, then `lc` data bytes behind a short or extended
// Lc, then Le (none when `le` is negative).
Bytes command(std::size_t lc, int le, bool extended) {
  Bytes apdu{0x00, 0xB0, 0x00, 0x00};
  if (lc > 0) {
    if (extended) {
      apdu.insert(apdu.end(), {0x00, static_cast<std::uint8_t>(lc >> 8), static_cast<std::uint8_t>(lc)});
    } else {
      apdu.push_back(static_cast<std::uint8_t>(lc));
    }
    apdu.insert(apdu.end(), lc, 0x5A);
  }
  if (le >= 0) {
    if (extended) {
      if (lc == 0) apdu.push_back(0x00);
      apdu.insert(apdu.end(), {static_cast<std::uint8_t>(le >> 8), static_cast<std::uint8_t>(le)});
    } else {
      apdu.push_back(static_cast<std::uint8_t>(le));
    }
  }
  return apdu;
}

struct AnswerCase {
  std::string name;
  Bytes apdu;
  std::size_t expected;
};

TEST(ExpectedAnswerLength, FollowsLeInEveryCase) {
  const AnswerCase cases[] = {
      {"case 1", command(0, -1, false), 2},
      {"case 2, Le 4", command(0, 4, false), 6},
      {"case 2, Le 0 is 256", command(0, 0, false), 258},
      {"case 3", command(6, -1, false), 2},
      {"case 4, Le 16", command(6, 16, false), 18},
      {"case 4, Le 0 is 256", command(255, 0, false), 258},
      {"case 2E, Le 1000", command(0, 1000, true), 1002},
      {"case 2E, Le 0 is 65536", command(0, 0, true), 65538},
      {"case 3E", command(600, -1, true), 2},
      {"case 4E, Le 300", command(600, 300, true), 302},
      {"case 4E, Le 0 is 65536", command(600, 0, true), 65538},
      {"too short for a command", Bytes{0x00, 0xA4}, 2},
      {"short Lc that the data do not match", Bytes{0x00, 0xD6, 0x00, 0x00, 0x05, 0x01}, 2},
      {"extended marker without its length", Bytes{0x00, 0xB0, 0x00, 0x00, 0x00, 0x01}, 2},
  };
  for (const auto& c : cases) EXPECT_EQ(expectedAnswerLength(c.apdu), c.expected) << c.name;
}

struct FitCase {
  std::string name;
  bool t0;
  Bytes apdu;
  std::size_t answerRoom;
  TransmitFit fit;
};

TEST(CheckTransmit, RefusesWhatNoBufferOnTheWayCarries) {
  const FitCase cases[] = {
      {"short command by T=0", true, command(255, 0, false), 258, TransmitFit::fits},
      {"extended command by T=0", true, command(300, -1, true), 258, TransmitFit::commandTooLong},
      {"largest extended command by T=1", false, command(65535, 0, true), maxAnswerLength, TransmitFit::fits},
      {"a byte over the library's command buffer", false, Bytes(maxCommandLength + 1, 0x5A), maxAnswerLength,
       TransmitFit::commandTooLong},
      {"Le 256 with room for 258", false, command(0, 0, false), 258, TransmitFit::fits},
      {"Le 256 with room for 257", false, command(0, 0, false), 257, TransmitFit::answerTooLong},
      {"Le 65536 with room for 65537", false, command(0, 0, true), 65537, TransmitFit::answerTooLong},
      {"Le 65536 with pcscd's whole buffer", false, command(0, 0, true), 65548, TransmitFit::fits},
      {"no Le with room for the status only", false, command(6, -1, false), 2, TransmitFit::fits},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(checkTransmit(c.t0, c.apdu, c.answerRoom), c.fit)
        << c.name << ": " << transmitFitName(checkTransmit(c.t0, c.apdu, c.answerRoom));
  }
}

TEST(TransmitBound, GrowsWithTheBytesCarried) {
  const WaitBounds bounds;
  EXPECT_EQ(transmitBound(bounds, 0, 0), bounds.transmit);
  EXPECT_EQ(transmitBound(bounds, 5, 258), bounds.transmit + std::chrono::milliseconds(263 * 20));
  // The largest command chains for about 4.5 minutes on the line; the wait
  // is well beyond that.
  EXPECT_GT(transmitBound(bounds, maxCommandLength, 2), std::chrono::minutes(20));
}

}  // namespace
}  // namespace tav712::pcsc
