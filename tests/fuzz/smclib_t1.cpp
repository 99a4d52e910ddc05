// The library's T=1 engine (SmartcardT1Request/SmartcardT1Reply) driven the
// way the reader driver drives it, against a card whose every answer comes
// from the fuzzer: well-formed blocks with any PCB, LEN and INF, blocks with
// a bad EDC or NAD, raw bytes, or silence. Buffers are allocated to their
// exact size so that any access beyond them is a sanitizer report.
//
// Invariants: every block the engine builds is well formed, fits the request
// buffer behind the driver's header bytes, and an I-block carries the next
// piece of the command within IFSC; a command ends within a bounded number
// of exchanges once the card goes silent; a successful answer is made of the
// INF fields of I-blocks the card sent, in order, and fits the caller's
// buffer; a failed one reports no bytes.
//
// Input: a setup (EDC, IFSD negotiation, NAD, IFSC, command and answer
// buffer lengths), then one answer per block the engine sends.
#include <smclib.h>

#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <span>
#include <vector>

#include "emulator/iso7816.h"
#include "fuzz_check.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::array<ULONG, 4> kMaxIfsd = {254, 32, 0, 100};
constexpr std::array<UCHAR, 4> kNads = {0x00, 0x12, 0x07, 0x70};
// Exchanges a command may still take once the card has gone silent: three
// tries of the block, three resynchronisations of three tries each.
constexpr int kMuteRoundsBound = 40;

// Heap memory of exactly `size` bytes, so the sanitizer sees every overrun.
struct ExactBuffer {
  explicit ExactBuffer(std::size_t length) : bytes(std::make_unique<UCHAR[]>(length)), size(length) {}
  std::unique_ptr<UCHAR[]> bytes;
  std::size_t size;
};

Bytes withEdc(Bytes block, bool crc) {
  if (crc) {
    const std::uint16_t value = emulator::blockCrc(block);
    block.push_back(static_cast<std::uint8_t>(value >> 8));
    block.push_back(static_cast<std::uint8_t>(value));
  } else {
    block.push_back(emulator::longitudinalRedundancy(block));
  }
  return block;
}

bool edcValid(std::span<const std::uint8_t> block, bool crc) {
  const std::size_t edc = crc ? 2 : 1;
  const auto covered = block.first(block.size() - edc);
  return Bytes(block.begin(), block.end()) == withEdc(Bytes(covered.begin(), covered.end()), crc);
}

struct Session {
  SMARTCARD_EXTENSION extension{};
  bool crc = false;
  UCHAR nad = 0;
  std::size_t prefix = 0;  // bytes the driver puts in the request buffer before the block
  ExactBuffer request{MIN_BUFFER_SIZE};
  ExactBuffer reply{MIN_BUFFER_SIZE};
};

// Checks the block the engine appended behind the driver's header bytes.
void checkBuiltBlock(const Session& session, std::span<const UCHAR> command) {
  const auto& extension = session.extension;
  const auto& t1 = extension.T1;
  const ULONG length = extension.SmartcardRequest.BufferLength;
  FUZZ_CHECK(length <= session.request.size && length > session.prefix);
  const std::span<const UCHAR> block(session.request.bytes.get() + session.prefix, length - session.prefix);
  const std::size_t edc = session.crc ? 2 : 1;
  FUZZ_CHECK(block.size() >= 3 + edc && block[2] <= 254 && block.size() == 3 + block[2] + edc);
  FUZZ_CHECK(block[0] == session.nad);
  FUZZ_CHECK(edcValid(block, session.crc));
  const UCHAR pcb = block[1];
  if ((pcb & 0x80) == 0) {
    FUZZ_CHECK(block[2] <= t1.IFSC);
    FUZZ_CHECK(t1.BytesSent + block[2] <= command.size());
    FUZZ_CHECK(std::equal(block.begin() + 3, block.begin() + 3 + block[2], command.begin() + t1.BytesSent));
  }
}

// The card's answer to one block, as the input says; empty is silence.
Bytes cardAnswer(fuzz::Input& input, const Session& session) {
  const std::uint8_t control = input.byte();
  const UCHAR cardNad = static_cast<UCHAR>(((session.nad & 0x07) << 4) | ((session.nad >> 4) & 0x07));
  switch (control & 0x03) {
    case 0: return {};
    case 3: {
      const auto raw = input.take(input.byte());
      return Bytes(raw.begin(), raw.end());
    }
    default: {
      const UCHAR pcb = input.byte();
      const auto inf = input.take(input.byte());
      Bytes block{(control & 0x04) ? static_cast<UCHAR>(cardNad ^ 0x01) : cardNad, pcb, static_cast<UCHAR>(inf.size())};
      block.insert(block.end(), inf.begin(), inf.end());
      block = withEdc(std::move(block), session.crc);
      if ((control & 0x03) == 2) block.back() ^= 0x01;  // a damaged EDC
      return block;
    }
  }
}

// The INF of a block the card sent that is a well-formed I-block.
bool iBlockInf(const Bytes& answer, bool crc, Bytes& inf) {
  const std::size_t edc = crc ? 2 : 1;
  if (answer.size() < 3 + edc || (answer[1] & 0x80) != 0 || answer.size() != 3 + answer[2] + edc) return false;
  inf.assign(answer.begin() + 3, answer.begin() + 3 + answer[2]);
  return true;
}

// Whether `answer` is the concatenation of some of `sent`, taken in order.
bool madeOf(std::span<const UCHAR> answer, const std::vector<Bytes>& sent) {
  std::set<std::size_t> reached{0};
  for (const Bytes& inf : sent) {
    std::set<std::size_t> next = reached;
    for (std::size_t at : reached) {
      if (at + inf.size() <= answer.size() && std::equal(inf.begin(), inf.end(), answer.subspan(at).begin())) {
        next.insert(at + inf.size());
      }
    }
    reached = std::move(next);
  }
  return reached.count(answer.size()) != 0;
}

