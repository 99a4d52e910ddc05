#pragma once
// The serial port driver's device: a UART with an input queue, a transmitter
// that paces bytes at the line speed, the read, write and wait-on-mask
// queues with their time-outs, and the IRP dispatch of a bus-level driver.
//
// Contexts: dispatch routines run on the caller's thread (PASSIVE_LEVEL);
// received bytes, DSR changes, byte ends of the transmitter and time-outs
// run in the scheduler's interrupt contexts at DISPATCH_LEVEL, where the
// requests they finish are completed, as an interrupt-driven driver does
// from its DPCs. One spin lock guards all state; IRPs are completed after
// it is released.

#include <wdm.h>
#include <ntddser.h>

#include <platform/scheduler.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pending_irps.h"
#include "serial/line.h"
#include "serial/serial_port.h"
#include "serial/serial_trace.h"
#include "rules/timeouts.h"

namespace serial {

// IRPs finished under the lock, completed once it is released: at once,
// or later from an interrupt context when the port's options say so.
class Completions {
 public:
  explicit Completions(const SerialPortOptions& options) : options_(options) {}
  void add(PIRP irp, NTSTATUS status, ULONG_PTR information) { items_.push_back({irp, status, information, false}); }
  // A request whose cancel routine ran.
  void addCancelled(PIRP irp, ULONG_PTR information) { items_.push_back({irp, STATUS_CANCELLED, information, true}); }
  void completeAll(CCHAR priorityBoost);

 private:
  struct Item {
    PIRP irp;
    NTSTATUS status;
    ULONG_PTR information;
    bool byCancelRoutine;
  };
  std::optional<platform::Duration> delayFor(const Item& item) const;

  const SerialPortOptions& options_;
  std::vector<Item> items_;
};

// Completes a request from an interrupt context at DISPATCH_LEVEL after the
// delay; the request no longer depends on the port that finished it.
void completeLater(PIRP irp, NTSTATUS status, ULONG_PTR information, CCHAR priorityBoost, platform::Duration delay,
                   const std::string& portName);

class PortDevice final : public line::HostPort, public std::enable_shared_from_this<PortDevice> {
 public:
  PortDevice(PDEVICE_OBJECT device, std::unique_ptr<LineBackend> line, SerialPortOptions options);
  ~PortDevice();
  PortDevice(const PortDevice&) = delete;
  PortDevice& operator=(const PortDevice&) = delete;

  // Connects the line; from now on bytes and DSR changes arrive.
  void connect();
  // Cancels everything pending, stops the timers and disconnects the line.
  void shutdown();

  static PortDevice& of(PDEVICE_OBJECT device);
  NTSTATUS dispatch(PIRP irp);

  // line::HostPort: interrupt contexts.
  void byteReceived(std::uint8_t byte) override;
  void bytesReceived(std::span<const std::uint8_t> bytes) override;
  void dsrChanged(bool asserted) override;

  PDEVICE_OBJECT deviceObject() const { return device_; }
  LineBackend& line() const { return *line_; }
  const std::string& name() const { return options_.name; }
  PortSnapshot snapshot();

 private:
  struct Lock;

  // Dispatch by major function.
  NTSTATUS create(PIRP irp);
  NTSTATUS close(PIRP irp);
  NTSTATUS cleanup(PIRP irp);
  NTSTATUS read(PIRP irp);
  NTSTATUS write(PIRP irp);
  NTSTATUS deviceControl(PIRP irp);
  NTSTATUS pnp(PIRP irp);
  NTSTATUS power(PIRP irp);

  // Control requests.
  NTSTATUS setLine(const LineSettings& settings);
  NTSTATUS setWaitMask(ULONG mask);
  NTSTATUS waitOnMask(PIRP irp);
  NTSTATUS purge(ULONG mask);
  SERIAL_STATUS commStatus();

  // Receive side (under the lock).
  void serviceReads(Completions& done);
  void startRead(PIRP irp);
  void stopReadTimers();
  void onReadTotalTimer(std::uint64_t generation);
  void onReadIntervalTimer(std::uint64_t generation);
  void finishCurrentRead(NTSTATUS status, Completions& done);
  void raiseEvents(ULONG events, Completions& done);

