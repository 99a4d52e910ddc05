// The power manager's driver face: PoCallDriver, PoStartNextPowerIrp,
// PoSetPowerState and PoRequestPowerIrp.
#include <platform/driver_code.h>
#include <platform/code_names.h>
#include <platform/faults.h>
#include <platform/scheduler.h>
#include <platform/trace.h>
#include <platform/verifier.h>

#include "io_state.h"

using namespace platform;
using namespace platform::io;

namespace {

std::string powerStateText(POWER_STATE_TYPE type, ULONG state) {
  if (type == SystemPowerState) return "system state " + std::to_string(state);
  return state == PowerDeviceUnspecified ? std::string("device state unspecified")
                                         : "device state D" + std::to_string(state - 1);
}

}  // namespace

extern "C" {

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return callDriver(DeviceObject, Irp, true); }

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  auto& state = IoState::current();
  auto record = state.irp(Irp);
  if (!record || !record->isPower) {
    reportViolation(rule::kStartNextPower, state.describe(Irp),
                    "PoStartNextPowerIrp for an IRP that is not a power IRP");
    return;
  }
  DriverRecord* driver = currentDriver();
  if (driver == nullptr && Irp->CurrentLocation <= Irp->StackCount)
    if (DeviceRecord* device = state.device(Irp->Tail.Overlay.CurrentStackLocation->DeviceObject))
      driver = device->driver;
  auto& counts = record->powerReceipts[driver];
  if (++counts.second > counts.first)
    reportViolation(rule::kStartNextPower, state.describe(Irp),
                    "driver " + (driver != nullptr ? driver->name : std::string("?")) +
                        " called PoStartNextPowerIrp more often than it received the IRP");
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  auto& state = IoState::current();
  POWER_STATE previous{};
  DeviceRecord* device = state.device(DeviceObject);
  if (device == nullptr) {
    reportViolation(rule::kBadObject, "PoSetPowerState", "not a device object");
    return previous;
  }
  ULONG value;
  if (Type == SystemPowerState) {
    previous.SystemState = device->systemPowerState;
    device->systemPowerState = State.SystemState;
    value = static_cast<ULONG>(State.SystemState);
  } else {
    previous.DeviceState = device->devicePowerState;
    device->devicePowerState = State.DeviceState;
    value = static_cast<ULONG>(State.DeviceState);
  }
  state.recordedPowerStates.push_back({device->name, Type, value});
  Trace::current().add(TraceCategory::Power, device->name + " records " + powerStateText(Type, value));
  return previous;
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  auto& state = IoState::current();
  DeviceRecord* device = state.device(DeviceObject);
  if (device == nullptr || device->deleted) {
    reportViolation(rule::kBadObject, "PoRequestPowerIrp", "not a device object");
    return STATUS_INVALID_PARAMETER_1;
  }
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE)
    return STATUS_INVALID_PARAMETER_2;
  if (FaultInjector::current().shouldFail(fault::kRequestPowerIrp, __builtin_return_address(0)))
    return STATUS_INSUFFICIENT_RESOURCES;

  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
  PIRP irp = allocateIrp(top->StackSize, IrpOrigin::System, currentDriver());
  auto record = state.irp(irp);
  PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
  location->MajorFunction = IRP_MJ_POWER;
  location->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    location->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    location->Parameters.Power.Type = DevicePowerState;
    location->Parameters.Power.State = PowerState;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  DriverRecord* requester = device->driver;
  record->onFinished = [DeviceObject, MinorFunction, PowerState, CompletionFunction, Context, requester,
                        top](PIRP finished) {
    if (CompletionFunction != nullptr) {
      FrameScope frame(FrameKind::PowerCompletion, requester, DeviceObject, finished);
      CompletionRoutineScope completion("the power completion function" + routineSuffix(CompletionFunction) + " of " +
                                        IoState::current().describe(DeviceObject));
      RoutineCheck check("power completion function" + routineSuffix(CompletionFunction));
      callDriverCode(CompletionFunction, DeviceObject, MinorFunction, PowerState, Context, &finished->IoStatus);
      check.verifyReturn();
    }
    ObfDereferenceObject(top);
  };
  if (Irp != nullptr) *Irp = irp;
  Trace::current().add(TraceCategory::Power,
                       device->name + " requests " + state.describe(irp) + " " +
                           powerStateText(DevicePowerState, static_cast<ULONG>(PowerState.DeviceState)));
  // Power-pageable stacks take their power IRPs at PASSIVE_LEVEL: sent from
  // here when the caller runs there, else from a worker thread.
  if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
    callDriver(top, irp, true);
  } else {
    queueWork(
        WorkQueue::Delayed, [top, irp] { callDriver(top, irp, true); }, "power request");
  }
  return STATUS_PENDING;
}

}  // extern "C"
