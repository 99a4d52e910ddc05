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
  struct Exchange {
    NTSTATUS writeStatus = STATUS_PENDING;
    NTSTATUS readStatus = STATUS_PENDING;
    std::vector<std::uint8_t> reply;
    Instant repliedAt{};
  };

  // Writes the bytes and reads count bytes back, as one reader command does.
  Exchange exchange(SerialPort& port, std::vector<std::uint8_t> bytes, ULONG count) {
    Exchange result;
    PDEVICE_OBJECT target = port.physicalDeviceObject();
    SERIAL_TIMEOUTS timeouts{50, 0, 100, 0, 1000};
    EXPECT_EQ(call(target, IOCTL_SERIAL_SET_TIMEOUTS, IRP_MJ_DEVICE_CONTROL, &timeouts, sizeof timeouts, nullptr, 0),
              STATUS_SUCCESS);
    result.writeStatus = call(target, kBufferedWrite, IRP_MJ_WRITE, bytes.data(), static_cast<ULONG>(bytes.size()),
                              nullptr, 0);
    result.reply.resize(count);
    result.readStatus = call(target, kBufferedRead, IRP_MJ_READ, nullptr, 0, result.reply.data(), count);
    result.repliedAt = system_.scheduler().now();
    return result;
  }

  KernelTimeline timeline_;
};

TEST_F(PortOnDevice, TheReaderAnswersARegisterReadOnTheVirtualClock) {
  emulator::Reader reader(timeline_);
  SerialPort port(driver_, makeDeviceLine(reader));
  const Instant start = system_.scheduler().now();
  const Exchange answer = exchange(port, {0xC0}, 1);  // read register 0: the firmware version
  EXPECT_EQ(answer.writeStatus, STATUS_SUCCESS);
  EXPECT_EQ(answer.readStatus, STATUS_SUCCESS);
  EXPECT_EQ(answer.reply, std::vector<std::uint8_t>{0x23});
  EXPECT_GT(answer.repliedAt - start, 2 * kCharacter - 1ns);
  system_.scheduler().runUntilIdle();
}

TEST_F(PortOnDevice, AScriptedLineHearsTheHostAndAnswersAtExactInstants) {
  auto script = emulator::parseScript("> C0\n< +1ms 23\n");
  ASSERT_FALSE(script.error.has_value()) << *script.error;
  emulator::ScriptedLine line(timeline_, script.steps);
  SerialPort port(driver_, makeDeviceLine(line, "script"));
  const Instant start = system_.scheduler().now();
  const Exchange answer = exchange(port, {0xC0}, 1);
  EXPECT_EQ(answer.reply, std::vector<std::uint8_t>{0x23});
  // C0 ends one character after the write, 23 starts 1 ms later.
  EXPECT_EQ(answer.repliedAt - start, kCharacter + 1ms + kCharacter);
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
