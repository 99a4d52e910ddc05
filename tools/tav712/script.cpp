#include "script.h"

#include <cctype>

#include "apdu.h"
#include "errors.h"
#include "hex.h"

namespace tav712 {
namespace {

std::string_view trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

StatusWordPattern parsePattern(std::string_view text) {
  StatusWordPattern pattern;
  for (char c : text) {
    if (c == ' ' || c == ':') continue;
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!std::isxdigit(static_cast<unsigned char>(upper)) && upper != 'X') {
      throw ToolError(ExitStatus::badInput, std::string("'") + c + "' cannot stand in a status word",
                      "write the status word as 4 hex digits, X for any digit: 9000, 63CX");
    }
    pattern.text += upper;
  }
  if (pattern.text.size() != 4) {
    throw ToolError(
        ExitStatus::badInput,
        "a status word has 4 hex digits, \"" + std::string(text) + "\" has " + std::to_string(pattern.text.size()),
        "write the status word as 4 hex digits, X for any digit: 9000, 63CX");
  }
  return pattern;
}

}  // namespace

bool StatusWordPattern::matches(std::uint8_t sw1, std::uint8_t sw2) const {
  static constexpr char digits[] = "0123456789ABCDEF";
  const char actual[4] = {digits[sw1 >> 4], digits[sw1 & 0x0F], digits[sw2 >> 4], digits[sw2 & 0x0F]};
  for (std::size_t i = 0; i < 4; ++i) {
    if (text[i] != 'X' && text[i] != actual[i]) return false;
  }
  return true;
}

std::vector<ScriptLine> parseScript(std::string_view text, const std::string& fileName) {
  std::vector<ScriptLine> lines;
  int lineNumber = 0;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++lineNumber;
    if (const std::size_t comment = line.find('#'); comment != std::string_view::npos) line = line.substr(0, comment);
    line = trim(line);
    if (line.empty()) continue;
    try {
      ScriptLine parsed;
      parsed.lineNumber = lineNumber;
      const std::size_t arrow = line.find("->");
      parsed.apdu = parseHex(trim(line.substr(0, arrow)));
      checkCommandApdu(parsed.apdu);
      if (arrow != std::string_view::npos) parsed.expected = parsePattern(trim(line.substr(arrow + 2)));
      lines.push_back(std::move(parsed));
    } catch (const ToolError& error) {
      throw ToolError(ExitStatus::badInput, fileName + ":" + std::to_string(lineNumber) + ": " + error.what(),
                      error.hint());
    }
  }
  return lines;
}

}  // namespace tav712
