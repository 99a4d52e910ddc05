#pragma once
// The shared test harness for driver code (link, card and frame tests).
//
// A DriverHarness is a whole system in virtual time (on the wall clock for a
// terminal line) with one reader device
// set up the way CreateDevice and AddDevice set it up, ready for driver calls:
//
//   platform::System (virtual clock, seeded, verifier failing the test)
//     reader device        DEVICE_EXTENSION + READER_EXTENSION, smart card
//        |                 extension filled by InitReaderAttributes and
//        |                 SmartcardInitialize, both work items, interface
//        |                 registered (not enabled), SerialCloseDone signalled
//     SerialRecorder       a pass-through filter recording every request the
//        |                 serial driver receives
//     serial::SerialPort   COM1, the platform's serial port driver
//        |
//     line backend         the emulated TAV712 reader with a card profile and
//                          knobs, a scripted line playing exact bytes, or a
//                          terminal through the tty backend
//
// Nothing is started: a test calls StartDevice (or openLink) itself. Driver
// code must run on managed threads: `call` runs a body on a request thread at
// PASSIVE_LEVEL and waits for it; `spawn`/`join` let a test keep a call in
// flight while it drives the line. Virtual time moves only while the test
// waits (call, join, runFor, runUntilIdle).
//
// Teardown (destructor) stops the link if it is open, tears the device down
// as RemoveDevice does, lets the system run idle and then requires that no
// IRP, work item or pool block of the harness is left.

#include <smclib.h>
#include <wdm.h>

#include <platform/system.h>
#include <serial/serial_port.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <variant>

#include "emulator/knobs.h"
#include "emulator/reader.h"
#include "emulator/scripted_line.h"
#include "include/tav712.h"
#include "support/serial_recorder.h"

namespace tav712::testing {

// The emulated reader: card profile, card and reader knobs (emulator/knobs.h).
struct EmulatorLine {
  emulator::EmulatorKnobs knobs;
};

// A scripted line (emulator/scripted_line.h for the script language).
struct ScriptLine {
  std::string script;
};

// A real terminal (a pseudo-terminal's slave) through the tty backend; the
// system then runs on the wall clock and the test plays the far end.
struct TerminalLine {
  std::string path;
};

struct HarnessOptions {
  std::uint64_t seed = 1;
  std::variant<EmulatorLine, ScriptLine, TerminalLine> line = EmulatorLine{};
  // Late wake-ups of the scheduler (zero: off), see platform::SchedulerOptions.
  platform::Duration lateWakeupBound{};
};

class DriverHarness {
 public:
  explicit DriverHarness(HarnessOptions options = {});
  ~DriverHarness();
  DriverHarness(const DriverHarness&) = delete;
  DriverHarness& operator=(const DriverHarness&) = delete;

  platform::System& system() { return *system_; }
  platform::Scheduler& scheduler() { return system_->scheduler(); }
  serial::SerialPort& port() { return *port_; }
  // The emulated reader, or null on a scripted line.
  emulator::Reader* reader() { return reader_.get(); }
  // The scripted line, or null on the emulator.
  emulator::ScriptedLine* script() { return script_.get(); }
  // The request recorder between the reader device and the port.
  SerialRecorder* recorder() { return recorder_.get(); }

  PDRIVER_OBJECT driverObject() const { return driver_; }
  PDEVICE_OBJECT deviceObject() const { return device_; }
  PDEVICE_EXTENSION deviceExtension() const;
  PSMARTCARD_EXTENSION smartcardExtension() const;
  PREADER_EXTENSION readerExtension() const;

  // Runs body on a request thread at PASSIVE_LEVEL and waits for it; returns
  // what body returns.
  template <typename Body>
  auto call(Body&& body, std::string name = "driver call") -> std::invoke_result_t<Body&> {
    using Result = std::invoke_result_t<Body&>;
    if constexpr (std::is_void_v<Result>) {
      scheduler().run([&] { body(); }, std::move(name));
    } else {
      Result result{};
      scheduler().run([&] { result = body(); }, std::move(name));
      return result;
    }
  }
  platform::ThreadHandle spawn(std::string name, std::function<void()> body) {
    return scheduler().spawn(std::move(name), std::move(body));
  }
  void join(const platform::ThreadHandle& thread) { scheduler().join(thread); }
  void runFor(platform::Duration duration) { scheduler().advanceBy(duration); }
  void runUntilIdle() { scheduler().runUntilIdle(); }
  platform::Instant now() { return scheduler().now(); }
  // Milliseconds of virtual time since the system booted.
  double nowMs() { return std::chrono::duration<double, std::milli>(now().time_since_epoch()).count(); }

  // Brings the link up without the reader commands of a start: opens the
  // port, sets the start time-outs (50 ms per byte, 100 ms total), configures
  // it as the reader start does (which arms the serial event wait) and marks
  // the link open. For receive-engine tests on a scripted line.
  NTSTATUS openLink();
  // Only the first step of openLink: IRP_MJ_CREATE to the port.
  NTSTATUS openPort();
  // Whether SerialCloseDone says the link is open.
  bool linkOpen() const;

 private:
  void createDevice();
  void destroyDevice();

  HarnessOptions options_;
  std::unique_ptr<platform::System> system_;
  std::unique_ptr<line::Timeline> timeline_;
  std::unique_ptr<emulator::Reader> reader_;
  std::unique_ptr<emulator::ScriptedLine> script_;
  std::unique_ptr<serial::SerialDriver> serialDriver_;
  std::unique_ptr<serial::SerialPort> port_;
  std::unique_ptr<SerialRecorder> recorder_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
};

}  // namespace tav712::testing
