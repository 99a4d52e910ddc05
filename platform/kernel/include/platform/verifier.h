// The verifier: checks the rules a WDM driver must keep (IRP lifetime,
// IRQL and locks, remove locks, power and PnP protocol, resources) while the
// driver runs. A violation names the rule, the object and the thread; it is
// recorded, traced and handed to the installed handler, which in tests fails
// the running test (see platform/testing.h).
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Rule names as they appear in reports.
namespace rule {
inline constexpr std::string_view kCompleteOnce = "complete-once";
inline constexpr std::string_view kNoPendingCompletion = "no-pending-completion";
inline constexpr std::string_view kOwnerOnly = "owner-only";
inline constexpr std::string_view kCancelRoutineCleared = "cancel-routine-cleared";
inline constexpr std::string_view kAllocatedIrps = "allocated-irps";
inline constexpr std::string_view kDispatchReturn = "dispatch-return";
inline constexpr std::string_view kPendingPropagation = "pending-propagation";
inline constexpr std::string_view kStackLocations = "stack-locations";
inline constexpr std::string_view kInformationBound = "information-bound";
inline constexpr std::string_view kIrqlUnchanged = "irql-unchanged";
inline constexpr std::string_view kWaitIrql = "wait-irql";
inline constexpr std::string_view kSpinLockPairing = "spin-lock-pairing";
inline constexpr std::string_view kCancelSpinLock = "cancel-spin-lock";
inline constexpr std::string_view kNoCompleteUnderLock = "no-complete-under-lock";
inline constexpr std::string_view kCompletionIrql = "completion-irql";
inline constexpr std::string_view kEventInit = "event-init";
inline constexpr std::string_view kRemoveLockBalance = "remove-lock-balance";
inline constexpr std::string_view kRemoveLockReleaseAndWait = "release-and-wait";
inline constexpr std::string_view kStartNextPower = "start-next-power";
inline constexpr std::string_view kPowerViaPoCallDriver = "power-via-pocalldriver";
inline constexpr std::string_view kSystemSetPower = "system-set-power";
inline constexpr std::string_view kRemoveDeletes = "remove-deletes";
inline constexpr std::string_view kInitialisingCleared = "initialising-cleared";
inline constexpr std::string_view kPnpStatus = "pnp-status";
inline constexpr std::string_view kDeleteIdle = "delete-idle";
inline constexpr std::string_view kNoLeaks = "no-leaks";
inline constexpr std::string_view kWorkItems = "work-items";
inline constexpr std::string_view kDoubleFree = "double-free";
inline constexpr std::string_view kExclusive = "exclusive-open";
inline constexpr std::string_view kAssertion = "assertion";
inline constexpr std::string_view kDeadlock = "deadlock";
inline constexpr std::string_view kBadObject = "bad-object";
}  // namespace rule

struct Violation {
  std::string rule;    // one of platform::rule
  std::string object;  // the IRP, device, lock ... concerned
  std::string thread;  // the thread that broke the rule
  std::string detail;  // what happened

  std::string describe() const;  // "rule: detail [object; thread]"
};

class Verifier {
 public:
  using Handler = std::function<void(const Violation&)>;

  // Records a violation, traces it and calls the handler. The kernel keeps
  // running after a violation, refusing the offending operation where going
  // on would corrupt memory.
  void report(std::string_view ruleName, std::string object, std::string detail);

  std::vector<Violation> violations() const;
  // Violations of one rule (tests of the verifier itself use this).
  std::vector<Violation> violations(std::string_view ruleName) const;
  bool fired(std::string_view ruleName) const;
  void clear();

  // The handler sees each violation as it is reported unless the rule is
  // expected (see ExpectViolation). Tests install one that fails the test.
  void setHandler(Handler handler);
  void setThreadNameSource(std::function<std::string()> threadName);

  // While a rule is expected, its violations are recorded but not handed to
  // the handler: a test that drives a faulty driver on purpose expects the
  // rule and then asserts that it fired.
  void expect(std::string_view ruleName);
  void unexpect(std::string_view ruleName);

  // The verifier of the running system (installed by platform::System), or
  // a process-wide one when no system runs, so that every part of the kernel
  // can report without knowing who listens.
  static Verifier& current();
  // Makes `verifier` current until uninstalled (nullptr restores the
  // process-wide one).
  static void install(Verifier* verifier);

 private:
  bool isExpected(std::string_view ruleName) const;

  mutable std::mutex mutex_;
  std::vector<Violation> violations_;
  std::vector<std::string> expected_;
  Handler handler_;
  std::function<std::string()> threadName_;
};

// Reports a violation to Verifier::current(); the one call every part of
// the kernel (scheduler, I/O manager, library) uses.
void reportViolation(std::string_view ruleName, std::string object, std::string detail);

}  // namespace platform
