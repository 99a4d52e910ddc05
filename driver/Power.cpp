// Power management. A system set-power becomes a device set-power that the
// driver requests for its own device; a device power-down stops the reader
// before the request goes down, a device power-up goes down first and then
// restarts the reader and opens the device-control gate again. A system
// query for a sleep state is refused while a device-control request is in
// progress and otherwise closes the gate. A system set-power request is
// never failed: the system changes its power state whatever this device
// managed, so a failed device power change is logged instead.
#include "driver/Driver.h"
#include "card/CardPower.h"
#include "card/CardState.h"
#include "tav712log.h"

// How a power request leaves Power.
enum POWER_REQUEST_WAY {
  PowerPassDown,
  PowerPassDownAndPowerUp,
  PowerCompleteHere,
  PowerRequestDevicePowerChange,
};

// Device state that a system state maps to: D0 for the working and light
// sleep states, D3 for deep sleep, hibernation and shutdown, none otherwise.
static DEVICE_POWER_STATE DeviceStateForSystemState(SYSTEM_POWER_STATE SystemState) {
  switch (SystemState) {
    case PowerSystemWorking:
    case PowerSystemSleeping1:
    case PowerSystemSleeping2:
    case PowerSystemMaximum: return PowerDeviceD0;
    case PowerSystemSleeping3:
    case PowerSystemHibernate:
    case PowerSystemShutdown: return PowerDeviceD3;
    default: return PowerDeviceUnspecified;
  }
}

// Device power-down: the card is powered down and the reader stopped before
// the request goes down; their failures do not stop the power-down.
static VOID PowerDownReader(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION DeviceExtension) {
  PSMARTCARD_EXTENSION smartcardExtension = &DeviceExtension->SmartcardExtension;
  PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;
  POWER_STATE powerState;

  powerState.DeviceState = PowerDeviceD3;
  PoSetPowerState(DeviceObject, DevicePowerState, powerState);

  if (ReaderLinkOpen(DeviceExtension)) {
    if (smartcardExtension->ReaderCapabilities.CurrentState > SCARD_ABSENT) {
      PowerDownCard(smartcardExtension);
    }
    ReaderRunRegisterTable(readerExtension, ReaderStopTable);
  }

  DelayMilliseconds(POWER_DOWN_SETTLE_MS);
  readerExtension->PowerState = READER_POWER_STATE_D3;
}

// Opens the device-control gate again after a power change, provided Plug and
// Play has the reader started. A reader whose port closed by itself (its DSR
// line dropped) counts as started: its requests then fail on the closed port
// instead of waiting for a start that will not come.
static VOID ReopenGateIfStarted(PDEVICE_EXTENSION DeviceExtension) {
  KIRQL irql;
  KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
  if (DeviceExtension->PnPStarted) {
    KeSetEvent(&DeviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
  }
  KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);
}

// Device power-up, once the lower driver has finished it, at PASSIVE_LEVEL:
// rewrites the reader's start table, counts a card in the reader as newly
// inserted (so that a parked tracking request is completed) and opens the
// gate again. The reader is talked to only while its port is open.
static VOID PowerUpReader(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION DeviceExtension, POWER_STATE State) {
  PSMARTCARD_EXTENSION smartcardExtension = &DeviceExtension->SmartcardExtension;
  PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;

  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  if (ReaderLinkOpen(DeviceExtension)) {
    ReaderRunRegisterTable(readerExtension, ReaderStartTable);

    BOOLEAN stateWasKnown = smartcardExtension->ReaderCapabilities.CurrentState != SCARD_UNKNOWN;
    UpdateCardState(smartcardExtension, 0);
    // Asked again, a card counts as newly inserted. A reader that cannot
    // answer this time leaves the state the first answer gave, never "no
    // card" for a card that is there.
    if (stateWasKnown || smartcardExtension->ReaderCapabilities.CurrentState != SCARD_UNKNOWN) {
      ReadCardStateAsNewlyInserted(smartcardExtension);
    }
  }

  readerExtension->PowerState = READER_POWER_STATE_D0;
  PoSetPowerState(DeviceObject, DevicePowerState, State);
  ReopenGateIfStarted(DeviceExtension);
}

