#pragma once
// Errors the program reports to people: one line naming the cause, one hint
// saying what to try, and a distinct exit status per kind of failure.

#include <ntstatus.h>

#include <stdexcept>
#include <string>

namespace tav712 {

enum class ExitStatus : int {
  ok = 0,
  failure = 1,            // an operation failed for a reason not listed below
  usage = 2,              // bad command line
  badInput = 3,           // malformed hex, APDU too long, unreadable script
  portUnavailable = 4,    // the serial port does not exist or is busy
  readerNotAnswering = 5, // no firmware reply: nothing (or no TAV712) on the line
  noCard = 6,
  muteCard = 7,           // the card did not answer
  protocolRefused = 8,
  scriptMismatch = 9,     // a script line got another status word than expected
  timeout = 10,           // a wait (card insertion, removal) ran out
};

class ToolError : public std::runtime_error {
 public:
  ToolError(ExitStatus status, const std::string& message, std::string hint = {})
      : std::runtime_error(message), status_(status), hint_(std::move(hint)) {}
  ExitStatus status() const { return status_; }
  const std::string& hint() const { return hint_; }

 private:
  ExitStatus status_;
  std::string hint_;
};

// What a failed request means to a person, with what to try.
ToolError errorFor(NTSTATUS status, const std::string& operation);
std::string statusName(NTSTATUS status);

}  // namespace tav712
