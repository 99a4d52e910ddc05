// Kernel time: instants and durations in nanoseconds since the platform
// booted, and the exact conversions to and from the kernel's 100 ns units.
#pragma once

#include <chrono>
#include <cstdint>

namespace platform {

// Durations are nanoseconds; the kernel's 100 ns units convert exactly.
using Duration = std::chrono::nanoseconds;

// The clock of the running scheduler: virtual (jumps to the next deadline
// when nothing can run) or real (follows the wall clock). Its epoch is the
// moment the platform booted.
struct KernelClock {
  using rep = Duration::rep;
  using period = Duration::period;
  using duration = Duration;
  using time_point = std::chrono::time_point<KernelClock, Duration>;
  static constexpr bool is_steady = true;

  // The current instant of the installed scheduler; throws
  // std::logic_error when no scheduler is running.
  static time_point now();
};

using Instant = KernelClock::time_point;

enum class ClockMode {
  Virtual,   // time stands still while threads run and jumps when all wait
  RealTime,  // time follows the wall clock; outside events wake the system
};

// The kernel counts in 100 ns ticks.
using KernelTicks = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;

// System time at boot in virtual mode: 2026-01-01T00:00:00Z counted in 100 ns
// ticks since 1601-01-01, the kernel's epoch. Fixed so that runs repeat.
inline constexpr std::int64_t kVirtualBootSystemTime100ns = (11'644'473'600LL + 1'767'225'600LL) * 10'000'000LL;

// Converts a kernel time-out or delay (LARGE_INTEGER::QuadPart) to the
// duration it asks for, measured from `now`: negative values are relative,
// positive ones are absolute system times (given the system time at boot),
// zero is zero.
constexpr Duration kernelIntervalToDuration(std::int64_t quadPart100ns, Instant now, std::int64_t bootSystemTime100ns) {
  if (quadPart100ns <= 0) return KernelTicks(-quadPart100ns);
  Duration sinceBoot = KernelTicks(quadPart100ns - bootSystemTime100ns);
  Duration remaining = sinceBoot - now.time_since_epoch();
  return remaining < Duration::zero() ? Duration::zero() : remaining;
}

// A duration as a relative kernel interval (negative 100 ns ticks), rounded
// up so that a wait never ends early.
constexpr std::int64_t durationToRelativeKernelInterval(Duration duration) {
  return -std::chrono::ceil<KernelTicks>(duration).count();
}

}  // namespace platform
