// Driver entry and device lifetime: the dispatch table, the creation of a
// reader device on top of its serial port's stack with its smart card reader
// interface, and its removal.
// Defines GUID_DEVINTERFACE_SMARTCARD_READER in this translation unit.
#include <initguid.h>
#include "driver/Driver.h"
#include "card/ReaderAttributes.h"
#include "tav712log.h"

// One in-use flag per reader device that may exist at one time. The Plug
// and Play manager does not add and remove this driver's devices at the same
// time, so the slots need no lock.
UCHAR DeviceSlots[TAV712_MAX_DEVICES];

// Registers the dispatch, unload and add-device routines; nothing else is
// done until the Plug and Play manager adds a device.
extern "C" TAV712_INIT_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);

  DriverObject->MajorFunction[IRP_MJ_CREATE] = CreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = CreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = Cleanup;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = PnP;
  DriverObject->MajorFunction[IRP_MJ_POWER] = Power;
  DriverObject->DriverUnload = DriverUnload;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

// Removes a device on a path where no request holds its remove lock (a
// failed AddDevice, DriverUnload). RemoveDevice releases one hold and waits
// for the rest, so a hold is taken here first: the release-and-wait then
// always pairs with an acquire, whichever path removes the device.
static TAV712_PAGED_CODE VOID RemoveDeviceWithoutRequest(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();

  if (DeviceObject != NULL) {
    PSMARTCARD_EXTENSION smartcardExtension = &((PDEVICE_EXTENSION)DeviceObject->DeviceExtension)->SmartcardExtension;
    if (smartcardExtension->OsData != NULL) {
      // Nothing else removes this device: its release-and-wait has not
      // run, so the acquire cannot be refused.
      NTSTATUS status = SmartcardAcquireRemoveLock(smartcardExtension);
      ASSERT(NT_SUCCESS(status));
      UNREFERENCED_PARAMETER(status);
    }
  }
  RemoveDevice(DeviceObject);
}

