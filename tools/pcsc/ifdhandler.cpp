// The IFD handler that pcscd loads for a TAV712 reader (libtav712_ifd.so).
// Each entry point turns pcscd's call into smart card control requests on
// the reader's own stack (ReaderService) and the outcome into an IFD code
// (ifdCodeFor). Card movement is reported through the driver's own card
// tracking, offered to pcscd as a polling function, instead of polling.
//
// This is the only translation unit of the bridge that sees pcsc-lite's
// headers; it never sees the kernel's.

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ifd_codes.h"
#include "reader_service.h"

namespace {

using tav712::pcsc::IfdCall;
using tav712::pcsc::Outcome;
using tav712::pcsc::ReaderService;

struct Slot {
  std::unique_ptr<ReaderService> service;
  std::vector<std::uint8_t> atr;
};

std::mutex slotsMutex;
std::map<DWORD, std::shared_ptr<Slot>> slots;

std::shared_ptr<Slot> slotFor(DWORD lun) {
  std::lock_guard lock(slotsMutex);
  const auto found = slots.find(lun);
  return found == slots.end() ? nullptr : found->second;
}

RESPONSECODE openChannel(DWORD lun, const std::string& device) {
  Outcome outcome = Outcome::failure;
  auto service = ReaderService::open(device, outcome);
  if (!service) return tav712::pcsc::ifdCodeFor(IfdCall::createChannel, outcome);
  auto slot = std::make_shared<Slot>();
  slot->service = std::move(service);
  std::lock_guard lock(slotsMutex);
  slots[lun] = std::move(slot);
  return IFD_SUCCESS;
}

RESPONSECODE copyOut(const std::vector<std::uint8_t>& data, PDWORD length, PUCHAR value) {
  if (data.size() > *length) return IFD_ERROR_INSUFFICIENT_BUFFER;
  std::copy(data.begin(), data.end(), value);
  *length = static_cast<DWORD>(data.size());
  return IFD_SUCCESS;
}

RESPONSECODE copyOutByte(std::uint8_t byte, PDWORD length, PUCHAR value) {
  return copyOut(std::vector<std::uint8_t>{byte}, length, value);
}

// pcscd's polling thread: returns when the card moved or the time ran out;
// pcscd then asks IFDHICCPresence.
RESPONSECODE waitForCardMovement(DWORD lun, int timeoutMs) {
  const auto slot = slotFor(lun);
  if (!slot) return IFD_NO_SUCH_DEVICE;
  const auto timeout = std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 3'600'000);
  const Outcome outcome = slot->service->waitForCardMovement(timeout);
  return outcome == Outcome::readerGone ? IFD_NO_SUCH_DEVICE : IFD_SUCCESS;
}

RESPONSECODE stopWaitingForCardMovement(DWORD lun) {
  if (const auto slot = slotFor(lun)) slot->service->stopWaiting();
  return IFD_SUCCESS;
}

// pcsc-lite's form of the reader's vendor request, and the platform's own.
bool isVendorVersionCode(DWORD code) {
  return code == SCARD_CTL_CODE(2049) || code == tav712::pcsc::vendorGetVersionCode;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
  if (DeviceName == nullptr) return IFD_COMMUNICATION_ERROR;
  return openChannel(Lun, DeviceName);
}

__attribute__((visibility("default"))) RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
  // Channel n is the n-th serial port.
  return openChannel(Lun, "/dev/ttyS" + std::to_string(Channel));
}

__attribute__((visibility("default"))) RESPONSECODE IFDHCloseChannel(DWORD Lun) {
  std::shared_ptr<Slot> slot;
  {
    std::lock_guard lock(slotsMutex);
    const auto found = slots.find(Lun);
    if (found == slots.end()) return IFD_SUCCESS;
    slot = std::move(found->second);
    slots.erase(found);
  }
  // The reader (card powered down, device removed, port closed) goes with
  // the last call that holds it, normally this one; the other readers of the
  // process go on.
  slot.reset();
  return IFD_SUCCESS;
}

__attribute__((visibility("default"))) RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length,
                                                                        PUCHAR Value) {
  const auto slot = slotFor(Lun);
  if (!slot) return IFD_NO_SUCH_DEVICE;
  switch (Tag) {
    case TAG_IFD_ATR: return copyOut(slot->atr, Length, Value);
    case TAG_IFD_SLOTNUM: return copyOutByte(0, Length, Value);
    case TAG_IFD_SLOTS_NUMBER: return copyOutByte(1, Length, Value);
    // Every reader pcscd gives the handler is served, up to the driver's limit.
    case TAG_IFD_SIMULTANEOUS_ACCESS: return copyOutByte(tav712::pcsc::maxReaders, Length, Value);
    // Calls for different readers may come at the same time: each reader
    // has its own device stack, and every call its own request thread.
    case TAG_IFD_THREAD_SAFE: return copyOutByte(1, Length, Value);
    case TAG_IFD_SLOT_THREAD_SAFE:
    case TAG_IFD_POLLING_THREAD_KILLABLE: return copyOutByte(0, Length, Value);
    case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT:
    case TAG_IFD_STOP_POLLING_THREAD: {
      if (*Length < sizeof(void*)) return IFD_ERROR_INSUFFICIENT_BUFFER;
      void* function = Tag == TAG_IFD_POLLING_THREAD_WITH_TIMEOUT
                           ? reinterpret_cast<void*>(&waitForCardMovement)
                           : reinterpret_cast<void*>(&stopWaitingForCardMovement);
      std::memcpy(Value, &function, sizeof function);
      *Length = sizeof function;
      return IFD_SUCCESS;
    }
    default: break;
  }
  // Everything else is one of the reader's attributes (SCARD_ATTR_*).
  const auto reply = slot->service->attribute(static_cast<std::uint32_t>(Tag));
  if (!reply.ok()) return tav712::pcsc::ifdCodeFor(IfdCall::capability, reply.outcome);
  return copyOut(reply.data, Length, Value);
}

