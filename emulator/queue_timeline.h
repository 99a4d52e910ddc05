#pragma once
// A deterministic line::Timeline for tests and simple hosts: a queue of actions in
// virtual time, run on demand. Time only moves when the owner runs the queue.

#include <cstdint>
#include <queue>
#include <vector>

#include "line/line.h"

namespace emulator {

class QueueTimeline final : public line::Timeline {
 public:
  line::Nanoseconds now() const override { return now_; }
  void callAt(line::Nanoseconds when, std::function<void()> action) override;

  // Runs every due action until none is left; returns the number run.
  // Stops after actionLimit actions so a runaway model cannot hang a test.
  std::size_t runUntilIdle(std::size_t actionLimit = 1'000'000);
  // Runs the actions due up to and including the instant, then sets the
  // clock to it.
  void runUntil(line::Nanoseconds instant);
  void runFor(line::Nanoseconds duration) { runUntil(now_ + duration); }
  bool idle() const { return queue_.empty(); }
  // Instant of the next action, or now() when there is none.
  line::Nanoseconds nextDue() const { return queue_.empty() ? now_ : queue_.top().when; }

 private:
  struct Entry {
    line::Nanoseconds when;
    std::uint64_t order;
    std::function<void()> action;
  };
  struct Later {
    bool operator()(const Entry& a, const Entry& b) const {
      return a.when != b.when ? a.when > b.when : a.order > b.order;
    }
  };
  bool runOne();

  line::Nanoseconds now_{0};
  std::uint64_t nextOrder_ = 0;
  std::priority_queue<Entry, std::vector<Entry>, Later> queue_;
};

}  // namespace emulator
