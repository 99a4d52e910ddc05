#include "serial_trace.h"

#include <string_view>

namespace tav712 {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool parseSerialEntry(const platform::TraceEntry& entry, emulator::TraceByte& byte) {
  if (entry.category != platform::TraceCategory::Serial) return false;
  const std::string_view text = entry.text;
  const std::size_t space = text.find(' ');
  if (space == std::string_view::npos || text.size() != space + 6) return false;
  const std::string_view direction = text.substr(space + 1, 2);
  const int high = hexValue(text[space + 4]);
  const int low = hexValue(text[space + 5]);
  if (high < 0 || low < 0 || text[space + 3] != ' ') return false;
  if (direction == "tx") {
    byte.direction = emulator::Direction::hostToReader;
  } else if (direction == "rx") {
    byte.direction = emulator::Direction::readerToHost;
  } else {
    return false;
  }
  byte.at = entry.time;
  byte.byte = static_cast<std::uint8_t>(high * 16 + low);
  return true;
}

std::vector<emulator::TraceLine> SerialTraceFollower::newLines() {
  const auto entries = trace_.entries();
  for (std::size_t i = seenEntries_; i < entries.size(); ++i) {
    emulator::TraceByte byte{};
    if (parseSerialEntry(entries[i], byte)) decoder_.add(byte);
  }
  seenEntries_ = entries.size();
  return decoder_.takeLines();
}

}  // namespace tav712
