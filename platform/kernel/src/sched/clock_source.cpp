#include "clock_source.h"

#include "core.h"

#include <stdexcept>

namespace platform::sched {
namespace {

// The host's wall clock now, in 100 ns ticks since 1601.
std::int64_t hostSystemTime100ns() {
  constexpr std::int64_t kUnixEpochIn100ns = 11'644'473'600LL * 10'000'000LL;
  auto sinceUnixEpoch = std::chrono::system_clock::now().time_since_epoch();
  return kUnixEpochIn100ns + std::chrono::duration_cast<KernelTicks>(sinceUnixEpoch).count();
}

}  // namespace

ClockSource::ClockSource(ClockMode mode)
    : mode_(mode),
      origin_(std::chrono::steady_clock::now()),
      bootSystemTime100ns_(mode == ClockMode::Virtual ? kVirtualBootSystemTime100ns : hostSystemTime100ns()) {}

Instant ClockSource::now() const {
  if (mode_ == ClockMode::Virtual) return Instant(Duration(virtualNs_.load(std::memory_order_relaxed)));
  return Instant(std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now() - origin_));
}

void ClockSource::advanceTo(Instant instant) {
  if (mode_ != ClockMode::Virtual) return;
  auto target = instant.time_since_epoch().count();
  if (target > virtualNs_.load(std::memory_order_relaxed)) virtualNs_.store(target, std::memory_order_relaxed);
}

void ClockSource::stall(Duration duration) {
  if (duration <= Duration::zero()) return;
  if (mode_ == ClockMode::Virtual) {
    virtualNs_.fetch_add(duration.count(), std::memory_order_relaxed);
    return;
  }
  // A processor stall spins; it is meant for microseconds.
  auto end = std::chrono::steady_clock::now() + duration;
  while (std::chrono::steady_clock::now() < end) {
  }
}

std::chrono::steady_clock::time_point ClockSource::wallTimeOf(Instant instant) const {
  return origin_ + instant.time_since_epoch();
}

}  // namespace platform::sched

namespace platform {

KernelClock::time_point KernelClock::now() { return Scheduler::get().now(); }

}  // namespace platform
