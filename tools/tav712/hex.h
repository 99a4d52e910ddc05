#pragma once
// Hexadecimal byte strings as people type them: "00 A4 04 00", "00a40400",
// "00:A4:04:00". Used for APDUs on the command line and in script files.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tav712 {

// Parses hex digits, ignoring spaces, colons and a leading "0x" per group.
// Throws ToolError (malformed input) naming the offending character.
std::vector<std::uint8_t> parseHex(std::string_view text);

// "00 A4 04 00": upper case, one space between bytes.
std::string formatHex(std::span<const std::uint8_t> bytes);

}  // namespace tav712
