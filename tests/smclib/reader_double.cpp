#include "reader_double.h"

#include "smclib_fixture.h"

#include <initguid.h>

#include <algorithm>

namespace smclib_test {

ReaderDouble readerDouble;

namespace {

DEFINE_GUID(GUID_SMCLIB_TEST_READER, 0x50dd5230, 0xba8a, 0x11d1, 0xbf, 0x5d, 0x00, 0x00, 0xf8, 0x05, 0xf5, 0x31);

NTSTATUS complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

VOID NTAPI CancelTracking(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  static_cast<DoubleExtension*>(DeviceObject->DeviceExtension)->smartcard.OsData->NotificationIrp = nullptr;
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  complete(Irp, STATUS_CANCELLED);
}

NTSTATUS NTAPI CardPower(PSMARTCARD_EXTENSION SmartcardExtension) {
  auto& smartcard = *SmartcardExtension;
  RtlZeroMemory(smartcard.CardCapabilities.ATR.Buffer, sizeof smartcard.CardCapabilities.ATR.Buffer);
  smartcard.CardCapabilities.ATR.Length = 0;
  smartcard.CardCapabilities.Protocol.Selected = 0;
  if (smartcard.MinorIoControlCode == SCARD_POWER_DOWN) {
    smartcard.ReaderCapabilities.CurrentState = SCARD_PRESENT;
    return STATUS_SUCCESS;
  }
  if (!NT_SUCCESS(readerDouble.resetStatus)) return readerDouble.resetStatus;
  const Bytes& atr = readerDouble.atr;
  if (atr.size() <= 2) return STATUS_SUCCESS;  // a reset that brought no ATR
  if (atr.size() <= smartcard.IoRequest.ReplyBufferLength) {
    std::copy(atr.begin(), atr.end(), smartcard.IoRequest.ReplyBuffer);
    *smartcard.IoRequest.Information = static_cast<ULONG>(atr.size());
  }
  std::copy(atr.begin(), atr.end(), smartcard.CardCapabilities.ATR.Buffer);
  smartcard.CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
  return SmartcardUpdateCardCapabilities(&smartcard);
}

NTSTATUS NTAPI SetProtocol(PSMARTCARD_EXTENSION SmartcardExtension) {
  auto& smartcard = *SmartcardExtension;
  const ULONG mask = smartcard.MinorIoControlCode;
  auto& card = smartcard.CardCapabilities;
  if (smartcard.ReaderCapabilities.CurrentState == SCARD_SPECIFIC && (card.Protocol.Selected & mask) != 0) {
    // Already selected.
  } else if ((card.Protocol.Supported & mask) == 0) {
    card.Protocol.Selected = 0;
    *smartcard.IoRequest.Information = 0;
    return STATUS_INVALID_DEVICE_REQUEST;
  } else {
    card.Protocol.Selected =
        (mask & card.Protocol.Supported & SCARD_PROTOCOL_T1) ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
    card.Fl = card.PtsData.Fl;
    card.Dl = card.PtsData.Dl;
  }
  ULONG selected = card.Protocol.Selected;
  RtlCopyMemory(smartcard.IoRequest.ReplyBuffer, &selected, sizeof selected);
  smartcard.ReaderCapabilities.CurrentState = SCARD_SPECIFIC;
  *smartcard.IoRequest.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI Transmit(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension->CardCapabilities.Protocol.Selected != SCARD_PROTOCOL_T1) return STATUS_INVALID_DEVICE_REQUEST;
  return transmitT1(*SmartcardExtension, [](const Bytes& block) { return readerDouble.t1Card->exchange(block); });
}

NTSTATUS NTAPI CardTracking(PSMARTCARD_EXTENSION SmartcardExtension) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (SmartcardExtension->OsData->NotificationIrp != nullptr) {
    IoSetCancelRoutine(SmartcardExtension->OsData->NotificationIrp, CancelTracking);
  }
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

PSMARTCARD_EXTENSION smartcardOf(PDEVICE_OBJECT device) {
  return &static_cast<DoubleExtension*>(device->DeviceExtension)->smartcard;
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT, PIRP Irp) { return complete(Irp, STATUS_SUCCESS); }

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSMARTCARD_EXTENSION smartcard = smartcardOf(DeviceObject);
  NTSTATUS status = SmartcardAcquireRemoveLock(smartcard);
  if (!NT_SUCCESS(status)) return complete(Irp, STATUS_DEVICE_REMOVED);
  status = SmartcardDeviceControl(smartcard, Irp);
  SmartcardReleaseRemoveLock(smartcard);
  return status;
}

void removeDevice(PDEVICE_OBJECT device) {
  auto* extension = static_cast<DoubleExtension*>(device->DeviceExtension);
  if (extension->smartcard.OsData != nullptr) SmartcardReleaseRemoveLockAndWait(&extension->smartcard);
  if (extension->interfaceName.Buffer != nullptr) {
    IoSetDeviceInterfaceState(&extension->interfaceName, FALSE);
    RtlFreeUnicodeString(&extension->interfaceName);
  }
  if (extension->smartcard.OsData != nullptr) SmartcardExit(&extension->smartcard);
  if (extension->lowerDevice != nullptr) IoDetachDevice(extension->lowerDevice);
  IoDeleteDevice(device);
  readerDouble.device = nullptr;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  auto* extension = static_cast<DoubleExtension*>(DeviceObject->DeviceExtension);
  NTSTATUS status = SmartcardAcquireRemoveLock(&extension->smartcard);
  if (!NT_SUCCESS(status)) return complete(Irp, status);
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: status = IoSetDeviceInterfaceState(&extension->interfaceName, TRUE); break;
    case IRP_MN_REMOVE_DEVICE: removeDevice(DeviceObject); return complete(Irp, STATUS_SUCCESS);
    default: status = STATUS_SUCCESS; break;
  }
  complete(Irp, status);
  SmartcardReleaseRemoveLock(&extension->smartcard);
  return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status =
      IoCreateDevice(DriverObject, sizeof(DoubleExtension), nullptr, FILE_DEVICE_SMARTCARD, 0, TRUE, &device);
  if (!NT_SUCCESS(status)) return status;
  readerDouble.device = device;
  auto* extension = static_cast<DoubleExtension*>(device->DeviceExtension);
  auto& smartcard = extension->smartcard;
  smartcard.ReaderFunction[RDF_CARD_POWER] = CardPower;
  smartcard.ReaderFunction[RDF_TRANSMIT] = Transmit;
  smartcard.ReaderFunction[RDF_SET_PROTOCOL] = SetProtocol;
  smartcard.ReaderFunction[RDF_CARD_TRACKING] = CardTracking;
  const char vendor[] = "Obelmar";
  RtlCopyMemory(smartcard.VendorAttr.VendorName.Buffer, vendor, sizeof vendor);
  smartcard.VendorAttr.VendorName.Length = sizeof vendor;
  smartcard.VendorAttr.IfdVersion.VersionMajor = 1;
  smartcard.VendorAttr.IfdVersion.VersionMinor = 2;
  smartcard.VendorAttr.IfdVersion.BuildNumber = 0x0304;
  const char serial[] = "SN-42";
  RtlCopyMemory(smartcard.VendorAttr.IfdSerialNo.Buffer, serial, 5);
  smartcard.VendorAttr.IfdSerialNo.Length = 5;
  describeSerialReader(smartcard);
  smartcard.ReaderCapabilities.Channel = 3;
  smartcard.SmartcardRequest.BufferSize = 576;
  smartcard.SmartcardReply.BufferSize = 576;
  status = SmartcardInitialize(&smartcard);
  if (NT_SUCCESS(status)) {
    smartcard.OsData->DeviceObject = device;
    extension->lowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    status =
        IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_SMCLIB_TEST_READER, nullptr, &extension->interfaceName);
  }
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~ULONG{DO_DEVICE_INITIALIZING};
  if (!NT_SUCCESS(status)) removeDevice(device);
  return status;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {}

}  // namespace

void reportCard(bool present) {
  auto& smartcard = readerDouble.smartcard();
  KIRQL irql;
  KeAcquireSpinLock(&smartcard.OsData->SpinLock, &irql);
  smartcard.ReaderCapabilities.CurrentState = present ? SCARD_PRESENT : SCARD_ABSENT;
  KeReleaseSpinLock(&smartcard.OsData->SpinLock, irql);
}

NTSTATUS NTAPI ReaderDoubleEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  DriverObject->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI BusDoubleEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
  DriverObject->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

const GUID& readerInterfaceGuid() { return GUID_SMCLIB_TEST_READER; }

}  // namespace smclib_test
