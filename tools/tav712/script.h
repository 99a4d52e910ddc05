#pragma once
// Script files for regression runs: one APDU a line, optionally followed by
// "->" and the status word it must get. '#' starts a comment. Status words
// may use X for any hex digit:
//
//   # select the master file, then read 16 bytes
//   00 A4 00 00 02 3F 00   -> 90 00
//   00 B0 00 00 10         -> 90 00
//   00 20 00 01 04 31 32 33 34 -> 63 CX

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tav712 {

struct StatusWordPattern {
  std::string text;  // "63CX", as written, upper case, no spaces
  bool matches(std::uint8_t sw1, std::uint8_t sw2) const;
};

struct ScriptLine {
  int lineNumber = 0;
  std::vector<std::uint8_t> apdu;
  std::optional<StatusWordPattern> expected;
};

// Throws ToolError (bad input) naming the file's line on a malformed line.
std::vector<ScriptLine> parseScript(std::string_view text, const std::string& fileName);

}  // namespace tav712
