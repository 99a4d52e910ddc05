#pragma once
// The hardware side of a real serial line: one thread of its own (not known
// to the kernel's scheduler) that waits on the terminal and reports what it
// sees: bytes that arrived, changes of the DSR line, and a hang-up (the
// device went away). A port backend turns each report into an interrupt.

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <thread>

#include "tty/tty_device.h"

namespace serial::tty {

class TtyWatcher {
 public:
  struct Handlers {
    std::function<void(std::span<const std::uint8_t>)> bytesArrived;
    std::function<void(bool asserted)> dsrChanged;
    // Once, when the device hangs up or fails; the watcher then stops
    // looking at it.
    std::function<void()> hungUp;
  };

  // Starts watching at once. dsrAtStart is the DSR state the owner already
  // knows; changes from it are reported. modemPollPeriod bounds how late a
  // DSR change is seen (a terminal cannot wake poll() on modem lines).
  TtyWatcher(TtyDevice& device, Handlers handlers, std::chrono::milliseconds modemPollPeriod);
  TtyWatcher(const TtyWatcher&) = delete;
  TtyWatcher& operator=(const TtyWatcher&) = delete;
  // Stops and joins the thread; no handler runs after it returns.
  ~TtyWatcher();

 private:
  void run();

  TtyDevice& device_;
  Handlers handlers_;
  std::chrono::milliseconds modemPollPeriod_;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::thread thread_;
};

}  // namespace serial::tty
