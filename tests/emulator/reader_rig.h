#pragma once
// A reader built from knob text with a test host on its line.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "emulator/reader.h"
#include "test_host.h"

namespace emulator::testing {

// A reset's reply (0x90), then the ATR.
inline Bytes replyThen(const Bytes& atr) {
  Bytes answer{0x90};
  answer.insert(answer.end(), atr.begin(), atr.end());
  return answer;
}

struct ReaderRig {
  explicit ReaderRig(const std::string& knobText = "") {
    EmulatorKnobs knobs;
    if (auto error = applyKnobs(knobText, knobs)) ADD_FAILURE() << *error;
    reader = buildReader(timeline, knobs);
    host = std::make_unique<TestHost>(timeline, *reader);
  }
  // The driver's register set-up before a reset and its cold power-down, each
  // reply checked, then the reset itself; returns everything the reader sent
  // from the reset on.
  Bytes coldReset(line::Nanoseconds settle = 500ms) {
    const std::vector<std::pair<Bytes, Bytes>> setUp{
        {{0x82, 0x6F}, {0x90}}, {{0xC1}, {0x0D}},       {{0xC2}, {0x6F}},
        {{0x81, 0x0D}, {0x90}}, {{0x82, 0x6F}, {0x90}}, {{0x85, 0x80, 0x25, 0x00}, {0x90}},
        {{0xC2}, {0x6F}},       {{0x82, 0x6C}, {0x90}}, {{0x84, 0x00}, {0x90}}};
    for (const auto& [command, reply] : setUp) {
      EXPECT_EQ(host->exchange(command, 10ms), reply) << "set-up command " << ::testing::PrintToString(command);
    }
    return host->exchange({0x83, 0x1D}, settle);
  }

  QueueTimeline timeline;
  std::unique_ptr<Reader> reader;
  std::unique_ptr<TestHost> host;
};

}  // namespace emulator::testing
