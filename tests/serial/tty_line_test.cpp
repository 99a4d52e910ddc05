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

constexpr auto deadline = 500ms;

// Stands in for the kernel's scheduler: runs each interrupt at once, one at
// a time, on the raising thread.
InterruptRaiser immediateInterrupts() {
  auto mutex = std::make_shared<std::mutex>();
  return [mutex](std::function<void()> handler) {
    std::lock_guard lock(*mutex);
    handler();
  };
}

struct RecordingReceiver final : LineReceiver {
  Inbox<std::uint8_t> bytes;
  Inbox<bool> dsrChanges;
  void byteReceived(std::uint8_t byte) override { bytes.push(byte); }
  void dsrChanged(bool asserted) override { dsrChanges.push(asserted); }
};

std::vector<std::uint8_t> countingBytes(std::size_t count) {
  std::vector<std::uint8_t> bytes(count);
  std::iota(bytes.begin(), bytes.end(), std::uint8_t{0});
  return bytes;
}

TEST(TtyLine, DeliversEveryByteFromTheFarEndInOrder) {
  PtyPair pty;
  auto line = makeTtyLine({.path = pty.slavePath()}, immediateInterrupts());
  RecordingReceiver receiver;
  line->attach(&receiver);
  const auto sent = countingBytes(600);  // more than one read's worth
  pty.writeToPort(sent);
  EXPECT_EQ(receiver.bytes.waitFor(sent.size(), deadline), sent);
  line->attach(nullptr);
}

TEST(TtyLine, TransmittedBytesReachTheFarEndUnchanged) {
  PtyPair pty;
  auto line = makeTtyLine({.path = pty.slavePath()}, immediateInterrupts());
  // Raw mode: no CR/LF translation, no interpretation of 0x10, 0x11, 0x13.
  const std::vector<std::uint8_t> sent{0x0A, 0x0D, 0x10, 0x11, 0x13, 0x7F, 0xFF, 0x00};
  for (const std::uint8_t byte : sent) line->transmit(byte);
  EXPECT_EQ(pty.readFromPort(sent.size(), deadline), sent);
}

TEST(TtyLine, ConfiguresTheDeviceAs19200Baud8N1Raw) {
  PtyPair pty;
  auto line = makeTtyLine({.path = pty.slavePath()}, immediateInterrupts());
  const int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  termios attributes{};
  ASSERT_EQ(::tcgetattr(fd, &attributes), 0);
  ::close(fd);
  EXPECT_EQ(::cfgetispeed(&attributes), B19200);
  EXPECT_EQ(::cfgetospeed(&attributes), B19200);
  EXPECT_EQ(attributes.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(attributes.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(attributes.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(attributes.c_iflag & (IXON | IXOFF | ICRNL), 0u);
  EXPECT_EQ(attributes.c_oflag & OPOST, 0u);
}

TEST(TtyLine, LineSettingsFollowTheRequestsAndRefuseWhatTermiosCannotDo) {
  PtyPair pty;
  auto line = makeTtyLine({.path = pty.slavePath()}, immediateInterrupts());
  EXPECT_TRUE(line->applyLineSettings({.baudRate = 9600, .dataBits = 7, .parity = 2, .stopBits = 2}));
  EXPECT_FALSE(line->applyLineSettings({.baudRate = 12345}));
  EXPECT_FALSE(line->applyLineSettings({.baudRate = 19200, .dataBits = 9}));
  const int fd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  termios attributes{};
  ASSERT_EQ(::tcgetattr(fd, &attributes), 0);
  ::close(fd);
  // A refused request leaves the line as it was. (A pseudo-terminal keeps
  // its character size and parity to itself; speed and stop bits show.)
  EXPECT_EQ(::cfgetospeed(&attributes), B9600);
  EXPECT_EQ(attributes.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
}

TEST(TtyLine, APseudoTerminalHasNoModemLinesSoDsrCountsAsAsserted) {
  PtyPair pty;
  const tty::TtyDevice device = tty::TtyDevice::open(pty.slavePath());
  EXPECT_FALSE(device.dsr().has_value());
  auto line = makeTtyLine({.path = pty.slavePath()}, immediateInterrupts());
  EXPECT_TRUE(line->dsr());
}

TEST(TtyLine, AHangUpOfTheFarEndDropsDsrAfterTheLastBytes) {
  PtyPair pty;
  auto line = makeTtyLine({.path = pty.slavePath()}, immediateInterrupts());
  RecordingReceiver receiver;
  line->attach(&receiver);
  pty.writeToPort({0x10, 0x86});
  ASSERT_EQ(receiver.bytes.waitFor(2, deadline).size(), 2u);
  pty.closeMaster();
  EXPECT_EQ(receiver.dsrChanges.waitFor(1, deadline), std::vector<bool>{false});
  EXPECT_FALSE(line->dsr());
  line->attach(nullptr);
}

TEST(TtyLine, OpeningSomethingThatIsNotATerminalFails) {
  EXPECT_THROW(makeTtyLine({.path = "/dev/null"}, immediateInterrupts()), std::system_error);
  EXPECT_THROW(makeTtyLine({.path = "/nonexistent/tty"}, immediateInterrupts()), std::system_error);
}

}  // namespace
}  // namespace serial
