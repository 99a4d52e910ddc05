// The serial channel to the serial port driver below the reader.
//
// Control requests, writes and reads are built with
// IoBuildDeviceIoControlRequest and waited for on an event in the caller's
// frame; the I/O manager completes and frees them. The serial event wait is
// an IRP of our own (IoAllocateIrp) that SerialEventCompletion frees.

#include "link/SerialChannel.h"

#include "link/ReaderStart.h"
#include "link/ReceiveEngine.h"

const SERIAL_CONFIG_IOCTL SerialConfigIoctls[9] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, offsetof(SERIAL_CONFIG, BaudRate), sizeof(SERIAL_BAUD_RATE)},
    {IOCTL_SERIAL_SET_LINE_CONTROL, offsetof(SERIAL_CONFIG, LineControl), sizeof(SERIAL_LINE_CONTROL)},
    {IOCTL_SERIAL_SET_CHARS, offsetof(SERIAL_CONFIG, Chars), sizeof(SERIAL_CHARS)},
    {IOCTL_SERIAL_SET_TIMEOUTS, offsetof(SERIAL_CONFIG, Timeouts), sizeof(SERIAL_TIMEOUTS)},
    {IOCTL_SERIAL_SET_HANDFLOW, offsetof(SERIAL_CONFIG, HandFlow), sizeof(SERIAL_HANDFLOW)},
    {IOCTL_SERIAL_PURGE, offsetof(SERIAL_CONFIG, PurgeMask), sizeof(ULONG)},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0},
    {IOCTL_SERIAL_SET_WAIT_MASK, offsetof(SERIAL_CONFIG, WaitMask), sizeof(ULONG)},
    {0, 0, 0},
};

// A relative kernel time-out of Milliseconds, in 100-nanosecond units.
static LARGE_INTEGER RelativeMilliseconds(ULONG Milliseconds) {
  LARGE_INTEGER interval;
  interval.QuadPart = -((LONGLONG)Milliseconds * 10000);
  return interval;
}

// Waits for a request built by IoBuildDeviceIoControlRequest that the serial
// driver left pending. With a time-out, a request that outlives it is
// cancelled and then awaited without a time-out: the event and the status
// block belong to the caller's frame, and the I/O manager writes both when the
// request finally completes. Such a request is reported as STATUS_IO_TIMEOUT.
static NTSTATUS WaitForBuiltRequest(PIRP Irp, PKEVENT Event, PIO_STATUS_BLOCK IoStatus, PLARGE_INTEGER Timeout) {
  NTSTATUS status = KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, Timeout);
  if (status != STATUS_TIMEOUT) {
    return IoStatus->Status;
  }

  // The I/O manager frees the request once it has set the event; while the
  // event is not set the request still exists and may be cancelled. At
  // APC_LEVEL no completion can slip in between the test and the cancel.
  KIRQL oldIrql;
  KeRaiseIrql(APC_LEVEL, &oldIrql);
  BOOLEAN outstanding = KeReadStateEvent(Event) == 0;
  if (outstanding) {
    IoCancelIrp(Irp);
  }
  KeLowerIrql(oldIrql);

  KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, NULL);
  return STATUS_IO_TIMEOUT;
}

// Steps every serial request of this channel starts with: its own event and
// status block in the caller's frame, and a buffered device-control request
// built on them.
static PIRP BuildSerialRequest(PREADER_EXTENSION ReaderExtension, ULONG IoControlCode, PVOID InputBuffer,
                               ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength, PKEVENT Event,
                               PIO_STATUS_BLOCK IoStatus) {
  KeInitializeEvent(Event, NotificationEvent, FALSE);
  IoStatus->Status = STATUS_SUCCESS;
  IoStatus->Information = 0;
  return IoBuildDeviceIoControlRequest(IoControlCode, ReaderExtension->AttachedDeviceObject, InputBuffer,
                                       InputBufferLength, OutputBuffer, OutputBufferLength, FALSE, Event, IoStatus);
}

// Passes a write or read down and waits for it without a time-out of its
// own: the serial driver's time-outs end it.
static NTSTATUS CallSerialTransfer(PREADER_EXTENSION ReaderExtension, PIRP Irp, PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatus) {
  NTSTATUS status = IofCallDriver(ReaderExtension->AttachedDeviceObject, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, NULL);
    status = IoStatus->Status;
  }
  return status;
}

NTSTATUS SerialIoControl(PREADER_EXTENSION ReaderExtension, ULONG IoControlCode, PVOID InputBuffer,
                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength) {
  ASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);

  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  PIRP irp = BuildSerialRequest(ReaderExtension, IoControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                                OutputBufferLength, &event, &ioStatus);
  if (irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  NTSTATUS status = IofCallDriver(ReaderExtension->AttachedDeviceObject, irp);
  if (status != STATUS_PENDING) {
    return status;
  }
  LARGE_INTEGER timeout = RelativeMilliseconds(ReaderExtension->ReadTotalTimeout);
  return WaitForBuiltRequest(irp, &event, &ioStatus, &timeout);
}

