// The system event log: what drivers write with IoWriteErrorLogEntry (the
// smart card library's SmartcardLogError ends there). Tests and programs read
// the entries back.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <wdm.h>

namespace platform {

struct EventLogEntry {
  const void* object;      // the driver or device object the entry is for
  std::string objectName;  // its display name
  NTSTATUS code;           // the message code (ErrorCode of the packet)
  NTSTATUS finalStatus;
  ULONG uniqueErrorValue;
  std::vector<ULONG> dumpData;
  std::u16string strings;  // insertion strings, NUL-separated
};

class EventLog {
 public:
  void write(EventLogEntry entry);
  std::vector<EventLogEntry> entries() const;
  // Codes of all entries, in order.
  std::vector<NTSTATUS> codes() const;
  std::size_t count(NTSTATUS code) const;
  // The eventlog of the running system (installed by platform::System), or a
  // process-wide one when no system runs.
  static EventLog& current();
  static void install(EventLog* instance);

  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<EventLogEntry> entries_;
};

}  // namespace platform
