// The port on the emulator's line devices, on the kernel's virtual clock:
// the reader itself and a scripted far end.

#include "emulator/reader.h"
#include "emulator/scripted_line.h"
#include "port_fixture.h"
#include "serial/device_line.h"

namespace serial::testing {
namespace {

class PortOnDevice : public SerialSystemTest {
 protected:
  struct Reply {
    std::vector<std::uint8_t> bytes;
    Instant at{};
  };

  // Writes the bytes and reads count bytes back, as one reader command does.
  Reply exchange(SerialPort& port, std::vector<std::uint8_t> bytes, ULONG count) {
    PDEVICE_OBJECT target = port.physicalDeviceObject();
    SERIAL_TIMEOUTS timeouts{50, 0, 100, 0, 1000};
    EXPECT_EQ(call(target, IOCTL_SERIAL_SET_TIMEOUTS, IRP_MJ_DEVICE_CONTROL, &timeouts, sizeof timeouts, nullptr, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(call(target, kBufferedWrite, IRP_MJ_WRITE, bytes.data(), static_cast<ULONG>(bytes.size()), nullptr, 0),
              STATUS_SUCCESS);
    Reply reply{std::vector<std::uint8_t>(count)};
    EXPECT_EQ(call(target, kBufferedRead, IRP_MJ_READ, nullptr, 0, reply.bytes.data(), count), STATUS_SUCCESS);
    reply.at = system_.scheduler().now();
    return reply;
  }

  KernelTimeline timeline_;
};

TEST_F(PortOnDevice, TheReaderAnswersARegisterReadOnTheVirtualClock) {
  emulator::Reader reader(timeline_);
  SerialPort port(driver_, makeDeviceLine(reader));
  const Instant start = system_.scheduler().now();
  const Reply reply = exchange(port, {0xC0}, 1);  // read register 0: the firmware version
  EXPECT_EQ(reply.bytes, std::vector<std::uint8_t>{0x23});
  EXPECT_GE(reply.at - start, 2 * kCharacter);
  system_.scheduler().runUntilIdle();
}

TEST_F(PortOnDevice, AScriptedLineHearsTheHostAndAnswersAtExactInstants) {
  auto script = emulator::parseScript("> C0\n< +1ms 23\n");
  ASSERT_FALSE(script.error.has_value()) << *script.error;
  emulator::ScriptedLine line(timeline_, script.steps);
  SerialPort port(driver_, makeDeviceLine(line, "script"));
  const Instant start = system_.scheduler().now();
  const Reply reply = exchange(port, {0xC0}, 1);
  EXPECT_EQ(reply.bytes, std::vector<std::uint8_t>{0x23});
  // C0 ends one character after the write, 23 starts 1 ms later.
  EXPECT_EQ(reply.at - start, kCharacter + 1ms + kCharacter);
  EXPECT_TRUE(line.finished());
  EXPECT_TRUE(line.mismatches().empty());
}

TEST_F(PortOnDevice, UnpluggingTheReaderDropsDsrAtThePort) {
  emulator::Reader reader(timeline_);
  SerialPort port(driver_, makeDeviceLine(reader));
  EXPECT_TRUE(port.snapshot().dsr);
  reader.unplug();  // from the test's own thread: delivered as an interrupt
  system_.scheduler().runUntilIdle();
  EXPECT_FALSE(port.snapshot().dsr);
}

}  // namespace
}  // namespace serial::testing
