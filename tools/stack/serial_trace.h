#pragma once
// The serial bytes of a run, as the serial port driver wrote them into the
// kernel trace, decoded for people as the run goes.

#include <cstddef>
#include <vector>

#include "trace/decoder.h"
#include "platform/trace.h"

namespace tav712 {

// Follows the trace and hands out the decoded lines that are new since the
// last call.
class SerialTraceFollower {
 public:
  explicit SerialTraceFollower(const platform::Trace& trace) : trace_(trace) {}
  std::vector<trace::TraceLine> newLines();
  // The new lines and then the items still incomplete (an answer-to-reset
  // the card never finished, a block cut short): the run is over.
  std::vector<trace::TraceLine> lastLines();

 private:
  const platform::Trace& trace_;
  std::size_t seenEntries_ = 0;
  trace::TraceDecoder decoder_;
};

}  // namespace tav712
