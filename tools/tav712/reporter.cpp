#include "reporter.h"

#include <cstdio>
#include <ostream>

#include "errors.h"
#include "stack/serial_trace.h"

namespace tav712 {

Reporter::Reporter(std::ostream& out, bool json, bool trace) : out_(out), json_(json), trace_(trace) {}

Reporter::~Reporter() = default;

void Reporter::follow(std::function<std::chrono::nanoseconds()> clock, const platform::Trace* trace) {
  clock_ = std::move(clock);
  follower_ = trace != nullptr ? std::make_unique<SerialTraceFollower>(*trace) : nullptr;
}

void Reporter::unfollow() {
  if (follower_) printTrace(follower_->lastLines());
  clock_ = nullptr;
  follower_.reset();
}

std::string Reporter::timestamp() const {
  if (!clock_) return "         ";
  const double seconds = std::chrono::duration<double>(clock_()).count();
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%8.3f s", seconds);
  return buffer;
}

void Reporter::flushTrace() {
  if (follower_) printTrace(follower_->newLines());
}

void Reporter::printTrace(const std::vector<trace::TraceLine>& lines) {
  if (!trace_) return;
  for (const auto& line : lines) {
    if (json_) {
      steps_.push(Json::object().set("trace", trace::formatTraceLine(line)));
    } else {
      out_ << "            | " << trace::formatTraceLine(line) << '\n';
    }
  }
}

void Reporter::step(const std::string& text) {
  flushTrace();
  if (json_) {
    const double seconds = clock_ ? std::chrono::duration<double>(clock_()).count() : 0.0;
    steps_.push(Json::object().set("time", seconds).set("step", text));
  } else {
    out_ << timestamp() << "  " << text << '\n' << std::flush;
  }
}

void Reporter::detail(const std::string& text) {
  if (json_) {
    steps_.push(Json::object().set("detail", text));
  } else {
    out_ << "              " << text << '\n';
  }
}

void Reporter::finish() {
  flushTrace();
  if (!json_) return;
  result_.set("ok", true);
  result_.set("steps", steps_);
  out_ << result_.dump() << '\n';
}

void Reporter::error(const ToolError& error) {
  flushTrace();
  const auto& traceTail = traceTail_;
  if (json_) {
    result_.set("ok", false);
    result_.set("error", Json::object()
                             .set("message", error.what())
                             .set("hint", error.hint())
                             .set("exitStatus", static_cast<int>(error.status())));
    Json tail = Json::array();
    for (const auto& line : traceTail) tail.push(line);
    if (!traceTail.empty()) result_.set("traceTail", tail);
    result_.set("steps", steps_);
    out_ << result_.dump() << '\n';
    return;
  }
  out_ << std::flush;
  std::fprintf(stderr, "tav712: %s\n", error.what());
  if (!error.hint().empty()) std::fprintf(stderr, "  try: %s\n", error.hint().c_str());
  if (!traceTail.empty()) {
    std::fprintf(stderr, "  last kernel trace entries:\n");
    for (const auto& line : traceTail) std::fprintf(stderr, "    %s\n", line.c_str());
  }
}

}  // namespace tav712
