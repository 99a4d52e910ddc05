// The tav712 program's script parser on any text. An accepted script holds
// only command APDUs the program may send, line numbers that exist in the
// text, in order, and status word patterns of four hex digits or X; refused
// text is a ToolError for bad input (any other exception fails the run).
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "apdu.h"
#include "errors.h"
#include "fuzz_check.h"
#include "script.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const auto lines = tav712::parseScript(text, "fuzz.script");
    const auto lineCount = std::count(text.begin(), text.end(), '\n') + 1;
    int previous = 0;
    for (const auto& line : lines) {
      FUZZ_CHECK(line.lineNumber > previous && line.lineNumber <= lineCount);
      previous = line.lineNumber;
      FUZZ_CHECK(line.apdu.size() >= 4 && line.apdu.size() <= tav712::maxApduBytes);
      tav712::checkCommandApdu(line.apdu);
      if (line.expected) {
        const std::string& pattern = line.expected->text;
        FUZZ_CHECK(pattern.size() == 4);
        FUZZ_CHECK(std::all_of(pattern.begin(), pattern.end(),
                               [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || c == 'X'; }));
        // The status word the pattern spells with every X as 0 matches it;
        // changing a digit the pattern fixes does not.
        const auto digit = [&](std::size_t i) -> std::uint8_t {
          const char c = pattern[i];
          return static_cast<std::uint8_t>(c == 'X' ? 0 : c <= '9' ? c - '0' : c - 'A' + 10);
        };
        const auto sw1 = static_cast<std::uint8_t>(digit(0) << 4 | digit(1));
        const auto sw2 = static_cast<std::uint8_t>(digit(2) << 4 | digit(3));
        FUZZ_CHECK(line.expected->matches(sw1, sw2));
        if (pattern[0] != 'X') FUZZ_CHECK(!line.expected->matches(static_cast<std::uint8_t>(sw1 ^ 0x80), sw2));
      }
    }
  } catch (const tav712::ToolError& error) {
    FUZZ_CHECK(error.status() == tav712::ExitStatus::badInput);
  }
  return 0;
}
