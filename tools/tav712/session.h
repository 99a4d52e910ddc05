#pragma once
// One run of the program against a reader: the stack brought up through
// Plug and Play, one open handle, and the card operations every command
// builds on. Driver statuses become errors for people through errorFor()
// (errors.h).

#include <memory>
#include <string>

#include "apdu.h"
#include "errors.h"
#include "options.h"
#include "reporter.h"
#include "stack/reader_client.h"
#include "stack/reader_stack.h"

namespace tav712 {

std::string cardStateName(ULONG state);
std::string protocolName(ULONG protocol);

StackOptions stackOptionsFrom(const Options& options);

class Session {
 public:
  Session(const Options& options, Reporter& reporter);
  ~Session();

  ReaderStack& stack() { return *stack_; }
  ReaderClient& client() { return *client_; }
  const Options& options() const { return options_; }
  Reporter& reporter() { return reporter_; }

  // Load the driver, add and start the reader, open it. Throws ToolError.
  void bringUp();
  // Cold (or warm) reset; returns the ATR and tells its analysis.
  Bytes powerUp(bool warm);
  // Negotiates "t0", "t1" or "any"; returns the selected protocol.
  ULONG negotiate(const std::string& protocol);
  // Sends one APDU on the selected protocol, completing 61xx and 6Cxx.
  ApduOutcome sendApdu(const Bytes& apdu);
  // Tells one APDU exchange for people.
  void tellApdu(const ApduOutcome& outcome);

  // The last kernel trace entries, for --verbose.
  std::vector<std::string> traceTail(std::size_t count) const;

  // The error for a failed request: tells whether the reader went away
  // meanwhile and, after an exchange, whether the card is still powered.
  ToolError failure(NTSTATUS status, Stage stage, const std::string& operation);

 private:
  // How long a failure waits for the reader's interface to go off when
  // the reader went away with the request (it goes off within
  // milliseconds of the hang-up).
  static constexpr std::chrono::milliseconds readerGoneGrace{200};

  const Options& options_;
  Reporter& reporter_;
  std::unique_ptr<ReaderStack> stack_;
  std::unique_ptr<ReaderClient> client_;
  ULONG protocol_ = 0;
};

}  // namespace tav712
