// The wall-clock timeline under `tav712 emulate`.

#include "real_time_loop.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace tav712 {
namespace {

using namespace std::chrono_literals;

// A timed action that runs late (here: due at once, run later) counts its
// follow-up from its own instant, so the reader's bytes keep their spacing
// and a late wake-up never adds up from byte to byte.
TEST(RealTimeLoop, AnActionSeesItsOwnInstantHoweverLateItRuns) {
  RealTimeLoop loop;
  std::vector<line::Nanoseconds> seen;
  loop.callAt(0ns, [&] {
    seen.push_back(loop.now());
    loop.callAt(loop.now() + 520833ns, [&] { seen.push_back(loop.now()); });
  });
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (seen.size() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(loop.runDue(10ms));
  }
  EXPECT_EQ(seen, (std::vector<line::Nanoseconds>{0ns, 520833ns}));
  EXPECT_GT(loop.now(), 520833ns) << "outside an action, the wall clock";
}

}  // namespace
}  // namespace tav712
