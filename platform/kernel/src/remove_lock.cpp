// Remove locks: a count of holds that release-and-wait drains before a
// device is torn down. The verifier checks that each hold is released once
// and that nothing is acquired after release-and-wait.
#include <platform/verifier.h>

#include "io_state.h"

using namespace platform;
using namespace platform::io;

extern "C" {

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG, ULONG, ULONG, ULONG) {
  Lock->Common.Removed = FALSE;
  Lock->Common.IoCount = 1;
  KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
  IoState::current().removeLocks[Lock] = RemoveLockRecord{};
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR, ULONG, ULONG) {
  auto& state = IoState::current();
  auto found = state.removeLocks.find(RemoveLock);
  if (found == state.removeLocks.end()) {
    reportViolation(rule::kEventInit, "remove lock", "IoAcquireRemoveLock on a lock never initialised");
    return STATUS_DELETE_PENDING;
  }
  InterlockedIncrement(&RemoveLock->Common.IoCount);
  if (RemoveLock->Common.Removed) {
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
      KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_DELETE_PENDING;
  }
  found->second.holds++;
  found->second.holdsByTag[Tag]++;
  return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG) {
  auto& state = IoState::current();
  auto found = state.removeLocks.find(RemoveLock);
  if (found == state.removeLocks.end() || found->second.holds <= 0) {
    reportViolation(rule::kRemoveLockBalance, "remove lock", "IoReleaseRemoveLock without a hold to release");
    return;
  }
  auto& record = found->second;
  record.holds--;
  if (auto tag = record.holdsByTag.find(Tag); tag != record.holdsByTag.end() && --tag->second == 0)
    record.holdsByTag.erase(tag);
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
    KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  auto& state = IoState::current();
  auto found = state.removeLocks.find(RemoveLock);
  if (found == state.removeLocks.end()) {
    reportViolation(rule::kEventInit, "remove lock", "IoReleaseRemoveLockAndWait on a lock never initialised");
    return;
  }
  if (found->second.releasedAndWaited) {
    reportViolation(rule::kRemoveLockReleaseAndWait, "remove lock", "IoReleaseRemoveLockAndWait called twice");
    return;
  }
  found->second.releasedAndWaited = true;
  RemoveLock->Common.Removed = TRUE;
  // The caller's own hold, then the initial bias.
  IoReleaseRemoveLockEx(RemoveLock, Tag, RemlockSize);
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0)
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}

}  // extern "C"
