#pragma once
// A pass-through filter device above the serial port that records every
// request the serial driver receives from above: when it was sent, its major
// function, control code, input (control input or written bytes), output or
// read length, and when and how it completed. The serial traffic of a test
// can then be asserted exactly, inputs included, without knowing how the
// trace prints it.

#include <wdm.h>

#include <platform/clock.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/bytes.h"

namespace tav712::testing {

struct SerialRequest {
  platform::Instant sentAt{};
  std::optional<platform::Instant> completedAt;
  UCHAR majorFunction = 0;
  ULONG ioControlCode = 0;  // IRP_MJ_DEVICE_CONTROL only
  Bytes input;              // control input, or the bytes of a write
  ULONG length = 0;         // control output length, or read/write length
  NTSTATUS status = STATUS_PENDING;

  bool isControl(ULONG code) const { return majorFunction == IRP_MJ_DEVICE_CONTROL && ioControlCode == code; }
  // "WRITE 45 01 02", "CONTROL 0x001B0004 in 00 4B 00 00", "CREATE" ...
  std::string describe() const;
};

class SerialRecorder {
 public:
  // Creates the filter device (loading the recorder driver) and attaches it
  // on top of `lower`'s stack. Call on a thread the kernel knows.
  explicit SerialRecorder(PDEVICE_OBJECT lower);
  // Detaches and deletes the device.
  ~SerialRecorder();
  SerialRecorder(const SerialRecorder&) = delete;
  SerialRecorder& operator=(const SerialRecorder&) = delete;

  PDEVICE_OBJECT deviceObject() const { return device_; }

  std::vector<SerialRequest> requests() const;
  // Bytes of each write, in order.
  std::vector<Bytes> writes() const;
  void clear();

  // Completes the next request with this major function (and, for device
  // control, this control code) with `status` instead of passing it down:
  // a serial driver refusing a request, without touching the driver.
  void failNext(UCHAR majorFunction, NTSTATUS status, ULONG ioControlCode = 0);

  // Called by the filter's dispatch and completion routines.
  std::size_t recordSent(const SerialRequest& request);
  // The refusal planned for this request, if any (consumed).
  std::optional<NTSTATUS> takeFailure(const SerialRequest& request);
  void recordCompleted(std::size_t index, NTSTATUS status, platform::Instant when);

 private:
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
  PDEVICE_OBJECT lower_ = nullptr;
  mutable std::mutex mutex_;
  std::vector<SerialRequest> requests_;
  std::size_t firstShown_ = 0;  // clear() hides the records before this one
  struct PlannedFailure {
    UCHAR majorFunction;
    ULONG ioControlCode;
    NTSTATUS status;
  };
  std::vector<PlannedFailure> failures_;
};

}  // namespace tav712::testing
