// Cancellation: the system cancel spin lock and IoCancelIrp, with the
// verifier's cancel-spin-lock discipline (acquire and release alternate on
// one thread; a cancel routine releases the lock with the IRP's CancelIrql).
#include <platform/driver_code.h>
#include <platform/code_names.h>
#include <platform/scheduler.h>
#include <platform/trace.h>
#include <platform/verifier.h>

#include "io_state.h"

using namespace platform;
using namespace platform::io;

extern "C" {

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  auto& state = IoState::current();
  if (state.cancelLockHolder == kernelThreadIdentity()) {
    reportViolation(rule::kCancelSpinLock, "cancel spin lock", "acquired again by the thread that holds it");
    *Irql = KeGetCurrentIrql();
    return;
  }
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&state.cancelLock);
  state.cancelLockHolder = kernelThreadIdentity();
  *Irql = old;
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
  auto& state = IoState::current();
  if (state.cancelLockHolder != kernelThreadIdentity()) {
    reportViolation(rule::kCancelSpinLock, "cancel spin lock", "released by a thread that does not hold it");
    return;
  }
  if (Frame* cancel = innermostFrame(FrameKind::Cancel);
      cancel != nullptr && state.irp(cancel->irp) && Irql != cancel->irp->CancelIrql)
    reportViolation(rule::kCancelSpinLock, state.describe(cancel->irp),
                    "cancel routine released the cancel spin lock with IRQL " + std::to_string(Irql) +
                        " instead of the IRP's CancelIrql " + std::to_string(cancel->irp->CancelIrql));
  state.cancelLockHolder = nullptr;
  KeReleaseSpinLock(&state.cancelLock, Irql);
  yieldPoint();
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  auto& state = IoState::current();
  auto record = state.irp(Irp);
  if (!record) {
    reportViolation(rule::kBadObject, state.describe(Irp), "IoCancelIrp of an IRP that does not exist");
    return FALSE;
  }
  Trace::current().add(TraceCategory::Irp, state.describe(Irp) + " cancel");
  KIRQL callerIrql = KeGetCurrentIrql();
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT deviceObject =
      Irp->CurrentLocation <= Irp->StackCount ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
  DeviceRecord* device = state.device(deviceObject);
  {
    FrameScope frame(FrameKind::Cancel, device != nullptr ? device->driver : nullptr, deviceObject, Irp);
    callDriverCode(routine, deviceObject, Irp);
  }
  if (state.cancelLockHolder == kernelThreadIdentity()) {
    reportViolation(rule::kCancelSpinLock, state.describe(deviceObject),
                    "cancel routine" + routineSuffix(routine) + " returned without releasing the cancel spin lock");
    state.cancelLockHolder = nullptr;
    KeReleaseSpinLock(&state.cancelLock, irql);
  }
  if (KeGetCurrentIrql() != callerIrql)
    reportViolation(
        rule::kIrqlUnchanged, state.describe(deviceObject),
        "cancel routine left IRQL " + std::to_string(KeGetCurrentIrql()) + " instead of " + std::to_string(callerIrql));
  return TRUE;
}

}  // extern "C"
