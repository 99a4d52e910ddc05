// The reader service's waits: an exchange that outlasts the handler's wait
// is the card's slowness, never a lost reader, and the reader serves the
// next request once the exchange has ended. On the built-in emulator in
// real time; every wait is bounded.

#include <gtest/gtest.h>

#include "reader_service.h"

namespace tav712::pcsc {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// UPDATE BINARY with 400 data bytes behind an extended Lc: the card takes
// them in chained blocks. The bytes alone keep the line busy for well over
// half a second (19200 baud to the reader, 9600 to the card), whatever the
// host's speed, so the exchange always outlasts a 250 ms wait.
Bytes longChainedCommand() {
  Bytes apdu{0x00, 0xD6, 0x00, 0x00, 0x00, 0x01, 0x90};
  apdu.insert(apdu.end(), 400, 0x5A);
  return apdu;
}

TEST(ReaderService, SlowExchangeIsTheCardsTimeAndTheReaderStays) {
  Outcome opened = Outcome::failure;
  WaitBounds bounds;
  bounds.transmit = 250ms;
  bounds.perByte = 0ms;
  auto service = ReaderService::open("emulator:profile=dual", opened, bounds);
  ASSERT_EQ(opened, Outcome::ok);
  ASSERT_TRUE(service->power(PowerAction::coldReset).ok());
  ASSERT_TRUE(service->setProtocol(protocolT1).ok());

  EXPECT_EQ(service->transmit(protocolT1, longChainedCommand()).outcome, Outcome::tooSlow);
  // The exchange goes on in the driver, and the reader is still there:
  // the next transmit waits for the exchange to end (within a few of these
  // waits) and is served, and so is what follows.
  const Bytes select{0x00, 0xA4, 0x04, 0x0C, 0x06, 0xA0, 0x00, 0x00, 0x07, 0x12, 0x01};
  Reply reply;
  for (int attempt = 0; attempt < 40; ++attempt) {
    reply = service->transmit(protocolT1, select);
    if (reply.outcome != Outcome::tooSlow) break;
  }
  EXPECT_NE(reply.outcome, Outcome::tooSlow);
  EXPECT_NE(reply.outcome, Outcome::readerGone);
  const Reply state = service->cardState();
  ASSERT_TRUE(state.ok()) << outcomeName(state.outcome);
}

}  // namespace
}  // namespace tav712::pcsc
