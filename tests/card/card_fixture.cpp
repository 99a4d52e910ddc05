#include "card_fixture.h"

#include "driver/Driver.h"
#include "link/ReaderStart.h"

namespace tav712::testing {

CardHarness::CardHarness(HarnessOptions options) : harness_(std::make_unique<DriverHarness>(std::move(options))) {
  PDRIVER_OBJECT driver = harness_->driverObject();
  driver->MajorFunction[IRP_MJ_CREATE] = CreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = CreateClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = Cleanup;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
}

CardHarness::~CardHarness() {
  if (handle_) {
    harness_->system().io().close(handle_);
  }
}

NTSTATUS CardHarness::startAndOpen() {
  NTSTATUS status = harness_->call([&] { return StartDevice(harness_->deviceObject()); }, "start");
  if (status != STATUS_SUCCESS) {
    return status;
  }
  auto links = harness_->system().io().interfaces(GUID_DEVINTERFACE_SMARTCARD_READER);
  if (links.empty()) {
    return STATUS_UNSUCCESSFUL;
  }
  platform::OpenResult opened = harness_->system().io().open(links.front());
  handle_ = opened.handle;
  return opened.status;
}

IoctlResult CardHarness::ioctl(ULONG code, const Bytes& input, ULONG outputLength) {
  return harness_->system().io().deviceControl(handle_, code, input, outputLength);
}

platform::PendingRequest CardHarness::ioctlAsync(ULONG code, const Bytes& input, ULONG outputLength) {
  return harness_->system().io().deviceControlAsync(handle_, code, input, outputLength);
}

NTSTATUS CardHarness::cleanup() { return harness_->system().io().cleanup(handle_); }

IoctlResult CardHarness::power(ULONG minorCode, ULONG outputLength) {
  return ioctl(IOCTL_SMARTCARD_POWER, ulongBytes(minorCode), outputLength);
}

IoctlResult CardHarness::setProtocol(ULONG mask) {
  return ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, ulongBytes(mask), sizeof(ULONG));
}

Bytes CardHarness::transmitInput(ULONG protocol, const Bytes& apdu) {
  return concat({ulongBytes({protocol, 8}), apdu});
}

IoctlResult CardHarness::transmit(ULONG protocol, const Bytes& apdu, ULONG responseCapacity) {
  IoctlResult result = ioctl(IOCTL_SMARTCARD_TRANSMIT, transmitInput(protocol, apdu), responseCapacity + 8);
  if (result.status == STATUS_SUCCESS && result.output.size() >= 8) {
    result.output.erase(result.output.begin(), result.output.begin() + 8);
  } else {
    result.output.clear();
  }
  return result;
}

IoctlResult CardHarness::callService(PREADER_FUNCTION service, ULONG minorCode, ULONG replyLength) {
  IoctlResult result;
  result.output.assign(replyLength, 0xEE);
  ULONG information = 0xEEEEEEEE;
  harness_->call(
      [&] {
        PSMARTCARD_EXTENSION smartcard = harness_->smartcardExtension();
        smartcard->MinorIoControlCode = minorCode;
        smartcard->IoRequest.ReplyBuffer = result.output.empty() ? nullptr : result.output.data();
        smartcard->IoRequest.ReplyBufferLength = replyLength;
        smartcard->IoRequest.Information = &information;
        result.status = service(smartcard);
        smartcard->IoRequest.ReplyBuffer = nullptr;
        smartcard->IoRequest.ReplyBufferLength = 0;
        smartcard->IoRequest.Information = nullptr;
      },
      "card service");
  result.information = information;
  return result;
}

}  // namespace tav712::testing
