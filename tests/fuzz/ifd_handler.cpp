// The PC/SC handler's entry points as pcscd may call them, with pcsc-lite's
// types and any values: IFDHPowerICC with any action, IFDHTransmitToICC with
// any protocol, command and answer room, IFDHControl with any code and
// lengths, IFDHGetCapabilities and IFDHSetCapabilities with any tag and
// length, IFDHSetProtocolParameters with any protocol and PTS bytes, and
// IFDHICCPresence, on a reader the handler serves from its built-in
// emulator, for this LUN or one it does not serve.
//
// The handler runs its emulated readers on the wall clock (pcscd's calls
// wait in real time), so this target does too: each input opens a channel
// of its own, makes at most eight calls and closes it, and a call must end
// within kCallBound of wall time (the handler answers "too slow" after its
// own bounds; the reader's waiting times are far shorter).
//
// Invariants: no answer longer than the buffer the caller passed, the ATR
// within MAX_ATR_SIZE.
//
// Input: the reader (one byte), then per call a choice byte and its values.

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "ifd_codes.h"

namespace {

constexpr DWORD kLun = 0x10000;
constexpr auto kCallBound = std::chrono::seconds(20);

constexpr std::array<const char*, 4> kReaders = {"emulator:profile=dual", "emulator:profile=t1-crc",
                                                 "emulator:no-card,insert-at-ms=150",
                                                 "emulator:profile=t0,silent-after=12"};

const std::array<std::vector<UCHAR>, 4> kCommands = {{
    {0x00, 0xA4, 0x04, 0x0C, 0x06, 0xA0, 0x00, 0x00, 0x07, 0x12, 0x01},
    {0x00, 0xB0, 0x00, 0x00, 0x04},
    {0x00, 0x84, 0x00, 0x00, 0x08},
    {0x00, 0xB0, 0x00, 0x00, 0x00},
}};

constexpr std::array<DWORD, 12> kTags = {TAG_IFD_ATR,
                                         TAG_IFD_SLOTNUM,
                                         TAG_IFD_SLOTS_NUMBER,
                                         TAG_IFD_SIMULTANEOUS_ACCESS,
                                         TAG_IFD_THREAD_SAFE,
                                         TAG_IFD_SLOT_THREAD_SAFE,
                                         TAG_IFD_POLLING_THREAD_KILLABLE,
                                         TAG_IFD_POLLING_THREAD_WITH_TIMEOUT,
                                         TAG_IFD_STOP_POLLING_THREAD,
                                         0x00010100,   // vendor name
                                         0x00080201,   // current protocol
                                         0x00090303};  // ATR string

DWORD dword(fuzz::Input& input) {
  DWORD value = 0;
  for (int i = 0; i < 4; ++i) value = value << 8 | input.byte();
  return value;
}

DWORD length(fuzz::Input& input) {
  const std::uint8_t choice = input.byte();
  return choice < 0xF0 ? choice : static_cast<DWORD>(input.number16()) + 1;
}

// Bytes of the input as a buffer of exactly `size` bytes.
std::vector<UCHAR> buffer(fuzz::Input& input, std::size_t size) {
  const auto bytes = input.take(size);
  std::vector<UCHAR> out(bytes.begin(), bytes.end());
  out.resize(size);
  return out;
}

// An exact-size buffer of pcscd's; null data when empty, as pcscd may pass.
UCHAR* data(std::vector<UCHAR>& bytes) { return bytes.empty() ? nullptr : bytes.data(); }

void call(fuzz::Input& input) {
  const std::uint8_t choice = input.byte();
  const DWORD lun = (choice & 0x80) ? kLun + 1 : kLun;
  switch (choice & 0x07) {
    case 0: {
      const std::array<DWORD, 4> actions = {IFD_POWER_UP, IFD_RESET, IFD_POWER_DOWN, dword(input)};
      UCHAR atr[MAX_ATR_SIZE];
      DWORD atrLength = sizeof atr;
      IFDHPowerICC(lun, actions[(choice >> 3) & 3], atr, &atrLength);
      FUZZ_CHECK(atrLength <= MAX_ATR_SIZE);
      break;
    }
    case 1: {
      const DWORD protocol = (choice & 0x08) ? dword(input) : (choice >> 4) & 1;
      std::vector<UCHAR> command = (choice & 0x40) ? buffer(input, length(input)) : kCommands[(choice >> 4) & 3];
      const DWORD room = length(input);
      std::vector<UCHAR> answer(room);
      DWORD answerLength = room;
      SCARD_IO_HEADER send{protocol, 0};
      SCARD_IO_HEADER received{0, 0};
      IFDHTransmitToICC(lun, send, data(command), static_cast<DWORD>(command.size()), data(answer), &answerLength,
                        &received);
      FUZZ_CHECK(answerLength <= room);
      break;
    }
    case 2: {
      const DWORD code = (choice & 0x08) ? SCARD_CTL_CODE(2049) : dword(input);
      std::vector<UCHAR> command = buffer(input, length(input));
      const DWORD room = length(input);
      std::vector<UCHAR> answer(room);
      DWORD returned = 0xDEAD;
      IFDHControl(lun, code, data(command), static_cast<DWORD>(command.size()), data(answer), room, &returned);
      FUZZ_CHECK(returned <= room);
      break;
    }
    case 3: {
      const DWORD tag = (choice & 0x08) ? dword(input) : kTags[input.byte() % kTags.size()];
      const DWORD room = length(input);
      std::vector<UCHAR> value(room);
      DWORD valueLength = room;
      if (IFDHGetCapabilities(lun, tag, &valueLength, data(value)) == IFD_SUCCESS) FUZZ_CHECK(valueLength <= room);
      break;
    }
    case 4: {
      const DWORD tag = (choice & 0x08) ? dword(input) : kTags[input.byte() % kTags.size()];
      std::vector<UCHAR> value = buffer(input, length(input));
      IFDHSetCapabilities(lun, tag, static_cast<DWORD>(value.size()), data(value));
      break;
    }
    case 5: {
      const DWORD protocol = (choice & 0x08) ? dword(input) : (choice >> 4) & 3;
      IFDHSetProtocolParameters(lun, protocol, input.byte(), input.byte(), input.byte(), input.byte());
      break;
    }
    default: IFDHICCPresence(lun); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  std::string device = kReaders[input.byte() % kReaders.size()];
  // On the wall clock a loaded machine may hold the emulated reader's
  // replies back past the driver's waits at its start; the handler then
  // refuses the channel (no such device), and the calls meet a LUN it does
  // not serve.
  const RESPONSECODE opened = IFDHCreateChannelByName(kLun, device.data());
  FUZZ_CHECK(opened == IFD_SUCCESS || opened == IFD_NO_SUCH_DEVICE || opened == IFD_COMMUNICATION_ERROR);
  for (int calls = 0; calls < 8 && !input.empty(); ++calls) {
    const auto started = std::chrono::steady_clock::now();
    call(input);
    FUZZ_CHECK(std::chrono::steady_clock::now() - started < kCallBound);
  }
  FUZZ_CHECK(IFDHCloseChannel(kLun) == IFD_SUCCESS);
  return 0;
}
