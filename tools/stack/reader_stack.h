#pragma once
// The whole TAV712 stack, assembled the way a machine would have it: the
// kernel, the COM port with the reader on its line (the built-in emulator on
// the virtual clock, or a real device in real time), and the driver loaded
// and driven by the Plug and Play and power managers. Programs and the PC/SC
// bridge build one of these and then speak to the reader only through the
// I/O manager's application face (see ReaderClient).
//
// The driver never learns which line it is on: the choice is made here,
// once, when the stack is built.

#include <wdm.h>

#include <cstdint>
#include <memory>
#include <string>

#include "emulator/knobs.h"
#include "emulator/reader.h"
#include "platform/system.h"
#include "serial/device_line.h"
#include "serial/serial_port.h"

namespace tav712 {

struct StackOptions {
  std::uint64_t seed = 1;
  // Empty: the built-in emulator on the virtual clock. Otherwise a serial
  // device or pseudo-terminal, in real time.
  std::string portPath;
  // The emulated reader and card (ignored on a real port).
  emulator::EmulatorKnobs knobs;
  // Runs the kernel's clock in real time even on the emulator: for servers
  // such as pcscd, whose callers wait in real time.
  bool wallClock = false;
};

class ReaderStack {
 public:
  // Builds the kernel and the port; throws ToolError when a real port cannot
  // be opened. The driver is not loaded yet.
  explicit ReaderStack(StackOptions options);
  // Takes down whatever is still up, in the order a machine would.
  ~ReaderStack();
  ReaderStack(const ReaderStack&) = delete;
  ReaderStack& operator=(const ReaderStack&) = delete;

  platform::System& system() { return *system_; }
  // The emulated reader; null on a real port.
  emulator::Reader* emulatedReader() { return reader_.get(); }
  PDEVICE_OBJECT portDevice() const;
  bool realTime() const { return !options_.portPath.empty() || options_.wallClock; }
  const StackOptions& options() const { return options_; }

  // Plug and Play, each step waiting for its request to complete.
  NTSTATUS loadDriver();
  NTSTATUS addReader();
  NTSTATUS start();
  NTSTATUS stop();
  NTSTATUS remove();
  NTSTATUS surpriseRemove();
  void unloadDriver();
  // load, add and start; the first failing status.
  NTSTATUS bringUp();

  // System power: the query, then the set, as the power manager sends them
  // for a sleep state; wake sets the working state again.
  NTSTATUS sleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3);
  NTSTATUS wake();

  bool driverLoaded() const { return driver_ != nullptr; }
  bool readerAdded() const { return readerAdded_; }

 private:
  StackOptions options_;
  std::unique_ptr<platform::System> system_;
  std::unique_ptr<serial::SerialDriver> serialDriver_;
  std::unique_ptr<serial::KernelTimeline> timeline_;
  std::unique_ptr<emulator::Reader> reader_;
  std::unique_ptr<serial::SerialPort> port_;
  PDRIVER_OBJECT driver_ = nullptr;
  bool readerAdded_ = false;
  bool started_ = false;
};

}  // namespace tav712
