#pragma once
// A port on a fake line in a virtual-time system, and requests sent to it as
// the reader driver sends them: buffered device-control requests, reads and
// writes built as buffered requests and turned into IRP_MJ_READ and
// IRP_MJ_WRITE. Every completion is stamped with the virtual instant.

#include <platform/system.h>

#include <chrono>
#include <cstring>
#include <cstdint>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "serial/line.h"
#include "serial/serial_port.h"

namespace serial::testing {

using namespace std::chrono_literals;
using platform::Duration;
using platform::Instant;

constexpr Duration kCharacter = characterTime(LineSettings{});  // 8N1 at 19200 baud

// The reader driver's own request shapes: buffered requests of its device
// type, turned into reads and writes.
constexpr ULONG kBufferedWrite = 0x00318000;
constexpr ULONG kBufferedRead = 0x00314000;

template <typename Record>
std::vector<std::uint8_t> bytesOf(const Record& record) {
  const auto* first = reinterpret_cast<const std::uint8_t*>(&record);
  return {first, first + sizeof record};
}

// From a kernel thread: builds a buffered request as the reader driver does
// (turned into IRP_MJ_READ or IRP_MJ_WRITE when `majorFunction` says so),
// sends it and waits for its end. `sent` holds the IRP while it is under way.
NTSTATUS sendBuffered(PDEVICE_OBJECT target, ULONG code, UCHAR majorFunction, void* input, ULONG inputLength,
                      void* output, ULONG outputLength, ULONG_PTR* information = nullptr, PIRP* sent = nullptr);

// A system with the serial driver loaded whose verifier fails the test on
// any violation.
class SerialSystemTest : public ::testing::Test {
 protected:
  explicit SerialSystemTest(platform::SystemOptions options = {});

  // sendBuffered from a request thread of its own.
  NTSTATUS call(PDEVICE_OBJECT target, ULONG code, UCHAR majorFunction, void* input, ULONG inputLength, void* output,
                ULONG outputLength, ULONG_PTR* information = nullptr);

  platform::System system_;
  SerialDriver driver_;
};

// The far end of the line as the test plays it.
class FakeLine final : public LineBackend {
 public:
  struct Sent {
    Instant at;
    std::uint8_t byte;
  };

  void connect(line::HostPort* port) override { port_ = port; }
  void byteFromHost(std::uint8_t byte) override;
  bool applyLineSettings(const LineSettings& settings) override;
  bool dsr() const override { return dsr_; }
  bool realTime() const override { return false; }
  std::string name() const override { return "fake"; }

  // The bytes arrive back to back, the first one ending at `start`.
  void sendAt(Instant start, std::vector<std::uint8_t> bytes);
  void dsrAt(Instant when, bool asserted);

  std::vector<Sent> sent;
  std::uint32_t refusedBaudRate = 0;

 private:
  line::HostPort* port_ = nullptr;
  bool dsr_ = true;
};

// How a request ended.
struct Outcome {
  bool done = false;
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  std::vector<std::uint8_t> output;
  Instant completedAt{};
  PIRP irp = nullptr;  // valid only while not done
};

class PortTest : public SerialSystemTest {
 protected:
  explicit PortTest(platform::SystemOptions options = {}, SerialPortOptions portOptions = {});
  ~PortTest() override;

  Instant now() { return system_.scheduler().now(); }

  // Synchronous requests from a request thread.
  Outcome control(ULONG code, std::vector<std::uint8_t> input, ULONG outputLength);
  Outcome control(ULONG code, ULONG value) { return control(code, bytesOf(value), 0); }
  template <typename Record>
  Outcome set(ULONG code, const Record& record) {
    return control(code, bytesOf(record), 0);
  }
  // Requests left pending on their own threads; time moves only when the
  // test advances it.
  std::shared_ptr<Outcome> startControl(ULONG code, std::vector<std::uint8_t> input, ULONG outputLength) {
    return startIrp(code, std::move(input), outputLength, IRP_MJ_DEVICE_CONTROL);
  }
  std::shared_ptr<Outcome> startRead(ULONG length) { return startIrp(kBufferedRead, {}, length, IRP_MJ_READ); }
  std::shared_ptr<Outcome> startWrite(std::vector<std::uint8_t> bytes) {
    return startIrp(kBufferedWrite, std::move(bytes), 0, IRP_MJ_WRITE);
  }
  // A read or write that runs until the system is idle.
  Outcome read(ULONG length) { return untilIdle(startRead(length)); }
  Outcome write(std::vector<std::uint8_t> bytes) { return untilIdle(startWrite(std::move(bytes))); }
  bool cancel(const Outcome& outcome);
  NTSTATUS sendMajor(UCHAR majorFunction) { return call(pdo_, 0, majorFunction, nullptr, 0, nullptr, 0); }

  void setTimeouts(ULONG interval, ULONG multiplier, ULONG constant, ULONG writeMultiplier = 0,
                   ULONG writeConstant = 0);
  SERIAL_STATUS commStatus();
  void advanceTo(Instant instant) { system_.scheduler().advanceUntil(instant); }
  void runUntilIdle() { system_.scheduler().runUntilIdle(); }

  FakeLine* line_ = nullptr;
  std::unique_ptr<SerialPort> port_;
  PDEVICE_OBJECT pdo_ = nullptr;
  Instant start_{};

 private:
  std::shared_ptr<Outcome> startIrp(ULONG code, std::vector<std::uint8_t> input, ULONG outputLength,
                                    UCHAR majorFunction);
  Outcome untilIdle(const std::shared_ptr<Outcome>& outcome) {
    runUntilIdle();
    return *outcome;
  }
};

}  // namespace serial::testing