// The status a system set-power request ends with when the device power
// change it stands for has failed: success, with the failure logged. The
// device's own power state stays as the driver last set it.
static NTSTATUS SystemSetPowerStatus(PDEVICE_OBJECT DeviceObject, NTSTATUS DeviceStatus) {
  if (!NT_SUCCESS(DeviceStatus)) {
    SmartcardLogError(DeviceObject, MSG_DEVICE_POWER_FAILED, NULL, 0);
    return STATUS_SUCCESS;
  }
  return DeviceStatus;
}

static BOOLEAN IsSystemSetPower(PIO_STACK_LOCATION IrpStack) {
  return IrpStack->MinorFunction == IRP_MN_SET_POWER && IrpStack->Parameters.Power.Type == SystemPowerState;
}

// Ends a power request here: the next power request may start, and the
// hold Power took is released last, since removal may then free the records.
static VOID CompletePowerRequest(PIRP Irp, NTSTATUS Status, PSMARTCARD_EXTENSION SmartcardExtension) {
  Irp->IoStatus.Information = 0;
  Irp->IoStatus.Status = Status;
  PoStartNextPowerIrp(Irp);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  SmartcardReleaseRemoveLock(SmartcardExtension);
}

// Dispatch routine of IRP_MJ_POWER.
NTSTATUS NTAPI Power(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
  PIO_STACK_LOCATION irpStack = IoGetCurrentIrpStackLocation(Irp);
  POWER_REQUEST_WAY way = PowerPassDown;
  POWER_STATE powerState;
  KIRQL irql;

  NTSTATUS status = SmartcardAcquireRemoveLock(smartcardExtension);
  if (!NT_SUCCESS(status)) {
    // The device is being removed; the system's power change goes on
    // without it.
    if (IsSystemSetPower(irpStack)) {
      status = STATUS_SUCCESS;
    }
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
      case PowerDeviceD0: way = PowerPassDownAndPowerUp; break;
      case PowerDeviceD3:
        PowerDownReader(DeviceObject, deviceExtension);
        way = PowerPassDown;
        break;
      default: way = PowerPassDown; break;
    }
  } else if (IsSystemSetPower(irpStack)) {
    SYSTEM_POWER_STATE systemState = irpStack->Parameters.Power.State.SystemState;
    powerState.DeviceState = DeviceStateForSystemState(systemState);
    if (powerState.DeviceState == PowerDeviceD0) {
      if (readerExtension->PowerState == READER_POWER_STATE_D0) {
        // Back to work without a device power change, as after a
        // sleep that was queried and then abandoned: reopen the gate
        // that the query closed, provided the reader is started.
        ReopenGateIfStarted(deviceExtension);
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

    case PowerPassDownAndPowerUp:
      // The reader is restarted here, at PASSIVE_LEVEL, once the lower
      // driver has finished the power-up: it may complete the request at
      // DISPATCH_LEVEL, where the reader's commands could not wait for
      // their replies. Its status, whatever it is, is the request's.
      status = CallSerialDriver(attachedDeviceObject, Irp);
      PowerUpReader(DeviceObject, deviceExtension, irpStack->Parameters.Power.State);
      CompletePowerRequest(Irp, status, smartcardExtension);
      return status;

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
        // the system request ends here; the device stays as it is. Nor
        // will a power-up reopen the gate the sleep query closed: requests
        // go on to the reader as it is, rather than wait until cancelled.
        ReopenGateIfStarted(deviceExtension);
        CompletePowerRequest(Irp, SystemSetPowerStatus(DeviceObject, status), smartcardExtension);
      }
      // The request was marked pending, so that is what it returns, also
      // when it has been completed already.
      return STATUS_PENDING;
  }

  ASSERT(FALSE);
  return status;
}

// Runs when the device power request that Power asked for has finished: the
// system request ends with that request's status, or with success and the
// failure logged. May run at DISPATCH_LEVEL.
VOID NTAPI SystemPowerCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PVOID Context, PIO_STATUS_BLOCK IoStatus) {
  PIRP systemIrp = (PIRP)Context;
  PSMARTCARD_EXTENSION smartcardExtension = &((PDEVICE_EXTENSION)DeviceObject->DeviceExtension)->SmartcardExtension;

  UNREFERENCED_PARAMETER(MinorFunction);

  systemIrp->IoStatus.Information = 0;
  systemIrp->IoStatus.Status = SystemSetPowerStatus(DeviceObject, IoStatus->Status);

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
