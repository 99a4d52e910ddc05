// The system trace: a locked vector of entries, optionally echoed as written.
#include <platform/trace.h>

#include <cstdio>
#include <ostream>
#include <sstream>

#include "installed.h"

namespace platform {

std::string_view traceCategoryName(TraceCategory category) {
  switch (category) {
    case TraceCategory::Irp: return "irp";
    case TraceCategory::Pnp: return "pnp";
    case TraceCategory::Power: return "power";
    case TraceCategory::Event: return "event";
    case TraceCategory::Log: return "log";
    case TraceCategory::Serial: return "serial";
    case TraceCategory::Reader: return "reader";
    case TraceCategory::Fault: return "fault";
    case TraceCategory::Verifier: return "verifier";
    case TraceCategory::Debug: return "debug";
  }
  return "?";
}

Trace::Trace() : now_([] { return std::chrono::nanoseconds::zero(); }), threadName_([] { return std::string("-"); }) {}

Trace& Trace::current() { return detail::Installed<Trace>::current(); }
void Trace::install(Trace* instance) { detail::Installed<Trace>::install(instance); }

void Trace::add(TraceCategory category, std::string text) {
  TraceEntry entry{now_(), threadName_(), category, std::move(text)};
  std::lock_guard lock(mutex_);
  if (echo_ != nullptr) *echo_ << formatEntry(entry) << '\n';
  entries_.push_back(std::move(entry));
}

std::vector<TraceEntry> Trace::entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

std::vector<TraceEntry> Trace::entriesFrom(std::size_t first) const {
  std::lock_guard lock(mutex_);
  if (first >= entries_.size()) return {};
  return {entries_.begin() + static_cast<std::ptrdiff_t>(first), entries_.end()};
}

std::size_t Trace::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

std::vector<TraceEntry> Trace::entries(TraceCategory category) const {
  std::lock_guard lock(mutex_);
  std::vector<TraceEntry> selected;
  for (const auto& entry : entries_)
    if (entry.category == category) selected.push_back(entry);
  return selected;
}

std::vector<std::string> Trace::texts(TraceCategory category) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> selected;
  for (const auto& entry : entries_)
    if (entry.category == category) selected.push_back(entry.text);
  return selected;
}

bool Trace::contains(TraceCategory category, std::string_view text) const {
  std::lock_guard lock(mutex_);
  for (const auto& entry : entries_)
    if (entry.category == category && entry.text.find(text) != std::string::npos) return true;
  return false;
}

void Trace::clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

void Trace::echoTo(std::ostream* stream) {
  std::lock_guard lock(mutex_);
  echo_ = stream;
}

std::string Trace::formatEntry(const TraceEntry& entry) {
  auto ns = entry.time.count();
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "%8lld.%06lld ms", static_cast<long long>(ns / 1'000'000),
                static_cast<long long>(ns % 1'000'000));
  std::ostringstream line;
  line << stamp << "  " << entry.thread << "  " << traceCategoryName(entry.category) << "  " << entry.text;
  return line.str();
}

std::string Trace::format() const {
  std::lock_guard lock(mutex_);
  std::string text;
  for (const auto& entry : entries_) text += formatEntry(entry) + '\n';
  return text;
}

void Trace::setTimeSource(std::function<std::chrono::nanoseconds()> now) {
  std::lock_guard lock(mutex_);
  now_ = std::move(now);
}

void Trace::setThreadNameSource(std::function<std::string()> threadName) {
  std::lock_guard lock(mutex_);
  threadName_ = std::move(threadName);
}

}  // namespace platform
