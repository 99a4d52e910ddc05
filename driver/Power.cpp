// Power management. A system set-power becomes a device set-power that the
// driver requests for its own device; a device power-down stops the reader
// before the request goes down, a device power-up goes down first and then
// restarts the reader and opens the device-control gate again. A system
// query for a sleep state is refused while a device-control request is in
// progress and otherwise closes the gate.
#include "driver/Driver.h"
#include "card/CardPower.h"
#include "card/CardState.h"

// How a power request leaves Power.
enum POWER_REQUEST_WAY {
    PowerPassDown,
    PowerPassDownForPowerUp,
    PowerCompleteHere,
    PowerRequestDevicePowerChange,
};

// Device state that a system state maps to: D0 for the working and light
// sleep states, D3 for deep sleep, hibernation and shutdown, none otherwise.
static DEVICE_POWER_STATE DeviceStateForSystemState(SYSTEM_POWER_STATE SystemState)
{
    switch (SystemState) {
    case PowerSystemWorking:
    case PowerSystemSleeping1:
    case PowerSystemSleeping2:
    case PowerSystemMaximum:
        return PowerDeviceD0;
    case PowerSystemSleeping3:
    case PowerSystemHibernate:
    case PowerSystemShutdown:
        return PowerDeviceD3;
    default:
        return PowerDeviceUnspecified;
    }
}

// Device power-down: the card is powered down and the reader stopped before
// the request goes down; their failures do not stop the power-down.
static VOID PowerDownReader(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION DeviceExtension)
{
    PSMARTCARD_EXTENSION smartcardExtension = &DeviceExtension->SmartcardExtension;
    PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;
    POWER_STATE powerState;

    powerState.DeviceState = PowerDeviceD3;
    PoSetPowerState(DeviceObject, DevicePowerState, powerState);

    if (ReaderLinkOpen(DeviceExtension)) {
        if (smartcardExtension->ReaderCapabilities.CurrentState > SCARD_ABSENT) {
            smartcardExtension->MinorIoControlCode = SCARD_POWER_DOWN;
            CardPower(smartcardExtension);
        }
        ReaderRunRegisterTable(readerExtension, ReaderStopTable);
    }

    DelayMilliseconds(POWER_DOWN_SETTLE_MS);
    readerExtension->PowerState = READER_POWER_STATE_D3;
}

// Dispatch routine of IRP_MJ_POWER.
// Ends a power request here: the next power request may start, and the
// hold Power took is released last, since removal may then free the records.
static VOID CompletePowerRequest(PIRP Irp, NTSTATUS Status, PSMARTCARD_EXTENSION SmartcardExtension)
{
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = Status;
    PoStartNextPowerIrp(Irp);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    SmartcardReleaseRemoveLock(SmartcardExtension);
}