__attribute__((visibility("default"))) RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD, DWORD, PUCHAR) {
  return slotFor(Lun) ? IFD_ERROR_TAG : IFD_NO_SUCH_DEVICE;
}

__attribute__((visibility("default"))) RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR, UCHAR,
                                                                              UCHAR, UCHAR) {
  const auto slot = slotFor(Lun);
  if (!slot) return IFD_NO_SUCH_DEVICE;
  if (Protocol != SCARD_PROTOCOL_T0 && Protocol != SCARD_PROTOCOL_T1) return IFD_PROTOCOL_NOT_SUPPORTED;
  // The driver negotiates PTS itself from the ATR; the factors pcscd
  // proposes are those of the ATR as well.
  const auto reply = slot->service->setProtocol(static_cast<std::uint32_t>(Protocol));
  return tav712::pcsc::ifdCodeFor(IfdCall::setProtocol, reply.outcome);
}

__attribute__((visibility("default"))) RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr,
                                                                 PDWORD AtrLength) {
  const auto slot = slotFor(Lun);
  if (!slot) return IFD_NO_SUCH_DEVICE;
  tav712::pcsc::PowerAction action;
  switch (Action) {
    case IFD_POWER_UP: action = tav712::pcsc::PowerAction::coldReset; break;
    case IFD_RESET: action = tav712::pcsc::PowerAction::warmReset; break;
    case IFD_POWER_DOWN: action = tav712::pcsc::PowerAction::powerDown; break;
    default: return IFD_NOT_SUPPORTED;
  }
  const auto reply = slot->service->power(action);
  slot->atr = action == tav712::pcsc::PowerAction::powerDown || !reply.ok() ? std::vector<std::uint8_t>{} : reply.data;
  if (AtrLength != nullptr) {
    const std::size_t length = std::min<std::size_t>(slot->atr.size(), MAX_ATR_SIZE);
    if (Atr != nullptr) std::copy_n(slot->atr.begin(), length, Atr);
    *AtrLength = static_cast<DWORD>(length);
  }
  return tav712::pcsc::ifdCodeFor(IfdCall::powerIcc, reply.outcome);
}

__attribute__((visibility("default"))) RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci,
                                                                      PUCHAR TxBuffer, DWORD TxLength, PUCHAR RxBuffer,
                                                                      PDWORD RxLength, PSCARD_IO_HEADER RecvPci) {
  const auto slot = slotFor(Lun);
  const DWORD capacity = *RxLength;
  *RxLength = 0;
  if (!slot) return IFD_NO_SUCH_DEVICE;
  // pcscd names the protocol by its number: 0 for T=0, 1 for T=1.
  const std::uint32_t protocol = SendPci.Protocol == 1 ? tav712::pcsc::protocolT1 : tav712::pcsc::protocolT0;
  // A command or an answer that cannot fit is refused at once.
  const auto reply = slot->service->transmit(protocol, std::span<const std::uint8_t>(TxBuffer, TxLength), capacity);
  if (!reply.ok()) return tav712::pcsc::ifdCodeFor(IfdCall::transmit, reply.outcome);
  if (reply.data.size() > capacity) return IFD_ERROR_INSUFFICIENT_BUFFER;
  std::copy(reply.data.begin(), reply.data.end(), RxBuffer);
  *RxLength = static_cast<DWORD>(reply.data.size());
  if (RecvPci != nullptr) RecvPci->Protocol = SendPci.Protocol;
  return IFD_SUCCESS;
}

__attribute__((visibility("default"))) RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer,
                                                                DWORD TxLength, PUCHAR RxBuffer, DWORD RxLength,
                                                                LPDWORD pdwBytesReturned) {
  if (pdwBytesReturned != nullptr) *pdwBytesReturned = 0;
  const auto slot = slotFor(Lun);
  if (!slot) return IFD_NO_SUCH_DEVICE;
  // Only the reader's own vendor request is passed on; other codes (PC/SC
  // part 10 feature requests among them) are refused here.
  if (!isVendorVersionCode(dwControlCode)) return IFD_ERROR_NOT_SUPPORTED;
  const auto reply = slot->service->control(tav712::pcsc::vendorGetVersionCode,
                                            std::span<const std::uint8_t>(TxBuffer, TxBuffer ? TxLength : 0),
                                            static_cast<std::uint32_t>(std::min<DWORD>(RxLength, 0xFFFF)));
  if (!reply.ok()) return tav712::pcsc::ifdCodeFor(IfdCall::control, reply.outcome);
  std::copy(reply.data.begin(), reply.data.end(), RxBuffer);
  if (pdwBytesReturned != nullptr) *pdwBytesReturned = static_cast<DWORD>(reply.data.size());
  return IFD_SUCCESS;
}

__attribute__((visibility("default"))) RESPONSECODE IFDHICCPresence(DWORD Lun) {
  const auto slot = slotFor(Lun);
  if (!slot) return IFD_NO_SUCH_DEVICE;
  const auto reply = slot->service->cardState();
  if (!reply.ok()) return tav712::pcsc::ifdCodeFor(IfdCall::presence, reply.outcome);
  // SCARD_ABSENT is 1; SCARD_PRESENT and above have a card in the slot.
  return reply.data.at(0) > 1 ? IFD_ICC_PRESENT : IFD_ICC_NOT_PRESENT;
}

}  // extern "C"
