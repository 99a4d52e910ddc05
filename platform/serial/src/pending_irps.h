#pragma once
// A first-in first-out queue of pending IRPs of one kind (reads, writes, the
// wait-on-mask), each cancellable while it waits. Every call is made under
// the port's spin lock. The protocol is the platform's: an IRP carries a
// cancel routine while queued; whoever clears that routine (the completer
// through claim(), or the I/O manager by calling it) owns the IRP.

#include <wdm.h>

#include <algorithm>
#include <cstddef>
#include <deque>

namespace serial {

class PendingIrps {
 public:
  // Queues a pending IRP with its cancel routine. False when the IRP was
  // cancelled before it could be queued: the caller then completes it.
  bool push(PIRP irp, PDRIVER_CANCEL cancelRoutine) {
    IoSetCancelRoutine(irp, cancelRoutine);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) return false;
    irps_.push_back(irp);
    return true;
  }

  // Takes the IRP out to complete it. False when its cancel routine already
  // owns it; it then stays queued until that routine removes it.
  bool claim(PIRP irp) {
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) return false;
    remove(irp);
    return true;
  }

  // For the cancel routine: false when the IRP is not in this queue.
  bool remove(PIRP irp) {
    const auto found = std::find(irps_.begin(), irps_.end(), irp);
    if (found == irps_.end()) return false;
    irps_.erase(found);
    return true;
  }

  bool contains(PIRP irp) const { return std::find(irps_.begin(), irps_.end(), irp) != irps_.end(); }
  PIRP front() const { return irps_.empty() ? nullptr : irps_.front(); }
  bool empty() const { return irps_.empty(); }
  std::size_t size() const { return irps_.size(); }
  auto begin() const { return irps_.begin(); }
  auto end() const { return irps_.end(); }

 private:
  std::deque<PIRP> irps_;
};

}  // namespace serial
