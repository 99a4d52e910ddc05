#pragma once
// Card-service tests on the shared driver harness: a reader device whose
// device-control and cleanup requests go through the driver frame's dispatch
// routines into the smart card library, which calls the card services, as an
// application's requests do. Requests are built as a client builds them
// (IoBuildDeviceIoControlRequest) on a request thread of the system.

#include <gtest/gtest.h>

#include <memory>

#include "card/CardServices.h"
#include "support/driver_harness.h"

#include <platform/io_manager.h>
#include <platform/system.h>

namespace tav712::testing {

using IoctlResult = platform::IoResult;

class CardHarness {
 public:
  explicit CardHarness(HarnessOptions options = {});
  ~CardHarness();

  DriverHarness& h() { return *harness_; }
  PSMARTCARD_EXTENSION smartcard() { return harness_->smartcardExtension(); }
  PREADER_EXTENSION reader() { return harness_->readerExtension(); }

  // StartDevice on the emulated reader, then an application handle on the
  // enabled reader interface (CreateClose).
  NTSTATUS startAndOpen();

  // Device-control requests on the handle, through DeviceControl and the
  // library, as an application sends them.
  IoctlResult ioctl(ULONG code, const Bytes& input, ULONG outputLength);
  platform::PendingRequest ioctlAsync(ULONG code, const Bytes& input, ULONG outputLength);
  // IRP_MJ_CLEANUP on the handle, through Cleanup.
  NTSTATUS cleanup();

  IoctlResult power(ULONG minorCode, ULONG outputLength = 64);
  IoctlResult setProtocol(ULONG mask);
  // An APDU under the selected protocol; the output holds the response
  // without the SCARD_IO_REQUEST header.
  IoctlResult transmit(ULONG protocol, const Bytes& apdu, ULONG responseCapacity = 300);
  // The transmit request's input: the SCARD_IO_REQUEST header, then the APDU.
  static Bytes transmitInput(ULONG protocol, const Bytes& apdu);

  // Calls a card service (CardPower, SetProtocol) directly, as the library
  // does, with a reply buffer of the given size filled with 0xEE; the reply
  // and the reported length (0xEEEEEEEE when none) come back in the result.
  IoctlResult callService(PREADER_FUNCTION service, ULONG minorCode, ULONG replyLength = 64);
  IoctlResult cardPower(ULONG minorCode, ULONG replyLength = 64) {
    return callService(CardPower, minorCode, replyLength);
  }

 private:
  std::unique_ptr<DriverHarness> harness_;
  platform::Handle handle_;
};

}  // namespace tav712::testing
