#include "port_fixture.h"

#include <platform/trace.h>

#include <algorithm>
#include <cstring>

namespace serial::testing {

// The reader driver's own request shapes: buffered requests of its device
// type, turned into reads and writes.
constexpr ULONG kBufferedWrite = 0x00318000;
constexpr ULONG kBufferedRead = 0x00314000;

void FakeLine::transmit(std::uint8_t byte) { sent.push_back({platform::Scheduler::get().now(), byte}); }

bool FakeLine::applyLineSettings(const LineSettings& settings) {
  if (refusedBaudRate != 0 && settings.baudRate == refusedBaudRate) return false;
  settingsApplied.push_back(settings);
  return true;
}

void FakeLine::sendAt(Instant start, std::vector<std::uint8_t> bytes) {
  Instant when = start;
  for (const std::uint8_t byte : bytes) {
    platform::Scheduler::get().callAt(when, [this, byte] {
      if (receiver_ != nullptr) receiver_->byteReceived(byte);
    });
    when += kCharacter;
  }
}

void FakeLine::dsrAt(Instant when, bool asserted) {
  platform::Scheduler::get().callAt(when, [this, asserted] {
    dsr_ = asserted;
    if (receiver_ != nullptr) receiver_->dsrChanged(asserted);
  });
}

PortTest::PortTest(platform::SystemOptions options) : system_(options), driver_(system_) {
  system_.verifier().setHandler(
      [](const platform::Violation& violation) { ADD_FAILURE() << "verifier: " << violation.describe(); });
  auto line = std::make_unique<FakeLine>();
  line_ = line.get();
  port_ = std::make_unique<SerialPort>(driver_, std::move(line));
  pdo_ = port_->physicalDeviceObject();
  EXPECT_EQ(sendMajor(IRP_MJ_CREATE), STATUS_SUCCESS);
  start_ = now();
}

PortTest::~PortTest() {
  runUntilIdle();
  port_.reset();
}

std::shared_ptr<Outcome> PortTest::startIrp(ULONG code, std::vector<std::uint8_t> input, ULONG outputLength,
                                            UCHAR majorFunction) {
  auto outcome = std::make_shared<Outcome>();
  PDEVICE_OBJECT target = pdo_;
  system_.scheduler().spawn("request", [outcome, target, code, input = std::move(input), outputLength,
                                        majorFunction]() mutable {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    std::vector<std::uint8_t> output(outputLength);
    PIRP irp = IoBuildDeviceIoControlRequest(code, target, input.empty() ? nullptr : input.data(),
                                             static_cast<ULONG>(input.size()),
                                             output.empty() ? nullptr : output.data(), outputLength, FALSE, &event,
                                             &status);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    if (majorFunction == IRP_MJ_WRITE) {
      next->MajorFunction = IRP_MJ_WRITE;
      next->Parameters.Write.Length = static_cast<ULONG>(input.size());
      next->Parameters.Write.ByteOffset.QuadPart = 0;
    } else if (majorFunction == IRP_MJ_READ) {
      next->MajorFunction = IRP_MJ_READ;
      next->Parameters.Read.Length = outputLength;
    }
    outcome->irp = irp;
    NTSTATUS result = IofCallDriver(target, irp);
    if (result == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      result = status.Status;
    }
    outcome->irp = nullptr;
    outcome->status = result;
    outcome->information = status.Information;
    output.resize(std::min<std::size_t>(output.size(), status.Information));
    outcome->output = std::move(output);
    outcome->completedAt = platform::Scheduler::get().now();
    outcome->done = true;
  });
  // Let the request reach the driver before the test goes on.
  system_.scheduler().advanceUntil(now());
  return outcome;
}

std::shared_ptr<Outcome> PortTest::startControl(ULONG code, std::vector<std::uint8_t> input, ULONG outputLength) {
  return startIrp(code, std::move(input), outputLength, IRP_MJ_DEVICE_CONTROL);
}

std::shared_ptr<Outcome> PortTest::startRead(ULONG length) {
  return startIrp(kBufferedRead, {}, length, IRP_MJ_READ);
}

std::shared_ptr<Outcome> PortTest::startWrite(std::vector<std::uint8_t> bytes) {
  return startIrp(kBufferedWrite, std::move(bytes), 0, IRP_MJ_WRITE);
}

Outcome PortTest::control(ULONG code, std::vector<std::uint8_t> input, ULONG outputLength) {
  auto outcome = startControl(code, std::move(input), outputLength);
  EXPECT_TRUE(outcome->done) << "control request 0x" << std::hex << code << " left pending";
  return *outcome;
}

Outcome PortTest::read(ULONG length) {
  auto outcome = startRead(length);
  runUntilIdle();
  return *outcome;
}

Outcome PortTest::write(std::vector<std::uint8_t> bytes) {
  auto outcome = startWrite(std::move(bytes));
  runUntilIdle();
  return *outcome;
}

bool PortTest::cancel(const Outcome& outcome) {
  PIRP irp = outcome.irp;
  if (irp == nullptr) return false;
  bool cancelled = false;
  system_.scheduler().run([irp, &cancelled] { cancelled = IoCancelIrp(irp) != FALSE; }, "canceller");
  return cancelled;
}

NTSTATUS PortTest::sendMajor(UCHAR majorFunction) {
  NTSTATUS result = STATUS_PENDING;
  PDEVICE_OBJECT target = pdo_;
  system_.scheduler().run([&result, target, majorFunction] {
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = majorFunction;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
          KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &event, TRUE, TRUE, TRUE);
    if (IofCallDriver(target, irp) == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    result = irp->IoStatus.Status;
    IoFreeIrp(irp);
  });
  return result;
}

void PortTest::setTimeouts(ULONG interval, ULONG multiplier, ULONG constant, ULONG writeMultiplier,
                           ULONG writeConstant) {
  const SERIAL_TIMEOUTS timeouts{interval, multiplier, constant, writeMultiplier, writeConstant};
  ASSERT_EQ(set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts).status, STATUS_SUCCESS);
}

SERIAL_STATUS PortTest::commStatus() {
  const Outcome outcome = control(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
  EXPECT_EQ(outcome.status, STATUS_SUCCESS);
  EXPECT_EQ(outcome.information, sizeof(SERIAL_STATUS));
  SERIAL_STATUS status{};
  std::memcpy(&status, outcome.output.data(), std::min(sizeof status, outcome.output.size()));
  return status;
}

}  // namespace serial::testing
