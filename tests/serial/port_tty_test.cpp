// The port on a pseudo-terminal in real time: the tty backend's watcher
// raises interrupts into a real-time system. Each test waits for events,
// never for a fixed time, and is bounded by generous deadlines: a loaded
// machine may hold the two processes' bytes apart far longer than a wire.

#include <chrono>
#include <memory>
#include <string>

#include "port_fixture.h"
#include "serial/tty_line.h"
#include "tty_pty_pair.h"

namespace serial::testing {
namespace {

class PortOnPty : public SerialSystemTest {
 protected:
  PortOnPty() : SerialSystemTest({.clockMode = platform::ClockMode::RealTime}) {}
  ~PortOnPty() override { port_.reset(); }

  NTSTATUS call(ULONG code, UCHAR major, void* input, ULONG inputLength, void* output, ULONG outputLength,
                ULONG_PTR* information = nullptr) {
    return SerialSystemTest::call(port_->physicalDeviceObject(), code, major, input, inputLength, output, outputLength,
                                  information);
  }
  void setTimeouts(ULONG interval, ULONG constant) {
    SERIAL_TIMEOUTS timeouts{interval, 0, constant, 0, 1000};
    ASSERT_EQ(call(IOCTL_SERIAL_SET_TIMEOUTS, IRP_MJ_DEVICE_CONTROL, &timeouts, sizeof timeouts, nullptr, 0),
              STATUS_SUCCESS);
  }

  PtyPair pty_;
  std::unique_ptr<SerialPort> port_ = std::make_unique<SerialPort>(driver_, makeTtyLine({.path = pty_.slavePath()}));
};

TEST_F(PortOnPty, BytesTravelBothWaysAndEndAWaitAndAReadBeforeTheirTimeouts) {
  std::vector<std::uint8_t> command{0x45, 0x00, 0x10, 0x0A};
  EXPECT_EQ(call(kBufferedWrite, IRP_MJ_WRITE, command.data(), 4, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(pty_.readFromPort(4, 5s), command);

  ULONG events = SERIAL_EV_RXCHAR | SERIAL_EV_DSR;
  ASSERT_EQ(call(IOCTL_SERIAL_SET_WAIT_MASK, IRP_MJ_DEVICE_CONTROL, &events, 4, nullptr, 0), STATUS_SUCCESS);
  setTimeouts(0, 5000);  // no interval time-out: the read ends with its count
  pty_.writeToPort({0x90, 0x23});
  EXPECT_EQ(call(IOCTL_SERIAL_WAIT_ON_MASK, IRP_MJ_DEVICE_CONTROL, nullptr, 0, &events, 4), STATUS_SUCCESS);
  EXPECT_EQ(events, static_cast<ULONG>(SERIAL_EV_RXCHAR));
  std::vector<std::uint8_t> reply(2);
  ULONG_PTR got = 0;
  EXPECT_EQ(call(kBufferedRead, IRP_MJ_READ, nullptr, 0, reply.data(), 2, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(reply, (std::vector<std::uint8_t>{0x90, 0x23}));
}

// A port deleted while the far end floods it: the receive interrupt that
// completes the wait gives the CPU up in the middle of a 256-byte chunk, and
// the thread the wait woke deletes the port there (which of them runs first
// is the seed's choice). The rest of the chunk must not reach the deleted
// port; under AddressSanitizer any touch of it is reported.
class PortOnFloodedPty : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(PortOnFloodedPty, IsDeletedAtAnyByteOfAChunk) {
  PtyPair pty;
  Flood flood(pty.masterFd(), static_cast<std::uint32_t>(GetParam()));
  for (int round = 0; round < 4; ++round) {
    platform::System system(
        {.seed = GetParam() * 8 + static_cast<std::uint64_t>(round), .clockMode = platform::ClockMode::RealTime});
    system.verifier().setHandler(
        [](const platform::Violation& violation) { ADD_FAILURE() << "verifier: " << violation.describe(); });
    SerialDriver driver(system);
    auto port = std::make_unique<SerialPort>(driver, makeTtyLine({.path = pty.slavePath()}));
    NTSTATUS waited = STATUS_PENDING;
    system.scheduler().run([&] {
      PDEVICE_OBJECT target = port->physicalDeviceObject();
      ULONG events = SERIAL_EV_RXCHAR;
      ASSERT_EQ(sendBuffered(target, IOCTL_SERIAL_SET_WAIT_MASK, IRP_MJ_DEVICE_CONTROL, &events, 4, nullptr, 0),
                STATUS_SUCCESS);
      waited = sendBuffered(target, IOCTL_SERIAL_WAIT_ON_MASK, IRP_MJ_DEVICE_CONTROL, nullptr, 0, &events, 4);
    });
    EXPECT_EQ(waited, STATUS_SUCCESS);
    port.reset();
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, PortOnFloodedPty, ::testing::Range<std::uint64_t>(1, 9),
                         [](const auto& seed) { return "Seed" + std::to_string(seed.param); });

TEST(PortOnPtyInVirtualTime, IsRefusedBecauseARealLineNeedsTheWallClock) {
  PtyPair pty;
  platform::System system;
  SerialDriver driver(system);
  EXPECT_THROW(SerialPort(driver, makeTtyLine({.path = pty.slavePath()})), std::invalid_argument);
}

}  // namespace
}  // namespace serial::testing