NTSTATUS SerialWrite(PREADER_EXTENSION ReaderExtension, const UCHAR* Buffer, ULONG Count) {
  ASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);

  // The reply to this write starts a fresh exchange: bytes nobody took,
  // a failure nobody saw and a wake-up a worker run has yet to hand over
  // all belong to the one before, and are discarded.
  KIRQL oldIrql;
  KeAcquireSpinLock(&ReaderExtension->ReceiveLock, &oldIrql);
  ReaderExtension->ReceivedBytes = 0;
  ReaderExtension->ReceiveSequence++;
  ReaderExtension->ReceiveFailurePending = FALSE;
  ReaderExtension->ReplyPending = TRUE;
  KeClearEvent(&ReaderExtension->DataAvailable);
  KeReleaseSpinLock(&ReaderExtension->ReceiveLock, oldIrql);

  // The I/O manager copies the bytes into the request's system buffer, so
  // the caller's buffer is only read.
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  PIRP irp =
      BuildSerialRequest(ReaderExtension, TAV712_IOCTL_SERIAL_WRITE, (PVOID)Buffer, Count, NULL, 0, &event, &ioStatus);
  if (irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_WRITE;
  stack->Parameters.Write.Length = Count;
  stack->Parameters.Write.ByteOffset.QuadPart = 0;

  return CallSerialTransfer(ReaderExtension, irp, &event, &ioStatus);
}

NTSTATUS SerialRead(PREADER_EXTENSION ReaderExtension, PUCHAR Buffer, ULONG Count, PULONG BytesRead) {
  ASSERT(KeGetCurrentIrql() < DISPATCH_LEVEL);

  *BytesRead = 0;
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  PIRP irp = BuildSerialRequest(ReaderExtension, TAV712_IOCTL_SERIAL_READ, NULL, 0, Buffer, Count, &event, &ioStatus);
  if (irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_READ;
  stack->Parameters.Read.Length = Count;

  NTSTATUS status = CallSerialTransfer(ReaderExtension, irp, &event, &ioStatus);
  // A read that ends by its time-outs still delivers the bytes it took.
  *BytesRead = ioStatus.Information <= Count ? (ULONG)ioStatus.Information : Count;
  return status;
}

NTSTATUS ConfigureSerialPort(PREADER_EXTENSION ReaderExtension, PSERIAL_CONFIG SerialConfig) {
  for (const SERIAL_CONFIG_IOCTL* request = SerialConfigIoctls; request->IoControlCode != 0; ++request) {
    PVOID input = request->InputLength != 0 ? (PUCHAR)SerialConfig + request->InputOffset : NULL;
    NTSTATUS status = SerialIoControl(ReaderExtension, request->IoControlCode, input, request->InputLength, NULL, 0);
    // The port gets its pause also after a request it refused.
    DelayMilliseconds(SERIAL_CONFIG_DELAY_MS);
    if (status != STATUS_SUCCESS) {
      return status;
    }
  }
  return StartSerialEventWait(ReaderExtension);
}

NTSTATUS StartSerialEventWait(PREADER_EXTENSION ReaderExtension) {
  PDEVICE_OBJECT serialDevice = ReaderExtension->AttachedDeviceObject;
  PIRP irp = IoAllocateIrp((CCHAR)(serialDevice->StackSize + 1), FALSE);
  if (irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  // A wait that the serial driver fails or cancels may leave the mask
  // unwritten; it must then read as "no received character", never as the
  // events of an earlier wait.
  ReaderExtension->SerialEventMask = 0;

  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
  stack->Parameters.DeviceIoControl.InputBufferLength = 0;
  stack->Parameters.DeviceIoControl.OutputBufferLength = sizeof(ReaderExtension->SerialEventMask);
  irp->AssociatedIrp.SystemBuffer = &ReaderExtension->SerialEventMask;

  IoSetCompletionRoutine(irp, SerialEventCompletion, ReaderExtension, TRUE, TRUE, TRUE);
  (VOID) IofCallDriver(serialDevice, irp);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI SerialEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PREADER_EXTENSION readerExtension = (PREADER_EXTENSION)Context;

  // The mask alone decides: received characters go to the serial event
  // worker, which also closes the port after them when the DSR line changed.
  if (readerExtension->SerialEventMask & SERIAL_EV_RXCHAR) {
    IoQueueWorkItem(readerExtension->ReadWorkItem, SerialEventWorker, CriticalWorkQueue, readerExtension);
  } else {
    IoQueueWorkItem(readerExtension->CloseSerialWorkItem, CloseSerialPortWorker, DelayedWorkQueue, NULL);
  }

  IoFreeIrp(Irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID DelayMilliseconds(ULONG Milliseconds) {
  if (Milliseconds == 0) {
    return;
  }
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    LARGE_INTEGER interval = RelativeMilliseconds(Milliseconds);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    return;
  }
  // 20 stalls of 50 microseconds per millisecond.
  for (ULONGLONG stalls = (ULONGLONG)Milliseconds * 20; stalls != 0; --stalls) {
    KeStallExecutionProcessor(50);
  }
}
