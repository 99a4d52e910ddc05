#pragma once
// The serial traffic of a run as the trace shows it: the bytes the serial
// port driver put on the line ("COM1 tx 45") and took from it ("COM1 rx 90"),
// with their instants, and the line's DSR changes.

#include <platform/trace.h>

#include <chrono>
#include <cstdint>
#include <string_view>
#include <vector>

namespace tav712::testing {

enum class LineDirection { HostToReader, ReaderToHost };

struct LineByte {
  std::chrono::nanoseconds at;
  std::uint8_t value;
};

// Bytes of one direction on a port, in order, with their instants.
std::vector<LineByte> lineBytes(const platform::Trace& trace, LineDirection direction, std::string_view port = "COM1");
// Only the values.
std::vector<std::uint8_t> lineValues(const platform::Trace& trace, LineDirection direction,
                                     std::string_view port = "COM1");

}  // namespace tav712::testing
