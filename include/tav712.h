// The TAV712 driver's per-device records and shared constants.
//
// Every reader device carries two records: DEVICE_EXTENSION, the extension of
// its device object, whose first member is the smart card library's
// SMARTCARD_EXTENSION (so a pointer to one is a pointer to the other), and
// READER_EXTENSION, the driver's own reader record, allocated from non-paged
// pool and reached through SmartcardExtension.ReaderExtension.
//
// Locks: ReceiveLock guards ReceiveBuffer, ReceivedBytes, BytesWanted,
// ReceiveStatus and ReceiveSequence between the serial event worker and a
// thread taking bytes;
// SpinLock guards IoCount, PnPStarted, the decisions to clear and to reopen
// ReaderStarted and the setting of ReaderRemoved. Neither is held across a
// wait or a serial request.
#pragma once

#include <wdm.h>
#include <ntddser.h>
#include <winsmcrd.h>
#include <smclib.h>

#include "include/ReaderProtocol.h"

// At most this many reader devices exist at one time.
#define TAV712_MAX_DEVICES 10

// Size of the receive buffer. The serial event worker keeps at most
// TAV712_RECEIVE_BUFFER_SIZE - 1 bytes in it, so that is also the largest
// count a receive may ask for.
#define TAV712_RECEIVE_BUFFER_SIZE 768
#define TAV712_MAX_RECEIVE (TAV712_RECEIVE_BUFFER_SIZE - 1)

// The serial event worker takes at most this many bytes from the serial port
// in one read: what the port's input queue holds, up to this size.
#define TAV712_READ_CHUNK_SIZE 256

// BytesWanted while no thread waits for bytes.
#define TAV712_NO_BYTES_WANTED 0xFFFFFFFFUL

// TA1..TD3 of the last answer-to-reset: 3 groups of 4 interface bytes.
#define TAV712_ATR_INTERFACE_ENTRIES 12

// One interface byte of the answer-to-reset and whether it was present.
typedef struct _ATR_INTERFACE_BYTE {
  UCHAR Present;
  UCHAR Value;
} ATR_INTERFACE_BYTE, *PATR_INTERFACE_BYTE;

// The driver's own record of one reader.
typedef struct _READER_EXTENSION {
  // The serial port's device object; target of every serial request.
  PDEVICE_OBJECT AttachedDeviceObject;
  // Runs CloseSerialPortWorker (delayed queue).
  PIO_WORKITEM CloseSerialWorkItem;
  // Runs SerialEventWorker (critical queue).
  PIO_WORKITEM ReadWorkItem;
  // Back pointer to the owning smart card extension (= device extension).
  PSMARTCARD_EXTENSION SmartcardExtension;
  // Destination of the serial event worker's reads (one run reads at a
  // time: the next run starts only after the wait it arms at its end).
  UCHAR ReadChunk[TAV712_READ_CHUNK_SIZE];
  // Bytes received and not yet taken, oldest first.
  UCHAR ReceiveBuffer[TAV712_RECEIVE_BUFFER_SIZE];
  // Valid bytes at the start of ReceiveBuffer; at most 767.
  ULONG ReceivedBytes;
  // Bytes a waiting thread needs, or TAV712_NO_BYTES_WANTED.
  ULONG BytesWanted;
  // Status the worker hands to the waiting thread with DataAvailable.
  NTSTATUS ReceiveStatus;
  // TRUE from the reader's error code until the run that decoded it hands
  // its failure over: bytes that follow the code are not the reply.
  BOOLEAN ReceiveFailurePending;
  // The command written last has had no reply yet (set by the write, under
  // ReceiveLock): a time-out marker that comes before the reply is the tail
  // of an exchange before, not the end of this one.
  BOOLEAN ReplyPending;
  // STATUS_DATA_ERROR once the reader reported a data error in the stream.
  NTSTATUS TransferError;
  // STATUS_SUCCESS once the reader marked the end of a T=1 block.
  NTSTATUS BlockEndStatus;
  // Output of the pending wait-on-mask request: the events that ended it.
  ULONG SerialEventMask;
  // Fixed part of a receive time-out and whole serial control time-out (ms).
  ULONG ReadTotalTimeout;
  // Receive time-out added per byte wanted (ms).
  ULONG ReadCharTimeout;
  // Set by the worker at the end of a run a waiting thread must see.
  KEVENT DataAvailable;
  // Guards the receive buffer, its counters and ReceiveStatus.
  KSPIN_LOCK ReceiveLock;
  // 1 while the device is in D0, 2 while it is in D3.
  ULONG PowerState;
  // The last byte read was READER_ESCAPE and its partner has not come yet.
  BOOLEAN EscapePending;
  // Firmware version from reader register 0.
  UCHAR FirmwareMajor;
  UCHAR FirmwareMinor;
  // TA(g+1), TB(g+1), TC(g+1), TD(g+1) at entries 4g .. 4g+3, g = 0..2.
  ATR_INTERFACE_BYTE AtrInterfaceBytes[TAV712_ATR_INTERFACE_ENTRIES];
  // Counts the exchanges: each write to the reader starts the next one. A
  // worker run's wake-up belongs to the exchange whose bytes it decoded and
  // is dropped once a write has started another, however late the run ends.
  ULONG ReceiveSequence;
  // Counts what the reader said of the card by itself (insertion and removal
  // codes) and the driver's forgetting of it, under OsData->SpinLock. A
  // register-4 reading is recorded only when nothing was counted since its
  // read was sent: the event came later in the reader's stream and stands.
  ULONG CardEvents;
} READER_EXTENSION;

