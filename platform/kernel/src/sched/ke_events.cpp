// Kernel events and waits: KeInitializeEvent, KeSetEvent, KeClearEvent,
// KeResetEvent, KeReadStateEvent, KeWaitForSingleObject,
// KeDelayExecutionThread. The scheduler keeps the waiters; an event record
// holds only its type and state, laid out as the kernel lays it out.
#include "kernel_call.h"

#include <platform/verifier.h>

#include <kesync.h>

#include <cstdio>
#include <span>
#include <vector>

namespace platform::sched {
namespace {

constexpr UCHAR kEventSizeInLongs = sizeof(KEVENT) / sizeof(LONG);

// An initialised event has its size set and an empty wait list that points
// at itself, which zero fill or stale stack bytes hardly ever imitate.
bool isInitialisedEvent(const KEVENT* event) {
  const DISPATCHER_HEADER& header = event->Header;
  return header.Size == kEventSizeInLongs && header.Type <= KOBJECT_TYPE_SYNCHRONIZATION_EVENT &&
         header.WaitListHead.Flink == &header.WaitListHead && header.WaitListHead.Blink == &header.WaitListHead;
}

bool checkEvent(const KEVENT* event, const char* function) {
  if (event != nullptr && isInitialisedEvent(event)) return true;
  reportViolation(
      rule::kEventInit, "event",
      std::string(function) +
          (event == nullptr ? " on a null event" : " on an event that KeInitializeEvent did not initialise"));
  return false;
}

std::string describeEvent(const KEVENT* event) {
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(event));
  return std::string(event->Header.Type == KOBJECT_TYPE_SYNCHRONIZATION_EVENT ? "synchronization" : "notification") +
         " event " + address + (event->Header.SignalState != 0 ? " (signalled)" : " (not signalled)");
}

// An event as something a thread waits for; a satisfied wait resets a
// synchronization event, as the kernel does.
class EventWait final : public Waitable {
 public:
  explicit EventWait(KEVENT* event) : event_(event) {}
  const void* object() const override { return event_; }
  bool isSignaled() const override { return event_->Header.SignalState != 0; }
  void acquire() override {
    if (event_->Header.Type == KOBJECT_TYPE_SYNCHRONIZATION_EVENT) event_->Header.SignalState = 0;
  }
  std::string describe() const override { return describeEvent(event_); }

 private:
  KEVENT* event_;
};

std::string describeDuration(Duration duration) {
  auto us = std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
  if (us % 1000 == 0) return std::to_string(us / 1000) + " ms";
  return std::to_string(us) + " us";
}

// A kernel interval as a duration from now.
Duration intervalToDuration(const KernelCall& call, LONGLONG quadPart) {
  if (call.core == nullptr) return KernelTicks(quadPart < 0 ? -quadPart : 0);
  return kernelIntervalToDuration(quadPart, call.core->clock.now(), call.core->clock.bootSystemTime100ns());
}

// A blocking wait at DISPATCH_LEVEL or above: the fault of the completion
// routine the thread runs, when it runs one (a lower driver called it at
// that level), else of whoever waits.
void reportWaitAtRaisedIrql(KernelCall& call, std::string object, const std::string& what) {
  if (call.me != nullptr && !call.me->completionRoutines.empty()) {
    call.report(rule::kCompletionIrql, std::move(object),
                call.me->completionRoutines.back() + ", called at " + irqlName(call.irql()) + ", waits: " + what);
    return;
  }
  call.report(rule::kWaitIrql, std::move(object), what);
}

// The common body of the kernel's waits on events.
NTSTATUS waitForEvents(const char* function, std::span<PVOID> objects, bool waitAll, PLARGE_INTEGER timeoutInterval) {
  std::vector<EventWait> waits;
  waits.reserve(objects.size());
  for (PVOID object : objects) {
    auto* event = static_cast<KEVENT*>(object);
    if (!checkEvent(event, function)) return STATUS_INVALID_PARAMETER;
    waits.emplace_back(event);
  }
  KernelCall call(function, false);
  std::optional<Duration> timeout;
  if (timeoutInterval != nullptr) timeout = intervalToDuration(call, timeoutInterval->QuadPart);
  if (call.irql() >= kDispatchLevel && (!timeout || *timeout > Duration::zero())) {
    reportWaitAtRaisedIrql(call, "event",
                           std::string(function) + " at " + irqlName(call.irql()) + " with " +
                               (timeout ? "a time-out of " + describeDuration(*timeout) : "no time-out"));
  }
  std::vector<Waitable*> waitables;
  for (EventWait& wait : waits) waitables.push_back(&wait);
  if (call.core == nullptr) {
    // Without a scheduler nobody else runs: only a poll can be answered.
    bool any = false, all = true;
    for (EventWait& wait : waits) {
      if (wait.isSignaled())
        any = true;
      else
        all = false;
    }
    if (waitAll && all) {
      for (EventWait& wait : waits) wait.acquire();
      return STATUS_SUCCESS;
    }
    if (!waitAll && any) {
      for (std::size_t i = 0; i < waits.size(); ++i) {
        if (!waits[i].isSignaled()) continue;
        waits[i].acquire();
        return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
      }
    }
    if (timeout && *timeout == Duration::zero()) return STATUS_TIMEOUT;
    throw std::logic_error(std::string(function) + " would block without a running kernel scheduler");
  }
  WaitResult result = call.core->wait(call.me, call.lock, waitables, waitAll, timeout, {});
  if (result.timedOut) return STATUS_TIMEOUT;
  return waitAll ? STATUS_SUCCESS : STATUS_WAIT_0 + static_cast<NTSTATUS>(result.index);
}

}  // namespace

