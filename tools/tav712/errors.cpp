#include "errors.h"

#include <cstdio>

namespace tav712 {

std::string statusName(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS: return "STATUS_SUCCESS";
    case STATUS_IO_TIMEOUT: return "STATUS_IO_TIMEOUT";
    case STATUS_NO_MEDIA_IN_DEVICE: return "STATUS_NO_MEDIA_IN_DEVICE";
    case STATUS_UNRECOGNIZED_MEDIA: return "STATUS_UNRECOGNIZED_MEDIA";
    case STATUS_DEVICE_PROTOCOL_ERROR: return "STATUS_DEVICE_PROTOCOL_ERROR";
    case STATUS_NOT_SUPPORTED: return "STATUS_NOT_SUPPORTED";
    case STATUS_INVALID_DEVICE_STATE: return "STATUS_INVALID_DEVICE_STATE";
    case STATUS_INVALID_DEVICE_REQUEST: return "STATUS_INVALID_DEVICE_REQUEST";
    case STATUS_DEVICE_REMOVED: return "STATUS_DEVICE_REMOVED";
    case STATUS_CANCELLED: return "STATUS_CANCELLED";
    case STATUS_BUFFER_TOO_SMALL: return "STATUS_BUFFER_TOO_SMALL";
    case STATUS_DATA_ERROR: return "STATUS_DATA_ERROR";
    case STATUS_UNSUCCESSFUL: return "STATUS_UNSUCCESSFUL";
    case STATUS_INSUFFICIENT_RESOURCES: return "STATUS_INSUFFICIENT_RESOURCES";
    case STATUS_DEVICE_BUSY: return "STATUS_DEVICE_BUSY";
    case STATUS_ACCESS_DENIED: return "STATUS_ACCESS_DENIED";
    case STATUS_OBJECT_NAME_NOT_FOUND: return "STATUS_OBJECT_NAME_NOT_FOUND";
    default: break;
  }
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(status));
  return buffer;
}

ToolError errorFor(NTSTATUS status, const std::string& operation) {
  const std::string what = operation + " failed: ";
  switch (status) {
    case STATUS_NO_MEDIA_IN_DEVICE:
      return ToolError(ExitStatus::noCard, what + "no card in the reader",
                       "insert a card (emulator: drop --no-card, or try 'tav712 wait')");
    case STATUS_IO_TIMEOUT:
      return ToolError(ExitStatus::muteCard, what + "the card did not answer (" + statusName(status) + ")",
                       "reinsert the card; check that it faces the contacts");
    case STATUS_DEVICE_PROTOCOL_ERROR:
      return ToolError(ExitStatus::muteCard, what + "the card stopped following the protocol (" +
                                                 statusName(status) + "); it has been powered down",
                       "reset the card with 'tav712 atr' and try again");
    case STATUS_UNRECOGNIZED_MEDIA:
      // The reset ends this way both for a card that stays silent and for
      // one whose answer-to-reset cannot be parsed.
      return ToolError(ExitStatus::muteCard,
                       what + "the card did not answer the reset, or its answer-to-reset is not valid",
                       "reinsert the card; try a warm reset (tav712 atr --warm) or another card");
    case STATUS_NOT_SUPPORTED:
    case STATUS_INVALID_DEVICE_STATE:
      return ToolError(ExitStatus::protocolRefused, what + "the card or reader refused (" + statusName(status) + ")",
                       "try --protocol any, or the protocol the ATR offers first");
    case STATUS_DEVICE_REMOVED:
    case STATUS_OBJECT_NAME_NOT_FOUND:
    case STATUS_INVALID_HANDLE:
      return ToolError(ExitStatus::readerNotAnswering, what + "the reader is gone (" + statusName(status) + ")",
                       "check the reader's cable and power");
    case STATUS_ACCESS_DENIED:
      return ToolError(ExitStatus::portUnavailable, what + "the reader is open in another program",
                       "close the other program, then try again");
    default:
      return ToolError(ExitStatus::failure, what + statusName(status));
  }
}

}  // namespace tav712
