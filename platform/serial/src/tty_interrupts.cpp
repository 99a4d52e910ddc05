// The tty backend's interrupts on the kernel's scheduler.

#include <platform/scheduler.h>

#include "serial/tty_line.h"

namespace serial {

std::unique_ptr<LineBackend> makeTtyLine(const TtyLineOptions& options) {
  // The open interrupt line also tells a real-time scheduler with nothing to
  // do that outside events may still come.
  auto line =
      std::make_shared<platform::InterruptLine>(platform::Scheduler::get().openInterruptLine("serial " + options.path));
  return makeTtyLine(
      options, [line](std::function<void()> handler) { line->raise(std::move(handler), platform::kDispatchLevel); });
}

}  // namespace serial