std::string irqlName(Irql irql) {
  switch (irql) {
    case kPassiveLevel: return "PASSIVE_LEVEL";
    case kApcLevel: return "APC_LEVEL";
    case kDispatchLevel: return "DISPATCH_LEVEL";
    default: return "IRQL " + std::to_string(irql);
  }
}

}  // namespace platform::sched

using platform::sched::KernelCall;

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  DISPATCHER_HEADER& header = Event->Header;
  header.Type = Type == SynchronizationEvent ? KOBJECT_TYPE_SYNCHRONIZATION_EVENT : KOBJECT_TYPE_NOTIFICATION_EVENT;
  header.Signalling = 0;
  header.Size = platform::sched::kEventSizeInLongs;
  header.Reserved1 = 0;
  header.SignalState = State ? 1 : 0;
  header.WaitListHead.Flink = &header.WaitListHead;
  header.WaitListHead.Blink = &header.WaitListHead;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  if (!platform::sched::checkEvent(Event, "KeSetEvent")) return 0;
  KernelCall call("KeSetEvent", false);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  if (call.core == nullptr) return previous;
  call.core->signal(Event);
  call.core->yield(call.me, call.lock);  // a setter may lose the CPU to the thread it woke
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
  if (!platform::sched::checkEvent(Event, "KeClearEvent")) return;
  KernelCall call("KeClearEvent", false);
  Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  if (!platform::sched::checkEvent(Event, "KeResetEvent")) return 0;
  KernelCall call("KeResetEvent", false);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  if (!platform::sched::checkEvent(Event, "KeReadStateEvent")) return 0;
  return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout) {
  PVOID objects[] = {Object};
  return platform::sched::waitForEvents("KeWaitForSingleObject", objects, false, Timeout);
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON, KPROCESSOR_MODE,
                                        BOOLEAN, PLARGE_INTEGER Timeout, PKWAIT_BLOCK WaitBlockArray) {
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS || (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr) ||
      (WaitType != WaitAll && WaitType != WaitAny)) {
    platform::reportViolation(platform::rule::kBadObject, "wait",
                              "KeWaitForMultipleObjects with " + std::to_string(Count) + " objects, wait type " +
                                  std::to_string(WaitType) + (WaitBlockArray == nullptr ? " and no wait blocks" : ""));
    return STATUS_INVALID_PARAMETER;
  }
  return platform::sched::waitForEvents("KeWaitForMultipleObjects", std::span<PVOID>(Object, Count),
                                        WaitType == WaitAll, Timeout);
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  if (Interval == nullptr) return STATUS_INVALID_PARAMETER;
  KernelCall call("KeDelayExecutionThread");
  if (call.irql() >= platform::kDispatchLevel) {
    platform::sched::reportWaitAtRaisedIrql(call, "thread",
                                            "KeDelayExecutionThread at " + platform::sched::irqlName(call.irql()));
  }
  platform::Duration delay = platform::sched::intervalToDuration(call, Interval->QuadPart);
  if (delay <= platform::Duration::zero()) {
    call.core->yield(call.me, call.lock);
    return STATUS_SUCCESS;
  }
  call.core->wait(call.me, call.lock, {}, false, delay, "the end of its delay");
  return STATUS_SUCCESS;
}

}  // extern "C"
