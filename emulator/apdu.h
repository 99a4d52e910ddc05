#pragma once
// Command and response APDUs (ISO/IEC 7816-4 short form).

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace emulator {

struct CommandApdu {
  std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
  std::vector<std::uint8_t> data;
  // Expected response length Ne (1 to 256); absent when the command has no Le.
  std::optional<std::size_t> ne;
};

struct ResponseApdu {
  std::vector<std::uint8_t> data;
  std::uint16_t sw = 0x9000;
  std::uint8_t sw1() const { return static_cast<std::uint8_t>(sw >> 8); }
  std::uint8_t sw2() const { return static_cast<std::uint8_t>(sw & 0xFF); }
  std::vector<std::uint8_t> bytes() const;
};

// Parses a short command APDU (cases 1, 2, 3 and 4); nothing when the length
// bytes do not fit the number of bytes (extended lengths are not supported).
std::optional<CommandApdu> parseCommandApdu(std::span<const std::uint8_t> bytes);

}  // namespace emulator
