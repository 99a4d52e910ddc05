#pragma once
// What the program tells people (or scripts, with --json): timestamped
// steps with details, the decoded serial traffic between them with --trace,
// and one closing line for an error with its hint.

#include <chrono>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "json.h"

namespace platform {
class Trace;
}

namespace trace {
struct TraceLine;
}

namespace tav712 {

class SerialTraceFollower;
class ToolError;

class Reporter {
 public:
  Reporter(std::ostream& out, bool json, bool trace);
  ~Reporter();
  Reporter(const Reporter&) = delete;
  Reporter& operator=(const Reporter&) = delete;

  // Timestamps come from the stack's clock; serial lines from its trace.
  void follow(std::function<std::chrono::nanoseconds()> clock, const platform::Trace* trace);
  void unfollow();

  // A stage of the run: "  0.250 s  card inserted".
  void step(const std::string& text);
  // A line that belongs to the last step.
  void detail(const std::string& text);
  // Prints the serial lines decoded since the last call (with --trace).
  void flushTrace();

  // The machine-readable result of the command (--json): members are added
  // by the command as it goes; steps are collected under "steps".
  Json& result() { return result_; }
  bool json() const { return json_; }

  // Ends the output: the JSON document, or nothing more for people.
  void finish();
  // Kept for the error report (--verbose): the last kernel trace entries.
  void keepTraceTail(std::vector<std::string> tail) { traceTail_ = std::move(tail); }
  // Reports an error: "tav712: <message>" and the hint, or the JSON error.
  void error(const ToolError& error);

 private:
  std::string timestamp() const;
  void printTrace(const std::vector<trace::TraceLine>& lines);

  std::ostream& out_;
  bool json_;
  bool trace_;
  std::function<std::chrono::nanoseconds()> clock_;
  std::unique_ptr<SerialTraceFollower> follower_;
  Json result_ = Json::object();
  Json steps_ = Json::array();
  std::vector<std::string> traceTail_;
};

}  // namespace tav712
