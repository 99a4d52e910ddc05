// Reader start and stop.
//
// Link states, as SerialCloseDone tells them:
//
//   Closed (signalled)  --StartDevice: open, configure, wait armed-->  Open
//   Open (not signalled) --CloseSerialPortWorker: interface off, IRP_MJ_CLOSE--> Closed
//
// SerialCloseDone is cleared before the port is configured and the serial
// event wait armed, and set again at once if that fails (no wait is armed
// then). While the link is Open exactly one of these holds: a wait is pending
// at the serial driver, a worker run is under way that re-arms it or queues
// the close, or the close worker is queued or running. So a stop that empties
// the wait mask always ends with the close worker signalling SerialCloseDone,
// also when a start fails half way.

#include "link/ReaderStart.h"

#include "card/CardState.h"
#include "link/ReaderCommands.h"
#include "link/ReceiveEngine.h"
#include "link/SerialChannel.h"
#include "tav712log.h"

// Receive time-outs from reader start until a card sets its own (ms); they
// mirror ReadIntervalTimeout and ReadTotalTimeoutConstant of the port.
#define START_READ_CHAR_TIMEOUT_MS 50
#define START_READ_TOTAL_TIMEOUT_MS 100
#define START_WRITE_TOTAL_TIMEOUT_MS 1000

// How often and how far apart a stop tries to send the empty wait mask when
// the request cannot be built.
#define STOP_WAIT_MASK_ATTEMPTS 50
#define STOP_WAIT_MASK_RETRY_MS 100

// How often a start asks for the card state that the reader did not tell.
#define START_CARD_STATE_ATTEMPTS 3

// The serial settings of a reader start: 19200 baud, 8N1, no handshake or
// flow control, received characters and DSR changes watched.
static VOID FillStartConfig(PSERIAL_CONFIG Config) {
  RtlZeroMemory(Config, sizeof(*Config));
  Config->HandFlow.ControlHandShake = 0;
  Config->HandFlow.FlowReplace = SERIAL_XOFF_CONTINUE;
  Config->HandFlow.XonLimit = 0;
  Config->HandFlow.XoffLimit = 0;
  Config->Timeouts.ReadIntervalTimeout = START_READ_CHAR_TIMEOUT_MS;
  Config->Timeouts.ReadTotalTimeoutMultiplier = 0;
  Config->Timeouts.ReadTotalTimeoutConstant = START_READ_TOTAL_TIMEOUT_MS;
  Config->Timeouts.WriteTotalTimeoutMultiplier = 0;
  Config->Timeouts.WriteTotalTimeoutConstant = START_WRITE_TOTAL_TIMEOUT_MS;
  Config->BaudRate.BaudRate = TAV712_BAUD_RATE;
  Config->LineControl.StopBits = STOP_BIT_1;
  Config->LineControl.Parity = NO_PARITY;
  Config->LineControl.WordLength = TAV712_WORD_LENGTH;
  Config->WaitMask = TAV712_WAIT_MASK;
  Config->PurgeMask = TAV712_PURGE_MASK;
}

// Sends a create or close request of our own to the serial port and waits
// for it. The request has our stack size plus one locations; our own is made
// current and filled with MajorFunction alone (the rest stays zero).
static NTSTATUS SendSerialCreateClose(PREADER_EXTENSION ReaderExtension, PIRP Irp, UCHAR MajorFunction) {
  IO_STATUS_BLOCK ioStatus;
  IoSetNextIrpStackLocation(Irp);
  Irp->UserIosb = &ioStatus;

  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  stack->MajorFunction = MajorFunction;
  if (MajorFunction == IRP_MJ_CREATE) {
    stack->Parameters.Create.Options = 0;
    stack->Parameters.Create.FileAttributes = 0;
    stack->Parameters.Create.ShareAccess = 0;
    stack->Parameters.Create.EaLength = 0;
  }
  NTSTATUS status = CallSerialDriver(ReaderExtension->AttachedDeviceObject, Irp);
  Irp->UserIosb = NULL;
  return status;
}

