#pragma once
// The line backend for a real serial device or a pseudo-terminal: termios at
// 19200 baud 8N1 raw, a watcher thread that turns arriving bytes and DSR
// changes into interrupts, and writes straight to the device. Runs in real
// time.

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "serial/line.h"

namespace serial {

// Runs handler as an interrupt: in the kernel's scheduler, at raised IRQL,
// as soon as it can. Called from the watcher's own thread.
using InterruptRaiser = std::function<void(std::function<void()> handler)>;

struct TtyLineOptions {
  std::string path;
  // How late a change of the DSR line may be seen; terminals cannot wake a
  // waiting thread on modem lines, so they are polled.
  std::chrono::milliseconds modemPollPeriod{20};
};

// Opens and configures the device; throws std::system_error when it cannot
// be opened or set to 19200 8N1 raw.
std::unique_ptr<LineBackend> makeTtyLine(const TtyLineOptions& options, InterruptRaiser raiseInterrupt);

}  // namespace serial

namespace serial {

// As above, raising the interrupts on the installed scheduler, which must
// run in real time.
std::unique_ptr<LineBackend> makeTtyLine(const TtyLineOptions& options);

}  // namespace serial
