// Sending and completing IRPs: IofCallDriver hands an IRP to the next stack
// location's driver; IofCompleteRequest walks the stack back up, running
// completion routines by their invoke flags, stopping at
// STATUS_MORE_PROCESSING_REQUIRED and propagating PendingReturned, and at the
// top finishes the request for whoever issued it. The verifier's IRP rules
// are checked on the way.
#include <platform/driver_code.h>
#include <platform/code_names.h>
#include <platform/scheduler.h>
#include <platform/trace.h>
#include <platform/verifier.h>

#include <cstring>

#include "io_state.h"

using namespace platform;
using namespace platform::io;

namespace {

// Stack location number `level` (1 is the bottom of the stack).
PIO_STACK_LOCATION locationAt(PIRP irp, std::size_t level) {
  return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (level - 1);
}

void traceIrp(const std::string& text) { Trace::current().add(TraceCategory::Irp, text); }

// Clears a stack location that completion has passed, leaving it marked as
// not set up for the next send.
void clearLocation(PIO_STACK_LOCATION location) {
  std::memset(static_cast<void*>(location), 0, sizeof(IO_STACK_LOCATION));
  location->MajorFunction = kUnsetMajorFunction;
}

// Information must fit the buffer the request described.
void checkInformationBound(IoState& state, PIRP irp, const IO_STACK_LOCATION* location) {
  if (NT_ERROR(irp->IoStatus.Status)) return;
  ULONG_PTR limit = 0;
  switch (location->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      if (METHOD_FROM_CTL_CODE(location->Parameters.DeviceIoControl.IoControlCode) != METHOD_BUFFERED) return;
      limit = location->Parameters.DeviceIoControl.OutputBufferLength;
      break;
    case IRP_MJ_READ: limit = location->Parameters.Read.Length; break;
    case IRP_MJ_WRITE: limit = location->Parameters.Write.Length; break;
    default: return;
  }
  if (irp->IoStatus.Information > limit)
    reportViolation(rule::kInformationBound, state.describe(irp),
                    "Information " + std::to_string(irp->IoStatus.Information) + " exceeds the buffer length " +
                        std::to_string(limit));
}

// no-complete-under-lock: completion runs other drivers' completion routines
// and may finish the request for its issuer, so no spin lock of the
// completing driver may be held, the cancel spin lock included.
void checkCompletionWithoutLocks(IoState& state, PIRP irp) {
  std::size_t held = spinLocksHeld();
  if (held == 0) return;
  bool cancelLock = state.cancelLockHolder == kernelThreadIdentity();
  reportViolation(rule::kNoCompleteUnderLock, state.describe(irp),
                  "IoCompleteRequest while holding " + std::to_string(held) + " spin lock(s)" +
                      (cancelLock ? ", the cancel spin lock among them" : "") + "; release them first");
}

// system-set-power: the power manager goes on with a system power change
// whatever a device managed, so no driver may fail the request.
void checkSystemSetPowerStatus(IoState& state, PIRP irp, const IO_STACK_LOCATION* location) {
  if (location->MajorFunction != IRP_MJ_POWER || location->MinorFunction != IRP_MN_SET_POWER ||
      location->Parameters.Power.Type != SystemPowerState || NT_SUCCESS(irp->IoStatus.Status))
    return;
  DeviceRecord* device = state.device(location->DeviceObject);
  reportViolation(rule::kSystemSetPower, state.describe(irp),
                  (device != nullptr ? device->name : std::string("a driver")) +
                      " completed a system set-power request with " + statusName(irp->IoStatus.Status));
}

// owner-only: while an IRP sits at a driver's stack location, only that
// driver may complete or forward it. Code the kernel does not attribute to
// a driver (timers, interrupts, the tests themselves) is not checked.
bool heldByAnotherDriver(IoState& state, PIRP irp, const char* what) {
  DriverRecord* caller = currentDriver();
  if (caller == nullptr || irp->CurrentLocation > irp->StackCount) return false;
  DeviceRecord* holder = state.device(irp->Tail.Overlay.CurrentStackLocation->DeviceObject);
  if (holder == nullptr || holder->driver == caller) return false;
  reportViolation(rule::kOwnerOnly, state.describe(irp),
                  "driver " + caller->name + " " + what + " the IRP while " + holder->name + " holds it");
  return true;
}

// Completion reached the top: hand the result to whoever issued the IRP.
void finishIrp(IoState& state, const std::shared_ptr<IrpRecord>& record) {
  PIRP irp = record->irp;
  record->phase = IrpPhase::Finished;
  // Buffered output goes back to the issuer's buffer, whatever major
  // function the request carried by the end (a driver may have turned a
  // device control into a read).
  if (record->copyBack && !NT_ERROR(irp->IoStatus.Status) && irp->AssociatedIrp.SystemBuffer != nullptr) {
    ULONG_PTR count =
        irp->IoStatus.Information < record->outputLength ? irp->IoStatus.Information : record->outputLength;
    std::memcpy(record->callerOutput, irp->AssociatedIrp.SystemBuffer, count);
  }
  switch (record->origin) {
    case IrpOrigin::Allocated:
      reportViolation(rule::kAllocatedIrps, state.describe(irp),
                      "an IRP from IoAllocateIrp completed all the way up; its owner must stop completion "
                      "with STATUS_MORE_PROCESSING_REQUIRED and free it");
      return;
    case IrpOrigin::BuiltIoctl: {
      IO_STATUS_BLOCK result = irp->IoStatus;
      PKEVENT event = record->userEvent;
      PIO_STATUS_BLOCK iosb = record->userIosb;
      state.freeIrp(record);
      if (iosb != nullptr) *iosb = result;
      if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
      return;
    }
    case IrpOrigin::System: {
      auto onFinished = std::move(record->onFinished);
      // Power requests are checked once every driver has seen them.
      if (record->isPower)
        for (const auto& [driver, counts] : record->powerReceipts)
          if (counts.second < counts.first)
            reportViolation(rule::kStartNextPower, state.describe(irp),
                            "driver " + driver->name + " received the power IRP " + std::to_string(counts.first) +
                                " time(s) but called PoStartNextPowerIrp " + std::to_string(counts.second) +
                                " time(s)");
      if (onFinished) onFinished(irp);
      state.freeIrp(record);
      return;
    }
  }
}

}  // namespace

