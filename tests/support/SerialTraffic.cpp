#include "support/SerialTraffic.h"

#include <string>

namespace tav712::testing {

std::vector<LineByte> lineBytes(const platform::Trace& trace, LineDirection direction, std::string_view port) {
  const std::string prefix =
      std::string(port) + (direction == LineDirection::HostToReader ? " tx " : " rx ");
  std::vector<LineByte> bytes;
  for (const platform::TraceEntry& entry : trace.entries(platform::TraceCategory::Serial)) {
    if (entry.text.size() != prefix.size() + 2 || entry.text.compare(0, prefix.size(), prefix) != 0) continue;
    const auto value = static_cast<std::uint8_t>(std::stoul(entry.text.substr(prefix.size()), nullptr, 16));
    bytes.push_back(LineByte{entry.time, value});
  }
  return bytes;
}

std::vector<std::uint8_t> lineValues(const platform::Trace& trace, LineDirection direction, std::string_view port) {
  std::vector<std::uint8_t> values;
  for (const LineByte& byte : lineBytes(trace, direction, port)) values.push_back(byte.value);
  return values;
}

}  // namespace tav712::testing
