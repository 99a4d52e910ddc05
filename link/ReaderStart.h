// Reader start and stop: brings the whole reader link up and down.
//
// The link's state is told by SerialCloseDone of the device extension:
// signalled while no serial connection is open (Closed), not signalled while
// the port is open, configured and watched by the serial event wait (Open).
// Open becomes Closed only through CloseSerialPortWorker, which runs when the
// serial event wait ends without received characters: after StopDevice
// empties the wait mask, when the reader's DSR line changes, or when the wait
// fails or cannot be re-armed.
#pragma once

#include "include/tav712.h"

// Opens and configures the serial port, arms the serial event wait, reads the
// firmware version, writes the start table, reads the card state and enables
// the device interface; then PnPStarted is set and ReaderStarted signalled.
// On failure the link is taken down again and the failing step's status is
// returned. Called for a Plug and Play start only. PASSIVE_LEVEL.
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject);

// Clears PnPStarted; then powers the card down, writes the stop table,
// empties the serial wait mask and waits until CloseSerialPortWorker has
// closed the port. Returns after clearing PnPStarted while SerialCloseDone is
// signalled. PASSIVE_LEVEL.
VOID StopDevice(PDEVICE_EXTENSION DeviceExtension);

// Work item routine (delayed queue): disables the device interface, sends
// IRP_MJ_CLOSE to the serial port and signals SerialCloseDone. Context is
// ignored.
VOID NTAPI CloseSerialPortWorker(PDEVICE_OBJECT DeviceObject, PVOID Context);

// Passes a request that this driver owns, its current stack location filled
// in, down to DeviceObject and waits until the lower driver has finished with
// it. The request comes back uncompleted; the result is the status the lower
// driver finished it with (STATUS_CANCELLED when it was cancelled).
NTSTATUS CallSerialDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Completion routine of CallSerialDriver; Context is its event. Always
// STATUS_MORE_PROCESSING_REQUIRED.
NTSTATUS NTAPI CallSerialDriverCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
