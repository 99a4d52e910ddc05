#include "reader_client.h"

#include <cstring>

#include "include/tav712_public.h"

namespace tav712 {
namespace {

std::span<const std::uint8_t> asBytes(const ULONG& value) {
  return {reinterpret_cast<const std::uint8_t*>(&value), sizeof value};
}

// How often a long wait looks whether the reader is still there.
constexpr platform::Duration waitSlice = std::chrono::milliseconds(250);

}  // namespace

std::vector<std::u16string> ReaderClient::readerInterfaces(platform::System& system) {
  return system.io().interfaces(GUID_DEVINTERFACE_SMARTCARD_READER);
}

namespace {

std::u16string firstReaderInterface(platform::System& system) {
  const auto links = ReaderClient::readerInterfaces(system);
  return links.empty() ? std::u16string{} : links.front();
}

}  // namespace

ReaderClient::ReaderClient(platform::System& system) : ReaderClient(system, firstReaderInterface(system)) {}

ReaderClient::ReaderClient(platform::System& system, std::u16string link) : system_(system), link_(std::move(link)) {
  if (link_.empty()) {
    openStatus_ = STATUS_OBJECT_NAME_NOT_FOUND;
    return;
  }
  const auto opened = system_.io().open(link_);
  openStatus_ = opened.status;
  handle_ = opened.handle;
}

ReaderClient::~ReaderClient() { close(); }

void ReaderClient::close() {
  if (handle_) system_.io().close(handle_);
  handle_ = {};
}

ControlReply ReaderClient::control(ULONG code, std::span<const std::uint8_t> input, ULONG outputLength) {
  if (!handle_) return {STATUS_INVALID_HANDLE, {}};
  // Sent from a request thread of the system's own: the whole request then
  // runs where the scheduler switches threads cheaply, and the calling
  // thread is woken once, when it ends.
  auto result = system_.io()
                    .deviceControlAsync(handle_, code, std::vector<std::uint8_t>(input.begin(), input.end()),
                                        outputLength, "request")
                    .wait();
  return {result.status, std::move(result.output)};
}

ControlReply ReaderClient::power(ULONG action) { return control(IOCTL_SMARTCARD_POWER, asBytes(action), 64); }

ControlReply ReaderClient::setProtocol(ULONG protocolMask) {
  return control(IOCTL_SMARTCARD_SET_PROTOCOL, asBytes(protocolMask), sizeof(ULONG));
}

ControlReply ReaderClient::transmit(ULONG protocol, std::span<const std::uint8_t> apdu, ULONG answerCapacity) {
  return transmitAnswer(
      control(IOCTL_SMARTCARD_TRANSMIT, transmitInput(protocol, apdu), transmitOutputLength(answerCapacity)));
}

Bytes ReaderClient::transmitInput(ULONG protocol, std::span<const std::uint8_t> apdu) {
  SCARD_IO_REQUEST header{};
  header.dwProtocol = protocol;
  header.cbPciLength = sizeof header;
  Bytes input(sizeof header + apdu.size());
  std::memcpy(input.data(), &header, sizeof header);
  std::copy(apdu.begin(), apdu.end(), input.begin() + sizeof header);
  return input;
}

ULONG ReaderClient::transmitOutputLength(ULONG answerCapacity) { return sizeof(SCARD_IO_REQUEST) + answerCapacity; }

ControlReply ReaderClient::transmitAnswer(ControlReply reply) {
  if (reply.ok()) {
    if (reply.output.size() < sizeof(SCARD_IO_REQUEST)) {
      reply.status = STATUS_DEVICE_PROTOCOL_ERROR;
      reply.output.clear();
    } else {
      reply.output.erase(reply.output.begin(), reply.output.begin() + sizeof(SCARD_IO_REQUEST));
    }
  }
  return reply;
}

ControlReply ReaderClient::attribute(ULONG tag, ULONG outputLength) {
  return control(IOCTL_SMARTCARD_GET_ATTRIBUTE, asBytes(tag), outputLength);
}

ControlReply ReaderClient::state() { return control(IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG)); }

ControlReply ReaderClient::vendorVersion() { return control(IOCTL_VENDOR_GET_VERSION, {}, 8); }

platform::PendingRequest ReaderClient::startControl(ULONG code, std::vector<std::uint8_t> input, ULONG outputLength,
                                                    std::string threadName) {
  return system_.io().deviceControlAsync(handle_, code, std::move(input), outputLength, std::move(threadName));
}

bool ReaderClient::interfaceEnabled() const { return !link_.empty() && system_.io().interfaceEnabled(link_); }

NTSTATUS ReaderClient::waitForCard(bool present, std::chrono::milliseconds timeout) {
  if (!handle_) return STATUS_INVALID_HANDLE;
  auto request = startControl(present ? IOCTL_SMARTCARD_IS_PRESENT : IOCTL_SMARTCARD_IS_ABSENT, {}, 0,
                              present ? "wait for card" : "wait for removal");
  // Waits in slices so that a reader that goes away meanwhile (its DSR
  // dropped, the port closed, the interface disabled) ends the wait at once
  // instead of at the timeout.
  auto& scheduler = system_.scheduler();
  const auto deadline = scheduler.now() + timeout;
  while (!request.done()) {
    const auto left = deadline - scheduler.now();
    if (left <= std::chrono::nanoseconds(0)) break;
    scheduler.runUntil([&] { return request.done(); }, std::min<platform::Duration>(left, waitSlice));
    if (!interfaceEnabled()) {
      request.cancel();
      request.wait();
      return STATUS_DEVICE_REMOVED;
    }
  }
  if (!request.done()) request.cancel();
  return request.wait().status;
}

ULONG ReaderClient::asUlong(const Bytes& bytes) {
  ULONG value = 0;
  std::memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof value));
  return value;
}

VendorVersion ReaderClient::asVendorVersion(const Bytes& bytes) {
  VendorVersion version;
  if (bytes.size() < 8) return version;
  std::memcpy(&version.libraryVersion, bytes.data(), 4);
  version.driverMajor = bytes[4];
  version.driverMinor = bytes[5];
  version.firmwareMajor = bytes[6];
  version.firmwareMinor = bytes[7];
  return version;
}

}  // namespace tav712
