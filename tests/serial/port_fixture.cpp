#include "port_fixture.h"

#include <platform/trace.h>

#include <algorithm>
#include <cstring>

namespace serial::testing {

void FakeLine::byteFromHost(std::uint8_t byte) { sent.push_back({platform::Scheduler::get().now(), byte}); }

bool FakeLine::applyLineSettings(const LineSettings& settings) {
  return refusedBaudRate == 0 || settings.baudRate != refusedBaudRate;
}

void FakeLine::sendAt(Instant start, std::vector<std::uint8_t> bytes) {
  Instant when = start;
  for (const std::uint8_t byte : bytes) {
    platform::Scheduler::get().callAt(when, [this, byte] {
      if (port_ != nullptr) port_->byteReceived(byte);
    });
    when += kCharacter;
  }
}

void FakeLine::dsrAt(Instant when, bool asserted) {
  platform::Scheduler::get().callAt(when, [this, asserted] {
    dsr_ = asserted;
    if (port_ != nullptr) port_->dsrChanged(asserted);
  });
}

NTSTATUS sendBuffered(PDEVICE_OBJECT target, ULONG code, UCHAR majorFunction, void* input, ULONG inputLength,
                      void* output, ULONG outputLength, ULONG_PTR* information, PIRP* sent) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK status{};
  PIRP irp =
      IoBuildDeviceIoControlRequest(code, target, input, inputLength, output, outputLength, FALSE, &event, &status);
  if (irp == nullptr) {
    ADD_FAILURE() << "request 0x" << std::hex << code << " could not be built";
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = majorFunction;
  if (majorFunction == IRP_MJ_WRITE) {
    next->Parameters.Write.Length = inputLength;
    next->Parameters.Write.ByteOffset.QuadPart = 0;
  }
  if (majorFunction == IRP_MJ_READ) next->Parameters.Read.Length = outputLength;
  if (sent != nullptr) *sent = irp;
  NTSTATUS result = IofCallDriver(target, irp);
  if (result == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    result = status.Status;
  }
  if (sent != nullptr) *sent = nullptr;
  if (information != nullptr) *information = status.Information;
  return result;
}

SerialSystemTest::SerialSystemTest(platform::SystemOptions options) : system_(options), driver_(system_) {
  system_.verifier().setHandler(
      [](const platform::Violation& violation) { ADD_FAILURE() << "verifier: " << violation.describe(); });
}

NTSTATUS SerialSystemTest::call(PDEVICE_OBJECT target, ULONG code, UCHAR majorFunction, void* input, ULONG inputLength,
                                void* output, ULONG outputLength, ULONG_PTR* information) {
  NTSTATUS result = STATUS_PENDING;
  system_.scheduler().run([&] {
    result = sendBuffered(target, code, majorFunction, input, inputLength, output, outputLength, information);
  });
  return result;
}

PortTest::PortTest(platform::SystemOptions options, SerialPortOptions portOptions) : SerialSystemTest(options) {
  auto line = std::make_unique<FakeLine>();
  line_ = line.get();
  port_ = std::make_unique<SerialPort>(driver_, std::move(line), std::move(portOptions));
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
  system_.scheduler().spawn(
      "request", [outcome, target, code, input = std::move(input), outputLength, majorFunction]() mutable {
        std::vector<std::uint8_t> output(outputLength);
        outcome->status = sendBuffered(target, code, majorFunction, input.empty() ? nullptr : input.data(),
                                       static_cast<ULONG>(input.size()), output.empty() ? nullptr : output.data(),
                                       outputLength, &outcome->information, &outcome->irp);
        output.resize(std::min<std::size_t>(output.size(), outcome->information));
        outcome->output = std::move(output);
        outcome->completedAt = platform::Scheduler::get().now();
        outcome->done = true;
      });
  // Let the request reach the driver before the test goes on.
  system_.scheduler().advanceUntil(now());
  return outcome;
}

Outcome PortTest::control(ULONG code, std::vector<std::uint8_t> input, ULONG outputLength) {
  auto outcome = startControl(code, std::move(input), outputLength);
  EXPECT_TRUE(outcome->done) << "control request 0x" << std::hex << code << " left pending";
  return *outcome;
}

bool PortTest::cancel(const Outcome& outcome) {
  PIRP irp = outcome.irp;
  if (irp == nullptr) return false;
  bool cancelled = false;
  system_.scheduler().run([irp, &cancelled] { cancelled = IoCancelIrp(irp) != FALSE; }, "canceller");
  return cancelled;
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
