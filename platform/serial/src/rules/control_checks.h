#pragma once
// Validation of serial control requests, as the platform's serial driver
// does it: buffer sizes first (STATUS_BUFFER_TOO_SMALL), then values
// (STATUS_INVALID_PARAMETER); a code the port does not serve is
// STATUS_INVALID_DEVICE_REQUEST. Pure functions over the request records.

#include <ntddser.h>

namespace serial {

// The input and output sizes a served control code needs, or nothing.
struct ControlShape {
  ULONG code;
  ULONG inputBytes;
  ULONG outputBytes;
};
const ControlShape* controlShape(ULONG code);

// STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL or STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS checkControlBuffers(ULONG code, ULONG inputLength, ULONG outputLength);

NTSTATUS checkBaudRate(const SERIAL_BAUD_RATE& baudRate);
NTSTATUS checkLineControl(const SERIAL_LINE_CONTROL& lineControl);
// Automatic XON/XOFF needs two different characters.
NTSTATUS checkFlowCharacters(const SERIAL_HANDFLOW& handFlow, const SERIAL_CHARS& chars);
NTSTATUS checkHandFlow(const SERIAL_HANDFLOW& handFlow, ULONG inQueueSize);
NTSTATUS checkTimeouts(const SERIAL_TIMEOUTS& timeouts);
NTSTATUS checkPurgeMask(ULONG mask);
NTSTATUS checkWaitMask(ULONG mask);

// Every event a wait mask may name.
constexpr ULONG kAllSerialEvents = 0x1FFF;
constexpr ULONG kAllPurgeFlags =
    SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;

}  // namespace serial
