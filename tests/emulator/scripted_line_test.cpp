// The scripted line: script text, exact playback timing, host bytes recorded
// and mismatches reported.

#include <gtest/gtest.h>

#include "emulator/scripted_line.h"
#include "test_host.h"

namespace emulator::testing {
namespace {

// A scripted line with a test host on it.
struct ScriptRig {
  explicit ScriptRig(const char* text) : line(timeline, parse(text)), host(timeline, line) {}
  static std::vector<ScriptStep> parse(const char* text) {
    const ScriptParse parse = parseScript(text);
    EXPECT_FALSE(parse.error) << *parse.error;
    return parse.steps;
  }
  QueueTimeline timeline;
  ScriptedLine line;
  TestHost host;
};

TEST(ScriptedLine, PlaysRepliesAtTheirInstants) {
  const char* script =
      "# the driver reads the firmware version\n"
      "> C0\n"
      "< 23\n"
      "> 83 1D\n"
      "< 90 +2ms 3B 00   # the ATR two milliseconds after the reply\n";
  const ScriptParse parse = parseScript(script);
  ASSERT_EQ(parse.steps.size(), 4u);
  // "+2ms" applies to the step it appears in: the whole send.
  EXPECT_EQ(parse.steps[3].delay, 2ms);

  ScriptRig rig(script);
  TestHost& host = rig.host;
  const Nanoseconds firstEnd = host.write({0xC0});
  rig.timeline.runFor(10ms);
  ASSERT_EQ(host.received().size(), 1u);
  EXPECT_EQ(host.received()[0].at, firstEnd + byteTime);
  host.clear();
  const Nanoseconds secondEnd = host.write({0x83, 0x1D});
  rig.timeline.runFor(50ms);
  EXPECT_EQ(host.bytes_(), (Bytes{0x90, 0x3B, 0x00}));
  EXPECT_EQ(host.received()[0].at, secondEnd + 2ms + byteTime);
  EXPECT_EQ(host.received()[2].at, secondEnd + 2ms + 3 * byteTime);
  EXPECT_TRUE(rig.line.finished());
  EXPECT_TRUE(rig.line.mismatches().empty());
  ASSERT_EQ(rig.line.hostBytes().size(), 3u);
  EXPECT_EQ(rig.line.hostBytes()[1].at, secondEnd - byteTime);
}

TEST(ScriptedLine, UnpromptedStepsStartAtOnceAndChain) {
  ScriptRig rig("< 10 85\nwait 1ms\n< 10 86\ndsr off +1ms\n");
  rig.timeline.runFor(20ms);
  EXPECT_EQ(rig.host.bytes_(), (Bytes{0x10, 0x85, 0x10, 0x86}));
  EXPECT_EQ(rig.host.received()[2].at, 2 * byteTime + 1ms + byteTime);
  EXPECT_EQ(rig.host.dsrChanges(), (std::vector<std::pair<Nanoseconds, bool>>{{4 * byteTime + 1ms + 1ms, false}}));
  EXPECT_FALSE(rig.line.dsr());
  EXPECT_TRUE(rig.line.finished());
}

TEST(ScriptedLine, AMismatchStopsTheScript) {
  ScriptRig rig("> C0\n< 23\n");
  rig.host.write({0xC4});
  rig.timeline.runFor(10ms);
  EXPECT_TRUE(rig.host.received().empty());
  EXPECT_EQ(rig.line.mismatches(), std::vector<std::string>{"step 1: host wrote C4, script expects C0"});
  EXPECT_FALSE(rig.line.finished());
}

TEST(ScriptedLine, BytesAfterTheEndAreReported) {
  ScriptRig rig("> C0\n");
  rig.host.write({0xC0, 0xC0});
  rig.timeline.runFor(10ms);
  EXPECT_EQ(rig.line.mismatches().size(), 1u);
}

TEST(ScriptParse, ReportsTheBadLine) {
  for (const char* text : {"> C0\n< 1G\n", "sleep 1ms\n", "dsr maybe\n", "wait 5 parsecs\n", "> +5ms C0\n"}) {
    const ScriptParse parse = parseScript(text);
    EXPECT_TRUE(parse.error.has_value()) << text;
  }
  EXPECT_EQ(*parseScript("> C0\n< 1G\n").error, "line 2: bad byte '1G'");
}

}  // namespace
}  // namespace emulator::testing
