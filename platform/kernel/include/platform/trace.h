// One timestamped stream of what happens in the system: IRPs, events,
// Plug and Play and power steps, event-log entries, injected faults, verifier
// findings and (from the serial driver) the bytes on the line. Tests inspect
// it; programs print it. Entries never contain addresses, so one seed gives
// the same trace on every run.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// What an entry is about; the first word of its printed form.
enum class TraceCategory {
  Irp,       // an IRP sent, completed, cancelled
  Pnp,       // Plug and Play manager steps
  Power,     // power manager steps and recorded power states
  Event,     // kernel events and work items worth seeing
  Log,       // event-log entries
  Serial,    // bytes on a serial line (written by the serial driver)
  Reader,    // reader commands and card events
  Fault,     // injected failures
  Verifier,  // rule violations
  Debug,     // DbgPrint output
};

std::string_view traceCategoryName(TraceCategory category);

struct TraceEntry {
  std::chrono::nanoseconds time;  // kernel clock, since boot
  std::string thread;             // name of the thread that wrote it
  TraceCategory category;
  std::string text;
};

class Trace {
 public:
  Trace();

  // Appends an entry stamped with the kernel clock and the current thread.
  void add(TraceCategory category, std::string text);

  std::vector<TraceEntry> entries() const;
  // The entries from the `first`-th on (none when there are not that many):
  // what a reader that follows the trace has not seen yet, without copying
  // the rest.
  std::vector<TraceEntry> entriesFrom(std::size_t first) const;
  std::size_t size() const;
  // Entries of one category, in order.
  std::vector<TraceEntry> entries(TraceCategory category) const;
  // Texts of one category, in order (handy for exact comparisons in tests).
  std::vector<std::string> texts(TraceCategory category) const;
  // True when some entry of the category contains the given text.
  bool contains(TraceCategory category, std::string_view text) const;
  void clear();

  // Copies every new entry to the stream as it is added (nullptr stops it).
  void echoTo(std::ostream* stream);
  // The whole trace, one line per entry: "   12.345678 ms  thread  irp  text".
  std::string format() const;
  static std::string formatEntry(const TraceEntry& entry);

  // The trace of the running system (installed by platform::System), or a
  // process-wide one when no system runs.
  static Trace& current();
  static void install(Trace* instance);

  // Where timestamps and thread names come from; the system installs both.
  void setTimeSource(std::function<std::chrono::nanoseconds()> now);
  void setThreadNameSource(std::function<std::string()> threadName);

 private:
  mutable std::mutex mutex_;
  std::vector<TraceEntry> entries_;
  std::ostream* echo_ = nullptr;
  std::function<std::chrono::nanoseconds()> now_;
  std::function<std::string()> threadName_;
};

}  // namespace platform
