#include "EventLogMessages.h"

#include <algorithm>

namespace tav712 {

const EventLogMessage* findEventLogMessage(std::uint32_t code) {
  const auto messages = eventLogMessages();
  const auto found = std::ranges::find(messages, code, &EventLogMessage::code);
  return found == messages.end() ? nullptr : &*found;
}

}  // namespace tav712
