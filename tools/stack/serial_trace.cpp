#include "serial_trace.h"

#include "serial/serial_trace.h"

namespace tav712 {

std::vector<trace::TraceLine> SerialTraceFollower::newLines() {
  // Only the entries not seen yet: copying the whole trace on every call
  // made a long run quadratic.
  const std::size_t total = trace_.size();
  if (total < seenEntries_) seenEntries_ = total;  // the trace was cleared
  const auto entries = trace_.entriesFrom(seenEntries_);
  for (const auto& entry : entries) {
    const auto serialByte = serial::parseSerialByte(entry);
    if (!serialByte) continue;
    decoder_.add({serialByte->at,
                  serialByte->direction == serial::ByteDirection::transmitted ? trace::Direction::hostToReader
                                                                              : trace::Direction::readerToHost,
                  serialByte->byte});
  }
  seenEntries_ += entries.size();
  return decoder_.takeLines();
}

std::vector<trace::TraceLine> SerialTraceFollower::lastLines() {
  auto lines = newLines();
  decoder_.finish();
  for (auto& line : decoder_.takeLines()) lines.push_back(std::move(line));
  return lines;
}

}  // namespace tav712
