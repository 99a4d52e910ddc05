// The driver's event-log messages as the host programs show them: the codes
// that the driver logs, their names and the texts of its message table.
// Generated from resources/tav712log.mc, the one source of codes and texts.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tav712 {

struct EventLogMessage {
  std::uint32_t code;
  std::string_view name;
  // The message-table text, each line ending in CR LF; none for a code
  // that the driver logs without a table entry.
  std::optional<std::string_view> text;
};

// Every code the driver can log, table entries first.
std::span<const EventLogMessage> eventLogMessages();

// The message of a code, or nullptr for a code the driver does not log.
const EventLogMessage* findEventLogMessage(std::uint32_t code);

}  // namespace tav712
