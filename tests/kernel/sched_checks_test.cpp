// The scheduler's verifier rules, one faulty use per rule: each makes
// exactly its rule fire, and the kernel carries on; the correct uses next to
// them (the boundaries of the wait rule) are silent. The I/O rules are in
// verifier_rules_test.
#include "sched_fixture.h"

#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using platform::Scheduler;
using sched_test::relative;

struct Scenario {
  const char* name;
  std::string_view rule;  // empty: nothing may fire
  std::function<void(Scheduler&)> run;
};

void raiseTo(KIRQL level) {
  KIRQL old;
  KeRaiseIrql(level, &old);
}

std::function<void(Scheduler&)> onThread(std::function<void()> body) {
  return [body](Scheduler& scheduler) { scheduler.run(body); };
}

// Runs `body` on a request thread at DISPATCH_LEVEL with an event that a
// timer sets after 1 ms, so that even a forbidden infinite wait ends.
std::function<void(Scheduler&)> atDispatchWithEvent(std::function<void(PKEVENT)> body) {
  return [body](Scheduler& scheduler) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    scheduler.callAfter(1ms, [&] { KeSetEvent(&event, 0, FALSE); });
    scheduler.run([&] {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      body(&event);
      KeLowerIrql(old);
    });
  };
}

void delayOneMs() {
  LARGE_INTEGER oneMs = relative(1ms);
  KeDelayExecutionThread(KernelMode, FALSE, &oneMs);
}

const Scenario kScenarios[] = {
    {"wait with a time-out at DISPATCH_LEVEL", platform::rule::kWaitIrql, atDispatchWithEvent([](PKEVENT event) {
       LARGE_INTEGER timeout = relative(10ms);
       EXPECT_EQ(KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
     })},
    {"poll with a zero time-out at DISPATCH_LEVEL", {}, atDispatchWithEvent([](PKEVENT event) {
       LARGE_INTEGER zero{};
       EXPECT_EQ(KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
     })},
    {"delay at APC_LEVEL", {}, onThread([] {
       raiseTo(APC_LEVEL);
       delayOneMs();
       KeLowerIrql(PASSIVE_LEVEL);
     })},
    {"recursive acquire", platform::rule::kSpinLockPairing, onThread([] {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KIRQL old;
       KeAcquireSpinLock(&lock, &old);
       KeAcquireSpinLockAtDpcLevel(&lock);  // refused instead of spinning forever
       KeReleaseSpinLock(&lock, old);
     })},
    {"work item returning at DISPATCH_LEVEL", platform::rule::kIrqlUnchanged,
     [](Scheduler& scheduler) {
       scheduler.queueWork(platform::WorkQueue::Delayed, [] { raiseTo(DISPATCH_LEVEL); });
       scheduler.runUntilIdle();
     }},
    {"wait on a zero-filled event", platform::rule::kEventInit, onThread([] {
       KEVENT event;
       std::memset(&event, 0, sizeof event);
       EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_INVALID_PARAMETER);
     })},
};

class SchedChecks : public sched_test::VerifiedTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(SchedChecks, FiresExactlyItsRule) {
  const Scenario& scenario = GetParam();
  if (!scenario.rule.empty()) verifier.expect(scenario.rule);
  {
    Scheduler scheduler;
    scenario.run(scheduler);
  }
  if (!scenario.rule.empty()) {
    EXPECT_TRUE(verifier.fired(scenario.rule)) << scenario.name;
  }
  for (const auto& violation : verifier.violations()) EXPECT_EQ(violation.rule, scenario.rule) << violation.describe();
}

std::string scenarioName(const ::testing::TestParamInfo<Scenario>& info) {
  std::string name;
  for (const char* c = info.param.name; *c != '\0'; ++c)
    if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
  return name;
}

INSTANTIATE_TEST_SUITE_P(Rules, SchedChecks, ::testing::ValuesIn(kScenarios), scenarioName);

}  // namespace