namespace platform::io {

NTSTATUS callDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, bool viaPoCallDriver) {
  auto& state = IoState::current();
  auto record = state.irp(Irp);
  if (!record) {
    reportViolation(state.freedIrpId(Irp) ? rule::kDoubleFree : rule::kBadObject, state.describe(Irp),
                    "IofCallDriver with an IRP that does not exist");
    return STATUS_INVALID_PARAMETER;
  }
  DeviceRecord* device = state.device(DeviceObject);
  if (device == nullptr) {
    reportViolation(rule::kBadObject, state.describe(Irp), "IofCallDriver to something that is not a device");
    return STATUS_INVALID_PARAMETER;
  }
  if (record->phase == IrpPhase::Finished) {
    reportViolation(rule::kCompleteOnce, state.describe(Irp), "IofCallDriver with an IRP already completed");
    return STATUS_INVALID_PARAMETER;
  }
  if (record->phase == IrpPhase::Dispatched && heldByAnotherDriver(state, Irp, "forwarded"))
    return STATUS_INVALID_PARAMETER;
  if (Irp->CancelRoutine != nullptr)
    reportViolation(rule::kCancelRoutineCleared, state.describe(Irp), "IofCallDriver while a cancel routine is set");
  if (Irp->CurrentLocation <= 1) {
    reportViolation(rule::kStackLocations, state.describe(Irp),
                    "IofCallDriver to " + device->name + " with no stack location left (stack count " +
                        std::to_string(Irp->StackCount) + ")");
    return STATUS_INVALID_PARAMETER;
  }
  PIO_STACK_LOCATION next = Irp->Tail.Overlay.CurrentStackLocation - 1;
  if (next->MajorFunction == kUnsetMajorFunction) {
    reportViolation(rule::kStackLocations, state.describe(Irp),
                    "IofCallDriver to " + device->name +
                        " with the next stack location not set up (IoCopyCurrentIrpStackLocationToNext or "
                        "IoSkipCurrentIrpStackLocation missing)");
    return STATUS_INVALID_PARAMETER;
  }
  if (next->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
    reportViolation(rule::kBadObject, state.describe(Irp), "major function " + std::to_string(next->MajorFunction));
    return STATUS_INVALID_PARAMETER;
  }
  // pnp-status: a driver passing down a PnP request that it handles has
  // set its status (the PnP manager's own send is not a driver's).
  if (next->MajorFunction == IRP_MJ_PNP && pnpStatusRequired(next->MinorFunction) && currentDriver() != nullptr &&
      !plainSuccess(Irp->IoStatus.Status))
    reportViolation(rule::kPnpStatus, state.describe(Irp),
                    "driver " + currentDriver()->name + " passed " +
                        minorFunctionName(IRP_MJ_PNP, next->MinorFunction) + " down to " + device->name +
                        " with status " + statusName(Irp->IoStatus.Status) + " instead of a success status");
  bool isPower = next->MajorFunction == IRP_MJ_POWER;
  if (isPower && !viaPoCallDriver)
    reportViolation(rule::kPowerViaPoCallDriver, state.describe(Irp), "a power IRP sent with IofCallDriver");

  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
  next->DeviceObject = DeviceObject;
  auto level = static_cast<std::size_t>(Irp->CurrentLocation);
  record->phase = IrpPhase::Dispatched;
  if (isPower) {
    record->isPower = true;
    record->powerReceipts[device->driver].first++;
  }

  std::string irpName = state.describe(Irp);
  std::string text = irpName;
  if (next->MajorFunction == IRP_MJ_DEVICE_CONTROL || next->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL)
    text += " " + hex32(next->Parameters.DeviceIoControl.IoControlCode);
  else if (next->MajorFunction == IRP_MJ_READ)
    text += " length " + std::to_string(next->Parameters.Read.Length);
  else if (next->MajorFunction == IRP_MJ_WRITE)
    text += " length " + std::to_string(next->Parameters.Write.Length);
  traceIrp(text + " -> " + device->name);

  yieldPoint();

  PDRIVER_DISPATCH dispatch = device->driver->object.MajorFunction[next->MajorFunction];
  std::uint64_t passesBefore = record->levels[level].passes;
  bool lowerReturnedPending = false;
  NTSTATUS status;
  ++device->kernelReferences;
  {
    FrameScope frame(FrameKind::Dispatch, device->driver, DeviceObject, Irp);
    RoutineCheck check("dispatch routine" + routineSuffix(dispatch));
    if (dispatch == nullptr) {
      // The kernel's default handling of a major function the driver left
      // empty: invalid device request.
      Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
      Irp->IoStatus.Information = 0;
      IofCompleteRequest(Irp, IO_NO_INCREMENT);
      status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
      status = callDriverCode(dispatch, DeviceObject, Irp);
    }
    check.verifyReturn();
    lowerReturnedPending = frame.frame().lowerReturnedPending;
  }
  --device->kernelReferences;

  // dispatch-return: the returned status against what happened to the IRP.
  const LevelRecord& levelRecord = record->levels[level];
  bool completedHere = levelRecord.passes > passesBefore;
  if (status == STATUS_PENDING) {
    bool marked = completedHere ? levelRecord.pendingAtPass
                                : (!record->freed && (locationAt(Irp, level)->Control & SL_PENDING_RETURNED));
    if (!marked && !lowerReturnedPending)
      reportViolation(rule::kDispatchReturn, irpName,
                      device->name + " returned STATUS_PENDING without IoMarkIrpPending");
  } else if (!completedHere) {
    reportViolation(rule::kDispatchReturn, irpName,
                    device->name + " returned " + statusName(status) +
                        " without completing the IRP (return STATUS_PENDING for an IRP still in progress)");
  } else {
    if (levelRecord.pendingAtPass)
      reportViolation(rule::kDispatchReturn, irpName,
                      device->name + " marked the IRP pending but returned " + statusName(status));
    else if (status != levelRecord.statusAtPass)
      reportViolation(rule::kDispatchReturn, irpName,
                      device->name + " returned " + statusName(status) + " but completed the IRP with " +
                          statusName(levelRecord.statusAtPass));
  }
  if (status == STATUS_PENDING)
    if (Frame* caller = innermostFrame(FrameKind::Dispatch); caller != nullptr && caller->irp == Irp)
      caller->lowerReturnedPending = true;
  state.releaseDeviceIfUnused(device);
  return status;
}

}  // namespace platform::io

