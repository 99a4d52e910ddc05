// IRQL of the running thread and the kernel's clocks: KeGetCurrentIrql,
// KfRaiseIrql, KfLowerIrql, KeStallExecutionProcessor, KeQuerySystemTime,
// KeQueryInterruptTime.
#include "kernel_call.h"

#include <platform/verifier.h>

#include <kesync.h>

using platform::sched::KernelCall;

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID) { return platform::currentIrql(); }

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
  KernelCall call("KeRaiseIrql");
  KIRQL old = call.me->irql;
  if (NewIrql < old) {
    call.report(platform::rule::kIrqlUnchanged, "thread",
                "KeRaiseIrql to " + platform::sched::irqlName(NewIrql) + " from " + platform::sched::irqlName(old));
  }
  call.me->irql = NewIrql;
  return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
  KernelCall call("KeLowerIrql");
  if (NewIrql > call.me->irql) {
    call.report(
        platform::rule::kIrqlUnchanged, "thread",
        "KeLowerIrql to " + platform::sched::irqlName(NewIrql) + " from " + platform::sched::irqlName(call.me->irql));
  }
  call.me->irql = NewIrql;
}

VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
  if (platform::Scheduler* scheduler = platform::Scheduler::installed())
    scheduler->stall(std::chrono::microseconds(MicroSeconds));
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  platform::Scheduler* scheduler = platform::Scheduler::installed();
  CurrentTime->QuadPart = scheduler != nullptr ? scheduler->systemTime100ns() : platform::kVirtualBootSystemTime100ns;
}

ULONGLONG NTAPI KeQueryInterruptTime(VOID) {
  platform::Scheduler* scheduler = platform::Scheduler::installed();
  if (scheduler == nullptr) return 0;
  return static_cast<ULONGLONG>(
      std::chrono::duration_cast<platform::KernelTicks>(scheduler->now().time_since_epoch()).count());
}

}  // extern "C"