// Creates the device object of one more reader with both records. A step that
// fails after the device object exists leaves it in *DeviceObject for
// RemoveDevice to tear down.
TAV712_PAGED_CODE NTSTATUS CreateDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject) {
  PAGED_CODE();

  *DeviceObject = NULL;

  ULONG deviceInstance;
  for (deviceInstance = 0; deviceInstance < TAV712_MAX_DEVICES; deviceInstance++) {
    if (DeviceSlots[deviceInstance] == 0) {
      DeviceSlots[deviceInstance] = 1;
      break;
    }
  }
  if (deviceInstance == TAV712_MAX_DEVICES) {
    SmartcardLogError(DriverObject, MSG_TOO_MANY_DEVICES, NULL, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  // A local keeps *DeviceObject NULL whatever a failing IoCreateDevice
  // leaves in its out parameter.
  PDEVICE_OBJECT deviceObject = NULL;
  NTSTATUS status =
      IoCreateDevice(DriverObject, sizeof(DEVICE_EXTENSION), NULL, FILE_DEVICE_SMARTCARD, 0, TRUE, &deviceObject);
  if (!NT_SUCCESS(status)) {
    SmartcardLogError(DriverObject, MSG_CREATE_DEVICE_FAILED, NULL, 0);
    DeviceSlots[deviceInstance] = 0;
    return status;
  }
  *DeviceObject = deviceObject;

  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)deviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
  deviceExtension->DeviceInstance = deviceInstance;

  KeInitializeEvent(&deviceExtension->ReaderStarted, NotificationEvent, FALSE);
  KeInitializeEvent(&deviceExtension->ReaderClosed, NotificationEvent, TRUE);
  KeInitializeEvent(&deviceExtension->SerialCloseDone, NotificationEvent, TRUE);
  KeInitializeEvent(&deviceExtension->ReaderRemoved, NotificationEvent, FALSE);
  KeInitializeSpinLock(&deviceExtension->SpinLock);

  PREADER_EXTENSION readerExtension =
      (PREADER_EXTENSION)ExAllocatePoolWithTag(NonPagedPool, sizeof(READER_EXTENSION), TAV712_READER_POOL_TAG);
  smartcardExtension->ReaderExtension = readerExtension;
  if (readerExtension == NULL) {
    SmartcardLogError(DriverObject, MSG_NO_MEMORY, NULL, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(readerExtension, sizeof(READER_EXTENSION));
  readerExtension->SmartcardExtension = smartcardExtension;
  // Zero would be a count every reply meets: the reader's first reply would
  // wake a receive that nobody waits in.
  readerExtension->BytesWanted = TAV712_NO_BYTES_WANTED;

  InitReaderAttributes(smartcardExtension);

  readerExtension->CloseSerialWorkItem = IoAllocateWorkItem(deviceObject);
  readerExtension->ReadWorkItem = IoAllocateWorkItem(deviceObject);
  if (readerExtension->CloseSerialWorkItem == NULL || readerExtension->ReadWorkItem == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  KeInitializeEvent(&readerExtension->DataAvailable, NotificationEvent, FALSE);
  // A zeroed spin lock is an initialised one on x64, but only
  // KeInitializeSpinLock says so to the verifier (and to other kernels).
  KeInitializeSpinLock(&readerExtension->ReceiveLock);

  status = SmartcardInitialize(smartcardExtension);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  smartcardExtension->OsData->DeviceObject = deviceObject;

  readerExtension->PowerState = READER_POWER_STATE_D0;
  return STATUS_SUCCESS;
}

// Creates a reader device for the physical device object, attaches it on top
// of that stack and registers its smart card reader interface (enabled only
// once the reader has started).
TAV712_PAGED_CODE NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PAGED_CODE();

  PDEVICE_OBJECT deviceObject = NULL;
  NTSTATUS status = CreateDevice(DriverObject, &deviceObject);
  if (!NT_SUCCESS(status)) {
    RemoveDeviceWithoutRequest(deviceObject);
    return status;
  }

  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)deviceObject->DeviceExtension;
  PREADER_EXTENSION readerExtension = deviceExtension->SmartcardExtension.ReaderExtension;

  readerExtension->AttachedDeviceObject = IoAttachDeviceToDeviceStack(deviceObject, PhysicalDeviceObject);
  if (readerExtension->AttachedDeviceObject == NULL) {
    SmartcardLogError(DriverObject, MSG_SERIAL_PORT_CONNECT_FAILED, NULL, 0);
    RemoveDeviceWithoutRequest(deviceObject);
    return STATUS_UNSUCCESSFUL;
  }

  status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_DEVINTERFACE_SMARTCARD_READER, NULL,
                                     &deviceExtension->PnPDeviceName);

  deviceObject->Flags |= DO_BUFFERED_IO;
  deviceObject->Flags |= DO_POWER_PAGABLE;
  deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;

  if (!NT_SUCCESS(status)) {
    RemoveDeviceWithoutRequest(deviceObject);
    return status;
  }
  return STATUS_SUCCESS;
}

// Tears a device down, whatever step its creation reached: waits until no
// request holds the remove lock, stops the reader, detaches and frees
// everything, and deletes the device object. The caller's hold on the remove
// lock is released here.
TAV712_PAGED_CODE VOID RemoveDevice(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();

  if (DeviceObject == NULL) {
    return;
  }

  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
  PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;

  if (smartcardExtension->OsData != NULL) {
    SmartcardReleaseRemoveLockAndWait(smartcardExtension);
  }

  ASSERT(deviceExtension->DeviceInstance < TAV712_MAX_DEVICES);
  ASSERT(DeviceSlots[deviceExtension->DeviceInstance] != 0);
  DeviceSlots[deviceExtension->DeviceInstance] = 0;

  StopDevice(deviceExtension);

  if (readerExtension != NULL && readerExtension->AttachedDeviceObject != NULL) {
    IoDetachDevice(readerExtension->AttachedDeviceObject);
  }

  if (deviceExtension->PnPDeviceName.Buffer != NULL) {
    RtlFreeUnicodeString(&deviceExtension->PnPDeviceName);
  }

  if (smartcardExtension->OsData != NULL) {
    SmartcardExit(smartcardExtension);
  }

  if (readerExtension != NULL) {
    if (readerExtension->CloseSerialWorkItem != NULL) {
      IoFreeWorkItem(readerExtension->CloseSerialWorkItem);
    }
    if (readerExtension->ReadWorkItem != NULL) {
      IoFreeWorkItem(readerExtension->ReadWorkItem);
    }
    ExFreePoolWithTag(readerExtension, TAV712_READER_POOL_TAG);
    smartcardExtension->ReaderExtension = NULL;
  }

  IoDeleteDevice(DeviceObject);
}

// Removes every device the driver still has. Deleting a device object takes
// it off the driver object's list, so the loop ends with the last one.
TAV712_PAGED_CODE VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
  PAGED_CODE();

  while (DriverObject->DeviceObject != NULL) {
    RemoveDeviceWithoutRequest(DriverObject->DeviceObject);
  }
}
