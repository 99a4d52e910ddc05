#include "emulator/queue_timeline.h"

#include <utility>

namespace emulator {

void QueueTimeline::callAt(line::Nanoseconds when, std::function<void()> action) {
  queue_.push(Entry{when < now_ ? now_ : when, nextOrder_++, std::move(action)});
}

bool QueueTimeline::runOne() {
  if (queue_.empty()) return false;
  // Copy out before popping: the action may add entries.
  Entry entry = queue_.top();
  queue_.pop();
  if (entry.when > now_) now_ = entry.when;
  entry.action();
  return true;
}

std::size_t QueueTimeline::runUntilIdle(std::size_t actionLimit) {
  std::size_t count = 0;
  while (count < actionLimit && runOne()) ++count;
  return count;
}

void QueueTimeline::runUntil(line::Nanoseconds instant) {
  while (!queue_.empty() && queue_.top().when <= instant) runOne();
  if (instant > now_) now_ = instant;
}

}  // namespace emulator
