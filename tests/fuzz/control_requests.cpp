// Smart card control requests from an application, as the input makes
// them: any control code (the smart card range, the reader's vendor range,
// codes of other device types and methods), input and output lengths from 0
// to beyond 64 KiB, contents from the input, each request waited for, or
// cancelled, or its handle closed at a moment the input chooses. The reader
// and its card are the emulator's, a card of a kind the input picks, which
// may leave and come back while requests run.
//
// Invariants (besides the sanitizers, the verifier, and the leak checks at
// the driver's unload): every request completes within a bound of virtual
// time (card tracking requests once cancelled), never with more bytes than
// the caller's buffer holds.
//
// Input: the card (one byte), then requests: a code choice and its bytes,
// an input length, an output length, the moment, then the input contents.
#include <winsmcrd.h>

#include <array>
#include <cstdint>
#include <string_view>

#include "fuzz_stack.h"

namespace {

constexpr std::array<std::string_view, 6> kCards = {
    "profile=t1",
    "profile=t0",
    "profile=dual,remove-at-ms=300,insert-at-ms=900",
    "no-card,insert-at-ms=200",
    "profile=t1,silent-after=12",
    "profile=specific,wtx=3",
};

// Lengths an application may pass: the edges of every request's records,
// and large ones.
constexpr std::array<ULONG, 16> kLengths = {0, 1, 2, 3, 4, 5, 7, 8, 9, 12, 16, 33, 64, 261, 4096, 65536 + 64};

ULONG length(fuzz::Input& input) {
  const std::uint8_t choice = input.byte();
  return choice < 0xC0 ? kLengths[choice % kLengths.size()] : static_cast<ULONG>(input.number16());
}

ULONG controlCode(fuzz::Input& input) {
  const std::uint8_t choice = input.byte();
  switch (choice & 0x03) {
    case 0: return SCARD_CTL_CODE(ULONG{input.byte()} % 24);        // the library's range and around it
    case 1: return SCARD_CTL_CODE(2048 + ULONG{input.byte()} % 8);  // the reader's vendor range
    case 2: {
      const ULONG deviceType = (choice & 0x04) ? FILE_DEVICE_SMARTCARD : input.byte();
      const ULONG function = input.number16() & 0x0FFF;
      const ULONG method = input.byte() & 0x03u;
      const ULONG access = (choice >> 3) & 0x03u;
      return CTL_CODE(deviceType, function, method, access);
    }
    default: {
      ULONG code = 0;
      for (int i = 0; i < 4; ++i) code = code << 8 | input.byte();
      return code;
    }
  }
}

// Card tracking requests wait for the card to move: as long as this, then
// they are cancelled.
constexpr auto kTrackingWait = std::chrono::seconds(5);

bool parks(ULONG code) { return code == IOCTL_SMARTCARD_IS_PRESENT || code == IOCTL_SMARTCARD_IS_ABSENT; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  tav712::StackOptions options;
  FUZZ_CHECK(!emulator::applyKnobs(kCards[input.byte() % kCards.size()], options.knobs));
  fuzz::StackRun run(std::move(options));
  FUZZ_CHECK(run.bringUp());

  for (int request = 0; request < 16 && !input.empty(); ++request) {
    const ULONG code = controlCode(input);
    const ULONG inputLength = length(input);
    const ULONG outputLength = length(input);
    const std::uint8_t moment = input.byte();
    const auto contents = input.take(inputLength);
    fuzz::Bytes bytes(contents.begin(), contents.end());
    bytes.resize(inputLength);

    auto pending = run.client().startControl(code, std::move(bytes), outputLength, "fuzz request");
    const auto wait = std::chrono::milliseconds(moment >> 2) * 20;  // up to about 1.3 s
    switch (moment & 0x03) {
      case 0:
      case 1:
        if (parks(code) && !run.system().scheduler().runUntil([&] { return pending.done(); }, kTrackingWait)) {
          pending.cancel();
        }
        run.finish(pending, outputLength, fuzz::kRequestBound);
        break;
      case 2:
        run.runFor(wait);
        pending.cancel();
        run.finish(pending, outputLength, fuzz::kRequestBound);
        break;
      default:
        run.runFor(wait);
        run.client().close();
        run.finish(pending, outputLength, fuzz::kRequestBound);
        FUZZ_CHECK(run.reopen());
        break;
    }
  }
  return 0;
}
