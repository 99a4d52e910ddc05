#pragma once
// An application's view of a smart card reader: find the enabled reader
// interface, open it, and speak smart card control requests to it. This is
// the only way the programs reach the driver, so what they show has come
// through the whole stack. Failures of the driver or the library come back
// as NTSTATUS; what they mean to a person is decided by the caller.

#include <wdm.h>
#include <winsmcrd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/system.h"

namespace tav712 {

using Bytes = std::vector<std::uint8_t>;

struct ControlReply {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  Bytes output;
  bool ok() const { return NT_SUCCESS(status); }
};

// The 8-byte answer of the vendor version request.
struct VendorVersion {
  std::uint32_t libraryVersion = 0;
  std::uint8_t driverMajor = 0, driverMinor = 0, firmwareMajor = 0, firmwareMinor = 0;
};

class ReaderClient {
 public:
  // Opens the first enabled smart card reader interface. `open()` tells
  // whether that worked (there may be none, or it may be held already).
  explicit ReaderClient(platform::System& system);
  // Opens the given interface (a symbolic link of the reader class), for a
  // machine with more than one reader.
  ReaderClient(platform::System& system, std::u16string link);
  ~ReaderClient();
  ReaderClient(const ReaderClient&) = delete;
  ReaderClient& operator=(const ReaderClient&) = delete;

  NTSTATUS openStatus() const { return openStatus_; }
  const std::u16string& link() const { return link_; }
  bool open() const { return static_cast<bool>(handle_); }
  // Closes the handle (cleanup, then close); the destructor does it too.
  void close();

  ControlReply control(ULONG code, std::span<const std::uint8_t> input, ULONG outputLength);
  // The same request left running on a request thread of its own.
  platform::PendingRequest startControl(ULONG code, std::vector<std::uint8_t> input, ULONG outputLength,
                                        std::string threadName);
  // Whether the interface this client opened is still enabled (a reader
  // whose DSR dropped has it disabled).
  bool interfaceEnabled() const;

  // IOCTL_SMARTCARD_POWER with SCARD_COLD_RESET, SCARD_WARM_RESET or
  // SCARD_POWER_DOWN; the ATR comes back in the output of a reset.
  ControlReply power(ULONG action);
  // IOCTL_SMARTCARD_SET_PROTOCOL: the output holds the selected protocol.
  ControlReply setProtocol(ULONG protocolMask);
  // IOCTL_SMARTCARD_TRANSMIT: the output is the response APDU (the
  // SCARD_IO_REQUEST header is taken off), of at most `answerCapacity`
  // bytes (by default the largest answer a short command can get).
  static constexpr ULONG shortAnswerCapacity = 258;
  ControlReply transmit(ULONG protocol, std::span<const std::uint8_t> apdu, ULONG answerCapacity = shortAnswerCapacity);
  // The input and output length of that request, and its answer taken out
  // of the output (an output too short to hold the header is a protocol
  // error): for callers that leave a transmission running.
  static Bytes transmitInput(ULONG protocol, std::span<const std::uint8_t> apdu);
  static ULONG transmitOutputLength(ULONG answerCapacity = shortAnswerCapacity);
  static ControlReply transmitAnswer(ControlReply reply);
  ControlReply attribute(ULONG tag, ULONG outputLength = 64);
  // IOCTL_SMARTCARD_GET_STATE: SCARD_UNKNOWN .. SCARD_SPECIFIC.
  ControlReply state();
  ControlReply vendorVersion();

  // IS_PRESENT or IS_ABSENT, cancelled when the card has not moved within
  // the timeout (of the system's clock: virtual or real). STATUS_SUCCESS
  // when it did, STATUS_CANCELLED after the timeout.
  NTSTATUS waitForCard(bool present, std::chrono::milliseconds timeout);

  // The enabled smart card reader interfaces, in registration order.
  static std::vector<std::u16string> readerInterfaces(platform::System& system);
  static ULONG asUlong(const Bytes& bytes);
  static VendorVersion asVendorVersion(const Bytes& bytes);

 private:
  platform::System& system_;
  platform::Handle handle_;
  std::u16string link_;
  NTSTATUS openStatus_ = STATUS_UNSUCCESSFUL;
};

}  // namespace tav712
