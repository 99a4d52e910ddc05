#pragma once
// The wall clock as the emulated reader's timeline, for `tav712 emulate`: a
// small event loop that runs the reader's timed actions (its 19200-baud
// transmitter, the card's timing) when they fall due.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <utility>

#include "line/line.h"

namespace tav712 {

class RealTimeLoop final : public line::Timeline {
 public:
  RealTimeLoop() : start_(std::chrono::steady_clock::now()) {}

  // While an action runs, its own instant: the reader's timing (a byte
  // follows the previous one's stop bit, the card's answer its command) is
  // counted from when things happen on the line, not from when this loop
  // got round to them, so a late wake-up delays one byte and never adds up.
  line::Nanoseconds now() const override { return running_ ? *running_ : wallNow(); }
  void callAt(line::Nanoseconds when, std::function<void()> action) override {
    actions_.emplace(std::make_pair(when, sequence_++), std::move(action));
  }

  // Runs the actions that are due; returns how long until the next one
  // (capped), for ppoll().
  line::Nanoseconds runDue(line::Nanoseconds cap) {
    while (!actions_.empty() && actions_.begin()->first.first <= wallNow()) {
      const line::Nanoseconds when = actions_.begin()->first.first;
      auto action = std::move(actions_.begin()->second);
      actions_.erase(actions_.begin());
      running_ = when;
      action();
      running_.reset();
    }
    if (actions_.empty()) return cap;
    return std::clamp(actions_.begin()->first.first - wallNow(), line::Nanoseconds(0), cap);
  }

 private:
  line::Nanoseconds wallNow() const {
    return std::chrono::duration_cast<line::Nanoseconds>(std::chrono::steady_clock::now() - start_);
  }

  std::chrono::steady_clock::time_point start_;
  std::map<std::pair<line::Nanoseconds, std::uint64_t>, std::function<void()>> actions_;
  std::uint64_t sequence_ = 0;
  std::optional<line::Nanoseconds> running_;
};

}  // namespace tav712
