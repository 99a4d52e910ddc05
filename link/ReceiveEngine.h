// The receive engine: the one path by which reader bytes reach the driver.
//
// Each completed serial wait with SERIAL_EV_RXCHAR runs SerialEventWorker on a
// critical worker thread. It drains what the port's input queue holds, in
// reads of up to TAV712_READ_CHUNK_SIZE bytes, decodes the reader's escape
// sequences (ReaderProtocol.h), appends data bytes to ReceiveBuffer, records
// the in-stream codes, reports card insertion and removal to UpdateCardState,
// re-arms the serial wait and, at the end of the run, wakes the thread
// waiting in ReaderReceive or WaitForBlockEnd.
//
// Threads never read the serial port themselves: they take bytes from
// ReceiveBuffer with ReaderReceive. Only one thread at a time may receive.
#pragma once

#include "include/tav712.h"

// Work item routine queued by SerialEventCompletion; Context is the reader
// record. Runs at PASSIVE_LEVEL.
VOID NTAPI SerialEventWorker(PDEVICE_OBJECT DeviceObject, PVOID Context);

// Takes the oldest Count bytes (at most TAV712_MAX_RECEIVE) of ReceiveBuffer
// into Buffer, waiting up to ReadCharTimeout x Count + ReadTotalTimeout ms for
// them. STATUS_SUCCESS only with exactly Count bytes delivered; any failure
// leaves the buffer as it was (STATUS_IO_TIMEOUT, or the status the reader's
// byte at the front of the buffer stands for; STATUS_DEVICE_REMOVED when the
// link closed during the wait; STATUS_BUFFER_TOO_SMALL for a count the
// buffer cannot hold).
NTSTATUS ReaderReceive(PREADER_EXTENSION ReaderExtension, PUCHAR Buffer, ULONG Count);

// Receives Count bytes into Buffer, whose capacity is *Length on entry.
// *Length is Count on success and 0 on any failure; STATUS_BUFFER_TOO_SMALL
// when Count exceeds the capacity (the bytes are then consumed and lost).
NTSTATUS ReaderReadBytes(PREADER_EXTENSION ReaderExtension, PUCHAR Buffer, PULONG Length, ULONG Count);

// After a T=1 block has been read: STATUS_SUCCESS once the reader has marked
// the block end, waiting at most ReadCharTimeout ms for it; otherwise
// BlockEndStatus (STATUS_IO_TIMEOUT).
NTSTATUS WaitForBlockEnd(PREADER_EXTENSION ReaderExtension);

// Called when the serial link closes (the reader's DSR line dropped, the
// wait failed, or a stop): a thread waiting in ReaderReceive wakes at once
// with STATUS_DEVICE_REMOVED instead of running out its time-out, which
// under a waiting-time extension can take minutes. A failure the thread has
// not taken yet stands. Any IRQL up to DISPATCH_LEVEL.
VOID EndWaitingReceive(PREADER_EXTENSION ReaderExtension);

// The status a reader status byte stands for.
NTSTATUS ReaderStatusToNtStatus(UCHAR ReaderStatus);
