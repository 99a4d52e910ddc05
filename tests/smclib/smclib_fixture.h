// Helpers shared by the library's tests: a smart card extension with its
// buffers in test-owned memory, and ATR construction.
#pragma once

#include <smclib.h>

#include <cstdint>
#include <vector>

namespace smclib_test {

using Bytes = std::vector<std::uint8_t>;

// An ATR with its TCK appended when a protocol other than T=0 is offered.
inline Bytes withTck(Bytes atr) {
  std::uint8_t check = 0;
  for (std::size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
  atr.push_back(check);
  return atr;
}

// A T=1 card's ATR: IFSC in TA3, BWI 4 / CWI 5 in TB3, CRC when asked (TC3).
inline Bytes t1Atr(std::uint8_t ifsc, bool crc) {
  if (crc) return withTck({0x3B, 0x80, 0x81, 0x71, ifsc, 0x45, 0x01});
  return withTck({0x3B, 0x80, 0x81, 0x31, ifsc, 0x45});
}

// The library's record as a serial reader driver fills it, with buffers of
// 576 bytes that the test owns (no kernel needed).
struct ExtensionFixture {
  SMARTCARD_EXTENSION extension{};
  Bytes requestBuffer = Bytes(576);
  Bytes replyBuffer = Bytes(576);

  ExtensionFixture() {
    extension.Version = SMCLIB_VERSION;
    extension.ReaderCapabilities.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    extension.ReaderCapabilities.ReaderType = SCARD_READER_TYPE_SERIAL;
    extension.ReaderCapabilities.CLKFrequency.Default = 3580;
    extension.ReaderCapabilities.CLKFrequency.Max = 3580;
    extension.ReaderCapabilities.DataRate.Default = 9600;
    extension.ReaderCapabilities.DataRate.Max = 9600;
    extension.ReaderCapabilities.MaxIFSD = 254;
    extension.SmartcardRequest.Buffer = requestBuffer.data();
    extension.SmartcardRequest.BufferSize = static_cast<ULONG>(requestBuffer.size());
    extension.SmartcardReply.Buffer = replyBuffer.data();
    extension.SmartcardReply.BufferSize = static_cast<ULONG>(replyBuffer.size());
  }

  NTSTATUS setAtr(const Bytes &atr) {
    for (std::size_t i = 0; i < atr.size(); ++i) extension.CardCapabilities.ATR.Buffer[i] = atr[i];
    extension.CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
    return SmartcardUpdateCardCapabilities(&extension);
  }
};

}  // namespace smclib_test
