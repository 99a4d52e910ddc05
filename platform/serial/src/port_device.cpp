// The port device's frame: construction, dispatch by major function, open
// and close, Plug and Play and power as the bus driver of the port's stack,
// cancellation.

#include "port_device.h"

#include <platform/trace.h>

namespace serial {

void Completions::completeAll(CCHAR priorityBoost) {
  for (const Item& item : items_) {
    if (const std::optional<platform::Duration> delay = delayFor(item)) {
      completeLater(item.irp, item.status, item.information, priorityBoost, *delay, options_.name);
      continue;
    }
    item.irp->IoStatus.Status = item.status;
    item.irp->IoStatus.Information = item.information;
    IoCompleteRequest(item.irp, priorityBoost);
  }
  items_.clear();
}

std::optional<platform::Duration> Completions::delayFor(const Item& item) const {
  if (item.byCancelRoutine && options_.completeCancelledAfter) return options_.completeCancelledAfter;
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(item.irp);
  const bool readOrWait = stack->MajorFunction == IRP_MJ_READ ||
                          (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
                           stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_WAIT_ON_MASK);
  if (readOrWait) return options_.completeReadsAndWaitsAfter;
  return std::nullopt;
}

void completeLater(PIRP irp, NTSTATUS status, ULONG_PTR information, CCHAR priorityBoost, platform::Duration delay,
                   const std::string& portName) {
  platform::Scheduler::get().callAfter(
      delay,
      [irp, status, information, priorityBoost] {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = information;
        IoCompleteRequest(irp, priorityBoost);
      },
      platform::kDispatchLevel, portName + " late completion");
}

PortDevice::PortDevice(PDEVICE_OBJECT device, std::unique_ptr<LineBackend> line, SerialPortOptions options)
    : device_(device), line_(std::move(line)), options_(std::move(options)) {
  KeInitializeSpinLock(&lock_);
  lineSettings_ = LineSettings{};
  line_->applyLineSettings(lineSettings_);
  dsr_ = line_->dsr();
}

PortDevice::~PortDevice() = default;

void PortDevice::connect() {
  connected_ = true;
  line_->connect(this);
}

void PortDevice::shutdown() {
  Completions done(options_);
  {
    Lock lock(*this);
    cancelAll(done);
    if (byteTimer_ != 0) platform::Scheduler::get().cancelTimer(byteTimer_);
    byteInFlight_ = false;
    ++byteSerial_;
  }
  if (connected_) line_->connect(nullptr);
  connected_ = false;
  done.completeAll(IO_NO_INCREMENT);
}

PortDevice& PortDevice::of(PDEVICE_OBJECT device) { return **static_cast<PortDevice**>(device->DeviceExtension); }

platform::Instant PortDevice::now() { return platform::Scheduler::get().now(); }

platform::TimerId PortDevice::callAt(platform::Instant when, void (*handler)(PortDevice&, std::uint64_t),
                                     std::uint64_t argument, const char* name) {
  std::weak_ptr<PortDevice> port = weak_from_this();
  return platform::Scheduler::get().callAt(
      when,
      [port, handler, argument] {
        if (const std::shared_ptr<PortDevice> alive = port.lock()) handler(*alive, argument);
      },
      platform::kDispatchLevel, options_.name + " " + name);
}

void PortDevice::traceLine(const std::string& text) const {
  platform::Trace::current().add(platform::TraceCategory::Serial, options_.name + " " + text);
}

void PortDevice::traceByte(ByteDirection direction, std::uint8_t byte) const {
  platform::Trace::current().add(platform::TraceCategory::Serial, formatSerialByte(options_.name, direction, byte));
}

NTSTATUS PortDevice::dispatch(PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE: return create(irp);
    case IRP_MJ_CLOSE: return close(irp);
    case IRP_MJ_CLEANUP: return cleanup(irp);
    case IRP_MJ_READ: return read(irp);
    case IRP_MJ_WRITE: return write(irp);
    case IRP_MJ_DEVICE_CONTROL: return deviceControl(irp);
    case IRP_MJ_PNP: return pnp(irp);
    case IRP_MJ_POWER: return power(irp);
    default: return completeNow(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

// Opening the port starts a session afresh: empty input queue, no errors,
// no wait mask, no remembered events.
NTSTATUS PortDevice::create(PIRP irp) {
  {
    Lock lock(*this);
    if (openCount_++ == 0) {
      inQueue_.clear();
      errors_ = 0;
      history_ = 0;
      waitMask_ = 0;
    }
  }
  return completeNow(irp, STATUS_SUCCESS);
}

// The last close ends the session: nothing stays pending on a closed port.
NTSTATUS PortDevice::close(PIRP irp) {
  Completions done(options_);
  {
    Lock lock(*this);
    if (openCount_ > 0) --openCount_;
    if (openCount_ == 0) {
      cancelAll(done);
      waitMask_ = 0;
      history_ = 0;
    }
  }
  done.completeAll(IO_SERIAL_INCREMENT);
  return completeNow(irp, STATUS_SUCCESS);
}

NTSTATUS PortDevice::cleanup(PIRP irp) {
  Completions done(options_);
  {
    Lock lock(*this);
    cancelAll(done);
  }
  done.completeAll(IO_SERIAL_INCREMENT);
  return completeNow(irp, STATUS_SUCCESS);
}

// The port's device object is the bottom of its stack: Plug and Play
// requests end here. Those it has nothing to add to keep the status the
// PnP manager gave them.
NTSTATUS PortDevice::pnp(PIRP irp) {
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  Completions done(options_);
  NTSTATUS status = irp->IoStatus.Status;
  switch (minor) {
    case IRP_MN_START_DEVICE: {
      Lock lock(*this);
      started_ = true;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_CAPABILITIES: status = STATUS_SUCCESS; break;
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE: {
      // The port stays (it is the bus's to delete), but nothing may stay
      // pending on a device that is no longer started.
      Lock lock(*this);
      started_ = false;
      cancelAll(done);
      status = STATUS_SUCCESS;
      break;
    }
    default: break;
  }
  done.completeAll(IO_NO_INCREMENT);
  const ULONG_PTR information = irp->IoStatus.Information;
  return completeNow(irp, status, information);
}

// Power requests end here too; the port follows the device power state it
// is told.
NTSTATUS PortDevice::power(PIRP irp) {
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      if (stack->Parameters.Power.Type == DevicePowerState) {
        PoSetPowerState(device_, DevicePowerState, stack->Parameters.Power.State);
      }
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_QUERY_POWER: status = STATUS_SUCCESS; break;
    case IRP_MN_WAIT_WAKE: status = STATUS_NOT_SUPPORTED; break;
    default: break;
  }
  PoStartNextPowerIrp(irp);
  const ULONG_PTR information = irp->IoStatus.Information;
  if (options_.completePowerAtDispatchLevel) {
    IoMarkIrpPending(irp);
    completeLater(irp, status, information, IO_NO_INCREMENT, options_.powerCompletionDelay, options_.name);
    return STATUS_PENDING;
  }
  return completeNow(irp, status, information);
}

void PortDevice::cancelAll(Completions& done) {
  cancelReads(done);
  cancelWrites(done);
  for (PIRP wait = waits_.front(); wait != nullptr;) {
    if (!waits_.claim(wait)) break;
    done.add(wait, STATUS_CANCELLED, 0);
    wait = waits_.front();
  }
}

// The I/O manager calls this holding the cancel spin lock; the port lock is
// taken only after that is released.
VOID NTAPI PortDevice::cancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  of(device).cancelled(irp);
}

void PortDevice::cancelled(PIRP irp) {
  Completions done(options_);
  ULONG_PTR information = 0;
  {
    Lock lock(*this);
    if (reads_.front() == irp) {
      stopReadTimers();
      information = irpValue(irp, IrpSlot::Done);
      reads_.remove(irp);
      serviceReads(done);
    } else if (reads_.remove(irp)) {
    } else if (writes_.front() == irp) {
      information = irpValue(irp, IrpSlot::Done);
      writes_.remove(irp);
      if (writeTimer_ != 0) platform::Scheduler::get().cancelTimer(writeTimer_);
      writeTimer_ = 0;
      ++writeGeneration_;
      pumpTransmitter();
    } else if (writes_.remove(irp)) {
    } else {
      waits_.remove(irp);
    }
  }
  done.addCancelled(irp, information);
  done.completeAll(IO_SERIAL_INCREMENT);
}

PortSnapshot PortDevice::snapshot() {
  Lock lock(*this);
  return PortSnapshot{
      .line = lineSettings_,
      .chars = chars_,
      .handFlow = handFlow_,
      .timeouts = timeouts_,
      .waitMask = waitMask_,
      .amountInInQueue = static_cast<ULONG>(inQueue_.size()),
      .amountInOutQueue = amountInOutQueue(),
      .pendingReads = reads_.size(),
      .pendingWrites = writes_.size(),
      .waitPending = !waits_.empty(),
      .dsr = dsr_,
      .breakOn = breakOn_,
      .openCount = openCount_,
      .started = started_,
  };
}

}  // namespace serial
