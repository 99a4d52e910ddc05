// The knob text of the command line.

#include <gtest/gtest.h>

#include "emulator/knobs.h"

namespace emulator {
namespace {

// Knobs that become a card profile's settings, and the lists and flags.
TEST(Knobs, ParseIntoTheCardProfile) {
  EmulatorKnobs knobs;
  ASSERT_FALSE(
      applyKnobs("profile=dual,parity-error-byte=5:9,pts=other,pts-factors=0x94,t0-ack=single,no-card,seed=99", knobs));
  EXPECT_EQ(knobs.card.parityErrorBytes, (std::vector<std::uint32_t>{5, 9}));
  EXPECT_FALSE(knobs.cardInserted);
  const CardProfile profile = profileFor(knobs);
  EXPECT_EQ(profile.pts.behaviour, PtsBehaviour::otherFactors);
  EXPECT_EQ(profile.pts.otherFactors, 0x94);
  EXPECT_EQ(profile.t0.ackStyle, T0AckStyle::singleBytes);
  EXPECT_EQ(profile.application.challengeSeed, 99u);
}

TEST(Knobs, AtrsFromHex) {
  EmulatorKnobs knobs;
  ASSERT_FALSE(applyKnobs("profile=t0,atr=3B0254455354,warm-atr=3b00", knobs));
  const CardProfile profile = profileFor(knobs);
  EXPECT_EQ(profile.coldAtr, (std::vector<std::uint8_t>{0x3B, 0x02, 0x54, 0x45, 0x53, 0x54}));
  EXPECT_EQ(profile.warmAtr, (std::vector<std::uint8_t>{0x3B, 0x00}));
}

TEST(Knobs, RejectWhatTheyDoNotKnow) {
  const std::vector<std::pair<const char*, const char*>> cases{
      {"volume=11", "unknown knob 'volume'"}, {"silent-after=x", "silent-after: bad number 'x'"},
      {"wtx=300", "wtx: bad number '300'"},   {"profile=t2", "profile: unknown card profile 't2'"},
      {"wtx", "knob 'wtx' needs a value"},    {"atr=3B0", "atr: bad hex bytes '3B0'"},
  };
  for (const auto& [text, reason] : cases) {
    EmulatorKnobs knobs;
    const auto error = applyKnobs(text, knobs);
    ASSERT_TRUE(error.has_value()) << text;
    EXPECT_EQ(*error, reason);
  }
}

}  // namespace
}  // namespace emulator
