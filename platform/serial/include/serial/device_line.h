#pragma once
// Line backends on the kernel's clock: the in-process emulator of the reader
// (the default) or a scripted line, both a line::LineDevice at the far end
// of the port. The emulator runs on KernelTimeline, so its bytes arrive
// at exact instants of the virtual clock, in the scheduler's interrupt
// contexts.

#include <memory>
#include <string>

#include "line/line.h"
#include "serial/line.h"

namespace serial {

// line::Timeline on the installed scheduler: actions run as interrupt
// contexts at DISPATCH_LEVEL at their instant of the kernel clock.
class KernelTimeline final : public line::Timeline {
 public:
  // The device's time starts at `origin` of the kernel's clock: a device
  // plugged in later counts its time (and its knobs' times) from then.
  explicit KernelTimeline(line::Nanoseconds origin = {}) : origin_(origin) {}
  line::Nanoseconds now() const override;
  void callAt(line::Nanoseconds when, std::function<void()> action) override;

 private:
  line::Nanoseconds origin_;
};

// The device must outlive the backend; the backend connects itself as the
// device's host port and disconnects when it goes.
std::unique_ptr<LineBackend> makeDeviceLine(line::LineDevice& device, std::string name = "emulator");

}  // namespace serial
