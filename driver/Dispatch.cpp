// Request dispatch: one open handle at a time, the device-control gate and
// its count of requests inside the smart card library, and the cleanup that
// cancels a parked card-tracking request.
#include "driver/Driver.h"
#include "card/CardState.h"

// Completes a request that this driver owns with Information 0.
static NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status)
{
    ASSERT(Status != STATUS_PENDING);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// IRP_MJ_CREATE admits one handle at a time and keeps a remove-lock hold for
// it; IRP_MJ_CLOSE gives both back.
NTSTATUS NTAPI CreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
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
            } else {
                SmartcardReleaseRemoveLock(smartcardExtension);
                status = STATUS_UNSUCCESSFUL;
            }
        }
    } else {
        ASSERT(irpStack->MajorFunction == IRP_MJ_CLOSE);
        // ReaderClosed first: once the handle's hold is released, a removal
        // waiting for it may tear the device extension down.
        KeSetEvent(&deviceExtension->ReaderClosed, IO_NO_INCREMENT, FALSE);
        SmartcardReleaseRemoveLock(smartcardExtension);
        status = STATUS_SUCCESS;
    }

    return CompleteRequest(Irp, status);
}

// Holds a device-control request back until the reader is started, unless
// another one is already in progress, counts it in IoCount while the smart
// card library has it, and returns the library's status.
NTSTATUS NTAPI DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    KIRQL irql;

    KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
    if (deviceExtension->IoCount == 0) {
        KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
        NTSTATUS waitStatus =
            KeWaitForSingleObject(&deviceExtension->ReaderStarted, Executive, KernelMode, FALSE, NULL);
        ASSERT(waitStatus == STATUS_SUCCESS);
        UNREFERENCED_PARAMETER(waitStatus);
        KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
    }
    ASSERT(deviceExtension->IoCount >= 0);
    deviceExtension->IoCount++;
    KeReleaseSpinLock(&deviceExtension->SpinLock, irql);

    NTSTATUS status = SmartcardAcquireRemoveLock(smartcardExtension);
    if (!NT_SUCCESS(status)) {
        CompleteRequest(Irp, STATUS_DEVICE_REMOVED);
        KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
        deviceExtension->IoCount--;
        KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
        return STATUS_DEVICE_REMOVED;
    }

    status = SmartcardDeviceControl(smartcardExtension, Irp);

    SmartcardReleaseRemoveLock(smartcardExtension);

    KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
    deviceExtension->IoCount--;
    ASSERT(deviceExtension->IoCount >= 0);
    KeReleaseSpinLock(&deviceExtension->SpinLock, irql);

    return status;
}

// Cancels the parked card-tracking request, if any, when a handle is cleaned
// up. The cancel spin lock takes the request away from its cancel routine,
// so it is completed exactly once.
NTSTATUS NTAPI Cleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    KIRQL cancelIrql;

    ASSERT(smartcardExtension->OsData != NULL);

    IoAcquireCancelSpinLock(&cancelIrql);
    PIRP notificationIrp = smartcardExtension->OsData->NotificationIrp;
    if (notificationIrp != NULL) {
        IoSetCancelRoutine(notificationIrp, NULL);
        notificationIrp->CancelIrql = cancelIrql;
        // Completes the request and releases the cancel spin lock.
        CancelCardTracking(DeviceObject, notificationIrp);
    } else {
        IoReleaseCancelSpinLock(cancelIrql);
    }

    return CompleteRequest(Irp, STATUS_SUCCESS);
}
