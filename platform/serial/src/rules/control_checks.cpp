#include "rules/control_checks.h"

#include <array>

#include "rules/timeouts.h"

namespace serial {

static_assert(IOCTL_SERIAL_SET_BAUD_RATE == 0x001B0004);
static_assert(IOCTL_SERIAL_SET_LINE_CONTROL == 0x001B000C);
static_assert(IOCTL_SERIAL_SET_BREAK_OFF == 0x001B0014);
static_assert(IOCTL_SERIAL_SET_TIMEOUTS == 0x001B001C);
static_assert(IOCTL_SERIAL_SET_WAIT_MASK == 0x001B0044);
static_assert(IOCTL_SERIAL_WAIT_ON_MASK == 0x001B0048);
static_assert(IOCTL_SERIAL_PURGE == 0x001B004C);
static_assert(IOCTL_SERIAL_SET_CHARS == 0x001B005C);
static_assert(IOCTL_SERIAL_SET_HANDFLOW == 0x001B0064);
static_assert(IOCTL_SERIAL_GET_COMMSTATUS == 0x001B006C);
static_assert(sizeof(SERIAL_BAUD_RATE) == 4 && sizeof(SERIAL_LINE_CONTROL) == 3 && sizeof(SERIAL_CHARS) == 6);
static_assert(sizeof(SERIAL_TIMEOUTS) == 20 && sizeof(SERIAL_HANDFLOW) == 16 && sizeof(SERIAL_STATUS) == 20);

namespace {

constexpr ULONG kUlong = sizeof(ULONG);

constexpr std::array<ControlShape, 19> kShapes{{
    {IOCTL_SERIAL_SET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE), 0},
    {IOCTL_SERIAL_GET_BAUD_RATE, 0, sizeof(SERIAL_BAUD_RATE)},
    {IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), 0},
    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, sizeof(SERIAL_LINE_CONTROL)},
    {IOCTL_SERIAL_SET_CHARS, sizeof(SERIAL_CHARS), 0},
    {IOCTL_SERIAL_GET_CHARS, 0, sizeof(SERIAL_CHARS)},
    {IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), 0},
    {IOCTL_SERIAL_GET_TIMEOUTS, 0, sizeof(SERIAL_TIMEOUTS)},
    {IOCTL_SERIAL_SET_HANDFLOW, sizeof(SERIAL_HANDFLOW), 0},
    {IOCTL_SERIAL_GET_HANDFLOW, 0, sizeof(SERIAL_HANDFLOW)},
    {IOCTL_SERIAL_PURGE, kUlong, 0},
    {IOCTL_SERIAL_SET_BREAK_ON, 0, 0},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0},
    {IOCTL_SERIAL_SET_WAIT_MASK, kUlong, 0},
    {IOCTL_SERIAL_GET_WAIT_MASK, 0, kUlong},
    {IOCTL_SERIAL_WAIT_ON_MASK, 0, kUlong},
    {IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS)},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 0, kUlong},
    {IOCTL_SERIAL_GET_DTRRTS, 0, kUlong},
}};

}  // namespace

const ControlShape* controlShape(ULONG code) {
  for (const ControlShape& shape : kShapes) {
    if (shape.code == code) return &shape;
  }
  return nullptr;
}

NTSTATUS checkControlBuffers(ULONG code, ULONG inputLength, ULONG outputLength) {
  const ControlShape* shape = controlShape(code);
  if (shape == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  if (inputLength < shape->inputBytes || outputLength < shape->outputBytes) return STATUS_BUFFER_TOO_SMALL;
  return STATUS_SUCCESS;
}

NTSTATUS checkBaudRate(const SERIAL_BAUD_RATE& baudRate) {
  return baudRate.BaudRate == 0 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

NTSTATUS checkLineControl(const SERIAL_LINE_CONTROL& lineControl) {
  const UCHAR bits = lineControl.WordLength;
  if (bits < 5 || bits > 8) return STATUS_INVALID_PARAMETER;
  if (lineControl.Parity > SPACE_PARITY) return STATUS_INVALID_PARAMETER;
  switch (lineControl.StopBits) {
    case STOP_BIT_1: return STATUS_SUCCESS;
    // One and a half stop bits exist only for 5-bit characters, two only
    // for longer ones (the UART's own rule).
    case STOP_BITS_1_5: return bits == 5 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    case STOP_BITS_2: return bits == 5 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
    default: return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS checkFlowCharacters(const SERIAL_HANDFLOW& handFlow, const SERIAL_CHARS& chars) {
  const bool automaticXonXoff = (handFlow.FlowReplace & (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE)) != 0;
  return automaticXonXoff && chars.XonChar == chars.XoffChar ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

NTSTATUS checkHandFlow(const SERIAL_HANDFLOW& handFlow, ULONG inQueueSize) {
  if ((handFlow.ControlHandShake & SERIAL_CONTROL_INVALID) != 0) return STATUS_INVALID_PARAMETER;
  if ((handFlow.FlowReplace & SERIAL_FLOW_INVALID) != 0) return STATUS_INVALID_PARAMETER;
  if ((handFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK) return STATUS_INVALID_PARAMETER;
  const auto limitValid = [inQueueSize](LONG limit) { return limit >= 0 && static_cast<ULONG>(limit) <= inQueueSize; };
  if (!limitValid(handFlow.XonLimit) || !limitValid(handFlow.XoffLimit)) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

NTSTATUS checkTimeouts(const SERIAL_TIMEOUTS& timeouts) {
  return timeoutsValid(timeouts) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS checkPurgeMask(ULONG mask) {
  return mask == 0 || (mask & ~kAllPurgeFlags) != 0 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

NTSTATUS checkWaitMask(ULONG mask) {
  return (mask & ~kAllSerialEvents) != 0 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

}  // namespace serial