// Closes the serial port this driver opened. Nothing is sent when no request
// can be allocated.
static VOID CloseSerialPort(PDEVICE_OBJECT DeviceObject, PREADER_EXTENSION ReaderExtension) {
  PIRP irp = IoAllocateIrp((CCHAR)(DeviceObject->StackSize + 1), FALSE);
  if (irp == NULL) {
    return;
  }
  (VOID) SendSerialCreateClose(ReaderExtension, irp, IRP_MJ_CLOSE);
  IoFreeIrp(irp);
}

// Steps of a start after the serial port has been opened: configuration with
// the serial event wait, firmware version, start table, card state and the
// device interface.
static NTSTATUS StartOpenedReader(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
  PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;

  readerExtension->ReadCharTimeout = START_READ_CHAR_TIMEOUT_MS;
  readerExtension->ReadTotalTimeout = START_READ_TOTAL_TIMEOUT_MS;
  SERIAL_CONFIG config;
  FillStartConfig(&config);

  // The link counts as Open before the wait is armed: the wait may end
  // (a DSR change) and its close worker signal SerialCloseDone as soon as
  // it is handed down. From then on a failure is undone by StopDevice
  // through the close worker.
  KIRQL irql;
  KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
  deviceExtension->SerialClosing = FALSE;
  KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
  KeClearEvent(&deviceExtension->SerialCloseDone);
  NTSTATUS status = ConfigureSerialPort(readerExtension, &config);
  if (status != STATUS_SUCCESS) {
    SmartcardLogError(DeviceObject, MSG_SERIAL_CONFIG_FAILED, NULL, 0);
    // No wait was armed, so no close worker will run for this open:
    // close the port here rather than leave it open for good.
    CloseSerialPort(DeviceObject, readerExtension);
    KeSetEvent(&deviceExtension->SerialCloseDone, IO_NO_INCREMENT, FALSE);
    return status;
  }

  status = ReaderGetFirmwareVersion(readerExtension);
  if (status == STATUS_SUCCESS) {
    status = ReaderRunRegisterTable(readerExtension, ReaderStartTable);
  }
  if (status != STATUS_SUCCESS) {
    SmartcardLogError(DeviceObject, MSG_READER_INIT_FAILED, NULL, 0);
    return status;
  }

  // A card-state read that the reader answers with its error code, or too
  // late, is made again: left unknown, the state would have every request
  // find no card until the next card event.
  for (ULONG attempt = 1; attempt <= START_CARD_STATE_ATTEMPTS; ++attempt) {
    UpdateCardState(smartcardExtension, SCARD_UNKNOWN);
    if (smartcardExtension->ReaderCapabilities.CurrentState != SCARD_UNKNOWN) {
      break;
    }
  }

  // A failure to enable the interface is not logged. One that is enabled
  // already (a stop could not disable it) is no failure.
  status = IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, TRUE);
  if (status == STATUS_OBJECT_NAME_EXISTS) {
    status = STATUS_SUCCESS;
  }
  if (status == STATUS_SUCCESS) {
    KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
    deviceExtension->PnPStarted = TRUE;
    BOOLEAN closing = deviceExtension->SerialClosing;
    KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
    if (closing) {
      // The port closed under the start (its serial wait could not be
      // armed again, or DSR dropped) and the close worker may have
      // disabled the interface before it was enabled here: the reader
      // ends as after a port that closes right after its start, its card
      // state forgotten (the close worker did not count the reader as
      // started, and a card-state read the close cut short leaves the
      // state as it was before).
      ForgetCardState(smartcardExtension);
      (VOID) IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, FALSE);
    }
    KeSetEvent(&deviceExtension->ReaderStarted, IO_NO_INCREMENT, FALSE);
  }
  return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PREADER_EXTENSION readerExtension = deviceExtension->SmartcardExtension.ReaderExtension;
  ASSERT(readerExtension != NULL);
  NTSTATUS status;

  PIRP irp = IoAllocateIrp((CCHAR)(DeviceObject->StackSize + 1), FALSE);
  if (irp == NULL) {
    SmartcardLogError(DeviceObject, MSG_NO_MEMORY, NULL, 0);
    status = STATUS_NO_MEMORY;
  } else {
    status = SendSerialCreateClose(readerExtension, irp, IRP_MJ_CREATE);
    if (status != STATUS_SUCCESS) {
      SmartcardLogError(DeviceObject, MSG_SERIAL_OPEN_FAILED, NULL, 0);
    } else {
      status = StartOpenedReader(DeviceObject);
    }
    IoFreeIrp(irp);
  }

  if (status != STATUS_SUCCESS) {
    StopDevice(deviceExtension);
  }
  return status;
}

