#pragma once
// What a transmit must fit on its way through the reader's stack: the
// command in the smart card library's command buffer (for T=0, a short
// command, the only kind T=0 carries), and the longest answer the command
// asks for (its Le, with SW1 SW2) in the room the caller offers for it. A
// transmit that cannot fit is refused before it reaches the reader, at once,
// instead of after an exchange that may take minutes.
//
// Free of kernel and pcsc-lite types, like reader_service.h.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

namespace tav712::pcsc {

// The smart card library's command buffer: the longest extended command
// (header, extended Lc, 65,535 data bytes, extended Le).
inline constexpr std::size_t maxCommandLength = 4 + 3 + 65535 + 3;
// A short case-4 command: header, Lc, 255 data bytes, Le.
inline constexpr std::size_t maxT0CommandLength = 4 + 1 + 255 + 1;
// The longest answer any command can ask for: 65,536 bytes and SW1 SW2.
inline constexpr std::size_t maxAnswerLength = 65536 + 2;

// The longest answer `apdu` asks for, SW1 SW2 included: Le + 2 for a command
// with Le (short or extended, 0 meaning 256 or 65,536), 2 for one without
// and for bytes that are no well-formed command APDU (the card judges those).
std::size_t expectedAnswerLength(std::span<const std::uint8_t> apdu);

enum class TransmitFit { fits, commandTooLong, answerTooLong };
const char* transmitFitName(TransmitFit fit);

// Whether `apdu` fits, sent by T=0 or T=1, with `answerRoom` bytes offered
// for its answer.
TransmitFit checkTransmit(bool t0, std::span<const std::uint8_t> apdu, std::size_t answerRoom);

// How long the handler waits for an exchange before it reports the card as
// too slow (the request goes on in the driver, and the reader serves the
// next one once it has ended). The driver bounds every one of its waits;
// a chained exchange takes time in proportion to the bytes it carries (the
// line moves a chained command at about 240 bytes a second).
struct WaitBounds {
  // Any request other than a transmit.
  std::chrono::milliseconds request{60'000};
  // A transmit: this much (a card's waiting times and the driver's retries
  // of one block) and as much per byte it carries (its command and the
  // answer it asks for) as five times what the line needs.
  std::chrono::milliseconds transmit{60'000};
  std::chrono::microseconds perByte{20'000};
};

std::chrono::milliseconds transmitBound(const WaitBounds& bounds, std::size_t commandLength, std::size_t answerLength);

}  // namespace tav712::pcsc
