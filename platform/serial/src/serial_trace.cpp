#include "serial/serial_trace.h"

#include <charconv>
#include <cstdio>

namespace serial {

std::string formatSerialByte(std::string_view port, ByteDirection direction, std::uint8_t byte) {
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02X", byte);
  return std::string(port) + (direction == ByteDirection::transmitted ? " tx " : " rx ") + hex;
}

std::optional<SerialTraceByte> parseSerialByte(const platform::TraceEntry& entry) {
  if (entry.category != platform::TraceCategory::Serial) return std::nullopt;
  const std::string_view text = entry.text;
  // "<port> tx HH": the port name may not contain spaces.
  const std::size_t space = text.find(' ');
  if (space == std::string_view::npos || text.size() != space + 6) return std::nullopt;
  const std::string_view kind = text.substr(space + 1, 3);
  if (kind != "tx " && kind != "rx ") return std::nullopt;
  unsigned value = 0;
  const std::string_view hex = text.substr(space + 4, 2);
  const auto [end, error] = std::from_chars(hex.data(), hex.data() + hex.size(), value, 16);
  if (error != std::errc{} || end != hex.data() + hex.size()) return std::nullopt;
  return SerialTraceByte{entry.time, std::string(text.substr(0, space)),
                         kind == "tx " ? ByteDirection::transmitted : ByteDirection::received,
                         static_cast<std::uint8_t>(value)};
}

}  // namespace serial