VOID StopDevice(PDEVICE_EXTENSION DeviceExtension) {
  ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
  // Also when the port has closed by itself: from now on only the next
  // start makes the reader usable, and no power-up reopens the gate.
  KIRQL irql;
  KeAcquireSpinLock(&DeviceExtension->SpinLock, &irql);
  DeviceExtension->PnPStarted = FALSE;
  KeReleaseSpinLock(&DeviceExtension->SpinLock, irql);

  if (KeReadStateEvent(&DeviceExtension->SerialCloseDone)) {
    return;
  }
  PREADER_EXTENSION readerExtension = DeviceExtension->SmartcardExtension.ReaderExtension;

  // A card that does not answer the power-down only costs the stop table.
  NTSTATUS status = ReaderPowerDownCard(readerExtension);
  if (NT_SUCCESS(status)) {
    (VOID) ReaderRunRegisterTable(readerExtension, ReaderStopTable);
  }

  // An empty wait mask ends the pending serial wait without received
  // characters, which queues the close worker. Its status is not used, but
  // a request that could not even be built (no memory) is tried again for
  // a while: without it the wait would never end and the wait below with
  // it.
  ULONG waitMask = 0;
  for (ULONG attempt = 1; attempt <= STOP_WAIT_MASK_ATTEMPTS; ++attempt) {
    status = SerialIoControl(readerExtension, IOCTL_SERIAL_SET_WAIT_MASK, &waitMask, sizeof(waitMask), NULL, 0);
    if (status != STATUS_INSUFFICIENT_RESOURCES) {
      break;
    }
    DelayMilliseconds(STOP_WAIT_MASK_RETRY_MS);
  }

  KeWaitForSingleObject(&DeviceExtension->SerialCloseDone, Executive, KernelMode, FALSE, NULL);
}

VOID NTAPI CloseSerialPortWorker(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  UNREFERENCED_PARAMETER(Context);
  PDEVICE_EXTENSION deviceExtension = (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
  PREADER_EXTENSION readerExtension = deviceExtension->SmartcardExtension.ReaderExtension;

  KIRQL irql;
  KeAcquireSpinLock(&deviceExtension->SpinLock, &irql);
  deviceExtension->SerialClosing = TRUE;
  // A stop clears PnPStarted before it empties the wait mask: a close
  // while it is set is the reader's own doing.
  BOOLEAN readerWentAway = deviceExtension->PnPStarted;
  KeReleaseSpinLock(&deviceExtension->SpinLock, irql);
  // Whatever the reader last said about the card no longer holds. Handles
  // still open, and any opened later when the interface cannot be
  // disabled, hear "unknown" instead of a card that may have left the slot.
  if (readerWentAway) {
    ForgetCardState(&deviceExtension->SmartcardExtension);
  }
  (VOID) IoSetDeviceInterfaceState(&deviceExtension->PnPDeviceName, FALSE);
  CloseSerialPort(DeviceObject, readerExtension);
  // No byte comes any more: a receive waiting for the reader ends now, not
  // when its time-out runs out. Before SerialCloseDone, after which a stop
  // may go on to free the reader record.
  EndWaitingReceive(readerExtension);
  KeSetEvent(&deviceExtension->SerialCloseDone, IO_NO_INCREMENT, FALSE);
}

NTSTATUS CallSerialDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  KEVENT event;

  IoCopyCurrentIrpStackLocationToNext(Irp);
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoSetCompletionRoutine(Irp, CallSerialDriverCompletion, &event, TRUE, TRUE, TRUE);

  NTSTATUS status;
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) {
    status = PoCallDriver(DeviceObject, Irp);
  } else {
    status = IofCallDriver(DeviceObject, Irp);
  }

  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS NTAPI CallSerialDriverCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  if (Irp->Cancel) {
    Irp->IoStatus.Status = STATUS_CANCELLED;
  }
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
