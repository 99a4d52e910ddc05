#include "emulator/scripted_line.h"

#include <charconv>
#include <cstdio>
#include <sstream>

#include "emulator/reader_protocol.h"

namespace emulator {
namespace {

std::optional<line::Nanoseconds> duration(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data()) return std::nullopt;
  const std::string_view unit(end, static_cast<std::size_t>(text.data() + text.size() - end));
  const auto n = static_cast<std::int64_t>(value);
  if (unit == "us") return std::chrono::microseconds(n);
  if (unit == "ms") return std::chrono::milliseconds(n);
  if (unit == "s") return std::chrono::seconds(n);
  if (unit == "ns") return line::Nanoseconds(n);
  return std::nullopt;
}

std::optional<std::uint8_t> hexByte(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (error != std::errc() || end != text.data() + text.size() || text.empty() || value > 0xFF) return std::nullopt;
  return static_cast<std::uint8_t>(value);
}

std::string hex(std::uint8_t b) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", b);
  return text;
}

}  // namespace

ScriptParse parseScript(std::string_view text) {
  ScriptParse result;
  std::istringstream lines{std::string(text)};
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    if (const auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string word;
    if (!(words >> word)) continue;
    ScriptStep step;
    const auto fail = [&](const std::string& why) { result.error = "line " + std::to_string(number) + ": " + why; };
    if (word == ">" || word == "<") {
      step.kind = word == ">" ? ScriptStep::Kind::expect : ScriptStep::Kind::send;
    } else if (word == "wait") {
      step.kind = ScriptStep::Kind::wait;
    } else if (word == "dsr") {
      step.kind = ScriptStep::Kind::dsr;
      if (!(words >> word) || (word != "on" && word != "off")) {
        fail("dsr takes on or off");
        return result;
      }
      step.dsrAsserted = word == "on";
    } else {
      fail("unknown step '" + word + "'");
      return result;
    }
    while (words >> word) {
      if (step.kind == ScriptStep::Kind::wait || word[0] == '+') {
        const auto delay = duration(word[0] == '+' ? std::string_view(word).substr(1) : std::string_view(word));
        if (!delay || step.kind == ScriptStep::Kind::expect) {
          fail("bad delay '" + word + "'");
          return result;
        }
        step.delay = *delay;
      } else if (const auto byte = hexByte(word); byte && step.kind != ScriptStep::Kind::dsr) {
        step.bytes.push_back(*byte);
      } else {
        fail("bad byte '" + word + "'");
        return result;
      }
    }
    result.steps.push_back(std::move(step));
  }
  return result;
}

ScriptedLine::ScriptedLine(line::Timeline& timeline, std::vector<ScriptStep> steps)
    : timeline_(timeline), steps_(std::move(steps)), cursor_(timeline.now()) {}

void ScriptedLine::schedule(line::Nanoseconds when, std::function<void()> action) {
  timeline_.callAt(when, [alive = std::weak_ptr<int>(life_), action = std::move(action)] {
    if (alive.lock()) action();
  });
}

void ScriptedLine::connect(line::HostPort* host) {
  host_ = host;
  if (host_) advance();
}

void ScriptedLine::byteFromHost(std::uint8_t byte) {
  const line::Nanoseconds now = timeline_.now();
  hostBytes_.push_back(HostByte{now, byte});
  if (failed_) return;
  if (next_ >= steps_.size() || steps_[next_].kind != ScriptStep::Kind::expect) {
    mismatches_.push_back("unexpected host byte " + hex(byte) + " after the script");
    return;
  }
  const ScriptStep& step = steps_[next_];
  if (step.bytes[matched_] != byte) {
    mismatches_.push_back("step " + std::to_string(next_ + 1) + ": host wrote " + hex(byte) + ", script expects " +
                          hex(step.bytes[matched_]));
    failed_ = true;
    return;
  }
  if (++matched_ < step.bytes.size()) return;
  matched_ = 0;
  ++next_;
  cursor_ = std::max(cursor_, now);
  advance();
}

void ScriptedLine::advance() {
  while (next_ < steps_.size()) {
    const ScriptStep& step = steps_[next_];
    switch (step.kind) {
      case ScriptStep::Kind::expect:
        if (!step.bytes.empty()) return;
        break;
      case ScriptStep::Kind::send: {
        line::Nanoseconds at = std::max(cursor_, timeline_.now()) + step.delay;
        for (const std::uint8_t b : step.bytes) {
          at += line::characterTime(readerLineSettings);
          schedule(at, [this, b] {
            if (host_) host_->byteReceived(b);
          });
        }
        cursor_ = at;
        break;
      }
      case ScriptStep::Kind::wait: cursor_ = std::max(cursor_, timeline_.now()) + step.delay; break;
      case ScriptStep::Kind::dsr: {
        cursor_ = std::max(cursor_, timeline_.now()) + step.delay;
        schedule(cursor_, [this, asserted = step.dsrAsserted] {
          if (dsr_ == asserted) return;
          dsr_ = asserted;
          if (host_) host_->dsrChanged(asserted);
        });
        break;
      }
    }
    ++next_;
  }
}

}  // namespace emulator
