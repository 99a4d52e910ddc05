#pragma once
// Errors the program reports to people: one line naming the cause, one hint
// saying what to try, and a distinct exit status per kind of failure.
// A failed driver request becomes such an error in exactly one place,
// errorFor(), from its status and what the program was doing.

#include <ntstatus.h>

#include <optional>
#include <stdexcept>
#include <string>

namespace tav712 {

enum class ExitStatus : int {
  ok = 0,
  failure = 1,             // an operation failed for a reason not listed below
  usage = 2,               // bad command line
  badInput = 3,            // malformed hex, APDU too long, unreadable script
  portUnavailable = 4,     // the serial port does not exist or is busy
  readerNotAnswering = 5,  // no firmware reply, a reply no TAV712 gives, or the reader went away
  noCard = 6,
  cardFailed = 7,  // the card did not answer, or answered outside the protocol
  protocolRefused = 8,
  scriptMismatch = 9,  // a script line got another status word than expected
  timeout = 10,        // a wait (card insertion, removal) ran out
};

class ToolError : public std::runtime_error {
 public:
  // Every error says what to try: there is no error without a hint.
  ToolError(ExitStatus status, const std::string& message, std::string hint)
      : std::runtime_error(message), status_(status), hint_(std::move(hint)) {}
  ExitStatus status() const { return status_; }
  const std::string& hint() const { return hint_; }

 private:
  ExitStatus status_;
  std::string hint_;
};

// What the program was doing when a driver request failed.
enum class Stage {
  system,             // Plug and Play and power: loading the driver, adding, opening, stopping the reader, sleep
  readerStart,        // starting the reader: its firmware reply and registers
  cardReset,          // a cold or warm reset and the answer-to-reset
  protocolSelection,  // the protocol choice and its PTS exchange
  exchange,           // an APDU on the selected protocol
  query,              // card state, attributes, the vendor version, waits
};

struct FailureContext {
  FailureContext(Stage during, std::string what) : stage(during), operation(std::move(what)) {}

  Stage stage;
  // Starts the message: "cold reset", "sending 00 A4 04 0C".
  std::string operation;
  // The protocol of an exchange ("T=0", "T=1"), for the message.
  std::string protocol;
  // The reader's interface went away with the failure (its line hung up,
  // DSR dropped): whatever the status, the reader is the cause.
  bool readerGone = false;
  // Whether the card was still powered after the failure, as the driver
  // tells it; unknown when the state could not be read.
  std::optional<bool> cardPowered;
};

// What a failed request means to a person, with what to try and the exit
// status: defined for every status in every stage.
ToolError errorFor(NTSTATUS status, const FailureContext& context);
// "STATUS_IO_TIMEOUT", or the value in hex for a status without a name here.
std::string statusName(NTSTATUS status);

}  // namespace tav712
