// Two processes over a real pseudo-terminal in real time: `tav712 emulate`
// in one, `tav712 --port` in the other. Bounded: each run has a limit, and
// the emulator's path is read from its first line, never waited for blindly.

#include <gtest/gtest.h>

#include "process.h"

namespace program_test {
namespace {

using namespace std::chrono_literals;

TEST(Pty, AtrProtocolAndApduThroughARealLine) {
  BackgroundProcess emulator({"emulate", "--card", "t1", "--duration", "60000"});
  const std::string path = emulator.nextLine(10s);
  ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;

  const auto result = runTav712(
      {"--port", path, "apdu", "00 A4 04 0C 06 A0 00 00 07 12 01", "00 A4 00 0C 02 6F 01", "00 B0 00 00 04"}, 30s);
  ASSERT_FALSE(result.timedOut);
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("cold reset, ATR 3B"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("protocol T=1 selected"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("< 00 01 02 03 90 00"), std::string::npos) << result.out;
}

TEST(Pty, AReaderKilledWhileTheProgramWaitsIsAClearErrorNotAHang) {
  BackgroundProcess emulator({"emulate", "--card", "t0", "--duration", "60000"});
  const std::string path = emulator.nextLine(10s);
  ASSERT_FALSE(path.empty());
  // The program brings the reader up, parks a removal wait and reports
  // that it waits; then the reader dies under it.
  BackgroundProcess program({"--port", path, "wait", "remove", "--timeout", "30000"});
  const std::string started = program.nextLine(20s);
  ASSERT_NE(started.find("reader started"), std::string::npos) << started;
  const std::string waiting = program.nextLine(20s);
  ASSERT_NE(waiting.find("waiting for the card to go"), std::string::npos) << waiting;
  emulator.kill();
  const auto outcome = program.finish(20s);
  EXPECT_FALSE(outcome.timedOut);
  EXPECT_EQ(outcome.exitStatus, 5) << outcome.err;
  EXPECT_NE(outcome.err.find("the reader is gone"), std::string::npos) << outcome.err;
}

// The reader hangs up while APDUs are under way: whatever the request in
// flight ends with, the cause is the reader, not the card.
TEST(Pty, AReaderThatHangsUpMidCommandIsReportedAsGoneNotAsACardFault) {
  BackgroundProcess emulator({"emulate", "--card", "t1", "--duration", "60000"});
  const std::string path = emulator.nextLine(10s);
  ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
  // Far more APDUs than the run can send before the hang-up: the program
  // is still exchanging them when the emulator goes.
  std::vector<std::string> arguments{"--port", path, "apdu", "00A4040C06A00000071201", "00A4000C026F01"};
  for (int i = 0; i < 200; ++i) arguments.emplace_back("00B0000010");
  BackgroundProcess program(arguments);
  std::string line;
  for (int lines = 0; lines < 20 && line.find("protocol T=1 selected") == std::string::npos; ++lines) {
    line = program.nextLine(20s);
  }
  ASSERT_NE(line.find("protocol T=1 selected"), std::string::npos) << line;
  emulator.kill();
  const auto outcome = program.finish(40s);
  EXPECT_FALSE(outcome.timedOut);
  EXPECT_EQ(outcome.exitStatus, 5) << outcome.err;
  EXPECT_NE(outcome.err.find("the reader is gone"), std::string::npos) << outcome.err;
  EXPECT_NE(outcome.err.find("try:"), std::string::npos) << outcome.err;
}

}  // namespace
}  // namespace program_test
