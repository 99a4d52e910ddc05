// Plug and Play: start forwards first and then starts the reader; stop stops
// the reader first and then forwards; removal tears the device down and then
// forwards; surprise removal and removal send back the requests held at the
// gate. The queries refuse while the device is in use. Every other minor code
// goes down the stack unchanged.
#include "driver/Driver.h"
#include "card/CardPower.h"
#include "card/ReaderAttributes.h"

// Dispatch routine of IRP_MJ_PNP.
// Enables the reader's interface again while its serial connection is open.
// A port whose close worker has begun (the reader's DSR dropped) keeps it
// disabled: the worker may have disabled it just before it was enabled here.
static VOID ReenableReaderInterface(PDEVICE_EXTENSION DeviceExtension) {
  if (!ReaderLinkOpen(DeviceExtension)) {
    return;
  }
  (VOID) IoSetDeviceInterfaceState(&DeviceExtension->PnPDeviceName, TRUE);
  KIRQL irql;
  KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
  BOOLEAN closing = DeviceExtension->SerialClosing;
  KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
  if (closing) {
    (VOID) IoSetDeviceInterfaceState(&DeviceExtension->PnPDeviceName, FALSE);
  }
}

NTSTATUS NTAPI PnP(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
  PIO_STACK_LOCATION irpStack = IoGetCurrentIrpStackLocation(Irp);
  KIRQL irql;

  NTSTATUS status = SmartcardAcquireRemoveLock(smartcardExtension);
  if (!NT_SUCCESS(status)) {
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
  }

  // Removal frees the reader record before the request goes down, so the
  // lower device object is noted now.
  PDEVICE_OBJECT attachedDeviceObject = smartcardExtension->ReaderExtension->AttachedDeviceObject;
  BOOLEAN deviceRemoved = FALSE;

  Irp->IoStatus.Information = 0;

  // A request this driver handles goes down with IoStatus.Status set to
  // STATUS_SUCCESS, as each driver of the stack that handles it must: a
  // bus driver completes the codes it does not handle itself with the
  // status it finds. (A start is the bus driver's to succeed.)
  switch (irpStack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = CallSerialDriver(attachedDeviceObject, Irp);
      if (status == STATUS_SUCCESS) {
        status = StartDevice(DeviceObject);
      }
      if (status == STATUS_SUCCESS) {
        // The reader's version attribute tells the firmware the start
        // has just read; the record was filled before it was known.
        RecordFirmwareVersion(smartcardExtension);
      } else {
        // A device that fails its start is removed next: requests held
        // at the gate since a stop must not wait for a start that will
        // not come.
        ReleaseGateForRemoval(deviceExtension);
      }
      break;

    case IRP_MN_QUERY_REMOVE_DEVICE:
      status = IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, FALSE);
      if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        // The interface is not enabled (the reader is not started, or
        // its port closed by itself): nothing to hide, and no reason to
        // keep the device from being removed.
        status = STATUS_SUCCESS;
      }
      if (!NT_SUCCESS(status)) {
        break;
      }
      if (KeReadStateEvent(&deviceExtension->ReaderClosed) == 0) {
        // A handle is open: the device stays, and so does its interface.
        ReenableReaderInterface(deviceExtension);
        status = STATUS_UNSUCCESSFUL;
        break;
      }
      Irp->IoStatus.Status = STATUS_SUCCESS;
      status = CallSerialDriver(attachedDeviceObject, Irp);
      break;

    case IRP_MN_REMOVE_DEVICE:
      // Requests waiting at the gate hold the remove lock: they are sent
      // back first, so that the wait in RemoveDevice ends.
      ReleaseGateForRemoval(deviceExtension);
      // Releases this request's remove-lock hold and waits for every other.
      RemoveDevice(DeviceObject);
      deviceRemoved = TRUE;
      Irp->IoStatus.Status = STATUS_SUCCESS;
      status = CallSerialDriver(attachedDeviceObject, Irp);
      break;

    case IRP_MN_CANCEL_REMOVE_DEVICE:
      Irp->IoStatus.Status = STATUS_SUCCESS;
      status = CallSerialDriver(attachedDeviceObject, Irp);
      // The interface is enabled only while the reader is started. A
      // cancel may not fail: an interface that is enabled already (a
      // refused query-remove enabled it again) or that cannot be enabled
      // (no memory) leaves the cancel with plain success; the device stays.
      if (status == STATUS_SUCCESS) {
        ReenableReaderInterface(deviceExtension);
      }
      break;

    case IRP_MN_STOP_DEVICE:
      StopDevice(deviceExtension);
      // The stop has powered the card down, and the next start reads only
      // whether a card is in the reader: an application must find the card
      // it had powered in need of a reset after the restart, not still
      // negotiable or in its protocol with requests sent to dead contacts.
      RecordCardPoweredDown(smartcardExtension);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      status = CallSerialDriver(attachedDeviceObject, Irp);
      break;

    case IRP_MN_QUERY_STOP_DEVICE:
      KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
      if (deviceExtension->IoCount > 0) {
        KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
        status = STATUS_DEVICE_BUSY;
        break;
      }
      // Closes the gate: the next device-control request waits for
      // cancel-stop or the next start.
      KeClearEvent(&deviceExtension->ReaderStarted);
      KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      status = CallSerialDriver(attachedDeviceObject, Irp);
      break;

    case IRP_MN_CANCEL_STOP_DEVICE:
      Irp->IoStatus.Status = STATUS_SUCCESS;
      status = CallSerialDriver(attachedDeviceObject, Irp);
      if (status == STATUS_SUCCESS) {
        KeSetEvent(&deviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
      }
      break;

    case IRP_MN_SURPRISE_REMOVAL:
      // The reader is gone: requests held at the gate, and every later
      // one, end now. The remove that follows tears the device down.
      ReleaseGateForRemoval(deviceExtension);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(Irp);
      status = IofCallDriver(attachedDeviceObject, Irp);
      SmartcardReleaseRemoveLock(smartcardExtension);
      return status;

    default:
      // Passed down unchanged, with the status the request came with.
      IoSkipCurrentIrpStackLocation(Irp);
      status = IofCallDriver(attachedDeviceObject, Irp);
      SmartcardReleaseRemoveLock(smartcardExtension);
      return status;
  }

  ASSERT(status != STATUS_PENDING);
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);

  // After removal the device's records are gone, and RemoveDevice has
  // released this request's hold already.
  if (!deviceRemoved) {
    SmartcardReleaseRemoveLock(smartcardExtension);
  }
  return status;
}
