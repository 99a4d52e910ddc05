// Error-log entries: IoAllocateErrorLogEntry hands out a packet,
// IoWriteErrorLogEntry files it in the system's event log.
#include <platform/event_log.h>
#include <platform/faults.h>
#include <platform/verifier.h>

#include <cstring>

#include "io_state.h"

using namespace platform;
using namespace platform::io;

extern "C" {

PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
  if (EntrySize < sizeof(IO_ERROR_LOG_PACKET) || EntrySize > ERROR_LOG_MAXIMUM_SIZE) return nullptr;
  if (FaultInjector::current().shouldFail(fault::kErrorLogEntry, __builtin_return_address(0))) return nullptr;
  ErrorLogRecord record;
  record.object = IoObject;
  record.size = EntrySize;
  record.memory = std::make_unique<std::byte[]>(EntrySize);
  PVOID packet = record.memory.get();
  IoState::current().errorLogEntries[packet] = std::move(record);
  return packet;
}

VOID NTAPI IoFreeErrorLogEntry(PVOID ElEntry) {
  if (IoState::current().errorLogEntries.erase(ElEntry) == 0)
    reportViolation(rule::kDoubleFree, "error log entry", "IoFreeErrorLogEntry of an unknown entry");
}

VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry) {
  auto& state = IoState::current();
  auto found = state.errorLogEntries.find(ElEntry);
  if (found == state.errorLogEntries.end()) {
    reportViolation(rule::kDoubleFree, "error log entry", "IoWriteErrorLogEntry of an unknown entry");
    return;
  }
  const ErrorLogRecord& record = found->second;
  auto* packet = static_cast<const IO_ERROR_LOG_PACKET*>(ElEntry);
  EventLogEntry entry;
  entry.object = record.object;
  entry.objectName = state.describeObject(record.object);
  entry.code = packet->ErrorCode;
  entry.finalStatus = packet->FinalStatus;
  entry.uniqueErrorValue = packet->UniqueErrorValue;
  std::size_t dumpWords = packet->DumpDataSize / sizeof(ULONG);
  std::size_t dumpLimit = (record.size - offsetof(IO_ERROR_LOG_PACKET, DumpData)) / sizeof(ULONG);
  for (std::size_t i = 0; i < dumpWords && i < dumpLimit; ++i) entry.dumpData.push_back(packet->DumpData[i]);
  if (packet->NumberOfStrings > 0 && packet->StringOffset < record.size) {
    auto* bytes = static_cast<const std::byte*>(ElEntry);
    std::size_t count = (record.size - packet->StringOffset) / sizeof(WCHAR);
    std::u16string strings(count, u'\0');
    std::memcpy(strings.data(), bytes + packet->StringOffset, count * sizeof(WCHAR));
    entry.strings = strings;
  }
  state.errorLogEntries.erase(found);
  EventLog::current().write(std::move(entry));
}

}  // extern "C"
