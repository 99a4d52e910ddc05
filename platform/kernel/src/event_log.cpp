// The event-log sink: entries in the order written, each also traced.
#include <platform/event_log.h>
#include <platform/trace.h>

#include <algorithm>
#include <cstdio>

#include "installed.h"

namespace platform {

EventLog& EventLog::current() { return detail::Installed<EventLog>::current(); }
void EventLog::install(EventLog* instance) { detail::Installed<EventLog>::install(instance); }

void EventLog::write(EventLogEntry entry) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(entry.code));
  Trace::current().add(TraceCategory::Log, entry.objectName + " " + code);
  std::lock_guard lock(mutex_);
  entries_.push_back(std::move(entry));
}

std::vector<EventLogEntry> EventLog::entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

std::vector<NTSTATUS> EventLog::codes() const {
  std::lock_guard lock(mutex_);
  std::vector<NTSTATUS> codes;
  for (const auto& entry : entries_) codes.push_back(entry.code);
  return codes;
}

std::size_t EventLog::count(NTSTATUS code) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(entries_.begin(), entries_.end(), [code](const auto& entry) { return entry.code == code; }));
}

void EventLog::clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

}  // namespace platform
