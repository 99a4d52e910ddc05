// The port's receive side: the input queue, reads with their interval and
// total time-outs, and the events a wait-on-mask request waits for.

#include <algorithm>

#include "port_device.h"

namespace serial {

NTSTATUS PortDevice::read(PIRP irp) {
  const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
  if (length == 0) return completeNow(irp, STATUS_SUCCESS);
  if (irp->AssociatedIrp.SystemBuffer == nullptr) return completeNow(irp, STATUS_INVALID_PARAMETER);
  setIrpValue(irp, IrpSlot::Done, 0);
  setIrpValue(irp, IrpSlot::Started, 0);
  IoMarkIrpPending(irp);
  Completions done(options_);
  {
    Lock lock(*this);
    if (!reads_.push(irp, &PortDevice::cancelRoutine)) {
      done.add(irp, STATUS_CANCELLED, 0);
    } else {
      serviceReads(done);
    }
  }
  done.completeAll(IO_SERIAL_INCREMENT);
  return STATUS_PENDING;
}

// A read becomes current when it reaches the front of the queue: its
// time-outs are fixed then, from the port's time-outs at that moment.
void PortDevice::startRead(PIRP irp) {
  const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
  setIrpValue(irp, IrpSlot::Started, 1);
  readPlan_ = planRead(timeouts_, length);
  ++readGeneration_;
  readIntervalTimer_ = 0;
  readTotalTimer_ = 0;
  if (readPlan_.total.has_value()) {
    readTotalTimer_ = callAt(
        now() + *readPlan_.total, [](PortDevice& port, std::uint64_t generation) { port.onReadTotalTimer(generation); },
        readGeneration_, "read total time-out");
  }
}

void PortDevice::stopReadTimers() {
  platform::Scheduler& scheduler = platform::Scheduler::get();
  if (readTotalTimer_ != 0) scheduler.cancelTimer(readTotalTimer_);
  if (readIntervalTimer_ != 0) scheduler.cancelTimer(readIntervalTimer_);
  readTotalTimer_ = 0;
  readIntervalTimer_ = 0;
  ++readGeneration_;
}

// Moves queued bytes into the reads in order and finishes each read whose
// count is met (or that its time-outs let end with what it has).
void PortDevice::serviceReads(Completions& done) {
  while (PIRP irp = reads_.front()) {
    if (irpValue(irp, IrpSlot::Started) == 0) startRead(irp);
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    ULONG_PTR transferred = irpValue(irp, IrpSlot::Done);
    const std::size_t take = std::min<std::size_t>(inQueue_.size(), length - transferred);
    if (take > 0) {
      auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
      std::copy_n(inQueue_.begin(), take, buffer + transferred);
      inQueue_.erase(inQueue_.begin(), inQueue_.begin() + static_cast<std::ptrdiff_t>(take));
      transferred += take;
      setIrpValue(irp, IrpSlot::Done, transferred);
      // The interval time-out counts from the latest byte the read took.
      if (readPlan_.interval.has_value()) {
        intervalDeadline_ = now() + *readPlan_.interval;
        if (readIntervalTimer_ == 0) {
          readIntervalTimer_ = callAt(
              intervalDeadline_,
              [](PortDevice& port, std::uint64_t generation) { port.onReadIntervalTimer(generation); }, readGeneration_,
              "read interval time-out");
        }
      }
    }
    const bool complete =
        transferred == length || readPlan_.returnWithWhatIsQueued || (readPlan_.anyByteIsEnough && transferred > 0);
    if (!complete) return;
    if (!reads_.claim(irp)) return;  // being cancelled; its cancel routine restarts the queue
    stopReadTimers();
    done.add(irp, STATUS_SUCCESS, transferred);
  }
}

// Ends the current read with what it holds.
void PortDevice::finishCurrentRead(NTSTATUS status, Completions& done) {
  PIRP irp = reads_.front();
  if (irp == nullptr || !reads_.claim(irp)) return;
  stopReadTimers();
  done.add(irp, status, irpValue(irp, IrpSlot::Done));
  serviceReads(done);
}

void PortDevice::onReadTotalTimer(std::uint64_t generation) {
  Completions done(options_);
  {
    Lock lock(*this);
    if (generation != readGeneration_) return;
    readTotalTimer_ = 0;
    finishCurrentRead(STATUS_TIMEOUT, done);
  }
  done.completeAll(IO_SERIAL_INCREMENT);
}

void PortDevice::onReadIntervalTimer(std::uint64_t generation) {
  Completions done(options_);
  {
    Lock lock(*this);
    if (generation != readGeneration_) return;
    readIntervalTimer_ = 0;
    if (now() < intervalDeadline_) {
      // Bytes came since the timer was set: wait out the latest interval.
      readIntervalTimer_ = callAt(
          intervalDeadline_, [](PortDevice& port, std::uint64_t next) { port.onReadIntervalTimer(next); },
          readGeneration_, "read interval time-out");
      return;
    }
    finishCurrentRead(STATUS_TIMEOUT, done);
  }
  done.completeAll(IO_SERIAL_INCREMENT);
}

// Every queued read leaves with what it holds; one whose cancel routine is
// already running is left to it.
void PortDevice::cancelReads(Completions& done) {
  const std::vector<PIRP> queued(reads_.begin(), reads_.end());
  for (PIRP irp : queued) {
    const bool current = irp == reads_.front();
    if (!reads_.claim(irp)) continue;
    if (current) stopReadTimers();
    done.add(irp, STATUS_CANCELLED, irpValue(irp, IrpSlot::Done));
  }
}

// The receive interrupt: one byte has fully arrived.
void PortDevice::byteReceived(std::uint8_t byte) { bytesReceived(std::span(&byte, 1)); }

// The receive interrupt for bytes that arrived together: they enter the input
// queue, raise their events and feed the reads under one hold of the lock, so
// a burst costs one interrupt and not one per byte. The interrupt may give
// the CPU up where it completes requests; the port it runs in stays alive
// until it returns, even if its owner deletes the port meanwhile.
void PortDevice::bytesReceived(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  const std::shared_ptr<PortDevice> self = shared_from_this();
  Completions done(options_);
  {
    Lock lock(*this);
    ULONG events = SERIAL_EV_RXCHAR;
    for (const std::uint8_t byte : bytes) {
      if (inQueue_.size() >= options_.inQueueSize) {
        errors_ |= SERIAL_ERROR_QUEUEOVERRUN;
        events |= SERIAL_EV_ERR;
      } else {
        inQueue_.push_back(byte);
      }
      if (byte == chars_.EventChar) events |= SERIAL_EV_RXFLAG;
    }
    // Traced under the lock: an interrupt held after it let go of the lock
    // would otherwise trace its bytes behind the next byte's.
    for (const std::uint8_t byte : bytes) traceByte(ByteDirection::received, byte);
    raiseEvents(events, done);
    serviceReads(done);
  }
  done.completeAll(IO_SERIAL_INCREMENT);
}

void PortDevice::dsrChanged(bool asserted) {
  const std::shared_ptr<PortDevice> self = shared_from_this();
  Completions done(options_);
  {
    Lock lock(*this);
    if (dsr_ == asserted) return;
    dsr_ = asserted;
    raiseEvents(SERIAL_EV_DSR, done);
  }
  traceLine(asserted ? "dsr on" : "dsr off");
  done.completeAll(IO_SERIAL_INCREMENT);
}

// Events the wait mask selects complete the pending wait, or are remembered
// for the next one.
void PortDevice::raiseEvents(ULONG events, Completions& done) {
  events &= waitMask_;
  if (events == 0) return;
  history_ |= events;
  PIRP wait = waits_.front();
  if (wait == nullptr || !waits_.claim(wait)) return;
  *static_cast<ULONG*>(wait->AssociatedIrp.SystemBuffer) = history_;
  history_ = 0;
  done.add(wait, STATUS_SUCCESS, sizeof(ULONG));
}

// A new mask ends the pending wait with an empty mask and forgets the events
// seen so far.
NTSTATUS PortDevice::setWaitMask(ULONG mask) {
  Completions done(options_);
  {
    Lock lock(*this);
    waitMask_ = mask;
    history_ = 0;
    if (PIRP wait = waits_.front(); wait != nullptr && waits_.claim(wait)) {
      *static_cast<ULONG*>(wait->AssociatedIrp.SystemBuffer) = 0;
      done.add(wait, STATUS_SUCCESS, sizeof(ULONG));
    }
  }
  done.completeAll(IO_SERIAL_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS PortDevice::waitOnMask(PIRP irp) {
  Completions done(options_);
  NTSTATUS status = STATUS_PENDING;
  {
    Lock lock(*this);
    if (!waits_.empty() || waitMask_ == 0) {
      // One wait at a time, and only for something.
      status = STATUS_INVALID_PARAMETER;
    } else if (history_ != 0) {
      *static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer) = history_;
      history_ = 0;
      status = STATUS_SUCCESS;
      if (options_.completeReadsAndWaitsAfter) {
        // Ended by what happened before; still completed from elsewhere.
        IoMarkIrpPending(irp);
        done.add(irp, status, sizeof(ULONG));
        status = STATUS_PENDING;
      }
    } else {
      IoMarkIrpPending(irp);
      if (!waits_.push(irp, &PortDevice::cancelRoutine)) done.add(irp, STATUS_CANCELLED, 0);
    }
  }
  done.completeAll(IO_SERIAL_INCREMENT);
  if (status == STATUS_PENDING) return status;
  return completeNow(irp, status, status == STATUS_SUCCESS ? sizeof(ULONG) : 0);
}

}  // namespace serial
