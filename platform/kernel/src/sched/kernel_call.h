// How a Ke function reaches the scheduler: take the core's lock and make
// sure the caller holds the CPU (a thread the scheduler does not know joins
// as a foreign thread).
#pragma once

#include "core.h"

#include <platform/verifier.h>

#include <stdexcept>

namespace platform::sched {

struct KernelCall {
  Core* core = nullptr;
  Core::Lock lock;
  Thread* me = nullptr;

  // `required`: the call cannot work without a running scheduler.
  explicit KernelCall(const char* function, bool required = true) : core(installedCore()) {
    if (core == nullptr) {
      if (required) throw std::logic_error(std::string(function) + " needs a running kernel scheduler");
      return;
    }
    lock = Core::Lock(core->mutex);
    me = core->enter(lock);
  }

  Irql irql() const { return me != nullptr ? me->irql : kPassiveLevel; }

  // Reports a violation without holding the scheduler's lock, so that the
  // verifier's handler and trace may call back into the kernel. The caller
  // keeps the CPU meanwhile, so nothing it looked at changes.
  void report(std::string_view rule, std::string object, std::string detail) {
    bool locked = lock.owns_lock();
    if (locked) lock.unlock();
    reportViolation(rule, std::move(object), std::move(detail));
    if (locked) lock.lock();
  }
};

std::string irqlName(Irql irql);

}  // namespace platform::sched
