#pragma once
// A COM port: one device object of the serial port driver, on a line backend
// chosen when it is created. The device object is the physical device object
// of the port's stack: the PnP manager hands it to the reader driver's
// AddDevice, which attaches on top of it and sends it the serial requests.
//
//   platform::System system;                    // virtual clock by default
//   serial::SerialDriver serialDriver(system);  // loads the driver
//   serial::KernelTimeline timeline;
//   emulator::Reader reader(timeline);          // or a scripted line
//   serial::SerialPort port(serialDriver, serial::makeDeviceLine(reader));
//   system.pnp().addDevice(readerDriver, port.physicalDeviceObject());
//
// A real device: serial::SerialPort port(serialDriver,
// serial::makeTtyLine({.path = "/dev/ttyUSB0"})) in a real-time system.

#include <wdm.h>
#include <ntddser.h>

#include <platform/clock.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "serial/line.h"

namespace platform {
class System;
}

namespace serial {

// The serial port driver loaded into a system (\Driver\serial). Ports are
// its devices; destroy them before the driver, and the driver before the
// system.
class SerialDriver {
 public:
  explicit SerialDriver(platform::System& system);
  // Unloads the driver (its unload checks that no port is left).
  ~SerialDriver();
  SerialDriver(const SerialDriver&) = delete;
  SerialDriver& operator=(const SerialDriver&) = delete;

  PDRIVER_OBJECT object() const { return driver_; }

 private:
  platform::System& system_;
  PDRIVER_OBJECT driver_ = nullptr;
};

class PortDevice;

// The port's state as a test or a program may inspect it.
struct PortSnapshot {
  LineSettings line;
  SERIAL_CHARS chars;
  SERIAL_HANDFLOW handFlow;
  SERIAL_TIMEOUTS timeouts;
  ULONG waitMask;
  ULONG amountInInQueue;
  ULONG amountInOutQueue;
  std::size_t pendingReads;
  std::size_t pendingWrites;
  bool waitPending;
  bool dsr;
  bool breakOn;
  ULONG openCount;
  bool started;  // by the PnP manager
};

struct SerialPortOptions {
  // The port's name in the trace ("COM1 tx 45").
  std::string name = "COM1";
  // Input queue size in bytes; bytes beyond it are lost (a queue overrun).
  ULONG inQueueSize = 4096;
  // Power requests are completed from an interrupt context at DISPATCH_LEVEL
  // (returning STATUS_PENDING), as a port whose power changes end in its
  // interrupt handling completes them, rather than in the dispatch routine.
  // The drivers above then see their completion routines called at
  // DISPATCH_LEVEL, which the platform allows any lower driver to do.
  bool completePowerAtDispatchLevel = false;
  // With completePowerAtDispatchLevel: how long after it came a power
  // request is completed (a port that must first wake its hardware).
  platform::Duration powerCompletionDelay{};
  // Reads and wait-on-mask requests are completed this long after they
  // finished, from an interrupt context of their own at DISPATCH_LEVEL (a
  // DPC that a loaded machine runs late): never on the thread that sent
  // them, nor inside the interrupt or call that finished them.
  std::optional<platform::Duration> completeReadsAndWaitsAfter = std::nullopt;
  // A request cancelled through its cancel routine is completed this long
  // later, from an interrupt context, as a port that must first stop its
  // hardware does.
  std::optional<platform::Duration> completeCancelledAfter = std::nullopt;
};

class SerialPort {
 public:
  // Creates the port's device object in the serial port driver and connects
  // the line. Throws std::runtime_error when the device cannot be created.
  SerialPort(SerialDriver& driver, std::unique_ptr<LineBackend> line, SerialPortOptions options = {});
  // Deletes the device object; every request still pending is cancelled.
  // The stack above must have detached (the reader's device removed).
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  PDEVICE_OBJECT physicalDeviceObject() const;
  LineBackend& line() const;
  const std::string& name() const;
  PortSnapshot snapshot() const;

 private:
  std::shared_ptr<PortDevice> device_;
};

}  // namespace serial
