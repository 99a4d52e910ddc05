// Driver and device objects: creation with zero-filled extensions, device
// stacks (attach, detach, stack sizes), deletion and references.
#include <platform/faults.h>
#include <platform/trace.h>
#include <platform/verifier.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "io_state.h"
#include "poison.h"

using namespace platform;
using namespace platform::io;

namespace platform::io {

DriverRecord* createDriver(std::string_view name) {
  auto record = std::make_unique<DriverRecord>();
  record->name = std::string(name);
  record->driverName = u"\\Driver\\" + toUtf16(name);
  record->registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + toUtf16(name);
  DRIVER_OBJECT& object = record->object;
  object.Type = IO_TYPE_DRIVER;
  object.Size = static_cast<CSHORT>(sizeof(DRIVER_OBJECT));
  object.DriverExtension = &record->extension;
  record->extension.DriverObject = &object;
  object.DriverName.Buffer = record->driverName.data();
  object.DriverName.Length = static_cast<USHORT>(record->driverName.size() * sizeof(WCHAR));
  object.DriverName.MaximumLength = object.DriverName.Length;
  DriverRecord* raw = record.get();
  IoState::current().drivers[&raw->object] = std::move(record);
  return raw;
}

PDEVICE_OBJECT topOfStack(PDEVICE_OBJECT device) {
  while (device != nullptr && device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

void checkDriverLeftNothing(DriverRecord* driver) {
  auto& state = IoState::current();
  std::string name = "driver " + driver->name;
  if (driver->object.DeviceObject != nullptr)
    reportViolation(rule::kNoLeaks, name,
                    "device " + state.describe(driver->object.DeviceObject) + " still exists after unload");
  std::size_t blocks = 0;
  std::size_t bytes = 0;
  std::string tags;
  for (const auto& [address, block] : state.pool) {
    if (block.driver != driver) continue;
    ++blocks;
    bytes += block.size;
    char tag[5] = {};
    std::memcpy(tag, &block.tag, 4);
    if (tags.find(tag) == std::string::npos) tags += std::string(tags.empty() ? "" : ",") + tag;
  }
  if (blocks > 0)
    reportViolation(rule::kNoLeaks, name,
                    std::to_string(blocks) + " pool block(s), " + std::to_string(bytes) +
                        " bytes, left at unload (tags " + tags + ")");
  for (const auto& [irp, record] : state.irps)
    if (record->owner == driver && record->origin != IrpOrigin::System)
      reportViolation(rule::kNoLeaks, name, state.describe(irp) + " left at unload");
  for (const auto& [item, record] : state.workItems)
    if (record->driver == driver)
      reportViolation(rule::kNoLeaks, name, "work item #" + std::to_string(record->id) + " left at unload");
}

// delete-idle: a device is deleted only when no request sent to it is
// outstanding, that is, none still sits at one of its stack locations. The
// request whose dispatch routine deletes the device on this thread, as
// IRP_MN_REMOVE_DEVICE does, is the one exception.
void checkDeviceIdle(IoState& state, DeviceRecord* record) {
  PDEVICE_OBJECT device = &record->object;
  std::vector<PIRP> ownDispatches;
  for (FrameScope* scope = FrameScope::innermost(); scope != nullptr; scope = scope->outer())
    if (scope->frame().kind == FrameKind::Dispatch && scope->frame().device == device)
      ownDispatches.push_back(scope->frame().irp);
  for (const auto& [irp, irpRecord] : state.irps) {
    if (std::find(ownDispatches.begin(), ownDispatches.end(), irp) != ownDispatches.end()) continue;
    const auto* first = reinterpret_cast<const IO_STACK_LOCATION*>(irp + 1);
    for (CCHAR level = irp->CurrentLocation; level >= 1 && level <= irp->StackCount; ++level) {
      const IO_STACK_LOCATION& location = first[level - 1];
      if (location.MajorFunction != kUnsetMajorFunction && location.DeviceObject == device) {
        reportViolation(rule::kDeleteIdle, record->name,
                        "IoDeleteDevice while " + state.describe(irp) + " sent to it is outstanding");
        break;
      }
    }
  }
}

}  // namespace platform::io

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
  auto& state = IoState::current();
  *DeviceObject = nullptr;
  DriverRecord* driver = state.driver(DriverObject);
  if (driver == nullptr) {
    reportViolation(rule::kBadObject, "IoCreateDevice", "not a driver object");
    return STATUS_INVALID_PARAMETER;
  }
  if (FaultInjector::current().shouldFail(fault::kCreateDevice, __builtin_return_address(0)))
    return STATUS_INSUFFICIENT_RESOURCES;

  std::u16string name;
  if (DeviceName != nullptr && DeviceName->Buffer != nullptr)
    name.assign(DeviceName->Buffer, DeviceName->Length / sizeof(WCHAR));
  if (!name.empty())
    for (const auto& [object, other] : state.devices)
      if (!other->deleted && other->deviceName == name) return STATUS_OBJECT_NAME_COLLISION;

  auto record = std::make_unique<DeviceRecord>();
  record->driver = driver;
  record->deviceName = name;
  record->name = name.empty() ? driver->name + "#" + std::to_string(++driver->devicesCreated) : toUtf8(name);
  if (DeviceExtensionSize > 0) {
    record->extension = std::make_unique<std::byte[]>(DeviceExtensionSize);  // zero-filled
  }
  DEVICE_OBJECT& object = record->object;
  object.Type = IO_TYPE_DEVICE;
  object.Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  object.DriverObject = DriverObject;
  object.DeviceExtension = record->extension.get();
  object.DeviceType = DeviceType;
  object.Characteristics = DeviceCharacteristics;
  object.StackSize = 1;
  object.Flags = DO_DEVICE_INITIALIZING;
  if (Exclusive) object.Flags |= DO_EXCLUSIVE;
  if (!name.empty()) object.Flags |= DO_DEVICE_HAS_NAME;
  object.NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = &object;
  *DeviceObject = &object;
  state.devices[&object] = std::move(record);
  return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  auto& state = IoState::current();
  DeviceRecord* record = state.device(DeviceObject);
  if (record == nullptr || record->deleted) {
    reportViolation(record == nullptr ? rule::kBadObject : rule::kDoubleFree, state.describe(DeviceObject),
                    "IoDeleteDevice of a device that does not exist");
    return;
  }
  for (const auto& [item, workItem] : state.workItems)
    if (workItem->device == record)
      reportViolation(rule::kNoLeaks, record->name,
                      "work item #" + std::to_string(workItem->id) + " not freed before IoDeleteDevice");
  if (record->extension) {
    auto* begin = record->extension.get();
    auto* end = begin + (DeviceObject->Size - sizeof(DEVICE_OBJECT));
    for (const auto& [lock, lockRecord] : state.removeLocks) {
      auto* address = reinterpret_cast<const std::byte*>(lock);
      if (address >= begin && address < end && lockRecord.holds > 0 && !lockRecord.releasedAndWaited)
        reportViolation(rule::kRemoveLockBalance, record->name,
                        std::to_string(lockRecord.holds) + " remove-lock hold(s) not released at IoDeleteDevice");
    }
  }
  checkDeviceIdle(state, record);
  // Off the driver's list.
  PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
  while (*link != nullptr && *link != DeviceObject) link = &(*link)->NextDevice;
  if (*link == DeviceObject) *link = DeviceObject->NextDevice;
  DeviceObject->NextDevice = nullptr;
  record->deleted = true;
  // The extension is dead to the driver from now on, though the object stays
  // while references to it remain: it holds the pattern of freed memory and,
  // under AddressSanitizer, touching it is a use-after-poison.
  if (record->extension) {
    std::size_t size = DeviceObject->Size - sizeof(DEVICE_OBJECT);
    std::memset(record->extension.get(), kDeletedExtensionFill, size);
    poisonMemory(record->extension.get(), size);
  }
  Trace::current().add(TraceCategory::Pnp, record->name + " deleted");
  state.releaseDeviceIfUnused(record);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  auto& state = IoState::current();
  DeviceRecord* source = state.device(SourceDevice);
  DeviceRecord* target = state.device(TargetDevice);
  if (source == nullptr || target == nullptr || target->deleted) {
    reportViolation(rule::kBadObject, "IoAttachDeviceToDeviceStack", "source or target is not a device");
    return nullptr;
  }
  if (FaultInjector::current().shouldFail(fault::kAttach, __builtin_return_address(0))) return nullptr;
  PDEVICE_OBJECT top = topOfStack(TargetDevice);
  top->AttachedDevice = SourceDevice;
  source->lower = top;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  Trace::current().add(TraceCategory::Pnp, source->name + " attached on " + state.describe(top));
  return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  auto& state = IoState::current();
  DeviceRecord* target = state.device(TargetDevice);
  if (target == nullptr || TargetDevice->AttachedDevice == nullptr) {
    reportViolation(rule::kBadObject, state.describe(TargetDevice), "IoDetachDevice with nothing attached");
    return;
  }
  if (DeviceRecord* above = state.device(TargetDevice->AttachedDevice)) above->lower = nullptr;
  Trace::current().add(TraceCategory::Pnp,
                       state.describe(TargetDevice->AttachedDevice) + " detached from " + target->name);
  TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) { return topOfStack(DeviceObject); }

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_OBJECT top = topOfStack(DeviceObject);
  ObfReferenceObject(top);
  return top;
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object) {
  DeviceRecord* record = IoState::current().device(static_cast<PDEVICE_OBJECT>(Object));
  if (record == nullptr) return 1;  // other objects live as long as their owner keeps them
  return ++record->kernelReferences;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  auto& state = IoState::current();
  DeviceRecord* record = state.device(static_cast<PDEVICE_OBJECT>(Object));
  if (record == nullptr) return 0;
  if (record->kernelReferences <= 0) {
    reportViolation(rule::kBadObject, record->name, "ObDereferenceObject without a reference");
    return 0;
  }
  LONG_PTR left = --record->kernelReferences;
  state.releaseDeviceIfUnused(record);
  return left;
}

}  // extern "C"
