// Whole conversations as the driver holds them, byte for byte: start, cold
// reset and ATR, PTS, timing registers, T=0 and T=1 commands, stop.

#include <gtest/gtest.h>

#include "emulator/iso7816.h"
#include "reader_rig.h"

namespace emulator::testing {
namespace {

struct Step {
  Bytes write;
  Bytes expect;
};

void play(ReaderRig& rig, const std::vector<Step>& steps) {
  int index = 0;
  for (const Step& step : steps) {
    EXPECT_EQ(rig.host->exchange(step.write, 100ms), step.expect) << "step " << ++index;
  }
}

const std::vector<Step> start{{{0xC0}, {0x23}}, {{0x88, 0x00}, {0x90}}, {{0x82, 0x4F}, {0x90}}, {{0xC4}, {0x01}}};

TEST(DriverConversation, T0CardFromStartToStop) {
  ReaderRig rig("profile=t0");
  play(rig, start);
  EXPECT_EQ(rig.coldReset(100ms), replyThen({0x3B, 0x15, 0x13, 0x54, 0x37, 0x31, 0x32, 0x30}));
  play(rig, {// PTS: T=0 at TA1 0x13, echoed (PTS0 0x10 comes back escaped).
             {{0x44, 0xFF, 0x10, 0x13, 0xFC}, {0x90, 0xFF, 0x10, 0x10, 0x13, 0xFC}},
             // Timing for T=0 at D=4: mode 3, guard 13, WWT 38400 + 10 % = 0x00A500 ETU.
             {{0xC2}, {0x6C}}, {{0x82, 0x6F}, {0x90}}, {{0xC1}, {0x0D}}, {{0xC2}, {0x6F}}, {{0x81, 0x0D}, {0x90}},
             {{0x82, 0x6F}, {0x90}}, {{0x85, 0x00, 0xA5, 0x00}, {0x90}}, {{0x86, 0x00, 0xA5, 0x00}, {0x90}},
             // SELECT 7F10: the header, the ACK, the data, the status word.
             {{0x45, 0x00, 0xA4, 0x00, 0x0C, 0x02}, {0x90, 0xA4}},
             {{0x42, 0x7F, 0x10}, {0x90, 0x90, 0x00}},
             {{0x45, 0x00, 0xA4, 0x00, 0x0C, 0x02}, {0x90, 0xA4}},
             {{0x42, 0x6F, 0x01}, {0x90, 0x90, 0x00}},
             // READ BINARY of 17 bytes: data byte 0x10 arrives escaped.
             {{0x45, 0x00, 0xB0, 0x00, 0x00, 0x11},
              {0x90, 0xB0, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D,
               0x0E, 0x0F, 0x10, 0x10, 0x90, 0x00}}});
  // The card stays silent after its status word: the marker comes once.
  EXPECT_EQ(rig.host->exchange({}, 2s), (Bytes{0x10, 0x83}));
  // Stop: power-down and the stop table.
  play(rig, {{{0x84, 0x00}, {0x90}}, {{0x84, 0x00}, {0x90}}, {{0x82, 0x00}, {0x90}}, {{0xC4}, {0x01}}});
}

TEST(DriverConversation, T1CardWithChainedCommandAndWtx) {
  ReaderRig rig("profile=t1,wtx=2");
  play(rig, start);
  EXPECT_EQ(rig.coldReset(100ms), replyThen({0x3B, 0x95, 0x13, 0x81, 0x11, 0x20, 0x54, 0x37, 0x31, 0x32, 0x31, 0x67}));
  play(rig, {{{0x44, 0xFF, 0x11, 0x13, 0xFD}, {0x90, 0xFF, 0x11, 0x13, 0xFD}},
             {{0x82, 0x6C}, {0x90}}, {{0x81, 0x0C}, {0x90}}, {{0x85, 0x3F, 0x23, 0x00}, {0x90}},
             {{0x86, 0x0C, 0x08, 0x01}, {0x90}}});
  // UPDATE BINARY of 20 bytes is a 25-byte APDU: one I-block of 29 bytes,
  // sent as chunks of 24 and 5. The card asks for WTX 2 first.
  Bytes apdu{0x00, 0xD6, 0x00, 0x00, 0x14};
  for (std::uint8_t i = 0; i < 20; ++i) apdu.push_back(i);
  const Bytes block = encodeT1(T1Block::information(0, false, apdu), false);
  ASSERT_EQ(block.size(), 29u);
  Bytes first{0x58};
  first.insert(first.end(), block.begin(), block.begin() + 24);
  Bytes second{0x45};
  second.insert(second.end(), block.begin() + 24, block.end());
  EXPECT_EQ(rig.host->exchange(first, 20ms), Bytes{0x90});
  // No current EF after the reset: the answer will be 69 86.
  EXPECT_EQ(rig.host->exchange(second, 100ms), (Bytes{0x90, 0x00, 0xC3, 0x01, 0x02, 0xC0}));
  // The grant; the reader marks the block waiting time (the driver ignores the
  // marker during the extension); the answer comes later, then its end marker.
  EXPECT_EQ(rig.host->exchange({0x45, 0x00, 0xE3, 0x01, 0x02, 0xE0}, 4s),
            (Bytes{0x90, 0x10, 0x83, 0x00, 0x00, 0x02, 0x69, 0x86, 0xED, 0x10, 0x83}));
  // The end marker comes a character waiting time (0x233F ETU of 93 clocks)
  // after the last card character reached the reader; the host line, slower
  // than the card at D=4, delivers that character up to a few bytes later.
  const auto& got = rig.host->received();
  ASSERT_EQ(got.size(), 11u);
  const Nanoseconds cwt(clocksToNanoseconds(0x233Full * 93));
  EXPECT_LE(got[9].at - got[8].at, cwt);
  EXPECT_GE(got[9].at - got[8].at, cwt - 6 * byteTime);
}

}  // namespace
}  // namespace emulator::testing
