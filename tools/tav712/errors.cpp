#include "errors.h"

#include <cstdio>

namespace tav712 {
namespace {

// A failure as people read it: its cause in words, what to try, and the
// exit status that tells scripts its kind.
struct Meaning {
  ExitStatus status;
  std::string cause;
  std::string hint;
};

const char* const readerGoneHint = "check the reader's cable and power, then run the command again";
const char* const reportHint = "run again with --verbose to see the last kernel trace entries";
const char* const resetAgainHint =
    "run the command again (it resets the card first); if it fails again, reinsert "
    "the card or try another";

bool meansReaderGone(NTSTATUS status) {
  switch (status) {
    case STATUS_DEVICE_REMOVED:
    case STATUS_DELETE_PENDING:
    case STATUS_NO_SUCH_DEVICE:
    case STATUS_DEVICE_NOT_CONNECTED:
    case STATUS_DEVICE_DOES_NOT_EXIST:
    case STATUS_OBJECT_NAME_NOT_FOUND:
    case STATUS_INVALID_HANDLE: return true;
    default: return false;
  }
}

// Statuses that mean the same in every stage.
std::optional<Meaning> anyStageMeaning(NTSTATUS status) {
  switch (status) {
    case STATUS_ACCESS_DENIED:
    case STATUS_SHARING_VIOLATION:
      return Meaning{ExitStatus::portUnavailable, "the reader is open in another program",
                     "close the other program, then try again"};
    case STATUS_NO_MEDIA_IN_DEVICE:
      return Meaning{ExitStatus::noCard, "no card in the reader",
                     "insert a card (emulator: drop --no-card, or try 'tav712 wait')"};
    case STATUS_INSUFFICIENT_RESOURCES:
    case STATUS_NO_MEMORY:
      return Meaning{ExitStatus::failure, "the system ran out of memory", "close other programs and try again"};
    case STATUS_DEVICE_BUSY:
      return Meaning{ExitStatus::failure, "the reader is busy stopping or going to sleep",
                     "try again once the reader is started"};
    default: return std::nullopt;
  }
}

std::optional<Meaning> resetMeaning(NTSTATUS status) {
  switch (status) {
    case STATUS_IO_TIMEOUT:
    case STATUS_UNRECOGNIZED_MEDIA:
      // The reset ends this way both for a card that stays silent and for
      // one whose answer-to-reset cannot be parsed.
      return Meaning{ExitStatus::cardFailed, "the card did not answer the reset, or its answer-to-reset is not valid",
                     "reinsert the card; try a warm reset (tav712 atr --warm) or another card"};
    case STATUS_DATA_ERROR:
    case STATUS_CRC_ERROR:
      return Meaning{ExitStatus::cardFailed,
                     "the answer-to-reset arrived corrupted or cannot be one (a byte with a parity error, a first "
                     "byte other than 3B or 3F, more interface bytes than an answer-to-reset holds)",
                     "reset again; if it persists, reinsert the card or try another"};
    case STATUS_BUFFER_TOO_SMALL:
    case STATUS_BUFFER_OVERFLOW:
      return Meaning{ExitStatus::cardFailed, "the answer-to-reset is longer than the 33 bytes one may have",
                     "the card does not keep to ISO/IEC 7816-3; try another card"};
    default: return std::nullopt;
  }
}

std::optional<Meaning> protocolMeaning(NTSTATUS status) {
  switch (status) {
    case STATUS_NOT_SUPPORTED:
    case STATUS_INVALID_DEVICE_REQUEST:
    case STATUS_INVALID_DEVICE_STATE:
    case STATUS_DEVICE_PROTOCOL_ERROR:
    case STATUS_INVALID_PARAMETER:
      // Whatever the library's reason (a protocol the card does not offer,
      // a PTS the card refused), the person asked for a protocol and did
      // not get it.
      return Meaning{ExitStatus::protocolRefused, "refused by the card or the reader",
                     "the ATR lists the protocols the card offers; try --protocol any"};
    default: return std::nullopt;
  }
}

std::optional<Meaning> exchangeMeaning(NTSTATUS status, const FailureContext& context) {
  const std::string protocol = context.protocol.empty() ? "its" : "the " + context.protocol;
  switch (status) {
    case STATUS_DEVICE_PROTOCOL_ERROR:
      return Meaning{ExitStatus::cardFailed, "the card stopped following " + protocol + " protocol", resetAgainHint};
    case STATUS_BUFFER_TOO_SMALL:
    case STATUS_BUFFER_OVERFLOW:
      return Meaning{ExitStatus::badInput,
                     "the command, or the answer it asks for, is larger than the reader's buffers carry",
                     "send less data at a time, or ask for a shorter answer (Le)"};
    case STATUS_INVALID_PARAMETER:
      return Meaning{ExitStatus::badInput, "the driver refused the command APDU as malformed",
                     "check its length bytes: Lc must count the data, one Le byte may follow"};
    case STATUS_INVALID_DEVICE_STATE:
    case STATUS_INVALID_DEVICE_REQUEST:
    case STATUS_NOT_SUPPORTED:
      return Meaning{ExitStatus::protocolRefused,
                     "the card is not ready for " + protocol + " protocol (reset, removed, or no protocol selected)",
                     "run the command again: it resets the card and selects a protocol first"};
    default: return std::nullopt;
  }
}

// Statuses whose meaning does not depend on the stage, once the stage has
// had its say.
Meaning commonMeaning(NTSTATUS status) {
  switch (status) {
    case STATUS_IO_TIMEOUT:
      return {ExitStatus::cardFailed, "the card did not answer", "reinsert the card; check that it faces the contacts"};
    case STATUS_DATA_ERROR:
    case STATUS_CRC_ERROR:
      return {ExitStatus::cardFailed,
              "a byte arrived corrupted: a card byte with a parity error, or a reader reply no TAV712 gives",
              "run the command again; if it persists, reinsert the card and check the reader's cable"};
    case STATUS_UNSUCCESSFUL:
    case STATUS_DATA_OVERRUN:
    case STATUS_IO_DEVICE_ERROR:
      return {ExitStatus::readerNotAnswering,
              "the reader refused a command, lost bytes or gave a reply no TAV712 gives",
              "unplug the reader and plug it in again; check its cable and the port's settings"};
    case STATUS_CANCELLED:
      return {ExitStatus::failure, "the request was cancelled before it ended", "run the command again"};
    default: return {ExitStatus::failure, "the driver gave a status the program does not expect here", reportHint};
  }
}

Meaning meaningOf(NTSTATUS status, const FailureContext& context) {
  if (context.readerGone || meansReaderGone(status)) {
    return {ExitStatus::readerNotAnswering, "the reader is gone (its line hung up, DSR dropped or it was unplugged)",
            readerGoneHint};
  }
  if (auto meaning = anyStageMeaning(status)) return *meaning;
  std::optional<Meaning> meaning;
  switch (context.stage) {
    case Stage::system: return {ExitStatus::failure, "the driver did not complete the step", reportHint};
    case Stage::readerStart:
      return {ExitStatus::readerNotAnswering, "the reader does not answer: nothing, or no TAV712, is on the line",
              "check that a TAV712 is connected and powered, and that the port is right"};
    case Stage::cardReset: meaning = resetMeaning(status); break;
    case Stage::protocolSelection: meaning = protocolMeaning(status); break;
    case Stage::exchange: meaning = exchangeMeaning(status, context); break;
    case Stage::query: break;
  }
  return meaning ? *meaning : commonMeaning(status);
}

}  // namespace

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
    case STATUS_INVALID_PARAMETER: return "STATUS_INVALID_PARAMETER";
    case STATUS_INVALID_HANDLE: return "STATUS_INVALID_HANDLE";
    case STATUS_DEVICE_REMOVED: return "STATUS_DEVICE_REMOVED";
    case STATUS_DELETE_PENDING: return "STATUS_DELETE_PENDING";
    case STATUS_NO_SUCH_DEVICE: return "STATUS_NO_SUCH_DEVICE";
    case STATUS_DEVICE_NOT_CONNECTED: return "STATUS_DEVICE_NOT_CONNECTED";
    case STATUS_DEVICE_DOES_NOT_EXIST: return "STATUS_DEVICE_DOES_NOT_EXIST";
    case STATUS_CANCELLED: return "STATUS_CANCELLED";
    case STATUS_BUFFER_TOO_SMALL: return "STATUS_BUFFER_TOO_SMALL";
    case STATUS_BUFFER_OVERFLOW: return "STATUS_BUFFER_OVERFLOW";
    case STATUS_DATA_ERROR: return "STATUS_DATA_ERROR";
    case STATUS_DATA_OVERRUN: return "STATUS_DATA_OVERRUN";
    case STATUS_CRC_ERROR: return "STATUS_CRC_ERROR";
    case STATUS_IO_DEVICE_ERROR: return "STATUS_IO_DEVICE_ERROR";
    case STATUS_UNSUCCESSFUL: return "STATUS_UNSUCCESSFUL";
    case STATUS_INSUFFICIENT_RESOURCES: return "STATUS_INSUFFICIENT_RESOURCES";
    case STATUS_NO_MEMORY: return "STATUS_NO_MEMORY";
    case STATUS_DEVICE_BUSY: return "STATUS_DEVICE_BUSY";
    case STATUS_ACCESS_DENIED: return "STATUS_ACCESS_DENIED";
    case STATUS_SHARING_VIOLATION: return "STATUS_SHARING_VIOLATION";
    case STATUS_OBJECT_NAME_NOT_FOUND: return "STATUS_OBJECT_NAME_NOT_FOUND";
    default: break;
  }
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(status));
  return buffer;
}

ToolError errorFor(NTSTATUS status, const FailureContext& context) {
  Meaning meaning = meaningOf(status, context);
  // After a failed exchange the card may have been powered down (a T=1 card
  // the library gave up on is; a T=0 card whose answer broke the protocol is
  // not): say which, as the driver tells it.
  if (context.stage == Stage::exchange && meaning.status == ExitStatus::cardFailed && context.cardPowered) {
    meaning.cause += *context.cardPowered ? "; the card is still powered" : "; the card has been powered down";
  }
  return ToolError(meaning.status, context.operation + " failed: " + meaning.cause + " (" + statusName(status) + ")",
                   meaning.hint);
}

}  // namespace tav712
