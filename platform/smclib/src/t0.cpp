// T=0 framing (ISO/IEC 7816-3, 10.3; ISO/IEC 7816-4, 5.1): the caller's
// command APDU becomes a TPDU
//
//   CLA INS P1 P2 P3 [Lc data bytes]
//
// by its case: 1 (no data, P3 = 0), 2 (Le expected, P3 = Le), 3 (Lc data
// bytes, P3 = Lc) and 4 (sent as case 3; the card then says 61xx and the
// caller fetches the answer with GET RESPONSE). The answer comes back as
// data bytes followed by SW1 SW2. Raw framing passes bytes through unchanged.
#include <smclib.h>

#include <cstdint>

namespace {

struct T0Command {
  ULONG lc = 0;
  ULONG le = 0;
  std::uint8_t p3 = 0;
};

// Works out the case of a short command APDU; false when it is none.
bool classify(const UCHAR* apdu, ULONG length, T0Command& command) {
  if (apdu == nullptr || length < 4) return false;
  if (length == 4) return true;  // case 1
  const ULONG b5 = apdu[4];
  if (length == 5) {  // case 2, Le = 0 means 256
    command.le = b5 == 0 ? 256 : b5;
    command.p3 = static_cast<std::uint8_t>(b5);
    return true;
  }
  if (b5 == 0) return false;  // extended lengths do not exist in T=0
  if (length == 5 + b5) {     // case 3
    command.lc = b5;
    command.p3 = static_cast<std::uint8_t>(b5);
    return true;
  }
  if (length == 6 + b5) {  // case 4
    command.lc = b5;
    command.p3 = static_cast<std::uint8_t>(b5);
    return true;
  }
  return false;
}

// Status bytes a T=0 card may send as SW1: 0x6X (except 0x60) and 0x9X.
bool validSw1(UCHAR sw1) { return ((sw1 & 0xF0) == 0x60 && sw1 != 0x60) || (sw1 & 0xF0) == 0x90; }

}  // namespace

extern "C" NTSTATUS SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension) {
  auto& extension = *SmartcardExtension;
  const UCHAR* apdu = extension.IoRequest.RequestBuffer;
  T0Command command;
  if (!classify(apdu, extension.IoRequest.RequestBufferLength, command)) return STATUS_INVALID_PARAMETER;
  auto& request = extension.SmartcardRequest;
  const ULONG tpduLength = 5 + command.lc;
  if (request.Buffer == nullptr || request.BufferLength > request.BufferSize ||
      request.BufferSize - request.BufferLength < tpduLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  if (command.le + 2 > extension.SmartcardReply.BufferSize) return STATUS_BUFFER_OVERFLOW;
  if (command.le + 2 > extension.IoRequest.ReplyBufferLength) return STATUS_BUFFER_TOO_SMALL;
  UCHAR* tpdu = request.Buffer + request.BufferLength;
  RtlCopyMemory(tpdu, apdu, 4);
  tpdu[4] = command.p3;
  if (command.lc > 0) RtlCopyMemory(tpdu + 5, apdu + 5, command.lc);
  request.BufferLength += tpduLength;
  extension.T0.Lc = command.lc;
  extension.T0.Le = command.le;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension) {
  auto& extension = *SmartcardExtension;
  const auto& reply = extension.SmartcardReply;
  const ULONG length = reply.BufferLength;
  if (reply.Buffer == nullptr || length < 2 || length > reply.BufferSize || length > extension.T0.Le + 2) {
    return STATUS_DEVICE_PROTOCOL_ERROR;
  }
  if (length != 2 && length != extension.T0.Le + 2) return STATUS_DEVICE_PROTOCOL_ERROR;
  if (!validSw1(reply.Buffer[length - 2])) return STATUS_DEVICE_PROTOCOL_ERROR;
  if (length > extension.IoRequest.ReplyBufferLength || extension.IoRequest.ReplyBuffer == nullptr) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  RtlCopyMemory(extension.IoRequest.ReplyBuffer, reply.Buffer, length);
  if (extension.IoRequest.Information != nullptr) *extension.IoRequest.Information = length;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension) {
  auto& extension = *SmartcardExtension;
  auto& request = extension.SmartcardRequest;
  const ULONG length = extension.IoRequest.RequestBufferLength;
  if (length > 0 && extension.IoRequest.RequestBuffer == nullptr) return STATUS_INVALID_PARAMETER;
  if (request.Buffer == nullptr || request.BufferLength > request.BufferSize ||
      request.BufferSize - request.BufferLength < length) {
    return STATUS_BUFFER_OVERFLOW;
  }
  if (length > 0) RtlCopyMemory(request.Buffer + request.BufferLength, extension.IoRequest.RequestBuffer, length);
  request.BufferLength += length;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension) {
  auto& extension = *SmartcardExtension;
  const auto& reply = extension.SmartcardReply;
  if (reply.BufferLength > reply.BufferSize) return STATUS_DEVICE_PROTOCOL_ERROR;
  if (reply.BufferLength > extension.IoRequest.ReplyBufferLength) return STATUS_BUFFER_TOO_SMALL;
  if (reply.BufferLength > 0) RtlCopyMemory(extension.IoRequest.ReplyBuffer, reply.Buffer, reply.BufferLength);
  if (extension.IoRequest.Information != nullptr) *extension.IoRequest.Information = reply.BufferLength;
  return STATUS_SUCCESS;
}

extern "C" VOID SmartcardInvertData(PUCHAR Buffer, ULONG Length) {
  // Inverse convention: bit order reversed and levels inverted (ISO/IEC 7816-3, 8.1).
  for (ULONG i = 0; i < Length; ++i) {
    UCHAR value = Buffer[i];
    UCHAR reversed = 0;
    for (int bit = 0; bit < 8; ++bit) reversed = static_cast<UCHAR>(reversed | (((value >> bit) & 1) << (7 - bit)));
    Buffer[i] = static_cast<UCHAR>(~reversed);
  }
}
