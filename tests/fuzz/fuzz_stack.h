// What the whole-stack fuzz targets share: the TAV712 stack on the virtual
// clock (kernel, COM port, emulated reader, the driver loaded and started by
// the Plug and Play manager) with the verifier stopping the run on any
// report, every request bounded in virtual time, the driver unloaded at the
// end (which the verifier checks for anything left behind), and the session
// an application runs on the reader: resets, protocol selections and
// transmits, in an order and with parameters the input chooses.
#pragma once

#include <wdm.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "fuzz_check.h"
#include "stack/reader_client.h"
#include "stack/reader_stack.h"

namespace fuzz {

using Bytes = std::vector<std::uint8_t>;

// A request that has not completed after this much virtual time hangs. The
// longest legitimate exchange (a card granting itself the longest waiting
// times, retried) ends well within it.
inline constexpr platform::Duration kRequestBound = std::chrono::minutes(30);
// A request cancelled or whose handle was closed completes within this.
inline constexpr platform::Duration kCancelBound = std::chrono::seconds(10);

class StackRun {
 public:
  explicit StackRun(tav712::StackOptions options);
  // Closes the client, removes the reader and unloads the driver (the
  // verifier then checks that nothing was left behind).
  ~StackRun();
  StackRun(const StackRun&) = delete;
  StackRun& operator=(const StackRun&) = delete;

  platform::System& system() { return stack_.system(); }
  emulator::Reader& reader() { return *stack_.emulatedReader(); }
  // Loads the driver, adds and starts the reader, and opens it; false when
  // the reader did not come up (its stream may make the start fail).
  bool bringUp();
  tav712::ReaderClient& client() { return *client_; }
  // A fresh handle in place of the client's (after it was closed).
  bool reopen();

  // A control request on a request thread of its own, waited for within
  // kRequestBound; the run fails when it hangs or reports more bytes than
  // asked for.
  platform::IoResult control(ULONG code, std::span<const std::uint8_t> input, ULONG outputLength);
  // A request started earlier, waited for within `bound`; the run fails when
  // it has not completed by then.
  platform::IoResult finish(platform::PendingRequest& request, ULONG outputLength, platform::Duration bound);
  // Lets the system run for a while (virtual time).
  void runFor(platform::Duration duration);

 private:
  tav712::ReaderStack stack_;
  std::unique_ptr<tav712::ReaderClient> client_;
};

// Bytes the far end has sent since it came up: the card's characters, or the
// reader's stream. A successful transmit answers with some of those sent
// during the transmit, in order.
using SentBytes = std::function<std::size_t()>;
using SentSince = std::function<Bytes(std::size_t from)>;

struct SessionEnds {
  SentBytes count;
  SentSince since;
};

// An application's session on the started reader, each step chosen by the
// input until it runs out (at most `steps`): cold and warm resets, a power
// down, protocol selections (T=0, T=1, both, none), transmits of commands of
// every case by the selected protocol, and state queries. Each answer is
// checked: lengths within the caller's buffer, a successful transmit made of
// bytes the far end sent during it.
void runSession(StackRun& run, Input& input, const SessionEnds& ends, int steps);

// Whether `answer` is made of bytes of `sent`, in order (not necessarily
// adjacent: escapes, procedure bytes and block frames lie between).
bool subsequenceOf(std::span<const std::uint8_t> answer, std::span<const std::uint8_t> sent);

}  // namespace fuzz
