// The port on the emulator's line devices, on the kernel's virtual clock:
// the reader itself and a scripted far end.

#include "emulator/reader.h"
#include "emulator/scripted_line.h"
#include "port_fixture.h"
#include "serial/device_line.h"

namespace serial::testing {
namespace {

class PortOnDevice : public ::testing::Test {
 protected:
  PortOnDevice() {
    system_.verifier().setHandler(
        [](const platform::Violation& violation) { ADD_FAILURE() << "verifier: " << violation.describe(); });
  }

  // Writes the bytes and reads count bytes back, as one reader command does.
  struct Exchange {
    NTSTATUS writeStatus = STATUS_PENDING;
    NTSTATUS readStatus = STATUS_PENDING;
    std::vector<std::uint8_t> reply;
    Instant repliedAt{};
  };
  Exchange exchange(SerialPort& port, std::vector<std::uint8_t> bytes, ULONG count) {
    Exchange result;
    PDEVICE_OBJECT target = port.physicalDeviceObject();
    system_.scheduler().run([&] {
      const SERIAL_TIMEOUTS timeouts{50, 0, 100, 0, 1000};
      result.writeStatus = send(target, IOCTL_SERIAL_SET_TIMEOUTS, IRP_MJ_DEVICE_CONTROL,
                                const_cast<SERIAL_TIMEOUTS*>(&timeouts), sizeof timeouts, nullptr, 0);
      if (result.writeStatus != STATUS_SUCCESS) return;
      result.writeStatus = send(target, 0x00318000, IRP_MJ_WRITE, bytes.data(), static_cast<ULONG>(bytes.size()),
                                nullptr, 0);
      result.reply.resize(count);
      result.readStatus = send(target, 0x00314000, IRP_MJ_READ, nullptr, 0, result.reply.data(), count);
      result.repliedAt = platform::Scheduler::get().now();
    });
    return result;
  }

  static NTSTATUS send(PDEVICE_OBJECT target, ULONG code, UCHAR major, void* input, ULONG inputLength,
                       void* output, ULONG outputLength) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, target, input, inputLength, output, outputLength, FALSE, &event,
                                             &status);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    if (major == IRP_MJ_WRITE) next->Parameters.Write.Length = inputLength;
    if (major == IRP_MJ_READ) next->Parameters.Read.Length = outputLength;
    NTSTATUS result = IofCallDriver(target, irp);
    if (result == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      result = status.Status;
    }
    return result;
  }

  platform::System system_;
  SerialDriver driver_{system_};
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
