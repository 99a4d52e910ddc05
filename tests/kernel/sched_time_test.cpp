// Virtual time: waits, delays and timers end at exact instants and cost no
// wall time; stalls move the clock without a switch.
#include "sched_fixture.h"

#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using platform::Instant;
using platform::Scheduler;
using sched_test::at;
using sched_test::relative;

class SchedTime : public sched_test::VerifiedTest {
 protected:
  Scheduler scheduler;
};

TEST_F(SchedTime, LongWaitsEndAtTheirExactInstantsAndCostNoWallTime) {
  auto wallStart = std::chrono::steady_clock::now();
  NTSTATUS timeoutStatus = STATUS_PENDING;
  Instant delayEnd, timeoutEnd;
  scheduler.run([&] {
    LARGE_INTEGER tenSeconds = relative(10s);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &tenSeconds), STATUS_SUCCESS);
    delayEnd = Scheduler::get().now();
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = relative(2400ms);
    timeoutStatus = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
    timeoutEnd = Scheduler::get().now();
  });
  EXPECT_EQ(delayEnd, at(10s));
  EXPECT_EQ(timeoutStatus, STATUS_TIMEOUT);
  EXPECT_EQ(timeoutEnd, at(12400ms));
  EXPECT_LT(std::chrono::steady_clock::now() - wallStart, 2s);
}

TEST_F(SchedTime, SignalBeforeTheTimeOutEndsTheWaitAtTheSignal) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  scheduler.callAt(at(700ms), [&] { KeSetEvent(&event, 0, FALSE); });
  NTSTATUS status = STATUS_PENDING;
  scheduler.run([&] {
    LARGE_INTEGER timeout = relative(2400ms);
    status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
  });
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(scheduler.now(), at(700ms));
  scheduler.runUntilIdle();
  EXPECT_EQ(scheduler.now(), at(700ms)) << "the cancelled time-out leaves no deadline behind";
}

TEST_F(SchedTime, TimersFireAtExactInstantsAtTheirIrql) {
  struct Firing {
    std::string name;
    Instant when;
    KIRQL irql;
    bool operator==(const Firing&) const = default;
  };
  std::vector<Firing> fired;
  auto record = [&](const char* name) {
    return [&fired, name] { fired.push_back({name, Scheduler::get().now(), KeGetCurrentIrql()}); };
  };
  scheduler.callAt(at(5ms), record("uart"), platform::kSerialDeviceLevel);
  scheduler.callAt(at(1ms), record("first"));
  scheduler.callAt(at(5ms), record("same instant, set later"));
  platform::TimerId cancelled = scheduler.callAt(at(3ms), record("cancelled"));
  EXPECT_TRUE(scheduler.cancelTimer(cancelled));
  EXPECT_FALSE(scheduler.cancelTimer(cancelled));

  scheduler.runUntilIdle();
  EXPECT_EQ(fired, (std::vector<Firing>{{"first", at(1ms), DISPATCH_LEVEL},
                                        {"uart", at(5ms), platform::kSerialDeviceLevel},
                                        {"same instant, set later", at(5ms), DISPATCH_LEVEL}}));
}

TEST_F(SchedTime, StallMovesTheClockWithoutGivingUpTheCpu) {
  std::vector<int> order;
  scheduler.callAt(at(10us), [&] { order.push_back(2); });
  scheduler.run([&] {
    KeStallExecutionProcessor(50);
    order.push_back(1);  // the timer fell due during the stall but did not run
    EXPECT_EQ(Scheduler::get().now(), at(50us));
  });
  scheduler.runUntilIdle();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST_F(SchedTime, KernelClocksFollowTheVirtualClock) {
  scheduler.advanceUntil(at(1500ms));
  LARGE_INTEGER system;
  KeQuerySystemTime(&system);
  EXPECT_EQ(system.QuadPart, platform::kVirtualBootSystemTime100ns + 15'000'000);
  EXPECT_EQ(KeQueryInterruptTime(), 15'000'000u);
  EXPECT_EQ(platform::KernelClock::now(), at(1500ms));
}

TEST(SchedTimeConversion, KernelIntervalsConvertExactly) {
  const std::int64_t boot = platform::kVirtualBootSystemTime100ns;
  struct Row {
    std::int64_t quadPart;
    platform::Duration now;
    platform::Duration expected;
  };
  const Row rows[] = {
      {-24'000'000, 0s, 2400ms},    // relative 2400 ms
      {-1, 0s, 100ns},              // the smallest relative unit
      {boot + 30'000'000, 1s, 2s},  // absolute 3 s after boot, asked at 1 s
      {boot + 10'000'000, 2s, 0s},  // an absolute time already past
  };
  for (const Row& row : rows) {
    EXPECT_EQ(platform::kernelIntervalToDuration(row.quadPart, Instant(row.now), boot), row.expected) << row.quadPart;
  }
  EXPECT_EQ(platform::durationToRelativeKernelInterval(2400ms), -24'000'000);
  EXPECT_EQ(platform::durationToRelativeKernelInterval(150ns), -2) << "rounded up, never early";
}

}  // namespace
