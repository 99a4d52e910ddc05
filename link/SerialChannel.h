// The serial channel: everything the driver sends to the serial port driver
// below it (AttachedDeviceObject of the reader record).
//
// - SerialIoControl: one synchronous serial control request, bounded by
//   ReadTotalTimeout.
// - SerialWrite / SerialRead: synchronous writes and reads, bounded by the
//   serial driver's own time-outs. They travel as buffered device-control
//   requests (TAV712_IOCTL_SERIAL_WRITE / _READ) whose stack location is
//   turned into IRP_MJ_WRITE / IRP_MJ_READ, so the I/O manager supplies and
//   copies the system buffer.
// - ConfigureSerialPort: the eight configuration requests, 25 ms apart, then
//   the serial event wait.
// - StartSerialEventWait / SerialEventCompletion: the one wait-on-mask request
//   that is pending while the port is open; its completion queues the serial
//   event worker (received characters) or the close worker (anything else).
#pragma once

#include "include/tav712.h"

// Buffered device-control codes that carry the driver's writes and reads
// (FILE_DEVICE_SMARTCARD, function 0, METHOD_BUFFERED, write / read access).
#define TAV712_IOCTL_SERIAL_WRITE CTL_CODE(FILE_DEVICE_SMARTCARD, 0, METHOD_BUFFERED, FILE_WRITE_ACCESS)
#define TAV712_IOCTL_SERIAL_READ CTL_CODE(FILE_DEVICE_SMARTCARD, 0, METHOD_BUFFERED, FILE_READ_ACCESS)

// Pause after each configuration request, in milliseconds.
#define SERIAL_CONFIG_DELAY_MS 25

// Line settings of the reader, applied by ConfigureSerialPort.
#define TAV712_BAUD_RATE 19200
#define TAV712_WORD_LENGTH 8
#define TAV712_WAIT_MASK (SERIAL_EV_RXCHAR | SERIAL_EV_DSR)
#define TAV712_PURGE_MASK (SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR)

// The serial settings the reader start hands to ConfigureSerialPort.
typedef struct _SERIAL_CONFIG {
  SERIAL_HANDFLOW HandFlow;
  SERIAL_CHARS Chars;
  SERIAL_TIMEOUTS Timeouts;
  SERIAL_BAUD_RATE BaudRate;
  SERIAL_LINE_CONTROL LineControl;
  ULONG WaitMask;
  ULONG PurgeMask;
} SERIAL_CONFIG, *PSERIAL_CONFIG;

// One configuration request: its control code and which part of
// SERIAL_CONFIG is its input (none when InputLength is 0).
typedef struct _SERIAL_CONFIG_IOCTL {
  ULONG IoControlCode;
  ULONG InputOffset;
  ULONG InputLength;
} SERIAL_CONFIG_IOCTL, *PSERIAL_CONFIG_IOCTL;

// The configuration requests in the order they are sent, ended by a zero code.
extern const SERIAL_CONFIG_IOCTL SerialConfigIoctls[9];

static_assert(TAV712_IOCTL_SERIAL_WRITE == 0x00318000, "buffered write carrier");
static_assert(TAV712_IOCTL_SERIAL_READ == 0x00314000, "buffered read carrier");
static_assert(IOCTL_SERIAL_SET_BAUD_RATE == 0x001B0004 && IOCTL_SERIAL_SET_LINE_CONTROL == 0x001B000C &&
                  IOCTL_SERIAL_SET_CHARS == 0x001B005C && IOCTL_SERIAL_SET_TIMEOUTS == 0x001B001C &&
                  IOCTL_SERIAL_SET_HANDFLOW == 0x001B0064 && IOCTL_SERIAL_PURGE == 0x001B004C &&
                  IOCTL_SERIAL_SET_BREAK_OFF == 0x001B0014 && IOCTL_SERIAL_SET_WAIT_MASK == 0x001B0044 &&
                  IOCTL_SERIAL_WAIT_ON_MASK == 0x001B0048 && IOCTL_SERIAL_GET_COMMSTATUS == 0x001B006C,
              "serial control codes");
static_assert(sizeof(SERIAL_BAUD_RATE) == 4 && sizeof(SERIAL_LINE_CONTROL) == 3 && sizeof(SERIAL_CHARS) == 6 &&
                  sizeof(SERIAL_TIMEOUTS) == 20 && sizeof(SERIAL_HANDFLOW) == 16 && sizeof(SERIAL_STATUS) == 20,
              "serial request input sizes");
static_assert(TAV712_WAIT_MASK == 0x11 && TAV712_PURGE_MASK == 0x0C && SERIAL_XOFF_CONTINUE == 0x80000000,
              "wait and purge masks, flow replacement");

// Sends one serial control request to AttachedDeviceObject and waits for it.
// A request still pending after ReadTotalTimeout ms is cancelled and awaited
// (its event and status block live in this frame) and reported as
// STATUS_IO_TIMEOUT. Below DISPATCH_LEVEL only.
NTSTATUS SerialIoControl(PREADER_EXTENSION ReaderExtension, ULONG IoControlCode, PVOID InputBuffer,
                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength);

// Discards the unread received bytes, then writes Count bytes to the reader
// and waits until the serial driver has finished with them.
NTSTATUS SerialWrite(PREADER_EXTENSION ReaderExtension, const UCHAR* Buffer, ULONG Count);

// Reads Count bytes from the serial port; STATUS_TIMEOUT when they do not come
// within the serial read time-outs. *BytesRead is the number of bytes the
// serial driver delivered into Buffer, also when the read failed. Used only by
// the serial event worker.
NTSTATUS SerialRead(PREADER_EXTENSION ReaderExtension, PUCHAR Buffer, ULONG Count, PULONG BytesRead);

// Sends SerialConfigIoctls in order, 25 ms apart, stopping after the first
// failure; when all succeed, arms the serial event wait.
NTSTATUS ConfigureSerialPort(PREADER_EXTENSION ReaderExtension, PSERIAL_CONFIG SerialConfig);

// Hands one IOCTL_SERIAL_WAIT_ON_MASK request to the serial driver, with
// SerialEventMask as its output. STATUS_INSUFFICIENT_RESOURCES when no request
// could be allocated; STATUS_SUCCESS once it has been passed down.
NTSTATUS StartSerialEventWait(PREADER_EXTENSION ReaderExtension);

// Completion routine of the wait: queues the serial event worker when
// SERIAL_EV_RXCHAR ended it and the close worker otherwise, then frees the
// request. Context is the reader record.
NTSTATUS NTAPI SerialEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Pauses for Milliseconds: sleeps below DISPATCH_LEVEL, stalls at or above.
VOID DelayMilliseconds(ULONG Milliseconds);
