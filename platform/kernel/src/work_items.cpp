// Work items on the system worker queues: a work item is queued at most once
// at a time, runs at PASSIVE_LEVEL on a critical or delayed worker thread
// with its device object referenced, and is freed once, never while queued.
#include <platform/driver_code.h>
#include <platform/faults.h>
#include <platform/scheduler.h>
#include <platform/verifier.h>

#include "io_state.h"

using namespace platform;
using namespace platform::io;

namespace {

WorkItemRecord* findItem(IoState& state, PIO_WORKITEM item, const char* call) {
  auto found = state.workItems.find(item);
  if (found == state.workItems.end()) {
    reportViolation(rule::kDoubleFree, "work item",
                    std::string(call) + " of a work item that was freed or never allocated");
    return nullptr;
  }
  return found->second.get();
}

}  // namespace

extern "C" {

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  auto& state = IoState::current();
  DeviceRecord* device = state.device(DeviceObject);
  if (device == nullptr || device->deleted) {
    reportViolation(rule::kBadObject, "IoAllocateWorkItem", "not a device object");
    return nullptr;
  }
  if (FaultInjector::current().shouldFail(fault::kWorkItem, __builtin_return_address(0))) return nullptr;
  auto record = std::make_unique<WorkItemRecord>();
  record->item = std::make_unique<IO_WORKITEM>();
  record->item->DeviceObject = DeviceObject;
  record->device = device;
  record->driver = device->driver;
  record->id = state.nextWorkItemId++;
  PIO_WORKITEM item = record->item.get();
  state.workItems[item] = std::move(record);
  return item;
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context) {
  auto& state = IoState::current();
  WorkItemRecord* record = findItem(state, IoWorkItem, "IoQueueWorkItem");
  if (record == nullptr) return;
  std::string name = record->device->name + " work item #" + std::to_string(record->id);
  if (record->queued) {
    reportViolation(rule::kWorkItems, name, "queued again while it is still queued");
    return;
  }
  record->queued = true;
  PDEVICE_OBJECT deviceObject = IoWorkItem->DeviceObject;
  ObfReferenceObject(deviceObject);
  WorkQueue queue = QueueType == DelayedWorkQueue ? WorkQueue::Delayed : WorkQueue::Critical;
  queueWork(
      queue,
      [IoWorkItem, WorkerRoutine, Context, deviceObject] {
        auto& current = IoState::current();
        auto found = current.workItems.find(IoWorkItem);
        if (found == current.workItems.end()) return;
        WorkItemRecord* item = found->second.get();
        item->queued = false;
        {
          // The worker thread checks IRQL and spin locks at the item's end.
          FrameScope frame(FrameKind::WorkItem, item->driver, deviceObject);
          callDriverCode(WorkerRoutine, deviceObject, Context);
        }
        // A free requested while the item was queued takes effect now.
        auto again = current.workItems.find(IoWorkItem);
        if (again != current.workItems.end() && again->second->freeRequested && !again->second->queued)
          current.workItems.erase(again);
        ObfDereferenceObject(deviceObject);
      },
      name);
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  auto& state = IoState::current();
  WorkItemRecord* record = findItem(state, IoWorkItem, "IoFreeWorkItem");
  if (record == nullptr) return;
  if (record->freeRequested) {
    reportViolation(rule::kDoubleFree, record->device->name + " work item #" + std::to_string(record->id),
                    "IoFreeWorkItem twice");
    return;
  }
  if (record->queued) {
    reportViolation(rule::kWorkItems, record->device->name + " work item #" + std::to_string(record->id),
                    "freed while still queued");
    record->freeRequested = true;  // kept until it has run, so nothing touches freed memory
    return;
  }
  state.workItems.erase(IoWorkItem);
}

}  // extern "C"
