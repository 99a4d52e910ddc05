// The tty backend against a pseudo-terminal pair, in real time. Every wait is
// for an event with a deadline; nothing sleeps a fixed time.

#include <termios.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <numeric>
#include <system_error>

#include <gtest/gtest.h>

#include "serial/tty_line.h"
#include "tty/tty_device.h"
#include "tty_pty_pair.h"

namespace serial {
namespace {

using namespace std::chrono_literals;
using testing::Inbox;
using testing::PtyPair;

// Met at once when all is well; generous for a loaded machine.
constexpr auto deadline = 5s;

// Stands in for the kernel's scheduler: runs each interrupt at once, one at
// a time, on the raising thread.
InterruptRaiser immediateInterrupts() {
  auto mutex = std::make_shared<std::mutex>();
  return [mutex](std::function<void()> handler) {
    std::lock_guard lock(*mutex);
    handler();
  };
}

struct RecordingReceiver final : line::HostPort {
  Inbox<std::uint8_t> bytes;
  Inbox<bool> dsrChanges;
  void byteReceived(std::uint8_t byte) override { bytes.push(byte); }
  void dsrChanged(bool asserted) override { dsrChanges.push(asserted); }
};

class TtyLine : public ::testing::Test {
 protected:
  // The device's settings as another opener of the terminal sees them.
  termios attributes() {
    termios attributes{};
    const int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::tcgetattr(fd, &attributes), 0);
    if (fd >= 0) ::close(fd);
    return attributes;
  }

  PtyPair pty;
  RecordingReceiver receiver;  // outlives the line that reports to it
  std::unique_ptr<LineBackend> line = makeTtyLine({.path = pty.slavePath()}, immediateInterrupts());
};

TEST_F(TtyLine, DeliversEveryByteFromTheFarEndInOrder) {
  line->connect(&receiver);
  std::vector<std::uint8_t> sent(600);  // more than one read's worth
  std::iota(sent.begin(), sent.end(), std::uint8_t{0});
  pty.writeToPort(sent);
  EXPECT_EQ(receiver.bytes.waitFor(sent.size(), deadline), sent);
  line->connect(nullptr);
}

TEST_F(TtyLine, TransmittedBytesReachTheFarEndUnchanged) {
  // Raw mode: no CR/LF translation, no interpretation of 0x10, 0x11, 0x13.
  const std::vector<std::uint8_t> sent{0x0A, 0x0D, 0x10, 0x11, 0x13, 0x7F, 0xFF, 0x00};
  for (const std::uint8_t byte : sent) line->byteFromHost(byte);
  EXPECT_EQ(pty.readFromPort(sent.size(), deadline), sent);
}

TEST_F(TtyLine, LineSettingsFollowTheRequestsAndRefuseWhatTermiosCannotDo) {
  EXPECT_TRUE(line->applyLineSettings({.baudRate = 9600, .dataBits = 7, .parity = 2, .stopBits = 2}));
  EXPECT_FALSE(line->applyLineSettings({.baudRate = 12345}));
  EXPECT_FALSE(line->applyLineSettings({.baudRate = 19200, .dataBits = 9}));
  // A refused request leaves the line as it was. (A pseudo-terminal keeps
  // its character size and parity to itself; speed and stop bits show.)
  const termios settings = attributes();
  EXPECT_EQ(::cfgetospeed(&settings), B9600);
  EXPECT_EQ(settings.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
}

TEST_F(TtyLine, APseudoTerminalHasNoModemLinesSoDsrCountsAsAsserted) {
  EXPECT_FALSE(tty::TtyDevice::open(pty.slavePath()).dsr().has_value());
  EXPECT_TRUE(line->dsr());
}

TEST_F(TtyLine, AHangUpOfTheFarEndDropsDsrAfterTheLastBytes) {
  line->connect(&receiver);
  pty.writeToPort({0x10, 0x86});
  ASSERT_EQ(receiver.bytes.waitFor(2, deadline).size(), 2u);
  pty.closeMaster();
  EXPECT_EQ(receiver.dsrChanges.waitFor(1, deadline), std::vector<bool>{false});
  EXPECT_FALSE(line->dsr());
  line->connect(nullptr);
}

TEST(TtyLineOpen, FailsForSomethingThatIsNotATerminal) {
  EXPECT_THROW(makeTtyLine({.path = "/dev/null"}, immediateInterrupts()), std::system_error);
  EXPECT_THROW(makeTtyLine({.path = "/nonexistent/tty"}, immediateInterrupts()), std::system_error);
}

}  // namespace
}  // namespace serial
