// Violation bookkeeping: record, trace, hand to the handler unless expected.
#include <platform/trace.h>
#include <platform/verifier.h>

#include <algorithm>

#include "installed.h"

namespace platform {

std::string Violation::describe() const { return rule + ": " + detail + " [" + object + "; thread " + thread + "]"; }

Verifier& Verifier::current() { return detail::Installed<Verifier>::current(); }
void Verifier::install(Verifier* verifier) { detail::Installed<Verifier>::install(verifier); }

void reportViolation(std::string_view ruleName, std::string object, std::string detail) {
  Verifier::current().report(ruleName, std::move(object), std::move(detail));
}

void Verifier::report(std::string_view ruleName, std::string object, std::string detail) {
  Violation violation{std::string(ruleName), std::move(object), "?", std::move(detail)};
  Handler handler;
  {
    std::lock_guard lock(mutex_);
    if (threadName_) violation.thread = threadName_();
    violations_.push_back(violation);
    if (!isExpected(ruleName)) handler = handler_;
  }
  Trace::current().add(TraceCategory::Verifier, violation.describe());
  if (handler) handler(violation);
}

std::vector<Violation> Verifier::violations() const {
  std::lock_guard lock(mutex_);
  return violations_;
}

std::vector<Violation> Verifier::violations(std::string_view ruleName) const {
  std::lock_guard lock(mutex_);
  std::vector<Violation> selected;
  for (const auto& violation : violations_)
    if (violation.rule == ruleName) selected.push_back(violation);
  return selected;
}

bool Verifier::fired(std::string_view ruleName) const { return !violations(ruleName).empty(); }

void Verifier::clear() {
  std::lock_guard lock(mutex_);
  violations_.clear();
}

void Verifier::setHandler(Handler handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

void Verifier::setThreadNameSource(std::function<std::string()> threadName) {
  std::lock_guard lock(mutex_);
  threadName_ = std::move(threadName);
}

void Verifier::expect(std::string_view ruleName) {
  std::lock_guard lock(mutex_);
  expected_.emplace_back(ruleName);
}

void Verifier::unexpect(std::string_view ruleName) {
  std::lock_guard lock(mutex_);
  auto found = std::find(expected_.begin(), expected_.end(), ruleName);
  if (found != expected_.end()) expected_.erase(found);
}

bool Verifier::isExpected(std::string_view ruleName) const {
  return std::find(expected_.begin(), expected_.end(), ruleName) != expected_.end();
}

}  // namespace platform