NTSTATUS NTAPI Power(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    PIO_STACK_LOCATION irpStack = IoGetCurrentIrpStackLocation(Irp);
    POWER_REQUEST_WAY way = PowerPassDown;
    POWER_STATE powerState;
    KIRQL irql;

    NTSTATUS status = SmartcardAcquireRemoveLock(smartcardExtension);
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }

    PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;
    PDEVICE_OBJECT attachedDeviceObject = readerExtension->AttachedDeviceObject;
    powerState.DeviceState = PowerDeviceUnspecified;

    if (irpStack->MinorFunction == IRP_MN_SET_POWER && irpStack->Parameters.Power.Type == DevicePowerState) {
        switch (irpStack->Parameters.Power.State.DeviceState) {
        case PowerDeviceD0:
            IoCopyCurrentIrpStackLocationToNext(Irp);
            IoSetCompletionRoutine(Irp, DevicePowerUpCompletion, smartcardExtension, TRUE, TRUE, TRUE);
            way = PowerPassDownForPowerUp;
            break;
        case PowerDeviceD3:
            PowerDownReader(DeviceObject, deviceExtension);
            way = PowerPassDown;
            break;
        default:
            way = PowerPassDown;
            break;
        }
    } else if (irpStack->MinorFunction == IRP_MN_SET_POWER && irpStack->Parameters.Power.Type == SystemPowerState) {
        SYSTEM_POWER_STATE systemState = irpStack->Parameters.Power.State.SystemState;
        powerState.DeviceState = DeviceStateForSystemState(systemState);
        if (powerState.DeviceState == PowerDeviceD0) {
            if (readerExtension->PowerState == READER_POWER_STATE_D0) {
                // Back to work without a device power change, as after a
                // sleep that was queried and then abandoned: reopen the gate
                // that the query closed, provided the reader is started.
                if (ReaderLinkOpen(deviceExtension)) {
                    KeSetEvent(&deviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
                }
                way = PowerCompleteHere;
            } else {
                way = PowerRequestDevicePowerChange;
            }
        } else if (powerState.DeviceState == PowerDeviceD3) {
            if (readerExtension->PowerState == READER_POWER_STATE_D3) {
                way = PowerCompleteHere;
            } else {
                // The system state recorded before a power-down is always
                // PowerSystemSleeping3, whichever sleep state was asked for.
                POWER_STATE systemPowerState;
                systemPowerState.SystemState = PowerSystemSleeping3;
                PoSetPowerState(DeviceObject, SystemPowerState, systemPowerState);
                way = PowerRequestDevicePowerChange;
            }
        } else {
            way = PowerCompleteHere;
        }
    } else if (irpStack->MinorFunction == IRP_MN_QUERY_POWER && irpStack->Parameters.Power.Type == SystemPowerState) {
        if (DeviceStateForSystemState(irpStack->Parameters.Power.State.SystemState) == PowerDeviceD3) {
            KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
            if (deviceExtension->IoCount == 0) {
                // Closes the gate until the device has been powered up again.
                KeClearEvent(&deviceExtension->ReaderStarted);
            } else {
                status = STATUS_DEVICE_BUSY;
            }
            KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
        }
        way = PowerCompleteHere;
    }

    switch (way) {
    case PowerPassDown:
        // The remove-lock hold ends after the call: the lower device object
        // is taken from the reader record, which removal frees.
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        status = PoCallDriver(attachedDeviceObject, Irp);
        SmartcardReleaseRemoveLock(smartcardExtension);
        return status;

    case PowerPassDownForPowerUp:
        // DevicePowerUpCompletion releases the hold and starts the next
        // power request.
        return PoCallDriver(attachedDeviceObject, Irp);

    case PowerCompleteHere:
        ASSERT(status != STATUS_PENDING);
        CompletePowerRequest(Irp, status, smartcardExtension);
        return status;

    case PowerRequestDevicePowerChange:
        Irp->IoStatus.Status = STATUS_PENDING;
        IoMarkIrpPending(Irp);
        status = PoRequestPowerIrp(DeviceObject, IRP_MN_SET_POWER, powerState, SystemPowerCompletion, Irp, NULL);
        if (!NT_SUCCESS(status)) {
            // No device request will come back to SystemPowerCompletion, so
            // the system request ends here, with the failure.
            CompletePowerRequest(Irp, status, smartcardExtension);
        }
        // The request was marked pending, so that is what it returns, also
        // when it has been completed already.
        return STATUS_PENDING;
    }

    ASSERT(FALSE);
    return status;
}

// Runs when the lower driver has finished a device power-up: rewrites the
// reader's start table, counts a card in the reader as newly inserted (so
// that a parked tracking request is completed) and opens the gate again.
NTSTATUS NTAPI DevicePowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PSMARTCARD_EXTENSION smartcardExtension = (PSMARTCARD_EXTENSION)Context;
    PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)smartcardExtension;
    PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;
    PIO_STACK_LOCATION irpStack = IoGetCurrentIrpStackLocation(Irp);

    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }

    // A stopped reader has no serial connection to restart: it stays
    // stopped, and its gate closed, until the next start.
    BOOLEAN readerStarted = ReaderLinkOpen(deviceExtension);
    if (readerStarted) {
        ReaderRunRegisterTable(readerExtension, ReaderStartTable);

        BOOLEAN stateWasKnown = smartcardExtension->ReaderCapabilities.CurrentState != SCARD_UNKNOWN;
        UpdateCardState(smartcardExtension, 0);
        if (stateWasKnown || smartcardExtension->ReaderCapabilities.CurrentState != SCARD_UNKNOWN) {
            smartcardExtension->ReaderCapabilities.CurrentState = SCARD_ABSENT;
            UpdateCardState(smartcardExtension, 0);
        }
    }

    readerExtension->PowerState = READER_POWER_STATE_D0;

    PoSetPowerState(DeviceObject, DevicePowerState, irpStack->Parameters.Power.State);
    PoStartNextPowerIrp(Irp);

    if (readerStarted) {
        KeSetEvent(&deviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
    }

    // Last: once the hold is released, removal may free the records.
    SmartcardReleaseRemoveLock(smartcardExtension);
    return STATUS_SUCCESS;
}

// Runs when the device power request that Power asked for has finished: the
// system request ends with that request's status.
VOID NTAPI SystemPowerCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    PIRP systemIrp = (PIRP)Context;
    PSMARTCARD_EXTENSION smartcardExtension =
        &((PDEVICE_EXTENSION)DeviceObject->DeviceExtension)->SmartcardExtension;

    UNREFERENCED_PARAMETER(MinorFunction);

    systemIrp->IoStatus.Information = 0;
    systemIrp->IoStatus.Status = IoStatus->Status;

    if (PowerState.DeviceState == PowerDeviceD0) {
        POWER_STATE systemPowerState;
        systemPowerState.SystemState = PowerSystemWorking;
        PoSetPowerState(DeviceObject, SystemPowerState, systemPowerState);
    }

    PoStartNextPowerIrp(systemIrp);
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);

    // The hold taken by Power for the system request.
    SmartcardReleaseRemoveLock(smartcardExtension);
}
