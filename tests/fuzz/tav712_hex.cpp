// The tav712 program's hex parser on any text. Accepted text gives bytes
// that format and parse back to themselves, no more bytes than the text has
// digit pairs; refused text is a ToolError for bad input (any other
// exception escapes and fails the run).
#include <cstdint>
#include <string_view>

#include "errors.h"
#include "fuzz_check.h"
#include "hex.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const auto bytes = tav712::parseHex(text);
    FUZZ_CHECK(bytes.size() * 2 <= text.size());
    FUZZ_CHECK(tav712::parseHex(tav712::formatHex(bytes)) == bytes);
  } catch (const tav712::ToolError& error) {
    FUZZ_CHECK(error.status() == tav712::ExitStatus::badInput);
  }
  return 0;
}
