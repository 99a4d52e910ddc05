#include "t1_block.h"

namespace smclib::t1 {

std::uint8_t lrc(std::span<const std::uint8_t> bytes) {
  std::uint8_t value = 0;
  for (std::uint8_t byte : bytes) value ^= byte;
  return value;
}

std::uint16_t crc(std::span<const std::uint8_t> bytes) {
  std::uint16_t value = 0xFFFF;
  for (std::uint8_t byte : bytes) {
    value ^= byte;
    for (int bit = 0; bit < 8; ++bit) {
      value = (value & 1) ? static_cast<std::uint16_t>((value >> 1) ^ 0x8408) : static_cast<std::uint16_t>(value >> 1);
    }
  }
  return value;
}

void appendEdc(std::uint8_t* bytes, std::size_t length, bool useCrc) {
  std::span<const std::uint8_t> covered(bytes, length);
  if (useCrc) {
    const std::uint16_t value = crc(covered);
    bytes[length] = static_cast<std::uint8_t>(value >> 8);
    bytes[length + 1] = static_cast<std::uint8_t>(value & 0xFF);
  } else {
    bytes[length] = lrc(covered);
  }
}

bool edcValid(std::span<const std::uint8_t> block, bool useCrc) {
  const std::size_t edc = edcLength(useCrc);
  if (block.size() < edc) return false;
  const auto covered = block.first(block.size() - edc);
  if (useCrc) {
    const std::uint16_t value = crc(covered);
    return block[block.size() - 2] == (value >> 8) && block[block.size() - 1] == (value & 0xFF);
  }
  return lrc(covered) == block.back();
}

}  // namespace smclib::t1
