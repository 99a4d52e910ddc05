// The port on a pseudo-terminal in real time: the tty backend's watcher
// raises interrupts into a real-time system. Each test is bounded by the
// read time-outs it sets (a few hundred milliseconds at most) and waits for
// events, never for a fixed time.

#include <chrono>

#include "port_fixture.h"
#include "serial/tty_line.h"
#include "tty_pty_pair.h"

namespace serial::testing {
namespace {

class PortOnPty : public ::testing::Test {
 protected:
  PortOnPty() {
    system_.verifier().setHandler(
        [](const platform::Violation& violation) { ADD_FAILURE() << "verifier: " << violation.describe(); });
    port_ = std::make_unique<SerialPort>(driver_, makeTtyLine({.path = pty_.slavePath()}));
  }
  ~PortOnPty() override { port_.reset(); }

  NTSTATUS call(ULONG code, UCHAR major, void* input, ULONG inputLength, void* output, ULONG outputLength,
                ULONG_PTR* information = nullptr) {
    NTSTATUS result = STATUS_PENDING;
    PDEVICE_OBJECT target = port_->physicalDeviceObject();
    system_.scheduler().run([&] {
      KEVENT event;
      KeInitializeEvent(&event, NotificationEvent, FALSE);
      IO_STATUS_BLOCK status{};
      PIRP irp = IoBuildDeviceIoControlRequest(code, target, input, inputLength, output, outputLength, FALSE,
                                               &event, &status);
      ASSERT_NE(irp, nullptr);
      PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
      next->MajorFunction = major;
      if (major == IRP_MJ_WRITE) next->Parameters.Write.Length = inputLength;
      if (major == IRP_MJ_READ) next->Parameters.Read.Length = outputLength;
      result = IofCallDriver(target, irp);
      if (result == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        result = status.Status;
      }
      if (information != nullptr) *information = status.Information;
    });
    return result;
  }
  void setTimeouts(ULONG interval, ULONG constant) {
    SERIAL_TIMEOUTS timeouts{interval, 0, constant, 0, 1000};
    ASSERT_EQ(call(IOCTL_SERIAL_SET_TIMEOUTS, IRP_MJ_DEVICE_CONTROL, &timeouts, sizeof timeouts, nullptr, 0),
              STATUS_SUCCESS);
  }

  PtyPair pty_;
  platform::System system_{{.clockMode = platform::ClockMode::RealTime}};
  SerialDriver driver_{system_};
  std::unique_ptr<SerialPort> port_;
};

TEST_F(PortOnPty, WrittenBytesReachTheFarEnd) {
  std::vector<std::uint8_t> bytes{0x45, 0x00, 0x10, 0x0A};
  EXPECT_EQ(call(0x00318000, IRP_MJ_WRITE, bytes.data(), 4, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(pty_.readFromPort(4, 500ms), bytes);
}

TEST_F(PortOnPty, BytesFromTheFarEndCompleteAWaitAndAReadBeforeTheirTimeouts) {
  ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_DSR;
  ASSERT_EQ(call(IOCTL_SERIAL_SET_WAIT_MASK, IRP_MJ_DEVICE_CONTROL, &mask, 4, nullptr, 0), STATUS_SUCCESS);
  setTimeouts(50, 400);
  pty_.writeToPort({0x90, 0x23});
  ULONG events = 0;
  EXPECT_EQ(call(IOCTL_SERIAL_WAIT_ON_MASK, IRP_MJ_DEVICE_CONTROL, nullptr, 0, &events, 4), STATUS_SUCCESS);
  EXPECT_EQ(events, static_cast<ULONG>(SERIAL_EV_RXCHAR));
  std::uint8_t reply[2] = {};
  ULONG_PTR got = 0;
  EXPECT_EQ(call(0x00314000, IRP_MJ_READ, nullptr, 0, reply, 2, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, 2u);
  EXPECT_EQ(reply[0], 0x90);
  EXPECT_EQ(reply[1], 0x23);
}

TEST_F(PortOnPty, ASilentFarEndEndsTheReadByItsTotalTimeoutOnTheWallClock) {
  setTimeouts(50, 60);
  const auto started = std::chrono::steady_clock::now();
  std::uint8_t byte = 0;
  EXPECT_EQ(call(0x00314000, IRP_MJ_READ, nullptr, 0, &byte, 1), STATUS_TIMEOUT);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_GE(elapsed, 60ms);
  EXPECT_LT(elapsed, 400ms);
}

TEST_F(PortOnPty, AHangUpOfTheFarEndIsADsrChange) {
  ULONG mask = SERIAL_EV_RXCHAR | SERIAL_EV_DSR;
  ASSERT_EQ(call(IOCTL_SERIAL_SET_WAIT_MASK, IRP_MJ_DEVICE_CONTROL, &mask, 4, nullptr, 0), STATUS_SUCCESS);
  pty_.closeMaster();
  ULONG events = 0;
  EXPECT_EQ(call(IOCTL_SERIAL_WAIT_ON_MASK, IRP_MJ_DEVICE_CONTROL, nullptr, 0, &events, 4), STATUS_SUCCESS);
  EXPECT_EQ(events, static_cast<ULONG>(SERIAL_EV_DSR));
  EXPECT_FALSE(port_->snapshot().dsr);
}

}  // namespace
}  // namespace serial::testing

namespace serial::testing {
namespace {

TEST(PortOnPtyInVirtualTime, IsRefusedBecauseARealLineNeedsTheWallClock) {
  PtyPair pty;
  platform::System system;
  SerialDriver driver(system);
  EXPECT_THROW(SerialPort(driver, makeTtyLine({.path = pty.slavePath()})), std::invalid_argument);
}

}  // namespace
}  // namespace serial::testing
