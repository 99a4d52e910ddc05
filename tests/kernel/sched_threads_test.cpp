// Threads and events: who wakes, what a deadlock report says (crossed spin
// locks: each waits for the other's holder), how shutdown
// unwinds, one interrupt line's order, and threads calling in from outside in
// real time. (An outside interrupt waking a thread in real time is driven
// end to end by the serial port on a pseudo-terminal.)
#include "common/test_cases.h"
#include "sched_fixture.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using platform::Scheduler;
using sched_test::at;
using sched_test::relative;

bool mentions(const std::string& report, std::string_view text) { return report.find(text) != std::string::npos; }

class SchedThreads : public sched_test::VerifiedTest {
 protected:
  // The deadlock report that joining `thread` ends with; empty for none.
  std::string deadlockReport(const platform::ThreadHandle& thread) {
    try {
      scheduler.join(thread);
    } catch (const platform::DeadlockError& error) {
      return error.what();
    }
    return {};
  }

  Scheduler scheduler;
};

TEST_F(SchedThreads, SetEventWakesAllNotificationWaitersButOneSynchronizationWaiter) {
  struct Row {
    EVENT_TYPE type;
    int expectedWoken;
    LONG stateAfter;
  };
  for (Row row : {Row{NotificationEvent, 3, 1}, Row{SynchronizationEvent, 1, 0}}) {
    KEVENT event;
    KeInitializeEvent(&event, row.type, FALSE);
    int woken = 0;
    std::vector<platform::ThreadHandle> waiters;
    for (int i = 0; i < 3; ++i) {
      waiters.push_back(scheduler.spawn("waiter " + std::to_string(i), [&] {
        LARGE_INTEGER timeout = relative(1s);
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) ++woken;
      }));
    }
    scheduler.runUntil([] { return false; }, 1ms);  // every waiter is waiting now
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0) << "previous state";
    scheduler.advanceBy(1ms);
    EXPECT_EQ(woken, row.expectedWoken) << "event type " << row.type;
    EXPECT_EQ(KeReadStateEvent(&event), row.stateAfter);
    for (auto& waiter : waiters) scheduler.join(waiter);
  }
}

TEST_F(SchedThreads, WaitForMultipleObjectsEndsOnAnyOrOnAll) {
  KEVENT events[3];
  for (KEVENT& event : events) KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  PVOID objects[] = {&events[0], &events[1], &events[2]};
  KWAIT_BLOCK waitBlocks[3];
  scheduler.callAt(at(3ms), [&] { KeSetEvent(&events[1], 0, FALSE); });
  scheduler.callAt(at(5ms), [&] { KeSetEvent(&events[0], 0, FALSE); });
  scheduler.callAt(at(8ms), [&] { KeSetEvent(&events[2], 0, FALSE); });
  scheduler.callAt(at(9ms), [&] { KeSetEvent(&events[1], 0, FALSE); });
  NTSTATUS any = STATUS_PENDING, all = STATUS_PENDING;
  platform::Instant anyEnd, allEnd;
  scheduler.run([&] {
    LARGE_INTEGER timeout = relative(1s);
    any = KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, waitBlocks);
    anyEnd = Scheduler::get().now();
    all = KeWaitForMultipleObjects(3, objects, WaitAll, Executive, KernelMode, FALSE, &timeout, nullptr);
    allEnd = Scheduler::get().now();
  });
  EXPECT_EQ(any, STATUS_WAIT_0 + 1);
  EXPECT_EQ(anyEnd, at(3ms));
  EXPECT_EQ(all, STATUS_SUCCESS);
  EXPECT_EQ(allEnd, at(9ms));
  for (KEVENT& event : events) EXPECT_EQ(KeReadStateEvent(&event), 0) << "every object was taken";

  verifier.expect(platform::rule::kBadObject);
  KEVENT more[4];
  PVOID four[4];
  for (int i = 0; i < 4; ++i) {
    KeInitializeEvent(&more[i], NotificationEvent, TRUE);
    four[i] = &more[i];
  }
  LARGE_INTEGER zero{};
  EXPECT_EQ(KeWaitForMultipleObjects(4, four, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
            STATUS_INVALID_PARAMETER)
      << "more than THREAD_WAIT_OBJECTS needs wait blocks";
  EXPECT_TRUE(verifier.fired(platform::rule::kBadObject));
}

TEST_F(SchedThreads, CrossedSpinLocksAreADeadlockNamingTheHolders) {
  KSPIN_LOCK first, second;
  KeInitializeSpinLock(&first);
  KeInitializeSpinLock(&second);
  std::atomic<int> holding{0};
  auto crossed = [&](PKSPIN_LOCK mine, PKSPIN_LOCK theirs) {
    return [&holding, mine, theirs] {
      KIRQL old;
      KeAcquireSpinLock(mine, &old);
      ++holding;
      while (holding < 2) platform::yieldPoint();
      KeAcquireSpinLockAtDpcLevel(theirs);
    };
  };
  auto left = scheduler.spawn("left", crossed(&first, &second));
  scheduler.spawn("right", crossed(&second, &first));
  const std::string report = deadlockReport(left);
  EXPECT_TRUE(mentions(report, "'left' (request, IRQL 2): waits for a spin lock held by 'right'")) << report;
  EXPECT_TRUE(mentions(report, "'right' (request, IRQL 2): waits for a spin lock held by 'left'")) << report;
}

