// The scripted line reports what the host got wrong and which script line it
// could not read. Its playback and timing carry every link test.

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