// The extension of a reader's device object.
typedef struct _DEVICE_EXTENSION {
  // The smart card library's record; first, so both pointers are equal.
  SMARTCARD_EXTENSION SmartcardExtension;
  // Signalled while no handle is open.
  KEVENT ReaderClosed;
  // Guards IoCount, PnPStarted, the decisions to clear and to reopen
  // ReaderStarted and the setting of ReaderRemoved.
  KSPIN_LOCK SpinLock;
  // Symbolic link of the smart card reader interface.
  UNICODE_STRING PnPDeviceName;
  // Index of this device's entry in DeviceSlots.
  ULONG DeviceInstance;
  // Device-control requests inside the smart card library.
  LONG IoCount;
  // Signalled while the reader is started and requests may go to it.
  KEVENT ReaderStarted;
  // Signalled while no serial connection is open.
  KEVENT SerialCloseDone;
  // Signalled, under SpinLock, once the device is going away (surprise
  // removal, removal, a failed start): the gate then sends every request
  // back, also those that waited at it.
  KEVENT ReaderRemoved;
  // TRUE from a successful Plug and Play start of the reader until its stop
  // or removal. Unlike the serial connection it outlasts a port that closed
  // by itself (the reader's DSR line dropped): a power-up reopens the gate
  // for as long as it is set, so that requests fail on the closed port
  // rather than wait for a start that Plug and Play will not send.
  BOOLEAN PnPStarted;
  // TRUE, under SpinLock, once the close worker has begun to close the
  // serial connection (before it disables the interface); cleared when a
  // start opens it again. A start, refused query-remove or cancel-remove
  // that enables the interface after the worker disabled it finds it set
  // and disables the interface again.
  BOOLEAN SerialClosing;
  // The file object of the handle last cleaned up, under the cancel spin
  // lock, until the next create. A card-tracking request of that handle
  // that reaches the library after the cleanup (sent on another thread
  // before the handle was closed, it may have waited at the gate) is
  // cancelled at once: the cleanup could not cancel it, and parked it would
  // hold the handle's close until the next card event.
  PFILE_OBJECT CleanedUpFileObject;
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// In-use flags of the reader devices; a device holds the entry at its
// DeviceInstance from creation to removal.
extern UCHAR DeviceSlots[TAV712_MAX_DEVICES];

// Layout that other code relies on: the device extension is the smart card
// extension, and the reader record keeps its members in the documented order.
static_assert(offsetof(DEVICE_EXTENSION, SmartcardExtension) == 0,
              "a device extension pointer is a smart card extension pointer");
static_assert(offsetof(DEVICE_EXTENSION, ReaderClosed) < offsetof(DEVICE_EXTENSION, SpinLock) &&
                  offsetof(DEVICE_EXTENSION, SpinLock) < offsetof(DEVICE_EXTENSION, PnPDeviceName) &&
                  offsetof(DEVICE_EXTENSION, PnPDeviceName) < offsetof(DEVICE_EXTENSION, DeviceInstance) &&
                  offsetof(DEVICE_EXTENSION, DeviceInstance) < offsetof(DEVICE_EXTENSION, IoCount) &&
                  offsetof(DEVICE_EXTENSION, IoCount) < offsetof(DEVICE_EXTENSION, ReaderStarted) &&
                  offsetof(DEVICE_EXTENSION, ReaderStarted) < offsetof(DEVICE_EXTENSION, SerialCloseDone),
              "DEVICE_EXTENSION members in their documented order");
static_assert(offsetof(READER_EXTENSION, AttachedDeviceObject) == 0 &&
                  offsetof(READER_EXTENSION, AttachedDeviceObject) < offsetof(READER_EXTENSION, CloseSerialWorkItem) &&
                  offsetof(READER_EXTENSION, CloseSerialWorkItem) < offsetof(READER_EXTENSION, ReadWorkItem) &&
                  offsetof(READER_EXTENSION, ReadWorkItem) < offsetof(READER_EXTENSION, SmartcardExtension) &&
                  offsetof(READER_EXTENSION, SmartcardExtension) < offsetof(READER_EXTENSION, ReadChunk) &&
                  offsetof(READER_EXTENSION, ReadChunk) < offsetof(READER_EXTENSION, ReceiveBuffer) &&
                  offsetof(READER_EXTENSION, ReceiveBuffer) < offsetof(READER_EXTENSION, ReceivedBytes) &&
                  offsetof(READER_EXTENSION, ReceivedBytes) < offsetof(READER_EXTENSION, BytesWanted) &&
                  offsetof(READER_EXTENSION, BytesWanted) < offsetof(READER_EXTENSION, ReceiveStatus) &&
                  offsetof(READER_EXTENSION, ReceiveStatus) < offsetof(READER_EXTENSION, TransferError) &&
                  offsetof(READER_EXTENSION, TransferError) < offsetof(READER_EXTENSION, BlockEndStatus) &&
                  offsetof(READER_EXTENSION, BlockEndStatus) < offsetof(READER_EXTENSION, SerialEventMask) &&
                  offsetof(READER_EXTENSION, SerialEventMask) < offsetof(READER_EXTENSION, ReadTotalTimeout) &&
                  offsetof(READER_EXTENSION, ReadTotalTimeout) < offsetof(READER_EXTENSION, ReadCharTimeout) &&
                  offsetof(READER_EXTENSION, ReadCharTimeout) < offsetof(READER_EXTENSION, DataAvailable) &&
                  offsetof(READER_EXTENSION, DataAvailable) < offsetof(READER_EXTENSION, ReceiveLock) &&
                  offsetof(READER_EXTENSION, ReceiveLock) < offsetof(READER_EXTENSION, PowerState) &&
                  offsetof(READER_EXTENSION, PowerState) < offsetof(READER_EXTENSION, EscapePending) &&
                  offsetof(READER_EXTENSION, EscapePending) < offsetof(READER_EXTENSION, FirmwareMajor) &&
                  offsetof(READER_EXTENSION, FirmwareMajor) < offsetof(READER_EXTENSION, FirmwareMinor) &&
                  offsetof(READER_EXTENSION, FirmwareMinor) < offsetof(READER_EXTENSION, AtrInterfaceBytes),
              "READER_EXTENSION members in their documented order");
static_assert(sizeof(READER_EXTENSION::ReceiveBuffer) == 768, "768-byte receive buffer");
static_assert(sizeof(READER_EXTENSION::SerialEventMask) == 4, "wait-on-mask output is 4 bytes");
static_assert(sizeof(ATR_INTERFACE_BYTE) == 2 && TAV712_ATR_INTERFACE_ENTRIES == 12, "TA1..TD3");
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(NTSTATUS) == 4, "LLP64 integer sizes");

