// IRP allocation, building and freeing: IoAllocateIrp, IoBuildDeviceIoControl-
// Request with its buffered-method system buffer, IoFreeIrp, IoReuseIrp.
#include <platform/faults.h>
#include <platform/verifier.h>

#include <cstring>

#include "io_state.h"

using namespace platform;
using namespace platform::io;

namespace platform::io {

PIRP allocateIrp(CCHAR stackSize, IrpOrigin origin, DriverRecord* owner) {
  auto& state = IoState::current();
  auto record = std::make_shared<IrpRecord>();
  std::size_t bytes = IoSizeOfIrp(stackSize);
  record->memory = std::make_unique<std::byte[]>(bytes);  // zero-filled, as IoInitializeIrp leaves it
  auto* irp = reinterpret_cast<PIRP>(record->memory.get());
  auto* locations = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  irp->Type = IO_TYPE_IRP;
  irp->Size = static_cast<USHORT>(bytes);
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = locations + stackSize;
  irp->ThreadListEntry.Flink = &irp->ThreadListEntry;
  irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
  for (CCHAR i = 0; i < stackSize; ++i) locations[i].MajorFunction = kUnsetMajorFunction;
  record->irp = irp;
  record->id = state.nextIrpId++;
  record->origin = origin;
  record->owner = owner;
  record->levels.resize(static_cast<std::size_t>(stackSize) + 2);
  state.freedIrps.erase(irp);
  state.irps[irp] = std::move(record);
  return irp;
}

void setUpDeviceControl(IrpRecord& record, ULONG IoControlCode, const void* InputBuffer, ULONG InputBufferLength,
                        PVOID OutputBuffer, ULONG OutputBufferLength, bool InternalDeviceIoControl) {
  PIRP irp = record.irp;
  PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
  location->MajorFunction = InternalDeviceIoControl ? static_cast<UCHAR>(IRP_MJ_INTERNAL_DEVICE_CONTROL)
                                                    : static_cast<UCHAR>(IRP_MJ_DEVICE_CONTROL);
  location->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  location->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  location->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

  switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_NEITHER:
      location->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<PVOID>(InputBuffer);
      irp->UserBuffer = OutputBuffer;
      break;
    default: {
      // Buffered (the direct methods are served the same way here: there
      // are no MDLs): one system buffer of the larger length, input copied
      // in, output copied back when the request completes.
      ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
      if (length > 0) {
        record.systemBuffer = std::make_unique<std::byte[]>(length);
        if (InputBuffer != nullptr && InputBufferLength > 0)
          std::memcpy(record.systemBuffer.get(), InputBuffer, InputBufferLength);
        irp->AssociatedIrp.SystemBuffer = record.systemBuffer.get();
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        if (OutputBufferLength > 0) irp->Flags |= IRP_INPUT_OPERATION;
      }
      irp->UserBuffer = OutputBuffer;
      record.copyBack = OutputBuffer != nullptr && OutputBufferLength > 0;
      break;
    }
  }
  record.ioControlCode = IoControlCode;
  record.outputLength = OutputBufferLength;
  record.callerOutput = OutputBuffer;
}

}  // namespace platform::io

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
  if (StackSize < 1) {
    reportViolation(rule::kStackLocations, "IoAllocateIrp", "stack size " + std::to_string(StackSize));
    return nullptr;
  }
  if (FaultInjector::current().shouldFail(fault::kAllocateIrp, __builtin_return_address(0))) return nullptr;
  return allocateIrp(StackSize, IrpOrigin::Allocated, currentDriver());
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  auto& state = IoState::current();
  auto record = state.irp(Irp);
  if (!record) {
    if (state.freedIrpId(Irp))
      reportViolation(rule::kDoubleFree, state.describe(Irp), "IoFreeIrp of an IRP already freed");
    else
      reportViolation(rule::kBadObject, "IRP", "IoFreeIrp of something that is not an IRP");
    return;
  }
  if (record->origin != IrpOrigin::Allocated) {
    reportViolation(rule::kAllocatedIrps, state.describe(Irp),
                    "IoFreeIrp of an IRP the I/O manager built; it frees such IRPs itself");
    return;
  }
  if (record->phase == IrpPhase::Completing) {
    // Freed from its own completion routine: the memory goes once the
    // routine has returned (STATUS_MORE_PROCESSING_REQUIRED, it must be).
    record->freeRequested = true;
    return;
  }
  if (record->phase == IrpPhase::Dispatched) {
    reportViolation(rule::kOwnerOnly, state.describe(Irp), "IoFreeIrp while a lower driver still holds the IRP");
    return;
  }
  state.freeIrp(record);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  auto record = IoState::current().irp(Irp);
  if (!record) return;
  CCHAR stackSize = Irp->StackCount;
  auto* locations = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1);
  std::memset(static_cast<void*>(Irp), 0, IoSizeOfIrp(stackSize));
  Irp->Type = IO_TYPE_IRP;
  Irp->Size = static_cast<USHORT>(IoSizeOfIrp(stackSize));
  Irp->StackCount = stackSize;
  Irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  Irp->Tail.Overlay.CurrentStackLocation = locations + stackSize;
  for (CCHAR i = 0; i < stackSize; ++i) locations[i].MajorFunction = kUnsetMajorFunction;
  Irp->IoStatus.Status = Iostatus;
  record->phase = IrpPhase::Idle;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  auto& state = IoState::current();
  if (state.device(DeviceObject) == nullptr) {
    reportViolation(rule::kBadObject, "IoBuildDeviceIoControlRequest", "target is not a device");
    return nullptr;
  }
  if (FaultInjector::current().shouldFail(fault::kBuildIoctl, __builtin_return_address(0))) return nullptr;
  PIRP irp = allocateIrp(DeviceObject->StackSize, IrpOrigin::BuiltIoctl, currentDriver());
  auto record = state.irp(irp);
  setUpDeviceControl(*record, IoControlCode, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength,
                     InternalDeviceIoControl != FALSE);
  record->userEvent = Event;
  record->userIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->UserIosb = IoStatusBlock;
  irp->RequestorMode = KernelMode;
  irp->Flags |= IRP_SYNCHRONOUS_API;
  return irp;
}

}  // extern "C"
