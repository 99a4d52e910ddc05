// The port's control requests: settings, purge, the wait mask and the wait
// on it, comm status. Buffers are checked first, then values, as the
// platform's serial driver does.

#include <cstring>

#include "rules/control_checks.h"
#include "port_device.h"

namespace serial {

namespace {

template <typename Record>
Record inputRecord(PIRP irp) {
  Record record{};
  std::memcpy(&record, irp->AssociatedIrp.SystemBuffer, sizeof record);
  return record;
}

template <typename Record>
NTSTATUS answer(PIRP irp, const Record& record) {
  std::memcpy(irp->AssociatedIrp.SystemBuffer, &record, sizeof record);
  return completeNow(irp, STATUS_SUCCESS, sizeof record);
}

}  // namespace

NTSTATUS PortDevice::deviceControl(PIRP irp) {
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  const NTSTATUS buffers = checkControlBuffers(code, stack->Parameters.DeviceIoControl.InputBufferLength,
                                               stack->Parameters.DeviceIoControl.OutputBufferLength);
  if (buffers != STATUS_SUCCESS) return completeNow(irp, buffers);
  const ControlShape& shape = *controlShape(code);
  if ((shape.inputBytes != 0 || shape.outputBytes != 0) && irp->AssociatedIrp.SystemBuffer == nullptr) {
    return completeNow(irp, STATUS_INVALID_PARAMETER);
  }
  // Runs a step under the port lock and hands back its result, so that the
  // request is completed after the lock is released.
  const auto locked = [this](auto step) {
    Lock lock(*this);
    return step();
  };

  switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: {
      const auto baudRate = inputRecord<SERIAL_BAUD_RATE>(irp);
      if (const NTSTATUS status = checkBaudRate(baudRate); status != STATUS_SUCCESS) return completeNow(irp, status);
      LineSettings settings = locked([this] { return lineSettings_; });
      settings.baudRate = baudRate.BaudRate;
      return completeNow(irp, setLine(settings));
    }
    case IOCTL_SERIAL_SET_LINE_CONTROL: {
      const auto lineControl = inputRecord<SERIAL_LINE_CONTROL>(irp);
      if (const NTSTATUS status = checkLineControl(lineControl); status != STATUS_SUCCESS) {
        return completeNow(irp, status);
      }
      LineSettings settings = locked([this] { return lineSettings_; });
      settings.dataBits = lineControl.WordLength;
      settings.parity = lineControl.Parity;
      settings.stopBits = lineControl.StopBits;
      return completeNow(irp, setLine(settings));
    }
    case IOCTL_SERIAL_SET_CHARS: {
      const auto chars = inputRecord<SERIAL_CHARS>(irp);
      return completeNow(irp, locked([&] {
                           const NTSTATUS status = checkFlowCharacters(handFlow_, chars);
                           if (status == STATUS_SUCCESS) chars_ = chars;
                           return status;
                         }));
    }
    case IOCTL_SERIAL_SET_TIMEOUTS: {
      // Reads and writes already under way keep the time-outs they started with.
      const auto timeouts = inputRecord<SERIAL_TIMEOUTS>(irp);
      if (const NTSTATUS status = checkTimeouts(timeouts); status != STATUS_SUCCESS) return completeNow(irp, status);
      locked([&] { return timeouts_ = timeouts; });
      return completeNow(irp, STATUS_SUCCESS);
    }
    case IOCTL_SERIAL_SET_HANDFLOW: {
      const auto handFlow = inputRecord<SERIAL_HANDFLOW>(irp);
      if (const NTSTATUS status = checkHandFlow(handFlow, options_.inQueueSize); status != STATUS_SUCCESS) {
        return completeNow(irp, status);
      }
      return completeNow(irp, locked([&] {
                           const NTSTATUS status = checkFlowCharacters(handFlow, chars_);
                           if (status == STATUS_SUCCESS) handFlow_ = handFlow;
                           return status;
                         }));
    }
    case IOCTL_SERIAL_PURGE: {
      const ULONG mask = inputRecord<ULONG>(irp);
      if (const NTSTATUS status = checkPurgeMask(mask); status != STATUS_SUCCESS) return completeNow(irp, status);
      return completeNow(irp, purge(mask));
    }
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
      locked([&] { return breakOn_ = code == IOCTL_SERIAL_SET_BREAK_ON; });
      return completeNow(irp, STATUS_SUCCESS);
    case IOCTL_SERIAL_SET_WAIT_MASK: {
      const ULONG mask = inputRecord<ULONG>(irp);
      if (const NTSTATUS status = checkWaitMask(mask); status != STATUS_SUCCESS) return completeNow(irp, status);
      return completeNow(irp, setWaitMask(mask));
    }
    case IOCTL_SERIAL_WAIT_ON_MASK: return waitOnMask(irp);
    case IOCTL_SERIAL_GET_COMMSTATUS: return answer(irp, commStatus());
    case IOCTL_SERIAL_GET_BAUD_RATE:
      return answer(irp, SERIAL_BAUD_RATE{locked([this] { return lineSettings_.baudRate; })});
    case IOCTL_SERIAL_GET_LINE_CONTROL: {
      const LineSettings settings = locked([this] { return lineSettings_; });
      return answer(irp, SERIAL_LINE_CONTROL{settings.stopBits, settings.parity, settings.dataBits});
    }
    case IOCTL_SERIAL_GET_CHARS: return answer(irp, locked([this] { return chars_; }));
    case IOCTL_SERIAL_GET_TIMEOUTS: return answer(irp, locked([this] { return timeouts_; }));
    case IOCTL_SERIAL_GET_HANDFLOW: return answer(irp, locked([this] { return handFlow_; }));
    case IOCTL_SERIAL_GET_WAIT_MASK: return answer(irp, locked([this] { return waitMask_; }));
    case IOCTL_SERIAL_GET_MODEMSTATUS:
      return answer(irp, locked([this] { return dsr_ ? ULONG{SERIAL_MSR_DSR} : ULONG{0}; }));
    case IOCTL_SERIAL_GET_DTRRTS:
      // The port drives DTR and RTS whenever it exists.
      return answer(irp, ULONG{SERIAL_DTR_STATE | SERIAL_RTS_STATE});
    default: return completeNow(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

// New line settings apply from the next byte on; the line may refuse them.
NTSTATUS PortDevice::setLine(const LineSettings& settings) {
  if (!line_->applyLineSettings(settings)) return STATUS_INVALID_PARAMETER;
  Lock lock(*this);
  lineSettings_ = settings;
  return STATUS_SUCCESS;
}

// The transmitter has no buffer beyond the write requests themselves, so
// TXCLEAR has nothing to discard: writes end only by TXABORT (or their
// time-out). RXCLEAR empties the input queue.
NTSTATUS PortDevice::purge(ULONG mask) {
  Completions done(options_);
  {
    Lock lock(*this);
    if ((mask & SERIAL_PURGE_TXABORT) != 0) {
      cancelWrites(done);
      pumpTransmitter();
    }
    if ((mask & SERIAL_PURGE_RXABORT) != 0) cancelReads(done);
    if ((mask & SERIAL_PURGE_RXCLEAR) != 0) inQueue_.clear();
  }
  done.completeAll(IO_SERIAL_INCREMENT);
  return STATUS_SUCCESS;
}

// Reading the status clears the errors it reports.
SERIAL_STATUS PortDevice::commStatus() {
  Lock lock(*this);
  SERIAL_STATUS status{};
  status.Errors = errors_;
  status.AmountInInQueue = static_cast<ULONG>(inQueue_.size());
  status.AmountInOutQueue = amountInOutQueue();
  errors_ = 0;
  return status;
}

}  // namespace serial
