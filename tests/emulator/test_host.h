#pragma once
// The host end of the serial line for emulator tests: writes bytes with the
// host UART's timing (10 bits at 19200 baud each) and records what comes
// back and when.

#include <cstdint>
#include <vector>

#include "emulator/queue_timeline.h"
#include "emulator/reader_protocol.h"
#include "line/line.h"

namespace emulator::testing {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

inline constexpr line::Nanoseconds byteTime = line::characterTime(readerLineSettings);

class TestHost final : public line::HostPort {
 public:
  struct Received {
    line::Nanoseconds at;
    std::uint8_t byte;
  };

  TestHost(QueueTimeline& timeline, line::LineDevice& device) : timeline_(timeline), device_(device) {
    device_.connect(this);
  }
  ~TestHost() override { device_.connect(nullptr); }

  void byteReceived(std::uint8_t byte) override { received_.push_back({timeline_.now(), byte}); }
  void dsrChanged(bool asserted) override { dsrChanges_.push_back({timeline_.now(), asserted}); }

  // Starts writing now; the k-th byte arrives (k+1) character times later.
  // Returns the instant the last byte arrives.
  line::Nanoseconds write(const Bytes& bytes) {
    line::Nanoseconds at = std::max(timeline_.now(), lineFreeAt_);
    for (const std::uint8_t b : bytes) {
      at += byteTime;
      timeline_.callAt(at, [this, b] { device_.byteFromHost(b); });
    }
    lineFreeAt_ = at;
    return at;
  }

  // Writes, runs the given time, and returns the bytes that came back.
  Bytes exchange(const Bytes& bytes, line::Nanoseconds settle = 200ms) {
    clear();
    write(bytes);
    timeline_.runFor(settle);
    return bytes_();
  }

  Bytes bytes_() const {
    Bytes out;
    for (const auto& r : received_) out.push_back(r.byte);
    return out;
  }
  const std::vector<Received>& received() const { return received_; }
  const std::vector<std::pair<line::Nanoseconds, bool>>& dsrChanges() const { return dsrChanges_; }
  void clear() { received_.clear(); }

 private:
  QueueTimeline& timeline_;
  line::LineDevice& device_;
  line::Nanoseconds lineFreeAt_{0};
  std::vector<Received> received_;
  std::vector<std::pair<line::Nanoseconds, bool>> dsrChanges_;
};

}  // namespace emulator::testing
