#include "serial_trace.h"

#include "serial/serial_trace.h"

namespace tav712 {

std::vector<trace::TraceLine> SerialTraceFollower::newLines() {
  const auto entries = trace_.entries();
  for (std::size_t i = seenEntries_; i < entries.size(); ++i) {
    const auto serialByte = serial::parseSerialByte(entries[i]);
    if (!serialByte) continue;
    decoder_.add({serialByte->at,
                  serialByte->direction == serial::ByteDirection::transmitted ? trace::Direction::hostToReader
                                                                              : trace::Direction::readerToHost,
                  serialByte->byte});
  }
  seenEntries_ = entries.size();
  return decoder_.takeLines();
}

std::vector<trace::TraceLine> SerialTraceFollower::lastLines() {
  auto lines = newLines();
  decoder_.finish();
  for (auto& line : decoder_.takeLines()) lines.push_back(std::move(line));
  return lines;
}

}  // namespace tav712
