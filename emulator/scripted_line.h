#pragma once
// A scripted far end of the serial line, for byte-exact tests of the host
// side: it waits for exact host bytes, plays exact reader-to-host bytes (as
// they go on the wire, escapes included) with exact timing, and records
// what the host wrote and when.
//
// Script text, one step per line ('#' starts a comment):
//   > C0 C4           wait until the host has written these bytes
//   < 23              send these bytes (at 19200 baud, one after another)
//   < +5ms 90 3B      send them 5 ms after the previous step
//   wait 10ms         let time pass (us, ms and s are understood)
//   dsr off | dsr on  change DSR (a delay may follow: "dsr off +2ms")
// Delays count from the previous step: from the arrival of the last
// expected host byte, or from the end of the last byte sent.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "line/line.h"

namespace emulator {

struct ScriptStep {
  enum class Kind { expect, send, wait, dsr };
  Kind kind = Kind::send;
  std::vector<std::uint8_t> bytes;  // expect, send
  line::Nanoseconds delay{0};       // send, wait, dsr
  bool dsrAsserted = true;          // dsr
};

// Parses script text; on a bad line returns its number and reason.
struct ScriptParse {
  std::vector<ScriptStep> steps;
  std::optional<std::string> error;
};
ScriptParse parseScript(std::string_view text);

class ScriptedLine final : public line::LineDevice {
 public:
  struct HostByte {
    line::Nanoseconds at;
    std::uint8_t byte;
  };

  ScriptedLine(line::Timeline& timeline, std::vector<ScriptStep> steps);

  void connect(line::HostPort* host) override;
  void byteFromHost(std::uint8_t byte) override;
  bool applyLineSettings(const line::LineSettings& settings) override {
    hostSettings_ = settings;
    return true;
  }
  bool dsr() const override { return dsr_; }

  // Every step has been played or matched.
  bool finished() const { return next_ >= steps_.size() && !failed_; }
  // Host bytes that did not match the script (the script stops at the first).
  const std::vector<std::string>& mismatches() const { return mismatches_; }
  const std::vector<HostByte>& hostBytes() const { return hostBytes_; }
  const line::LineSettings& hostSettings() const { return hostSettings_; }

 private:
  void advance();
  void schedule(line::Nanoseconds when, std::function<void()> action);

  line::Timeline& timeline_;
  std::vector<ScriptStep> steps_;
  line::HostPort* host_ = nullptr;
  line::LineSettings hostSettings_;
  bool dsr_ = true;
  std::size_t next_ = 0;
  std::size_t matched_ = 0;  // bytes of the current expect step seen so far
  bool failed_ = false;
  line::Nanoseconds cursor_{0};
  std::vector<HostByte> hostBytes_;
  std::vector<std::string> mismatches_;
  // Guards scheduled actions against a line that no longer exists.
  std::shared_ptr<int> life_ = std::make_shared<int>(0);
};

}  // namespace emulator
