// Helpers shared by the library's tests: a smart card extension with its
// buffers in test-owned memory, ATR construction, and the reader driver's
// T=1 transmit loop with a session that records what it sent.
#pragma once

#include <gtest/gtest.h>
#include <smclib.h>

#include <algorithm>
#include <cstdint>
#include <functional>
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

// What a serial reader driver states before SmartcardInitialize: version,
// both protocols at 3.58 MHz and 9600 bit/s, IFSD up to 254.
inline void describeSerialReader(SMARTCARD_EXTENSION& extension) {
  extension.Version = SMCLIB_VERSION;
  auto& reader = extension.ReaderCapabilities;
  reader.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
  reader.ReaderType = SCARD_READER_TYPE_SERIAL;
  reader.CLKFrequency.Default = reader.CLKFrequency.Max = 3580;
  reader.DataRate.Default = reader.DataRate.Max = 9600;
  reader.MaxIFSD = 254;
}

// The library's record as a serial reader driver fills it, with buffers of
// 576 bytes that the test owns (no kernel needed).
struct ExtensionFixture {
  SMARTCARD_EXTENSION extension{};
  Bytes requestBuffer = Bytes(576);
  Bytes replyBuffer = Bytes(576);

  ExtensionFixture() {
    describeSerialReader(extension);
    extension.SmartcardRequest.Buffer = requestBuffer.data();
    extension.SmartcardRequest.BufferSize = static_cast<ULONG>(requestBuffer.size());
    extension.SmartcardReply.Buffer = replyBuffer.data();
    extension.SmartcardReply.BufferSize = static_cast<ULONG>(replyBuffer.size());
  }

  NTSTATUS setAtr(const Bytes& atr) {
    for (std::size_t i = 0; i < atr.size(); ++i) extension.CardCapabilities.ATR.Buffer[i] = atr[i];
    extension.CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
    return SmartcardUpdateCardCapabilities(&extension);
  }
};

// One T=1 transmit as the reader driver runs it: build a block, hand it to
// `card`, give the card's answer (empty when it stays mute) back, until the
// library stops asking for more. `onBlock` sees each block as built, before
// the driver turns an S(IFS response) sent mid-command back to the I-block
// exchange and clears the granted WTX.
inline NTSTATUS transmitT1(SMARTCARD_EXTENSION& extension, const std::function<Bytes(const Bytes&)>& card,
                           const std::function<void(const Bytes&)>& onBlock = {}) {
  for (int round = 0; round < 400; ++round) {
    extension.T1.NAD = 0;
    extension.SmartcardRequest.BufferLength = 0;
    NTSTATUS status = SmartcardT1Request(&extension);
    if (!NT_SUCCESS(status)) return status;
    const UCHAR* request = extension.SmartcardRequest.Buffer;
    const Bytes sent(request, request + extension.SmartcardRequest.BufferLength);
    if (onBlock) onBlock(sent);
    if (extension.T1.State == T1_IFS_RESPONSE && extension.T1.OriginalState == T1_I_BLOCK) {
      extension.T1.State = T1_I_BLOCK;
    }
    extension.T1.Wtx = 0;
    const Bytes answer = card(sent);
    std::copy(answer.begin(), answer.end(), extension.SmartcardReply.Buffer);
    extension.SmartcardReply.BufferLength = static_cast<ULONG>(answer.size());
    status = SmartcardT1Reply(&extension);
    if (status != STATUS_MORE_PROCESSING_REQUIRED) return status;
  }
  ADD_FAILURE() << "the T=1 exchange did not end";
  return STATUS_UNSUCCESSFUL;
}

// What one T=1 transmit did, seen from the reader's side.
struct Exchange {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  Bytes answer;
  std::vector<std::uint8_t> sentPcbs;  // PCB of every block the reader sent
  std::vector<UCHAR> wtxGranted;       // T1.Wtx after each block built
};

// An extension after a T=1 card's ATR, with T=1 selected.
struct T1Session : ExtensionFixture {
  explicit T1Session(bool crc = false, std::uint8_t ifsc = 32) {
    EXPECT_EQ(setAtr(t1Atr(ifsc, crc)), STATUS_SUCCESS);
    extension.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
  }

  Exchange transmit(const std::function<Bytes(const Bytes&)>& card, Bytes command, std::size_t replyCapacity = 1024) {
    Exchange result;
    Bytes reply(replyCapacity);
    ULONG information = 0;
    extension.IoRequest = {&information, command.data(), static_cast<ULONG>(command.size()), reply.data(),
                           static_cast<ULONG>(reply.size())};
    result.status = transmitT1(extension, card, [&](const Bytes& block) {
      result.sentPcbs.push_back(block[1]);
      result.wtxGranted.push_back(extension.T1.Wtx);
    });
    result.answer.assign(reply.begin(), reply.begin() + information);
    return result;
  }
};

}  // namespace smclib_test