  // Transmit side (under the lock). The next byte's start bit begins now,
  // or right at the stop bit of the byte before when it follows that one.
  void pumpTransmitter(std::optional<platform::Instant> previousStopBitEnd = std::nullopt);
  void startWrite(PIRP irp);
  void onByteSent(std::uint64_t byteSerial);
  void onWriteTimer(std::uint64_t generation);
  ULONG amountInOutQueue() const;

  // Everything pending leaves with STATUS_CANCELLED (close, cleanup, removal).
  void cancelAll(Completions& done);
  void cancelReads(Completions& done);
  void cancelWrites(Completions& done);
  static VOID NTAPI cancelRoutine(PDEVICE_OBJECT device, PIRP irp);
  void cancelled(PIRP irp);

  // Runs handler on this port at the instant, in an interrupt context at
  // DISPATCH_LEVEL; a port already gone ignores it.
  platform::TimerId callAt(platform::Instant when, void (*handler)(PortDevice&, std::uint64_t), std::uint64_t argument,
                           const char* name);
  static platform::Instant now();
  void traceLine(const std::string& text) const;
  void traceByte(ByteDirection direction, std::uint8_t byte) const;

  PDEVICE_OBJECT device_;
  std::unique_ptr<LineBackend> line_;
  SerialPortOptions options_;
  KSPIN_LOCK lock_ = 0;

  // Settings.
  LineSettings lineSettings_{};
  SERIAL_CHARS chars_{};
  SERIAL_HANDFLOW handFlow_{};
  SERIAL_TIMEOUTS timeouts_{};
  ULONG waitMask_ = 0;
  bool breakOn_ = false;
  bool dsr_ = true;
  ULONG openCount_ = 0;
  bool started_ = false;
  bool connected_ = false;

  // Receive side.
  std::deque<std::uint8_t> inQueue_;
  ULONG errors_ = 0;
  ULONG history_ = 0;  // events that occurred while no wait was pending
  PendingIrps reads_;
  PendingIrps waits_;  // at most one
  ReadPlan readPlan_{};
  std::uint64_t readGeneration_ = 0;
  platform::TimerId readTotalTimer_ = 0;
  platform::TimerId readIntervalTimer_ = 0;
  platform::Instant intervalDeadline_{};

  // Transmit side.
  PendingIrps writes_;
  std::uint64_t writeGeneration_ = 0;
  platform::TimerId writeTimer_ = 0;
  bool byteInFlight_ = false;
  std::uint8_t byteOnWire_ = 0;
  platform::Instant byteEndsAt_{};
  std::uint64_t byteSerial_ = 0;
  std::uint64_t byteOwnerGeneration_ = 0;
  platform::TimerId byteTimer_ = 0;
};

// The port's spin lock, held for a scope.
struct PortDevice::Lock {
  explicit Lock(PortDevice& port) : port_(port) { KeAcquireSpinLock(&port_.lock_, &oldIrql_); }
  ~Lock() { KeReleaseSpinLock(&port_.lock_, oldIrql_); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  PortDevice& port_;
  KIRQL oldIrql_ = PASSIVE_LEVEL;
};

// Completes a request the dispatch routine finished at once.
inline NTSTATUS completeNow(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Per-IRP progress, kept in the IRP's driver context as the platform allows
// while the driver owns the IRP: [0] bytes done, [1] bytes handed to the
// transmitter, [2] non-null once the request has started.
enum class IrpSlot { Done = 0, Taken = 1, Started = 2 };
inline ULONG_PTR irpValue(PIRP irp, IrpSlot slot) {
  return reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[static_cast<int>(slot)]);
}
inline void setIrpValue(PIRP irp, IrpSlot slot, ULONG_PTR value) {
  irp->Tail.Overlay.DriverContext[static_cast<int>(slot)] = reinterpret_cast<PVOID>(value);
}

}  // namespace serial
