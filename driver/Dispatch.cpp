// Request dispatch: one open handle at a time, the device-control gate and
// its count of requests inside the smart card library, and the cleanup that
// cancels a parked card-tracking request.
#include "driver/Driver.h"
#include "card/CardState.h"

// Completes a request that this driver owns with Information 0.
static NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status) {
  ASSERT(Status != STATUS_PENDING);
  Irp->IoStatus.Information = 0;
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

// IRP_MJ_CREATE admits one handle at a time and keeps a remove-lock hold for
// it; IRP_MJ_CLOSE gives both back.
NTSTATUS NTAPI CreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
  PIO_STACK_LOCATION irpStack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status;

  if (irpStack->MajorFunction == IRP_MJ_CREATE) {
    status = SmartcardAcquireRemoveLock(smartcardExtension);
    if (!NT_SUCCESS(status)) {
      status = STATUS_DEVICE_REMOVED;
    } else {
      LARGE_INTEGER timeout;
      timeout.QuadPart = 0;
      status = KeWaitForSingleObject(&deviceExtension->ReaderClosed, Executive, KernelMode, FALSE, &timeout);
      if (status == STATUS_SUCCESS) {
        KeClearEvent(&deviceExtension->ReaderClosed);
        KIRQL cancelIrql;
        IoAcquireCancelSpinLock(&cancelIrql);
        deviceExtension->CleanedUpFileObject = NULL;
        IoReleaseCancelSpinLock(cancelIrql);
      } else {
        SmartcardReleaseRemoveLock(smartcardExtension);
        status = STATUS_UNSUCCESSFUL;
      }
    }
  } else {
    ASSERT(irpStack->MajorFunction == IRP_MJ_CLOSE);
    // The handle's hold goes last: once it is released, a removal
    // waiting for it may delete the device, and no request sent to the
    // device may then still be outstanding.
    KeSetEvent(&deviceExtension->ReaderClosed, IO_NO_INCREMENT, FALSE);
    CompleteRequest(Irp, STATUS_SUCCESS);
    SmartcardReleaseRemoveLock(smartcardExtension);
    return STATUS_SUCCESS;
  }

  return CompleteRequest(Irp, status);
}

// Cancel routine of a request waiting at the gate: wakes its dispatch
// thread, which completes it. The event is set before the cancel spin lock is
// released, so the waiting thread, which takes that lock before it returns,
// never leaves while the event is still in use.
static VOID NTAPI GateCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  KeSetEvent((PKEVENT)Irp->Tail.Overlay.DriverContext[0], IO_NO_INCREMENT, FALSE);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
}

// Waits, cancellably, until the gate may have opened or the device is going
// away. Returns STATUS_CANCELLED when the request was cancelled, otherwise
// STATUS_SUCCESS; the caller looks at the gate again.
static NTSTATUS WaitAtGate(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) {
  KEVENT cancelled;
  KIRQL cancelIrql;

  KeInitializeEvent(&cancelled, NotificationEvent, FALSE);
  Irp->Tail.Overlay.DriverContext[0] = &cancelled;

  IoAcquireCancelSpinLock(&cancelIrql);
  if (Irp->Cancel) {
    IoReleaseCancelSpinLock(cancelIrql);
    Irp->Tail.Overlay.DriverContext[0] = NULL;
    return STATUS_CANCELLED;
  }
  IoSetCancelRoutine(Irp, GateCancel);
  IoReleaseCancelSpinLock(cancelIrql);

  PVOID objects[] = {&DeviceExtension->ReaderStarted, &DeviceExtension->ReaderRemoved, &cancelled};
  NTSTATUS waitStatus = KeWaitForMultipleObjects((ULONG)RTL_NUMBER_OF(objects), objects, WaitAny, Executive, KernelMode,
                                                 FALSE, NULL, NULL);
  ASSERT(NT_SUCCESS(waitStatus));
  UNREFERENCED_PARAMETER(waitStatus);

  // A cancel routine that has been taken away has run to its end: the
  // request is this thread's to complete as cancelled.
  IoAcquireCancelSpinLock(&cancelIrql);
  BOOLEAN wasCancelled = IoSetCancelRoutine(Irp, NULL) == NULL;
  IoReleaseCancelSpinLock(cancelIrql);
  Irp->Tail.Overlay.DriverContext[0] = NULL;
  return wasCancelled ? STATUS_CANCELLED : STATUS_SUCCESS;
}

