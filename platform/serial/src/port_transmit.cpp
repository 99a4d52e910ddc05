// The port's transmit side: writes queue in order and their bytes leave one
// at a time at the line speed, each handed to the line when its stop bit
// ends. A write ends when its last byte has left, or with STATUS_TIMEOUT
// when the write time-out passes first. A byte already on the wire when its
// write ends still finishes, as a UART's shift register does.

#include "port_device.h"

namespace serial {

NTSTATUS PortDevice::write(PIRP irp) {
  const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
  if (length == 0) return completeNow(irp, STATUS_SUCCESS);
  if (irp->AssociatedIrp.SystemBuffer == nullptr) return completeNow(irp, STATUS_INVALID_PARAMETER);
  setIrpValue(irp, IrpSlot::Done, 0);
  setIrpValue(irp, IrpSlot::Taken, 0);
  setIrpValue(irp, IrpSlot::Started, 0);
  IoMarkIrpPending(irp);
  Completions done(options_);
  {
    Lock lock(*this);
    if (!writes_.push(irp, &PortDevice::cancelRoutine)) {
      done.add(irp, STATUS_CANCELLED, 0);
    } else {
      pumpTransmitter();
    }
  }
  done.completeAll(IO_SERIAL_INCREMENT);
  return STATUS_PENDING;
}

// A write's time-out runs from the moment it becomes the current write.
void PortDevice::startWrite(PIRP irp) {
  const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
  setIrpValue(irp, IrpSlot::Started, 1);
  ++writeGeneration_;
  writeTimer_ = 0;
  if (const std::optional<Milliseconds> total = planWrite(timeouts_, length)) {
    writeTimer_ = callAt(
        now() + *total, [](PortDevice& port, std::uint64_t generation) { port.onWriteTimer(generation); },
        writeGeneration_, "write time-out");
  }
}

// Loads the next byte of the current write into the transmitter when it is
// free.
void PortDevice::pumpTransmitter(std::optional<platform::Instant> previousStopBitEnd) {
  if (byteInFlight_) return;
  PIRP irp = writes_.front();
  if (irp == nullptr) return;
  if (irpValue(irp, IrpSlot::Started) == 0) startWrite(irp);
  const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
  const ULONG_PTR taken = irpValue(irp, IrpSlot::Taken);
  if (taken >= length) return;
  byteOnWire_ = static_cast<const std::uint8_t*>(irp->AssociatedIrp.SystemBuffer)[taken];
  setIrpValue(irp, IrpSlot::Taken, taken + 1);
  byteInFlight_ = true;
  byteOwnerGeneration_ = writeGeneration_;
  ++byteSerial_;
  byteEndsAt_ = previousStopBitEnd.value_or(now()) + characterTime(lineSettings_);
  byteTimer_ = callAt(
      byteEndsAt_, [](PortDevice& port, std::uint64_t serial) { port.onByteSent(serial); }, byteSerial_, "byte sent");
}

// The transmitter's interrupt: the byte's stop bit has ended. The port's
// lock is given up while the byte goes to the line, and on the wall clock the
// next byte's interrupt may fall due then, on another interrupt context.
void PortDevice::onByteSent(std::uint64_t byteSerial) {
  Completions done(options_);
  std::uint8_t byte = 0;
  {
    Lock lock(*this);
    if (!byteInFlight_ || byteSerial != byteSerial_) return;
    byteTimer_ = 0;
    byte = byteOnWire_;
    PIRP irp = writes_.front();
    if (irp != nullptr && byteOwnerGeneration_ == writeGeneration_) {
      const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
      const ULONG_PTR sent = irpValue(irp, IrpSlot::Done) + 1;
      setIrpValue(irp, IrpSlot::Done, sent);
      if (sent == length && writes_.claim(irp)) {
        if (writeTimer_ != 0) platform::Scheduler::get().cancelTimer(writeTimer_);
        writeTimer_ = 0;
        ++writeGeneration_;
        done.add(irp, STATUS_SUCCESS, length);
      }
    }
  }
  // The byte reaches the line outside the lock; the transmitter stays busy
  // until it has, so that the next byte cannot overtake it.
  line_->byteFromHost(byte);
  traceByte(ByteDirection::transmitted, byte);
  {
    Lock lock(*this);
    if (byteSerial == byteSerial_) {
      byteInFlight_ = false;
      // Bytes queued back to back leave back to back, as from a UART's
      // shift register: the next start bit follows this stop bit, however
      // late this interrupt runs on the wall clock.
      pumpTransmitter(byteEndsAt_);
      if (!byteInFlight_ && writes_.empty()) raiseEvents(SERIAL_EV_TXEMPTY, done);
    }
  }
  done.completeAll(IO_SERIAL_INCREMENT);
}

void PortDevice::onWriteTimer(std::uint64_t generation) {
  Completions done(options_);
  {
    Lock lock(*this);
    if (generation != writeGeneration_) return;
    writeTimer_ = 0;
    PIRP irp = writes_.front();
    if (irp == nullptr || !writes_.claim(irp)) return;
    ++writeGeneration_;
    done.add(irp, STATUS_TIMEOUT, irpValue(irp, IrpSlot::Done));
    pumpTransmitter();
  }
  done.completeAll(IO_SERIAL_INCREMENT);
}

void PortDevice::cancelWrites(Completions& done) {
  const std::vector<PIRP> queued(writes_.begin(), writes_.end());
  for (PIRP irp : queued) {
    const bool current = irp == writes_.front();
    if (!writes_.claim(irp)) continue;
    if (current) {
      if (writeTimer_ != 0) platform::Scheduler::get().cancelTimer(writeTimer_);
      writeTimer_ = 0;
      ++writeGeneration_;
    }
    done.add(irp, STATUS_CANCELLED, irpValue(irp, IrpSlot::Done));
  }
}

// Bytes still to leave: the unsent bytes of every queued write.
ULONG PortDevice::amountInOutQueue() const {
  ULONG_PTR amount = 0;
  for (PIRP irp : writes_) {
    amount += IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length - irpValue(irp, IrpSlot::Done);
  }
  return static_cast<ULONG>(amount);
}

}  // namespace serial
