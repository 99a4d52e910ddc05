#include "emulator/iso7816.h"

#include <array>

namespace emulator {

std::uint32_t clockRateFactor(std::uint8_t fi) {
  static constexpr std::array<std::uint32_t, 16> table{372, 372, 558, 744,  1116, 1488, 1860, 0,
                                                       0,   512, 768, 1024, 1536, 2048, 0,    0};
  return table[fi & 0x0F];
}

std::uint32_t bitRateFactor(std::uint8_t di) {
  static constexpr std::array<std::uint32_t, 16> table{0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};
  return table[di & 0x0F];
}

std::uint32_t etuClocksFor(std::uint8_t fiDi) {
  const std::uint32_t f = clockRateFactor(static_cast<std::uint8_t>(fiDi >> 4));
  const std::uint32_t d = bitRateFactor(static_cast<std::uint8_t>(fiDi & 0x0F));
  return (f == 0 || d == 0) ? 0 : f / d;
}

std::int64_t clocksToNanoseconds(std::uint64_t clocks) {
  return static_cast<std::int64_t>(clocks * 1'000'000'000ull / cardClockHz);
}

std::uint8_t longitudinalRedundancy(std::span<const std::uint8_t> bytes) {
  std::uint8_t lrc = 0;
  for (const std::uint8_t b : bytes) lrc ^= b;
  return lrc;
}

std::uint16_t blockCrc(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0xFFFF;
  for (const std::uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) != 0 ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408) : static_cast<std::uint16_t>(crc >> 1);
    }
  }
  return crc;
}

std::uint8_t inverseConventionByte(std::uint8_t value) {
  std::uint8_t reversed = 0;
  for (int bit = 0; bit < 8; ++bit) {
    if ((value & (1u << bit)) != 0) reversed = static_cast<std::uint8_t>(reversed | (0x80u >> bit));
  }
  return static_cast<std::uint8_t>(~reversed);
}

std::string statusWordMeaning(std::uint16_t sw) {
  const auto sw1 = static_cast<std::uint8_t>(sw >> 8);
  const auto low = static_cast<unsigned>(sw & 0xFF);
  switch (sw1) {
    case 0x61: return std::to_string(low == 0 ? 256 : low) + " response bytes available";
    case 0x6C: return "wrong Le, exact length " + std::to_string(low == 0 ? 256 : low);
    case 0x63:
      if ((low & 0xF0) == 0xC0) return "verification failed, " + std::to_string(low & 0x0F) + " tries left";
      break;
    default: break;
  }
  switch (sw) {
    case 0x9000: return "success";
    case 0x6282: return "end of file reached before Le bytes";
    case 0x6700: return "wrong length";
    case 0x6981: return "command incompatible with file structure";
    case 0x6982: return "security status not satisfied";
    case 0x6983: return "authentication method blocked";
    case 0x6985: return "conditions of use not satisfied";
    case 0x6986: return "command not allowed (no current EF)";
    case 0x6A82: return "file or application not found";
    case 0x6A86: return "incorrect parameters P1-P2";
    case 0x6A87: return "Lc inconsistent with P1-P2";
    case 0x6B00: return "wrong parameters (offset outside the file)";
    case 0x6D00: return "instruction not supported";
    case 0x6E00: return "class not supported";
    case 0x6F00: return "no precise diagnosis";
    default: return "status";
  }
}

}  // namespace emulator
