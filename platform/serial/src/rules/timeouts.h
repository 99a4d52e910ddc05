#pragma once
// How the port's time-outs bound a read or a write, after the platform's
// COMMTIMEOUTS rules:
//  - ReadIntervalTimeout MAXULONG with both read totals 0: a read returns at
//    once with what is queued, even nothing;
//  - ReadIntervalTimeout and ReadTotalTimeoutMultiplier MAXULONG with
//    0 < ReadTotalTimeoutConstant < MAXULONG: a read returns as soon as any
//    byte is there, or with STATUS_TIMEOUT after the constant;
//  - otherwise a total time-out of multiplier x length + constant when
//    either is set, and an interval time-out between bytes (counted from
//    the first byte) when ReadIntervalTimeout is neither 0 nor MAXULONG;
//  - a write's total time-out is multiplier x length + constant when either
//    is set; there is none otherwise.

#include <chrono>
#include <cstdint>
#include <optional>

#include <ntddser.h>

namespace serial {

using Milliseconds = std::chrono::duration<std::uint64_t, std::milli>;

struct ReadPlan {
  bool returnWithWhatIsQueued = false;     // never waits
  bool anyByteIsEnough = false;            // completes once it holds one byte
  std::optional<Milliseconds> total{};     // from the moment the read starts
  std::optional<Milliseconds> interval{};  // after each byte the read takes
  friend bool operator==(const ReadPlan&, const ReadPlan&) = default;
};

constexpr ULONG kMaxUlong = 0xFFFFFFFFu;

constexpr ReadPlan planRead(const SERIAL_TIMEOUTS& timeouts, ULONG length) {
  ReadPlan plan;
  const ULONG interval = timeouts.ReadIntervalTimeout;
  const ULONG multiplier = timeouts.ReadTotalTimeoutMultiplier;
  const ULONG constant = timeouts.ReadTotalTimeoutConstant;
  if (interval == kMaxUlong && multiplier == 0 && constant == 0) {
    plan.returnWithWhatIsQueued = true;
    return plan;
  }
  if (interval == kMaxUlong && multiplier == kMaxUlong && constant != 0 && constant != kMaxUlong) {
    plan.anyByteIsEnough = true;
    plan.total = Milliseconds(constant);
    return plan;
  }
  if (multiplier != 0 || constant != 0) {
    plan.total = Milliseconds(std::uint64_t{multiplier} * length + constant);
  }
  if (interval != 0 && interval != kMaxUlong) plan.interval = Milliseconds(interval);
  return plan;
}

constexpr std::optional<Milliseconds> planWrite(const SERIAL_TIMEOUTS& timeouts, ULONG length) {
  const ULONG multiplier = timeouts.WriteTotalTimeoutMultiplier;
  const ULONG constant = timeouts.WriteTotalTimeoutConstant;
  if (multiplier == 0 && constant == 0) return std::nullopt;
  return Milliseconds(std::uint64_t{multiplier} * length + constant);
}

// The one combination the platform refuses: every read time-out MAXULONG.
constexpr bool timeoutsValid(const SERIAL_TIMEOUTS& timeouts) {
  return !(timeouts.ReadIntervalTimeout == kMaxUlong && timeouts.ReadTotalTimeoutMultiplier == kMaxUlong &&
           timeouts.ReadTotalTimeoutConstant == kMaxUlong);
}

}  // namespace serial
