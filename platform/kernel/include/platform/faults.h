// Fault injection: makes allocation-like kernel calls fail on purpose so that
// every failure path of a driver can be driven. A call asks shouldFail() with
// its kind (the kernel function's name) and the address it was called from;
// the plan decides. Three plans combine:
//  - by call number: fail the n-th call of a kind (exact tests);
//  - systematic: fail each distinct call site the first time it is reached
//    (one run drives every first failure), or only the k-th new site (a sweep
//    over k drives each path on its own);
//  - seeded chance: fail any call with a probability (soak runs).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// Kinds of allocation-like calls, named after the kernel function.
namespace fault {
inline constexpr std::string_view kPool = "ExAllocatePoolWithTag";
inline constexpr std::string_view kAllocateIrp = "IoAllocateIrp";
inline constexpr std::string_view kBuildIoctl = "IoBuildDeviceIoControlRequest";
inline constexpr std::string_view kWorkItem = "IoAllocateWorkItem";
inline constexpr std::string_view kCreateDevice = "IoCreateDevice";
inline constexpr std::string_view kAttach = "IoAttachDeviceToDeviceStack";
inline constexpr std::string_view kRegisterInterface = "IoRegisterDeviceInterface";
inline constexpr std::string_view kSetInterfaceState = "IoSetDeviceInterfaceState";
inline constexpr std::string_view kRequestPowerIrp = "PoRequestPowerIrp";
inline constexpr std::string_view kErrorLogEntry = "IoAllocateErrorLogEntry";
// The smart card library's initialisation asks with this kind.
inline constexpr std::string_view kSmartcardInitialize = "SmartcardInitialize";
}  // namespace fault

struct InjectedFault {
  std::string kind;
  std::uint64_t callNumber;  // 1-based count of calls of this kind
};

class FaultInjector {
 public:
  explicit FaultInjector(std::uint64_t seed = 1);

  // Decides whether this call fails; counts it either way.
  bool shouldFail(std::string_view kind, const void* callSite);

  // Fail the n-th call (1-based) of a kind, counted from now on.
  void failCall(std::string_view kind, std::uint64_t callNumber);
  // Fail every call of a kind from the n-th on.
  void failFromCall(std::string_view kind, std::uint64_t callNumber);
  // Fail each distinct (kind, call site) the first time it is reached from
  // now on (sites reached before are not failed).
  void failEachSiteOnce();
  // Fail only the k-th distinct site first reached from now on (1-based); a
  // sweep over k is done when a run injects nothing.
  void failNthNewSite(std::uint64_t k);
  // Fail any call with this probability, drawn from a generator seeded once.
  void failWithChance(double probability, std::uint64_t seed);
  // Restrict the plans above to these kinds (empty: all kinds).
  void onlyKinds(std::vector<std::string> kinds);
  // Forget every plan and counter.
  void reset();

  // The fault injector of the running system (installed by platform::System), or a
  // process-wide one when no system runs.
  static FaultInjector& current();
  static void install(FaultInjector* instance);

  std::uint64_t calls(std::string_view kind) const;
  std::uint64_t sitesSeen() const;
  std::vector<InjectedFault> injected() const;

 private:
  bool appliesTo(std::string_view kind) const;

  mutable std::mutex mutex_;
  std::map<std::string, std::uint64_t, std::less<>> calls_;
  std::map<std::string, std::set<std::uint64_t>, std::less<>> failAt_;
  std::map<std::string, std::uint64_t, std::less<>> failFrom_;
  std::set<std::pair<std::string, const void*>> seenSites_;
  bool eachSiteOnce_ = false;
  std::uint64_t nthNewSite_ = 0;
  std::size_t sitesBeforePlan_ = 0;
  double chance_ = 0.0;
  std::mt19937_64 random_;
  std::vector<std::string> onlyKinds_;
  std::vector<InjectedFault> injected_;
};

}  // namespace platform
