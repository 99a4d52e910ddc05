// The receive engine on a real terminal: a pseudo-terminal through the tty
// backend, on the wall clock. A USB-serial adapter or a pseudo-terminal hands
// a whole block over at once, and the backend reads it in chunks of 256
// bytes; every burst the input queue holds must reach the waiting thread
// within the receive's own time-out, however the chunks fall.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "link/ReceiveEngine.h"
#include "link/SerialChannel.h"
#include "serial/tty_pty_pair.h"
#include "support/driver_harness.h"

namespace tav712::testing {
namespace {

using namespace std::chrono_literals;

// A burst of count data bytes: every value but the reader's escape byte, so
// that each byte on the line is one byte received.
Bytes burstOf(std::size_t count, std::size_t offset = 0) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto value = static_cast<std::uint8_t>((offset + i) % 255);
    bytes[i] = value >= READER_ESCAPE ? static_cast<std::uint8_t>(value + 1) : value;
  }
  return bytes;
}

std::string hexStatus(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

class ReceiveBurst : public ::testing::Test {
 protected:
  // The link, with the receive time-outs of a T=1 exchange at the card's
  // defaults (about 2 s per receive), on the reader record and the port.
  void SetUp() override {
    ASSERT_EQ(harness.openLink(), STATUS_SUCCESS);
    harness.call([&] {
      PREADER_EXTENSION reader = harness.readerExtension();
      reader->ReadCharTimeout = 50;
      reader->ReadTotalTimeout = 2000;
      SERIAL_TIMEOUTS timeouts{50, 0, 2000, 0, 1000};
      ASSERT_EQ(SerialIoControl(reader, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0),
                STATUS_SUCCESS);
    });
  }

  // Writes the burst to the far end in the given pieces (each one write),
  // then receives it as the T=1 transmission does: the 3-byte prologue, then
  // the rest. Fails when a receive fails or the bytes differ, and when the
  // worker drained the burst in more reads than a few per chunk the backend
  // can have handed over (one read per byte cannot keep up with a burst on a
  // busy machine).
  ::testing::AssertionResult receivesBurst(const std::vector<std::size_t>& pieces) {
    std::size_t total = 0;
    for (std::size_t piece : pieces) total += piece;
    const Bytes sent = burstOf(total, pieces.size());
    harness.recorder()->clear();
    std::string failure;
    harness.call([&] {
      PREADER_EXTENSION reader = harness.readerExtension();
      std::size_t at = 0;
      for (std::size_t piece : pieces) {
        pty.writeToPort(Bytes(sent.begin() + static_cast<std::ptrdiff_t>(at),
                              sent.begin() + static_cast<std::ptrdiff_t>(at + piece)));
        at += piece;
      }
      Bytes received(total);
      const ULONG first = static_cast<ULONG>(std::min<std::size_t>(3, total));
      const ULONG rest = static_cast<ULONG>(total - first);
      NTSTATUS status = ReaderReceive(reader, received.data(), first);
      if (status != STATUS_SUCCESS) {
        failure = "the first " + std::to_string(first) + " bytes: " + hexStatus(status);
      } else if (rest > 0 && (status = ReaderReceive(reader, received.data() + first, rest)) != STATUS_SUCCESS) {
        failure = "the last " + std::to_string(rest) + " bytes: " + hexStatus(status);
      } else if (received != sent) {
        failure = "the bytes differ";
      }
    });
    if (!failure.empty()) return ::testing::AssertionFailure() << failure;
    const auto requests = harness.recorder()->requests();
    const auto reads =
        static_cast<std::size_t>(std::count_if(requests.begin(), requests.end(), [](const SerialRequest& request) {
          return request.majorFunction == IRP_MJ_READ;
        }));
    const std::size_t allowed = 4 * pieces.size() + total / 16;
    if (reads > allowed) {
      return ::testing::AssertionFailure() << reads << " reads for " << total << " bytes (at most " << allowed << ")";
    }
    return ::testing::AssertionSuccess();
  }

  serial::testing::PtyPair pty;
  DriverHarness harness{{.line = TerminalLine{pty.slavePath()}}};
};

// Every size the receive buffer can hold, each written at once: the backend
// reads it as one, two or three chunks, the last one of every length.
TEST_F(ReceiveBurst, EveryBurstUpToTheBufferSizeIsReceivedInTime) {
  for (std::size_t size = 1; size <= TAV712_MAX_RECEIVE; ++size) {
    ASSERT_TRUE(receivesBurst({size})) << "a burst of " << size << " bytes";
  }
}

// A T=1 block of LEN 254 (258 bytes) handed over in two writes, split at every
// place: the halves reach the port as separate chunks at any boundary.
TEST_F(ReceiveBurst, ALongBlockSplitAnywhereIsReceivedInTime) {
  constexpr std::size_t kLongBlock = 3 + 254 + 1;
  for (std::size_t first = 1; first < kLongBlock; ++first) {
    ASSERT_TRUE(receivesBurst({first, kLongBlock - first})) << "split after " << first << " bytes";
  }
}

}  // namespace
}  // namespace tav712::testing
