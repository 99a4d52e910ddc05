#pragma once
// The whole TAV712 stack, assembled the way a machine would have it: the
// kernel, the COM port with the reader on its line (the built-in emulator on
// the virtual clock, or a real device in real time), and the driver loaded
// and driven by the Plug and Play and power managers. Programs and the PC/SC
// bridge build one of these and then speak to the reader only through the
// I/O manager's application face (see ReaderClient).
//
// The driver never learns which line it is on: the choice is made here,
// once per port, when the port is built. A stack may carry more COM ports,
// each with a reader of its own, on the one kernel and the one loaded driver
// (the PC/SC bridge serves every reader of pcscd this way).

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "emulator/knobs.h"
#include "emulator/reader.h"
#include "platform/image.h"
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
  // Late wake-ups of the kernel's scheduler (off when zero): a loaded
  // machine, for soak runs.
  platform::Duration lateWakeupBound{};
  // Empty: the driver as built for this host. Otherwise the path of a
  // kernel image (the tav712.sys linked for Windows), loaded and run in its
  // place.
  std::string driverImage;
  // How the COM port completes its requests (its name is the stack's).
  serial::SerialPortOptions portOptions;
  // Something put on the emulated reader's line, between the port and the
  // reader, that may alter what passes (fuzzing and fault tests): made from
  // the reader and the line's clock, which outlive it.
  std::function<std::unique_ptr<line::LineDevice>(emulator::Reader&, line::Timeline&)> lineBetween;
};

class ReaderStack {
 public:
  // Builds the kernel and the first port; throws ToolError when a real port
  // cannot be opened or the driver image cannot be loaded. The driver is not
  // loaded yet (an image is mapped, its DriverEntry not called).
  explicit ReaderStack(StackOptions options);
  // Takes down whatever is still up, in the order a machine would.
  ~ReaderStack();
  ReaderStack(const ReaderStack&) = delete;
  ReaderStack& operator=(const ReaderStack&) = delete;

  platform::System& system() { return *system_; }
  // The emulated reader of the first port; null on a real port.
  emulator::Reader* emulatedReader();
  // The first port's device object.
  PDEVICE_OBJECT portDevice() const;
  bool realTime() const { return !options_.portPath.empty() || options_.wallClock; }
  const StackOptions& options() const { return options_; }

  // One more COM port on this kernel, its line chosen from `port` as for
  // the first (`portPath`, or the emulator with `knobs`); the kernel's own
  // options (seed, clock) stay those of the first. Throws ToolError when a
  // real port cannot be opened. Returns the port's device object.
  PDEVICE_OBJECT addPort(const StackOptions& port);
  // Takes a port away: its reader is removed first when it is still added.
  void removePort(PDEVICE_OBJECT port);
  std::size_t portCount() const { return ports_.size(); }

  // Plug and Play, each step waiting for its request to complete. Without a
  // port, the first port's reader.
  NTSTATUS loadDriver();
  NTSTATUS addReader(PDEVICE_OBJECT port = nullptr);
  // A reader whose start fails is removed (IRP_MN_REMOVE_DEVICE alone).
  NTSTATUS start(PDEVICE_OBJECT port = nullptr);
  NTSTATUS stop(PDEVICE_OBJECT port = nullptr);
  NTSTATUS remove(PDEVICE_OBJECT port = nullptr);
  NTSTATUS surpriseRemove(PDEVICE_OBJECT port = nullptr);
  // The same in two halves, for a reader pulled while applications hold it
  // open: IRP_MN_SURPRISE_REMOVAL at once, IRP_MN_REMOVE_DEVICE alone once
  // they have closed their handles (the PnP manager waits for them). The
  // second half also removes a reader whose start failed.
  NTSTATUS beginSurpriseRemoval(PDEVICE_OBJECT port = nullptr);
  NTSTATUS finishRemoval(PDEVICE_OBJECT port = nullptr);
  void unloadDriver();
  // load (once), add and start; the first failing status.
  NTSTATUS bringUp(PDEVICE_OBJECT port = nullptr);

  // System power: the query, then the set, as the power manager sends them
  // for a sleep state; wake sets the working state again.
  NTSTATUS sleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3);
  NTSTATUS wake();

  bool driverLoaded() const { return driver_ != nullptr; }
  bool readerAdded(PDEVICE_OBJECT port = nullptr) const;

 private:
  // One COM port and what is on its line.
  struct Port {
    std::unique_ptr<serial::KernelTimeline> timeline;
    std::unique_ptr<emulator::Reader> reader;
    std::unique_ptr<line::LineDevice> between;  // see StackOptions::lineBetween
    std::unique_ptr<serial::SerialPort> serialPort;
    bool readerAdded = false;
  };
  std::unique_ptr<Port> buildPort(const StackOptions& port, std::size_t number);
  Port& portFor(PDEVICE_OBJECT device);
  const Port& portFor(PDEVICE_OBJECT device) const;

  StackOptions options_;
  // The kernel image in use, if any: unmapped after the system is gone.
  std::unique_ptr<platform::image::LoadedImage> image_;
  std::unique_ptr<platform::System> system_;
  std::unique_ptr<serial::SerialDriver> serialDriver_;
  std::vector<std::unique_ptr<Port>> ports_;
  std::size_t portsBuilt_ = 0;
  PDRIVER_OBJECT driver_ = nullptr;
};

}  // namespace tav712