// Lets a request through the gate and counts it in IoCount: at once while
// another request is in progress or the gate is open, otherwise once the gate
// opens. The gate is looked at again under SpinLock after every wait, since a
// query-stop or a sleep query may have closed it again before this thread ran;
// the count is taken only while the gate is seen open. Returns
// STATUS_DELETE_PENDING once the device is going away and STATUS_CANCELLED
// for a request cancelled at the gate; neither is counted.
static NTSTATUS PassGate(PDEVICE_EXTENSION DeviceExtension, PIRP Irp) {
  KIRQL irql;

  KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
  for (;;) {
    if (KeReadStateEvent(&DeviceExtension->ReaderRemoved)) {
      KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
      return STATUS_DELETE_PENDING;
    }
    ASSERT(DeviceExtension->IoCount >= 0);
    if (DeviceExtension->IoCount > 0 || KeReadStateEvent(&DeviceExtension->ReaderStarted)) {
      break;
    }
    KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
    NTSTATUS status = WaitAtGate(DeviceExtension, Irp);
    if (status != STATUS_SUCCESS) {
      return status;
    }
    KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
  }
  DeviceExtension->IoCount++;
  KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
  return STATUS_SUCCESS;
}

// Closes the gate for good and sends back every request waiting at it: the
// device is going away (surprise removal, removal, a failed start).
VOID ReleaseGateForRemoval(PDEVICE_EXTENSION DeviceExtension) {
  KIRQL irql;

  KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
  KeSetEvent(&DeviceExtension->ReaderRemoved, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
}

// Takes a remove-lock hold, holds a device-control request back at the gate
// until the reader is started (unless another one is already in progress),
// counts it in IoCount while the smart card library has it, and returns the
// library's status. The hold is taken first and released last: while it is
// held, removal waits and the device's records stay, also for a request that
// waits at the gate.
NTSTATUS NTAPI DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
  KIRQL irql;

  NTSTATUS status = SmartcardAcquireRemoveLock(smartcardExtension);
  if (!NT_SUCCESS(status)) {
    return CompleteRequest(Irp, STATUS_DEVICE_REMOVED);
  }

  status = PassGate(deviceExtension, Irp);
  if (status != STATUS_SUCCESS) {
    CompleteRequest(Irp, status);
    SmartcardReleaseRemoveLock(smartcardExtension);
    return status;
  }

  status = SmartcardDeviceControl(smartcardExtension, Irp);

  KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
  deviceExtension->IoCount--;
  ASSERT(deviceExtension->IoCount >= 0);
  KeReleaseSpinLock(&deviceExtension->SpinLock, irql);

  // Last: once the hold is released, removal may free the records.
  SmartcardReleaseRemoveLock(smartcardExtension);
  return status;
}

// Cancels the parked card-tracking request, if any, when a handle is cleaned
// up. Taken away from its cancel routine under the cancel spin lock, it is
// completed exactly once. The handle is remembered first, so that one of its
// tracking requests that is parked only after this (CardTracking) is
// cancelled too.
NTSTATUS NTAPI Cleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;

  ASSERT(smartcardExtension->OsData != NULL);

  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  deviceExtension->CleanedUpFileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  IoReleaseCancelSpinLock(cancelIrql);

  PIRP notificationIrp = TakeParkedTrackingRequest(smartcardExtension);
  if (notificationIrp != NULL) {
    CompleteRequest(notificationIrp, STATUS_CANCELLED);
  }

  return CompleteRequest(Irp, STATUS_SUCCESS);
}
