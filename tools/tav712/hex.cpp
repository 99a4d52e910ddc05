#include "hex.h"

#include <cctype>

#include "errors.h"

namespace tav712 {
namespace {

int nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isSeparator(char c) { return c == ' ' || c == '\t' || c == ':' || c == ','; }

}  // namespace

std::vector<std::uint8_t> parseHex(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  int high = -1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (isSeparator(c)) {
      if (high >= 0) {
        throw ToolError(ExitStatus::badInput,
                        "malformed hex \"" + std::string(text) + "\": odd number of digits before position " +
                            std::to_string(i + 1),
                        "write every byte as two hex digits, for example 00 A4 04 00");
      }
      continue;
    }
    if (high < 0 && c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
      ++i;
      continue;
    }
    const int value = nibble(c);
    if (value < 0) {
      throw ToolError(ExitStatus::badInput,
                      "malformed hex \"" + std::string(text) + "\": '" + std::string(1, c) + "' at position " +
                          std::to_string(i + 1) + " is not a hex digit",
                      "use the digits 0-9 and A-F, for example 00 A4 04 00");
    }
    if (high < 0) {
      high = value;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high * 16 + value));
      high = -1;
    }
  }
  if (high >= 0) {
    throw ToolError(ExitStatus::badInput, "malformed hex \"" + std::string(text) + "\": odd number of digits",
                    "write every byte as two hex digits, for example 00 A4 04 00");
  }
  return bytes;
}

std::string formatHex(std::span<const std::uint8_t> bytes) {
  static constexpr char digits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 3);
  for (std::uint8_t byte : bytes) {
    if (!text.empty()) text += ' ';
    text += digits[byte >> 4];
    text += digits[byte & 0x0F];
  }
  return text;
}

}  // namespace tav712