// The status codes the driver returns, with their wire values.
static_assert(STATUS_SUCCESS == static_cast<NTSTATUS>(0x00000000L), "STATUS_SUCCESS");
static_assert(STATUS_TIMEOUT == static_cast<NTSTATUS>(0x00000102L), "STATUS_TIMEOUT");
static_assert(STATUS_PENDING == static_cast<NTSTATUS>(0x00000103L), "STATUS_PENDING");
static_assert(STATUS_DEVICE_BUSY == static_cast<NTSTATUS>(0x80000011L), "STATUS_DEVICE_BUSY");
static_assert(STATUS_UNSUCCESSFUL == static_cast<NTSTATUS>(0xC0000001L), "STATUS_UNSUCCESSFUL");
static_assert(STATUS_INVALID_DEVICE_REQUEST == static_cast<NTSTATUS>(0xC0000010L), "STATUS_INVALID_DEVICE_REQUEST");
static_assert(STATUS_UNRECOGNIZED_MEDIA == static_cast<NTSTATUS>(0xC0000014L), "STATUS_UNRECOGNIZED_MEDIA");
static_assert(STATUS_MORE_PROCESSING_REQUIRED == static_cast<NTSTATUS>(0xC0000016L), "STATUS_MORE_PROCESSING_REQUIRED");
static_assert(STATUS_NO_MEMORY == static_cast<NTSTATUS>(0xC0000017L), "STATUS_NO_MEMORY");
static_assert(STATUS_BUFFER_TOO_SMALL == static_cast<NTSTATUS>(0xC0000023L), "STATUS_BUFFER_TOO_SMALL");
static_assert(STATUS_DATA_OVERRUN == static_cast<NTSTATUS>(0xC000003CL), "STATUS_DATA_OVERRUN");
static_assert(STATUS_DATA_ERROR == static_cast<NTSTATUS>(0xC000003EL), "STATUS_DATA_ERROR");
static_assert(STATUS_CRC_ERROR == static_cast<NTSTATUS>(0xC000003FL), "STATUS_CRC_ERROR");
static_assert(STATUS_INSUFFICIENT_RESOURCES == static_cast<NTSTATUS>(0xC000009AL), "STATUS_INSUFFICIENT_RESOURCES");
static_assert(STATUS_IO_TIMEOUT == static_cast<NTSTATUS>(0xC00000B5L), "STATUS_IO_TIMEOUT");
static_assert(STATUS_CANCELLED == static_cast<NTSTATUS>(0xC0000120L), "STATUS_CANCELLED");
static_assert(STATUS_DEVICE_PROTOCOL_ERROR == static_cast<NTSTATUS>(0xC0000186L), "STATUS_DEVICE_PROTOCOL_ERROR");
static_assert(STATUS_DEVICE_REMOVED == static_cast<NTSTATUS>(0xC00002B6L), "STATUS_DEVICE_REMOVED");

// Card states and protocols of the library that the link relies on.
static_assert(SCARD_UNKNOWN == 0 && SCARD_ABSENT == 1 && SCARD_PRESENT == 2 && SCARD_SWALLOWED == 3 &&
                  SCARD_POWERED == 4 && SCARD_NEGOTIABLE == 5 && SCARD_SPECIFIC == 6,
              "card state values");