TEST_F(SchedThreads, ExceptionsEscapingAThreadReachTheJoiner) {
  EXPECT_THROW(scheduler.run([] { throw std::runtime_error("driver assertion"); }), std::runtime_error);
  scheduler.queueWork(platform::WorkQueue::Delayed, [] { throw std::runtime_error("work item failed"); });
  EXPECT_THROW(scheduler.runUntilIdle(), std::runtime_error);
  EXPECT_NO_THROW(scheduler.runUntilIdle()) << "each failure is reported once";
}

// Managed threads share one OS thread: what the C++ runtime and the kernel
// keep per OS thread must still be each thread's own. The thread that enters
// its catch block first looks at its exception while the other is inside its
// own catch block, entered later.
TEST_F(SchedThreads, EachThreadKeepsItsOwnExceptionAndKernelState) {
  std::atomic<int> entered{0};
  std::atomic<bool> firstLooked{false};
  auto holdAcrossSwitches = [&](std::string name) {
    return [&, name] {
      int mine = 0;
      platform::kernelThreadLocals().ioFrames = &mine;
      const void* identity = platform::kernelThreadIdentity();
      try {
        throw std::runtime_error(name);
      } catch (const std::runtime_error&) {
        const bool first = ++entered == 1;
        while (entered < 2 || (!first && !firstLooked)) platform::yieldPoint();
        try {
          throw;
        } catch (const std::runtime_error& handled) {
          EXPECT_EQ(handled.what(), name) << "the exception being handled";
        }
        firstLooked = firstLooked || first;
      }
      EXPECT_EQ(std::uncaught_exceptions(), 0);
      EXPECT_EQ(platform::kernelThreadLocals().ioFrames, &mine);
      EXPECT_EQ(platform::kernelThreadIdentity(), identity);
    };
  };
  const void* callerIdentity = platform::kernelThreadIdentity();
  auto first = scheduler.spawn("first", holdAcrossSwitches("first"));
  auto second = scheduler.spawn("second", holdAcrossSwitches("second"));
  scheduler.join(first);
  scheduler.join(second);
  EXPECT_TRUE(firstLooked);
  EXPECT_EQ(platform::kernelThreadIdentity(), callerIdentity);
}

TEST(SchedShutdown, UnwindsBlockedThreadsAndJoinsThemAll) {
  auto wallStart = std::chrono::steady_clock::now();
  {
    Scheduler scheduler;
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    for (int i = 0; i < 3; ++i)
      scheduler.spawn("blocked", [&] { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); });
    scheduler.queueWork(platform::WorkQueue::Critical, [] {});
    scheduler.callAt(at(1h), [] { FAIL() << "timer fired during shutdown"; });
    scheduler.runUntil([] { return false; }, 1ms);
    scheduler.spawn("never started", [] { FAIL() << "ran during shutdown"; });
  }
  EXPECT_LT(std::chrono::steady_clock::now() - wallStart, 2s);
  EXPECT_EQ(Scheduler::installed(), nullptr);
}

// A device's interrupt does not re-enter itself: what one line raises runs
// one action at a time, in the order raised, even when an action gives up
// the CPU half-way (as byte deliveries do at the port's spin lock).
class SchedInterruptLine : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(SchedInterruptLine, ActionsOfOneLineRunOneAtATimeInOrder) {
  Scheduler scheduler({.seed = GetParam()});
  platform::InterruptLine line = scheduler.openInterruptLine("tty");
  std::vector<int> events;  // +i when action i starts, -i when it ends
  for (int i = 1; i <= 4; ++i) {
    line.raise([&scheduler, &events, i] {
      events.push_back(i);
      scheduler.yieldPoint();
      scheduler.yieldPoint();
      events.push_back(-i);
    });
  }
  scheduler.runUntilIdle();
  EXPECT_EQ(events, (std::vector<int>{1, -1, 2, -2, 3, -3, 4, -4}));
}

INSTANTIATE_TEST_SUITE_P(Seeds, SchedInterruptLine, tav712::testing::seedRange(1, 32), tav712::testing::SeedName{});

TEST(SchedRealTime, AnotherThreadCallingInJoinsAndLeavesWhenItEnds) {
  Scheduler scheduler({.seed = 1, .clockMode = platform::ClockMode::RealTime});
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  NTSTATUS status = STATUS_PENDING;
  auto waiter = scheduler.spawn("waiter", [&] {
    LARGE_INTEGER timeout = relative(10s);
    status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
  });
  // Joins as a foreign thread on its call and gets the CPU once the test's
  // thread waits; ending, it hands the CPU back.
  std::thread caller([&] { KeSetEvent(&event, 0, FALSE); });
  scheduler.join(waiter);
  caller.join();
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_LT(scheduler.now(), at(5s));
}

TEST(SchedRealTime, TimeOutsFollowTheWallClock) {
  Scheduler scheduler({.seed = 1, .clockMode = platform::ClockMode::RealTime});
  auto wallStart = std::chrono::steady_clock::now();
  scheduler.run([] {
    LARGE_INTEGER twentyMs = relative(20ms);
    KeDelayExecutionThread(KernelMode, FALSE, &twentyMs);
  });
  auto elapsed = std::chrono::steady_clock::now() - wallStart;
  EXPECT_GE(elapsed, 20ms);
  EXPECT_GE(scheduler.now(), at(20ms));
}

}  // namespace
