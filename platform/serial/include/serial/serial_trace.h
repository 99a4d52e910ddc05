#pragma once
// The serial bytes in the kernel trace (category Serial), one entry per byte
// at the instant its stop bit ended:
//   "COM1 tx 45"   the port sent 0x45 (host to device)
//   "COM1 rx 90"   the port received 0x90 (device to host)
//   "COM1 dsr off" / "COM1 dsr on"   the DSR line changed
// The entry's time is the kernel clock. formatSerialByte writes the text,
// parseSerialByte reads it back (for the trace decoder and programs).

#include <platform/trace.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace serial {

enum class ByteDirection { transmitted, received };

struct SerialTraceByte {
  std::chrono::nanoseconds at;
  std::string port;
  ByteDirection direction;
  std::uint8_t byte;
};

std::string formatSerialByte(std::string_view port, ByteDirection direction, std::uint8_t byte);
// Nothing for an entry that is not a serial byte (another category, a DSR
// change).
std::optional<SerialTraceByte> parseSerialByte(const platform::TraceEntry& entry);

}  // namespace serial
