// Fault plans: decide per call whether an allocation-like call fails.
#include <platform/faults.h>
#include <platform/trace.h>

#include <algorithm>

#include "installed.h"

namespace platform {

FaultInjector::FaultInjector(std::uint64_t seed) : random_(seed) {}

FaultInjector& FaultInjector::current() { return detail::Installed<FaultInjector>::current(); }
void FaultInjector::install(FaultInjector* instance) { detail::Installed<FaultInjector>::install(instance); }

bool FaultInjector::appliesTo(std::string_view kind) const {
  return onlyKinds_.empty() || std::find(onlyKinds_.begin(), onlyKinds_.end(), kind) != onlyKinds_.end();
}

bool FaultInjector::shouldFail(std::string_view kind, const void* callSite) {
  bool fail = false;
  std::uint64_t number = 0;
  {
    std::lock_guard lock(mutex_);
    auto counter = calls_.find(kind);
    if (counter == calls_.end()) counter = calls_.emplace(std::string(kind), 0).first;
    number = ++counter->second;
    if (!appliesTo(kind)) return false;

    if (auto planned = failAt_.find(kind); planned != failAt_.end() && planned->second.count(number)) fail = true;
    if (auto from = failFrom_.find(kind); from != failFrom_.end() && number >= from->second) fail = true;
    bool newSite = seenSites_.emplace(std::string(kind), callSite).second;
    if (newSite && eachSiteOnce_) fail = true;
    if (newSite && nthNewSite_ != 0 && seenSites_.size() == sitesBeforePlan_ + nthNewSite_) fail = true;
    if (chance_ > 0.0 && std::uniform_real_distribution<double>(0.0, 1.0)(random_) < chance_) fail = true;
    if (fail) injected_.push_back({std::string(kind), number});
  }
  if (fail)
    Trace::current().add(TraceCategory::Fault, std::string(kind) + " call " + std::to_string(number) + " fails");
  return fail;
}

void FaultInjector::failCall(std::string_view kind, std::uint64_t callNumber) {
  std::lock_guard lock(mutex_);
  auto counter = calls_.find(kind);
  std::uint64_t already = counter == calls_.end() ? 0 : counter->second;
  failAt_[std::string(kind)].insert(already + callNumber);
}

void FaultInjector::failFromCall(std::string_view kind, std::uint64_t callNumber) {
  std::lock_guard lock(mutex_);
  auto counter = calls_.find(kind);
  std::uint64_t already = counter == calls_.end() ? 0 : counter->second;
  failFrom_[std::string(kind)] = already + callNumber;
}

void FaultInjector::failEachSiteOnce() {
  std::lock_guard lock(mutex_);
  eachSiteOnce_ = true;
}

void FaultInjector::failNthNewSite(std::uint64_t k) {
  std::lock_guard lock(mutex_);
  nthNewSite_ = k;
  sitesBeforePlan_ = seenSites_.size();
}

void FaultInjector::failWithChance(double probability, std::uint64_t seed) {
  std::lock_guard lock(mutex_);
  chance_ = probability;
  random_.seed(seed);
}

void FaultInjector::onlyKinds(std::vector<std::string> kinds) {
  std::lock_guard lock(mutex_);
  onlyKinds_ = std::move(kinds);
}

void FaultInjector::reset() {
  std::lock_guard lock(mutex_);
  calls_.clear();
  failAt_.clear();
  failFrom_.clear();
  seenSites_.clear();
  eachSiteOnce_ = false;
  nthNewSite_ = 0;
  sitesBeforePlan_ = 0;
  chance_ = 0.0;
  onlyKinds_.clear();
  injected_.clear();
}

std::uint64_t FaultInjector::calls(std::string_view kind) const {
  std::lock_guard lock(mutex_);
  auto counter = calls_.find(kind);
  return counter == calls_.end() ? 0 : counter->second;
}

std::uint64_t FaultInjector::sitesSeen() const {
  std::lock_guard lock(mutex_);
  return seenSites_.size();
}

std::vector<InjectedFault> FaultInjector::injected() const {
  std::lock_guard lock(mutex_);
  return injected_;
}

}  // namespace platform
