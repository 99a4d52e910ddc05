// Spin locks with their IRQL discipline. A lock word holds a marker in its
// upper half, written by KeInitializeSpinLock, so that a lock used before
// initialisation (a zero-filled extension) is reported, and the holder's
// thread id in its lower half (0: free). A thread that finds the lock held
// spins, which in this kernel means waiting until the holder releases it.
#include "kernel_call.h"
#include "../poison.h"

#include <platform/verifier.h>

#include <kesync.h>

#include <algorithm>

namespace platform::sched {
namespace {

constexpr KSPIN_LOCK kMarker = 0x4B53504CULL << 32;  // "KSPL"
constexpr KSPIN_LOCK kMarkerMask = 0xFFFFFFFFULL << 32;
constexpr KSPIN_LOCK kHolderMask = 0xFFFFFFFFULL;

KSPIN_LOCK heldBy(const Thread* thread) { return kMarker | (thread->id & kHolderMask); }

std::string holderName(const Core& core, KSPIN_LOCK word) {
  KSPIN_LOCK holder = word & kHolderMask;
  for (const auto& thread : core.threads)
    if ((thread->id & kHolderMask) == holder) return "'" + thread->name + "'";
  return "thread " + std::to_string(holder);
}

// A held lock as something a spinning thread waits for.
class SpinLockWait final : public Waitable {
 public:
  SpinLockWait(const Core& core, PKSPIN_LOCK lock, const Thread* spinner)
      : core_(core), lock_(lock), spinner_(spinner) {}
  const void* object() const override { return lock_; }
  bool isSignaled() const override { return (*lock_ & kHolderMask) == 0; }
  void acquire() override { *lock_ = heldBy(spinner_); }
  std::string describe() const override { return "a spin lock held by " + holderName(core_, *lock_); }

 private:
  const Core& core_;
  PKSPIN_LOCK lock_;
  const Thread* spinner_;
};

// Every byte of a spin lock in a deleted device's extension holds the fill.
constexpr KSPIN_LOCK kDeletedLock = 0x0101010101010101ULL * static_cast<unsigned>(io::kDeletedExtensionFill);

void checkInitialised(KernelCall& call, PKSPIN_LOCK lock, const char* function) {
  if ((*lock & kMarkerMask) == kMarker) return;
  if (*lock == kDeletedLock) {
    call.report(rule::kBadObject, "spin lock",
                std::string(function) + " on a spin lock in the extension of a deleted device");
    *lock = kMarker;
    return;
  }
  call.report(rule::kEventInit, "spin lock",
              std::string(function) + " on a spin lock that KeInitializeSpinLock did not initialise");
  *lock = kMarker;  // carry on as the kernel would with a zeroed lock
}

// Takes `lock` for the calling thread, spinning while another holds it.
void acquire(KernelCall& call, PKSPIN_LOCK lock, Irql savedIrql, const char* function) {
  checkInitialised(call, lock, function);
  if (*lock == heldBy(call.me)) {
    // The kernel would spin forever; refuse instead.
    call.report(rule::kSpinLockPairing, "spin lock",
                std::string(function) + " of a spin lock this thread already holds");
    return;
  }
  if ((*lock & kHolderMask) != 0) {
    SpinLockWait spin(*call.core, lock, call.me);
    Waitable* objects[] = {&spin};
    call.core->wait(call.me, call.lock, objects, false, std::nullopt, {});
  } else {
    *lock = heldBy(call.me);
  }
  call.me->spinLocks.push_back({lock, savedIrql});
}

// Releases `lock` if the calling thread holds it; returns the IRQL saved at
// its acquisition.
std::optional<Irql> release(KernelCall& call, PKSPIN_LOCK lock, const char* function) {
  checkInitialised(call, lock, function);
  auto& held = call.me->spinLocks;
  auto entry = std::find_if(held.begin(), held.end(), [lock](const auto& h) { return h.lock == lock; });
  if (*lock != heldBy(call.me) || entry == held.end()) {
    call.report(
        rule::kSpinLockPairing, "spin lock",
        std::string(function) + " of a spin lock " +
            ((*lock & kHolderMask) == 0 ? std::string("nobody holds") : "held by " + holderName(*call.core, *lock)));
    return std::nullopt;
  }
  Irql saved = entry->savedIrql;
  held.erase(entry);
  *lock = kMarker;
  call.core->signal(lock);
  return saved;
}

void requireDispatchLevel(KernelCall& call, const char* function) {
  if (call.me->irql != kDispatchLevel) {
    call.report(rule::kSpinLockPairing, "spin lock",
                std::string(function) + " at " + irqlName(call.me->irql) + ", not DISPATCH_LEVEL");
  }
}

}  // namespace
}  // namespace platform::sched

using platform::sched::KernelCall;

extern "C" {

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = platform::sched::kMarker; }

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  KernelCall call("KeAcquireSpinLock");
  KIRQL old = call.me->irql;
  if (old > platform::kDispatchLevel) {
    call.report(platform::rule::kSpinLockPairing, "spin lock",
                "KeAcquireSpinLock at " + platform::sched::irqlName(old) + ", above DISPATCH_LEVEL");
  } else {
    call.me->irql = platform::kDispatchLevel;
  }
  platform::sched::acquire(call, SpinLock, old, "KeAcquireSpinLock");
  return old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  KernelCall call("KeReleaseSpinLock");
  platform::sched::requireDispatchLevel(call, "KeReleaseSpinLock");
  auto saved = platform::sched::release(call, SpinLock, "KeReleaseSpinLock");
  if (saved && *saved != NewIrql) {
    call.report(platform::rule::kSpinLockPairing, "spin lock",
                "KeReleaseSpinLock restores " + platform::sched::irqlName(NewIrql) + "; the lock was acquired at " +
                    platform::sched::irqlName(*saved));
  }
  call.me->irql = NewIrql;
  call.core->yield(call.me, call.lock);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  KernelCall call("KeAcquireSpinLockAtDpcLevel");
  platform::sched::requireDispatchLevel(call, "KeAcquireSpinLockAtDpcLevel");
  platform::sched::acquire(call, SpinLock, call.me->irql, "KeAcquireSpinLockAtDpcLevel");
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  KernelCall call("KeReleaseSpinLockFromDpcLevel");
  platform::sched::requireDispatchLevel(call, "KeReleaseSpinLockFromDpcLevel");
  platform::sched::release(call, SpinLock, "KeReleaseSpinLockFromDpcLevel");
  call.core->yield(call.me, call.lock);
}

}  // extern "C"