// One command, exchanged to its end.
void transmit(Session& session, fuzz::Input& input, std::size_t commandLength, std::size_t replyCapacity) {
  auto& extension = session.extension;
  Bytes pattern(commandLength);
  for (std::size_t i = 0; i < commandLength; ++i) pattern[i] = static_cast<std::uint8_t>(i * 7 + 1);
  ExactBuffer command(commandLength);
  std::copy(pattern.begin(), pattern.end(), command.bytes.get());
  ExactBuffer answer(replyCapacity);
  ULONG information = 0xDEAD;
  extension.IoRequest.Information = &information;
  extension.IoRequest.RequestBuffer = command.bytes.get();
  extension.IoRequest.RequestBufferLength = static_cast<ULONG>(commandLength);
  extension.IoRequest.ReplyBuffer = answer.bytes.get();
  extension.IoRequest.ReplyBufferLength = static_cast<ULONG>(replyCapacity);

  std::vector<Bytes> sentInfs;
  int muteRounds = 0;
  for (;;) {
    auto& t1 = extension.T1;
    t1.NAD = session.nad;
    extension.SmartcardRequest.BufferLength = static_cast<ULONG>(session.prefix);
    FUZZ_CHECK(SmartcardT1Request(&extension) == STATUS_SUCCESS);
    checkBuiltBlock(session, std::span<const UCHAR>(command.bytes.get(), commandLength));
    // The reader driver's part: back to the exchange after answering the
    // card's IFS request, and the granted waiting time used up.
    if (t1.State == T1_IFS_RESPONSE && t1.OriginalState == T1_I_BLOCK) t1.State = T1_I_BLOCK;
    t1.Wtx = 0;

    if (input.empty()) FUZZ_CHECK(++muteRounds <= kMuteRoundsBound);
    const Bytes card = cardAnswer(input, session);
    const std::size_t delivered = std::min(card.size(), session.reply.size);
    std::copy_n(card.begin(), delivered, session.reply.bytes.get());
    extension.SmartcardReply.BufferLength = static_cast<ULONG>(delivered);
    if (Bytes inf;
        iBlockInf(Bytes(card.begin(), card.begin() + static_cast<std::ptrdiff_t>(delivered)), session.crc, inf)) {
      sentInfs.push_back(std::move(inf));
    }

    const NTSTATUS status = SmartcardT1Reply(&extension);
    FUZZ_CHECK(t1.BytesReceived <= replyCapacity);
    FUZZ_CHECK(t1.IFSC >= 1 && t1.IFSC <= 254 && t1.IFSD >= 1 && t1.IFSD <= 254);
    if (status == STATUS_MORE_PROCESSING_REQUIRED) continue;
    FUZZ_CHECK(status == STATUS_SUCCESS || status == STATUS_BUFFER_TOO_SMALL || status == STATUS_CANCELLED ||
               status == STATUS_IO_TIMEOUT || status == STATUS_DEVICE_PROTOCOL_ERROR);
    if (status == STATUS_SUCCESS) {
      FUZZ_CHECK(information <= replyCapacity);
      FUZZ_CHECK(madeOf(std::span<const UCHAR>(answer.bytes.get(), information), sentInfs));
    } else {
      FUZZ_CHECK(information == 0);
    }
    return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::uint8_t setup = input.byte();
  const std::uint8_t atrIfsc = input.byte();
  const std::size_t commandLength = input.number16() % 600;
  const std::size_t replyCapacity = input.number16() % 600;

  Session session;
  session.crc = (setup & 0x01) != 0;
  session.nad = kNads[(setup >> 5) & 3];
  session.prefix = (setup >> 7) ? 3 : 0;
  auto& extension = session.extension;
  extension.Version = SMCLIB_VERSION;
  extension.ReaderCapabilities.MaxIFSD = kMaxIfsd[(setup >> 2) & 3];
  extension.T1.SuppressIfsRequest = (setup & 0x02) ? TRUE : FALSE;
  extension.SmartcardRequest.Buffer = session.request.bytes.get();
  extension.SmartcardRequest.BufferSize = static_cast<ULONG>(session.request.size);
  extension.SmartcardReply.Buffer = session.reply.bytes.get();
  extension.SmartcardReply.BufferSize = static_cast<ULONG>(session.reply.size);

  // A T=1 card: IFSC in TA3, BWI 4 / CWI 5 in TB3, CRC in TC3 when asked.
  Bytes atr{0x3B,
            0x80,
            0x81,
            static_cast<UCHAR>(session.crc ? 0x71 : 0x31),
            static_cast<UCHAR>(atrIfsc == 0 || atrIfsc == 0xFF ? 32 : atrIfsc),
            0x45};
  if (session.crc) atr.push_back(0x01);
  atr.push_back(emulator::longitudinalRedundancy(std::span<const std::uint8_t>(atr).subspan(1)));
  auto& card = extension.CardCapabilities;
  std::copy(atr.begin(), atr.end(), card.ATR.Buffer);
  card.ATR.Length = static_cast<UCHAR>(atr.size());
  FUZZ_CHECK(SmartcardUpdateCardCapabilities(&extension) == STATUS_SUCCESS);
  card.Protocol.Selected = SCARD_PROTOCOL_T1;

  transmit(session, input, commandLength, replyCapacity);
  if (setup & 0x10) transmit(session, input, commandLength / 2, replyCapacity);
  return 0;
}
