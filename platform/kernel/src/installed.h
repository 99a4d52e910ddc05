// The "current instance" pattern shared by the kernel's services: a system
// installs its trace, verifier, fault injector and event log; without a
// system each service falls back to one process-wide instance.
#pragma once

#include <atomic>

namespace platform::detail {

template <typename Service>
class Installed {
 public:
  static Service& current() {
    Service* service = pointer().load(std::memory_order_acquire);
    return service != nullptr ? *service : fallback();
  }
  static void install(Service* service) { pointer().store(service, std::memory_order_release); }

 private:
  static std::atomic<Service*>& pointer() {
    static std::atomic<Service*> installed{nullptr};
    return installed;
  }
  static Service& fallback() {
    static Service instance;
    return instance;
  }
};

}  // namespace platform::detail