extern "C" {

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return callDriver(DeviceObject, Irp, false); }

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR) {
  auto& state = IoState::current();
  auto record = state.irp(Irp);
  if (!record) {
    reportViolation(state.freedIrpId(Irp) ? rule::kCompleteOnce : rule::kBadObject, state.describe(Irp),
                    "IoCompleteRequest of an IRP that was already completed and freed");
    return;
  }
  if (record->phase == IrpPhase::Finished) {
    reportViolation(rule::kCompleteOnce, state.describe(Irp), "IoCompleteRequest of an IRP already completed");
    return;
  }
  // Inside a completion routine the IRP may already be back with its owner:
  // the routine woke it and will stop the completion when it returns.
  if (record->phase == IrpPhase::Completing && record->routinesRunning == 0) {
    reportViolation(rule::kCompleteOnce, state.describe(Irp),
                    "IoCompleteRequest of an IRP whose completion is already running");
    return;
  }
  if (Irp->CurrentLocation > Irp->StackCount) {
    reportViolation(rule::kAllocatedIrps, state.describe(Irp),
                    "IoCompleteRequest by the IRP's owner: it was never sent, or completion already passed "
                    "every stack location");
    return;
  }
  if (record->phase == IrpPhase::Dispatched && heldByAnotherDriver(state, Irp, "completed")) return;
  if (Irp->IoStatus.Status == STATUS_PENDING)
    reportViolation(rule::kNoPendingCompletion, state.describe(Irp), "IoCompleteRequest with status STATUS_PENDING");
  if (Irp->CancelRoutine != nullptr) {
    reportViolation(rule::kCancelRoutineCleared, state.describe(Irp),
                    "IoCompleteRequest while a cancel routine is set");
    Irp->CancelRoutine = nullptr;
  }
  checkInformationBound(state, Irp, Irp->Tail.Overlay.CurrentStackLocation);
  checkCompletionWithoutLocks(state, Irp);
  checkSystemSetPowerStatus(state, Irp, Irp->Tail.Overlay.CurrentStackLocation);
  traceIrp(state.describe(Irp) + " completed " + statusName(Irp->IoStatus.Status) + " information " +
           std::to_string(Irp->IoStatus.Information));

  record->phase = IrpPhase::Completing;
  const std::uint64_t thisCompletion = ++record->completionStarts;
  PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
  for (Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++; Irp->CurrentLocation <= Irp->StackCount + 1;
       location++, Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
    auto passed = static_cast<std::size_t>(Irp->CurrentLocation - 1);
    LevelRecord& levelRecord = record->levels[passed];
    levelRecord.passes++;
    levelRecord.pendingAtPass = (location->Control & SL_PENDING_RETURNED) != 0;
    levelRecord.statusAtPass = Irp->IoStatus.Status;
    Irp->PendingReturned = levelRecord.pendingAtPass;

    bool invoke = (NT_SUCCESS(Irp->IoStatus.Status) && (location->Control & SL_INVOKE_ON_SUCCESS)) ||
                  (!NT_SUCCESS(Irp->IoStatus.Status) && (location->Control & SL_INVOKE_ON_ERROR)) ||
                  (Irp->Cancel && (location->Control & SL_INVOKE_ON_CANCEL));
    if (!invoke) {
      if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount)
        Irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
      clearLocation(location);
      continue;
    }

    PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
    PVOID context = location->Context;
    clearLocation(location);
    bool atTop = Irp->CurrentLocation == Irp->StackCount + 1;
    PDEVICE_OBJECT deviceObject = atTop ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    DeviceRecord* device = state.device(deviceObject);
    NTSTATUS status;
    {
      FrameScope frame(FrameKind::Completion, device != nullptr ? device->driver : record->owner, deviceObject, Irp);
      CompletionRoutineScope completion(
          "the completion routine" + routineSuffix(routine) + " " +
          (deviceObject != nullptr ? "of " + state.describe(deviceObject) : "of the issuer") + " for " +
          state.describe(Irp));
      RoutineCheck check("completion routine" + routineSuffix(routine));
      ++record->routinesRunning;
      status = callDriverCode(routine, deviceObject, Irp, context);
      --record->routinesRunning;
      check.verifyReturn();
    }
    if (record->completionStarts != thisCompletion) {
      // Completed again while the routine ran: the IRP is no longer this
      // completion's to walk, whatever has become of it.
      if (status != STATUS_MORE_PROCESSING_REQUIRED)
        reportViolation(rule::kCompleteOnce, "IRP#" + std::to_string(record->id),
                        "a completion routine returned " + statusName(status) +
                            " after the IRP had been completed again while it ran");
      return;
    }
    if (record->freeRequested) {
      if (status != STATUS_MORE_PROCESSING_REQUIRED)
        reportViolation(rule::kAllocatedIrps, "IRP#" + std::to_string(record->id),
                        "a completion routine freed the IRP but returned " + statusName(status) +
                            " instead of STATUS_MORE_PROCESSING_REQUIRED");
      state.freeIrp(record);
      return;
    }
    if (status == STATUS_MORE_PROCESSING_REQUIRED) {
      if (record->phase == IrpPhase::Completing) record->phase = IrpPhase::Idle;
      return;
    }
    if (Irp->PendingReturned && !atTop && !(Irp->Tail.Overlay.CurrentStackLocation->Control & SL_PENDING_RETURNED))
      reportViolation(rule::kPendingPropagation, state.describe(Irp),
                      "completion routine of " + state.describe(deviceObject) +
                          " saw PendingReturned and did not call IoMarkIrpPending");
  }
  finishIrp(state, record);
}

}  // extern "C"
