#include "fuzz_stack.h"

#include <winsmcrd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace fuzz {
namespace {

ULONG ulongOf(const Bytes& bytes) {
  ULONG value = 0;
  std::memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof value));
  return value;
}

Bytes bytesOf(ULONG value) {
  Bytes bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

// Command APDUs of every case, and a few odd ones (the card judges those).
const std::array<Bytes, 8> kCommands = {{
    {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00},        // case 3: select the master file
    {0x00, 0xB0, 0x00, 0x00, 0x10},                    // case 2: read 16 bytes
    {0x00, 0xB0, 0x00, 0x00, 0x00},                    // case 2, Le 256
    {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00, 0x00},  // case 4
    {0x00, 0x84, 0x00, 0x00, 0x08},                    // get challenge
    {0x00, 0x70, 0x00, 0x00},                          // case 1
    {0x00, 0xB0, 0x00},                                // too short
    {0x00, 0xB0, 0x00, 0x00, 0x00, 0x01, 0x00},        // extended Le
}};

// Rooms an application offers for an answer: none, too little, a short
// answer's, an extended answer's.
constexpr std::array<ULONG, 6> kAnswerRooms = {258, 0, 1, 2, 18, 65538};

constexpr std::array<ULONG, 4> kProtocolMasks = {SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1,
                                                 SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, 0};

void failOnViolation(const platform::Violation& violation) {
  std::fprintf(stderr, "verifier: %s\n", violation.describe().c_str());
  std::abort();
}

}  // namespace

StackRun::StackRun(tav712::StackOptions options) : stack_(std::move(options)) {
  system().verifier().setHandler(failOnViolation);
}

// The teardown a machine does, here rather than in the stack's destructor
// (which swallows failures): a hang or a deadlock on the way out is a finding.
StackRun::~StackRun() {
  client_.reset();
  if (stack_.readerAdded()) FUZZ_CHECK(NT_SUCCESS(stack_.remove()));
  if (stack_.driverLoaded()) stack_.unloadDriver();
}

bool StackRun::bringUp() {
  if (!NT_SUCCESS(stack_.bringUp())) return false;
  return reopen();
}

bool StackRun::reopen() {
  client_.reset();
  client_ = std::make_unique<tav712::ReaderClient>(system());
  return client_->open();
}

platform::IoResult StackRun::control(ULONG code, std::span<const std::uint8_t> input, ULONG outputLength) {
  auto request = client_->startControl(code, Bytes(input.begin(), input.end()), outputLength, "fuzz request");
  return finish(request, outputLength, kRequestBound);
}

platform::IoResult StackRun::finish(platform::PendingRequest& request, ULONG outputLength, platform::Duration bound) {
  FUZZ_CHECK(system().scheduler().runUntil([&] { return request.done(); }, bound));
  auto result = request.wait();
  FUZZ_CHECK(result.status != STATUS_PENDING);
  FUZZ_CHECK(result.information <= outputLength && result.output.size() <= outputLength);
  return result;
}

void StackRun::runFor(platform::Duration duration) { system().scheduler().advanceBy(duration); }

bool subsequenceOf(std::span<const std::uint8_t> answer, std::span<const std::uint8_t> sent) {
  std::size_t matched = 0;
  for (const std::uint8_t byte : sent) {
    if (matched < answer.size() && answer[matched] == byte) ++matched;
  }
  return matched == answer.size();
}

namespace {

// Whether `atr` is made of bytes of `sent`: a TS of 0x03 (an inverse
// convention TS as a direct receiver reads it) is reported as 0x3F.
bool atrFrom(std::span<const std::uint8_t> atr, std::span<const std::uint8_t> sent) {
  if (atr.empty()) return true;
  const auto ts = std::find_if(sent.begin(), sent.end(),
                               [&](std::uint8_t byte) { return byte == atr[0] || (atr[0] == 0x3F && byte == 0x03); });
  return ts != sent.end() && subsequenceOf(atr.subspan(1), std::span(ts + 1, sent.end()));
}

enum class Step { coldReset, warmReset, powerDown, selectProtocol, transmit, state };

void power(StackRun& run, const SessionEnds& ends, ULONG action) {
  const std::size_t before = ends.count();
  const auto result = run.control(IOCTL_SMARTCARD_POWER, bytesOf(action), 64);
  // The ATR the driver reports is what the card sent.
  if (NT_SUCCESS(result.status) && action != SCARD_POWER_DOWN) {
    FUZZ_CHECK(atrFrom(result.output, ends.since(before)));
  }
}

void transmit(StackRun& run, Input& input, const SessionEnds& ends, ULONG protocol) {
  const std::uint8_t choice = input.byte();
  Bytes command;
  if (choice >= 0xF0) {
    const auto raw = input.take(input.byte() % 48);
    command.assign(raw.begin(), raw.end());
  } else {
    command = kCommands[choice % kCommands.size()];
  }
  const ULONG room = kAnswerRooms[(choice >> 4) % kAnswerRooms.size()];
  SCARD_IO_REQUEST header{};
  header.dwProtocol = protocol;
  header.cbPciLength = sizeof header;
  Bytes request(sizeof header);
  std::memcpy(request.data(), &header, sizeof header);
  request.insert(request.end(), command.begin(), command.end());

  const std::size_t before = ends.count();
  const auto result = run.control(IOCTL_SMARTCARD_TRANSMIT, request, static_cast<ULONG>(sizeof header + room));
  if (!NT_SUCCESS(result.status)) return;
  FUZZ_CHECK(result.output.size() >= sizeof header);
  const std::span<const std::uint8_t> answer(result.output.data() + sizeof header,
                                             result.output.size() - sizeof header);
  FUZZ_CHECK(answer.size() <= room);
  FUZZ_CHECK(subsequenceOf(answer, ends.since(before)));
}

}  // namespace

void runSession(StackRun& run, Input& input, const SessionEnds& ends, int steps) {
  ULONG protocol = SCARD_PROTOCOL_T1;
  for (int step = 0; step < steps && !input.empty(); ++step) {
    switch (static_cast<Step>(input.byte() % 6)) {
      case Step::coldReset: power(run, ends, SCARD_COLD_RESET); break;
      case Step::warmReset: power(run, ends, SCARD_WARM_RESET); break;
      case Step::powerDown: power(run, ends, SCARD_POWER_DOWN); break;
      case Step::selectProtocol: {
        const auto result = run.control(IOCTL_SMARTCARD_SET_PROTOCOL,
                                        bytesOf(kProtocolMasks[input.byte() % kProtocolMasks.size()]), sizeof(ULONG));
        if (NT_SUCCESS(result.status)) {
          FUZZ_CHECK(result.output.size() == sizeof(ULONG));
          protocol = ulongOf(result.output);
          FUZZ_CHECK(protocol == SCARD_PROTOCOL_T0 || protocol == SCARD_PROTOCOL_T1);
        }
        break;
      }
      case Step::transmit: transmit(run, input, ends, protocol); break;
      case Step::state: {
        const auto result = run.control(IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
        if (NT_SUCCESS(result.status)) FUZZ_CHECK(ulongOf(result.output) <= SCARD_SPECIFIC);
        break;
      }
    }
  }
}

}  // namespace fuzz
