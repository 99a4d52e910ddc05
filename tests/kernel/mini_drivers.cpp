// The test drivers: written as WDM drivers are, against the kernel's
// headers only.
#include "mini_drivers.h"

#include <cstring>

namespace mini {

LowerConfig lowerConfig;
UpperConfig upperConfig;
std::vector<std::string> steps;
std::vector<PIRP> parkedIrps;
std::vector<std::uint8_t> lastInput;

void reset() {
  lastInput.clear();
  lowerConfig = {};
  upperConfig = {};
  steps.clear();
  parkedIrps.clear();
}

namespace {

VOID NTAPI LowerCancel(PDEVICE_OBJECT, PIRP irp) {
  steps.push_back("lower cancel");
  std::erase(parkedIrps, irp);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  irp->IoStatus.Status = STATUS_CANCELLED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI LowerData(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  steps.push_back("lower dispatch " + std::to_string(location->MajorFunction));
  ULONG inputLength =
      location->MajorFunction == IRP_MJ_DEVICE_CONTROL ? location->Parameters.DeviceIoControl.InputBufferLength : 0;
  auto* systemBuffer = static_cast<const std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
  lastInput.assign(systemBuffer, systemBuffer == nullptr ? systemBuffer : systemBuffer + inputLength);
  if (!lowerConfig.reply.empty() && irp->AssociatedIrp.SystemBuffer != nullptr)
    std::memcpy(irp->AssociatedIrp.SystemBuffer, lowerConfig.reply.data(), lowerConfig.reply.size());
  if (lowerConfig.mode == LowerMode::Pend) {
    IoMarkIrpPending(irp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(irp, LowerCancel);
    parkedIrps.push_back(irp);
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
  }
  NTSTATUS status = lowerConfig.status;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = lowerConfig.information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI LowerSucceed(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI LowerPower(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  return LowerSucceed(device, irp);
}

NTSTATUS NTAPI UpperCompletion(PDEVICE_OBJECT, PIRP irp, PVOID) {
  steps.push_back("upper completion");
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI UpperSignal(PDEVICE_OBJECT, PIRP, PVOID context) {
  steps.push_back("upper completion");
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the IRP down and waits until the lower driver has finished with it.
NTSTATUS ForwardAndWait(UpperExtension* extension, PIRP irp) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  KeInitializeEvent(&extension->forwardDone, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, UpperSignal, &extension->forwardDone, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(extension->lowerDevice, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&extension->forwardDone, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS NTAPI UpperForwardData(PDEVICE_OBJECT device, PIRP irp) {
  auto* extension = static_cast<UpperExtension*>(device->DeviceExtension);
  steps.push_back("upper dispatch");
  switch (upperConfig.forward) {
    case UpperForward::Skip: IoSkipCurrentIrpStackLocation(irp); return IoCallDriver(extension->lowerDevice, irp);
    case UpperForward::CopyWithCompletion:
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, UpperCompletion, nullptr, TRUE, TRUE, TRUE);
      return IoCallDriver(extension->lowerDevice, irp);
    case UpperForward::WaitForLower: {
      NTSTATUS status = ForwardAndWait(extension, irp);
      steps.push_back("upper completes");
      if (NT_SUCCESS(status)) status = upperConfig.replaceStatusAfterWait;
      irp->IoStatus.Status = status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
  }
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS NTAPI UpperPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto* extension = static_cast<UpperExtension*>(device->DeviceExtension);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  UCHAR minor = location->MinorFunction;
  steps.push_back("upper pnp " + std::to_string(minor));
  // What this driver handles goes down with its status set; the rest with
  // the status it came with.
  if (minor != IRP_MN_START_DEVICE && (minor <= IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL))
    irp->IoStatus.Status = STATUS_SUCCESS;
  if (minor == IRP_MN_REMOVE_DEVICE) {
    PDEVICE_OBJECT lower = extension->lowerDevice;
    if (extension->interfaceName.Buffer != nullptr) {
      IoSetDeviceInterfaceState(&extension->interfaceName, FALSE);
      RtlFreeUnicodeString(&extension->interfaceName);
    }
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
  }
  if (minor == upperConfig.refusePnpMinor) {
    irp->IoStatus.Status = STATUS_DEVICE_BUSY;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_DEVICE_BUSY;
  }
  if (minor > IRP_MN_CANCEL_STOP_DEVICE) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(extension->lowerDevice, irp);
  }
  NTSTATUS status = ForwardAndWait(extension, irp);
  bool startOrStop = minor == IRP_MN_START_DEVICE || minor == IRP_MN_STOP_DEVICE;
  if (NT_SUCCESS(status) && startOrStop && extension->interfaceName.Buffer != nullptr)
    IoSetDeviceInterfaceState(&extension->interfaceName, minor == IRP_MN_START_DEVICE);
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI UpperPower(PDEVICE_OBJECT device, PIRP irp) {
  auto* extension = static_cast<UpperExtension*>(device->DeviceExtension);
  steps.push_back("upper power");
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  if (location->MinorFunction == IRP_MN_SET_POWER && location->Parameters.Power.Type == DevicePowerState)
    PoSetPowerState(device, DevicePowerState, location->Parameters.Power.State);
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(extension->lowerDevice, irp);
}

NTSTATUS NTAPI UpperAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, sizeof(UpperExtension), nullptr, FILE_DEVICE_SMARTCARD, 0, TRUE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto* extension = static_cast<UpperExtension*>(device->DeviceExtension);
  extension->lowerDevice = IoAttachDeviceToDeviceStack(device, physicalDevice);
  if (extension->lowerDevice == nullptr) {
    IoDeleteDevice(device);
    return STATUS_UNSUCCESSFUL;
  }
  status = IoRegisterDeviceInterface(physicalDevice, &GUID_MINI_INTERFACE, nullptr, &extension->interfaceName);
  if (!NT_SUCCESS(status)) {
    IoDetachDevice(extension->lowerDevice);
    IoDeleteDevice(device);
    return status;
  }
  device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  device->Flags &= ~ULONG{DO_DEVICE_INITIALIZING};
  return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

}  // namespace

NTSTATUS NTAPI LowerDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& dispatch : driver->MajorFunction) dispatch = LowerData;
  driver->MajorFunction[IRP_MJ_CREATE] = LowerSucceed;
  driver->MajorFunction[IRP_MJ_CLOSE] = LowerSucceed;
  driver->MajorFunction[IRP_MJ_CLEANUP] = LowerSucceed;
  driver->MajorFunction[IRP_MJ_PNP] = LowerSucceed;
  driver->MajorFunction[IRP_MJ_POWER] = LowerPower;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI UpperDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& dispatch : driver->MajorFunction) dispatch = UpperForwardData;
  driver->MajorFunction[IRP_MJ_PNP] = UpperPnp;
  driver->MajorFunction[IRP_MJ_POWER] = UpperPower;
  driver->DriverExtension->AddDevice = UpperAddDevice;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT createPhysicalDevice(PDRIVER_OBJECT lowerDriver, const char16_t* name) {
  UNICODE_STRING deviceName;
  RtlInitUnicodeString(&deviceName, name);
  PDEVICE_OBJECT device = nullptr;
  IoCreateDevice(lowerDriver, 0, &deviceName, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
  if (device != nullptr) device->Flags &= ~ULONG{DO_DEVICE_INITIALIZING};
  return device;
}

bool completeParked(NTSTATUS status, ULONG_PTR information) {
  if (parkedIrps.empty()) return false;
  PIRP irp = parkedIrps.front();
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  bool mine = IoSetCancelRoutine(irp, nullptr) != nullptr;
  if (mine) parkedIrps.erase(parkedIrps.begin());
  IoReleaseCancelSpinLock(irql);
  if (!mine) return false;
  steps.push_back("lower completes parked");
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return true;
}

}  // namespace mini
