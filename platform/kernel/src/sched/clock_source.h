// The scheduler's clock in its two modes. Virtual time moves only when the
// scheduler moves it (to the next deadline, or by a processor stall); real
// time is the host's steady clock since boot.
#pragma once

#include <platform/clock.h>

#include <atomic>
#include <chrono>
#include <cstdint>

namespace platform::sched {

class ClockSource {
 public:
  explicit ClockSource(ClockMode mode);

  ClockMode mode() const { return mode_; }
  Instant now() const;
  // Virtual mode: moves the clock forward to `instant` (never back).
  void advanceTo(Instant instant);
  // Passes `duration` without giving up the CPU.
  void stall(Duration duration);
  // The host's steady-clock moment of `instant` (real-time waits).
  std::chrono::steady_clock::time_point wallTimeOf(Instant instant) const;
  std::int64_t bootSystemTime100ns() const { return bootSystemTime100ns_; }

 private:
  const ClockMode mode_;
  // Read by any thread (a poller may ask the time), written by the thread
  // that holds the CPU.
  std::atomic<Duration::rep> virtualNs_{0};
  const std::chrono::steady_clock::time_point origin_;
  const std::int64_t bootSystemTime100ns_;
};

}  // namespace platform::sched
