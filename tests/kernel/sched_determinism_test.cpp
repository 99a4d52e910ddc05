// One seed, one run: the same seed replays a race exactly, other seeds
// explore other interleavings. Also measures what a switch costs.
#include "sched_fixture.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using platform::Scheduler;
using sched_test::relative;

// Two request threads race through steps separated by yield points (event
// sets), with a delay, a timer and a work item in the mix; the trace records
// who did what when.
std::vector<std::string> raceTrace(platform::SchedulerOptions options) {
  Scheduler scheduler(options);
  std::vector<std::string> trace;
  auto note = [&trace](std::string what) {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(Scheduler::get().now().time_since_epoch());
    trace.push_back(what + "@" + std::to_string(us.count()));
  };
  KEVENT tick;
  KeInitializeEvent(&tick, NotificationEvent, FALSE);
  auto racer = [&](std::string name) {
    return [&, name] {
      for (int step = 0; step < 6; ++step) {
        note(name + std::to_string(step));
        KeSetEvent(&tick, 0, FALSE);
        if (step == 3) {
          LARGE_INTEGER oneMs = relative(1ms);
          KeDelayExecutionThread(KernelMode, FALSE, &oneMs);
        }
      }
    };
  };
  scheduler.callAfter(1ms, [&] {
    note("timer");
    platform::queueWork(platform::WorkQueue::Critical, [&] { note("work"); });
  });
  auto a = scheduler.spawn("a", racer("a"));
  auto b = scheduler.spawn("b", racer("b"));
  scheduler.join(a);
  scheduler.join(b);
  scheduler.runUntilIdle();
  return trace;
}

TEST(SchedDeterminism, TheSameSeedGivesTheSameTrace) {
  for (platform::Duration lateWakeupBound : {platform::Duration::zero(), platform::Duration(3ms)}) {
    for (std::uint64_t seed : {1u, 7u, 12345u}) {
      auto first = raceTrace({.seed = seed, .lateWakeupBound = lateWakeupBound});
      EXPECT_EQ(first.size(), 14u);
      EXPECT_EQ(raceTrace({.seed = seed, .lateWakeupBound = lateWakeupBound}), first)
          << "seed " << seed << ", late wake-ups up to " << lateWakeupBound.count() << " ns";
    }
  }
}

// A woken thread held off the CPU lets the clock move on: the racers' steps
// after their delay come later than the delay alone makes them.
TEST(SchedDeterminism, LateWakeupsLetTimePassBeforeAWokenThreadRuns) {
  auto lastStep = [](const std::vector<std::string>& trace) {
    long long latest = 0;
    for (const std::string& entry : trace) latest = std::max(latest, std::stoll(entry.substr(entry.find('@') + 1)));
    return latest;
  };
  long long prompt = lastStep(raceTrace({.seed = 3}));
  long long latest = 0;
  for (std::uint64_t seed = 1; seed <= 8; ++seed)
    latest = std::max(latest, lastStep(raceTrace({.seed = seed, .lateWakeupBound = 3ms})));
  EXPECT_EQ(prompt, 1000);
  EXPECT_GT(latest, prompt);
  EXPECT_LE(latest, prompt + 2 * 3000);
}

TEST(SchedDeterminism, DifferentSeedsReachDifferentInterleavings) {
  std::set<std::vector<std::string>> distinct;
  for (std::uint64_t seed = 1; seed <= 24; ++seed) distinct.insert(raceTrace({.seed = seed}));
  EXPECT_GE(distinct.size(), 8u);
}

// Two threads hand a token back and forth through synchronization events:
// every hand-over is a switch. Prints the rate, the cost measure of a run.
TEST(SchedDeterminism, SwitchRate) {
  constexpr int kRoundTrips = 5000;
  Scheduler scheduler;
  KEVENT ping, pong;
  KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
  auto wallStart = std::chrono::steady_clock::now();
  auto server = scheduler.spawn("server", [&] {
    for (int i = 0; i < kRoundTrips; ++i) {
      KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
      KeSetEvent(&pong, 0, FALSE);
    }
  });
  scheduler.run(
      [&] {
        for (int i = 0; i < kRoundTrips; ++i) {
          KeSetEvent(&ping, 0, FALSE);
          KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
        }
      },
      "client");
  scheduler.join(server);
  std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wallStart;
  auto switches = scheduler.switchCount();
  EXPECT_GE(switches, 2u * kRoundTrips);
  std::printf("[ sched    ] %llu switches in %.3f s: %.0f switches/s\n", static_cast<unsigned long long>(switches),
              wall.count(), static_cast<double>(switches) / wall.count());
  ::testing::Test::RecordProperty("switchesPerSecond", static_cast<int>(static_cast<double>(switches) / wall.count()));
}

}  // namespace
