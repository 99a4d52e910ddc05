#include "transmit_limits.h"

#include <algorithm>

namespace tav712::pcsc {
namespace {

std::size_t shortLe(std::uint8_t byte) { return byte == 0 ? 256 : byte; }

std::size_t extendedLe(std::uint8_t high, std::uint8_t low) {
  const std::size_t value = static_cast<std::size_t>(high) << 8 | low;
  return value == 0 ? 65536 : value;
}

}  // namespace

std::size_t expectedAnswerLength(std::span<const std::uint8_t> apdu) {
  constexpr std::size_t statusBytes = 2;
  const std::size_t length = apdu.size();
  if (length < 5) return statusBytes;                      // case 1, or no command
  if (length == 5) return shortLe(apdu[4]) + statusBytes;  // case 2
  if (apdu[4] != 0) {                                      // short Lc: case 3 or 4
    const std::size_t lc = apdu[4];
    if (length == 6 + lc) return shortLe(apdu[length - 1]) + statusBytes;
    return statusBytes;
  }
  if (length == 7) return extendedLe(apdu[5], apdu[6]) + statusBytes;  // case 2E
  if (length < 7) return statusBytes;
  const std::size_t lc = static_cast<std::size_t>(apdu[5]) << 8 | apdu[6];
  if (length == 9 + lc) return extendedLe(apdu[length - 2], apdu[length - 1]) + statusBytes;  // case 4E
  return statusBytes;                                                                         // case 3E, or malformed
}

const char* transmitFitName(TransmitFit fit) {
  switch (fit) {
    case TransmitFit::fits: return "fits";
    case TransmitFit::commandTooLong: return "command too long";
    case TransmitFit::answerTooLong: return "answer too long";
  }
  return "?";
}

TransmitFit checkTransmit(bool t0, std::span<const std::uint8_t> apdu, std::size_t answerRoom) {
  if (apdu.size() > (t0 ? maxT0CommandLength : maxCommandLength)) return TransmitFit::commandTooLong;
  if (expectedAnswerLength(apdu) > std::min(answerRoom, maxAnswerLength)) return TransmitFit::answerTooLong;
  return TransmitFit::fits;
}

std::chrono::milliseconds transmitBound(const WaitBounds& bounds, std::size_t commandLength, std::size_t answerLength) {
  const auto carried = bounds.perByte * static_cast<std::int64_t>(commandLength + answerLength);
  return bounds.transmit + std::chrono::duration_cast<std::chrono::milliseconds>(carried);
}

}  // namespace tav712::pcsc
