// The I/O manager's tables, the per-thread driver frames and the names that
// reports and the trace use.
#include "io_state.h"

#include <platform/scheduler.h>

#include <cstdio>
#include <new>

#include "installed.h"
#include "poison.h"

namespace platform::io {

IoState& IoState::current() { return detail::Installed<IoState>::current(); }
void IoState::install(IoState* state) { detail::Installed<IoState>::install(state); }

IoState::IoState() { KeInitializeSpinLock(&cancelLock); }
// Whatever drivers leaked (and the verifier reported) goes with the system.
IoState::~IoState() {
  for (const auto& [block, record] : pool) ::operator delete (const_cast<void*>(block), std::align_val_t{16});
  for (const auto& [object, record] : devices)
    if (record->deleted && record->extension)
      unpoisonMemory(record->extension.get(), record->object.Size - sizeof(DEVICE_OBJECT));
}

DriverRecord* IoState::driver(const DRIVER_OBJECT* object) {
  auto found = drivers.find(object);
  return found == drivers.end() ? nullptr : found->second.get();
}

DeviceRecord* IoState::device(const DEVICE_OBJECT* object) {
  auto found = devices.find(object);
  return found == devices.end() ? nullptr : found->second.get();
}

std::shared_ptr<IrpRecord> IoState::irp(const IRP* irp) {
  auto found = irps.find(irp);
  return found == irps.end() ? nullptr : found->second;
}

std::optional<std::uint64_t> IoState::freedIrpId(const IRP* irp) const {
  auto found = freedIrps.find(irp);
  if (found == freedIrps.end()) return std::nullopt;
  return found->second;
}

std::string IoState::describe(const IRP* irp) {
  auto record = this->irp(irp);
  if (!record) {
    if (auto id = freedIrpId(irp)) return "IRP#" + std::to_string(*id) + " (freed)";
    return "IRP (unknown)";
  }
  std::string text = "IRP#" + std::to_string(record->id);
  if (irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount) {
    const IO_STACK_LOCATION* location = irp->Tail.Overlay.CurrentStackLocation;
    if (location->MajorFunction != kUnsetMajorFunction)
      text += " " + minorFunctionName(location->MajorFunction, location->MinorFunction);
  }
  return text;
}

std::string IoState::describe(const DEVICE_OBJECT* object) {
  if (object == nullptr) return "(no device)";
  DeviceRecord* record = device(object);
  return record == nullptr ? "(unknown device)" : record->name;
}

std::string IoState::describeObject(const void* object) {
  if (auto* record = driver(static_cast<const DRIVER_OBJECT*>(object))) return "driver " + record->name;
  if (auto* record = device(static_cast<const DEVICE_OBJECT*>(object))) return record->name;
  return object == nullptr ? "(none)" : "(unknown object)";
}

void IoState::releaseDeviceIfUnused(DeviceRecord* record) {
  if (record == nullptr || !record->deleted || record->kernelReferences > 0 || record->object.ReferenceCount > 0)
    return;
  if (record->extension) unpoisonMemory(record->extension.get(), record->object.Size - sizeof(DEVICE_OBJECT));
  devices.erase(&record->object);
}

void IoState::freeIrp(const std::shared_ptr<IrpRecord>& record) {
  record->freed = true;
  freedIrps[record->irp] = record->id;
  irps.erase(record->irp);
  record->systemBuffer.reset();
  record->memory.reset();
}

// ---- Frames ----------------------------------------------------------------

FrameScope::FrameScope(FrameKind kind, DriverRecord* driver, PDEVICE_OBJECT device, PIRP irp)
    : frame_{kind, driver, device, irp}, outer_(innermost()) {
  kernelThreadLocals().ioFrames = this;
}

FrameScope::~FrameScope() { kernelThreadLocals().ioFrames = outer_; }

FrameScope* FrameScope::innermost() { return static_cast<FrameScope*>(kernelThreadLocals().ioFrames); }

DriverRecord* currentDriver() {
  for (FrameScope* scope = FrameScope::innermost(); scope != nullptr; scope = scope->outer())
    if (scope->frame().driver != nullptr) return scope->frame().driver;
  return nullptr;
}

Frame* innermostFrame(FrameKind kind) {
  for (FrameScope* scope = FrameScope::innermost(); scope != nullptr; scope = scope->outer())
    if (scope->frame().kind == kind) return &scope->frame();
  return nullptr;
}

// ---- PnP status ------------------------------------------------------------

bool pnpStatusRequired(UCHAR minorFunction) {
  switch (minorFunction) {
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: return true;
    default: return false;
  }
}

bool pnpMustSucceed(UCHAR minorFunction) {
  return pnpStatusRequired(minorFunction) && minorFunction != IRP_MN_QUERY_REMOVE_DEVICE &&
         minorFunction != IRP_MN_QUERY_STOP_DEVICE;
}

// ---- Names -----------------------------------------------------------------

std::string hex32(ULONG value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::string majorFunctionName(UCHAR majorFunction) {
  static const char* const names[] = {"IRP_MJ_CREATE",
                                      "IRP_MJ_CREATE_NAMED_PIPE",
                                      "IRP_MJ_CLOSE",
                                      "IRP_MJ_READ",
                                      "IRP_MJ_WRITE",
                                      "IRP_MJ_QUERY_INFORMATION",
                                      "IRP_MJ_SET_INFORMATION",
                                      "IRP_MJ_QUERY_EA",
                                      "IRP_MJ_SET_EA",
                                      "IRP_MJ_FLUSH_BUFFERS",
                                      "IRP_MJ_QUERY_VOLUME_INFORMATION",
                                      "IRP_MJ_SET_VOLUME_INFORMATION",
                                      "IRP_MJ_DIRECTORY_CONTROL",
                                      "IRP_MJ_FILE_SYSTEM_CONTROL",
                                      "IRP_MJ_DEVICE_CONTROL",
                                      "IRP_MJ_INTERNAL_DEVICE_CONTROL",
                                      "IRP_MJ_SHUTDOWN",
                                      "IRP_MJ_LOCK_CONTROL",
                                      "IRP_MJ_CLEANUP",
                                      "IRP_MJ_CREATE_MAILSLOT",
                                      "IRP_MJ_QUERY_SECURITY",
                                      "IRP_MJ_SET_SECURITY",
                                      "IRP_MJ_POWER",
                                      "IRP_MJ_SYSTEM_CONTROL",
                                      "IRP_MJ_DEVICE_CHANGE",
                                      "IRP_MJ_QUERY_QUOTA",
                                      "IRP_MJ_SET_QUOTA",
                                      "IRP_MJ_PNP"};
  if (majorFunction <= IRP_MJ_MAXIMUM_FUNCTION) return names[majorFunction];
  return "IRP_MJ_" + hex32(majorFunction);
}

std::string minorFunctionName(UCHAR majorFunction, UCHAR minorFunction) {
  std::string major = majorFunctionName(majorFunction);
  if (majorFunction == IRP_MJ_PNP) {
    static const char* const names[] = {
        "IRP_MN_START_DEVICE", "IRP_MN_QUERY_REMOVE_DEVICE", "IRP_MN_REMOVE_DEVICE",     "IRP_MN_CANCEL_REMOVE_DEVICE",
        "IRP_MN_STOP_DEVICE",  "IRP_MN_QUERY_STOP_DEVICE",   "IRP_MN_CANCEL_STOP_DEVICE"};
    if (minorFunction < 7) return major + " " + names[minorFunction];
    if (minorFunction == IRP_MN_SURPRISE_REMOVAL) return major + " IRP_MN_SURPRISE_REMOVAL";
    return major + " minor " + std::to_string(minorFunction);
  }
  if (majorFunction == IRP_MJ_POWER) {
    static const char* const names[] = {"IRP_MN_WAIT_WAKE", "IRP_MN_POWER_SEQUENCE", "IRP_MN_SET_POWER",
                                        "IRP_MN_QUERY_POWER"};
    if (minorFunction < 4) return major + " " + names[minorFunction];
    return major + " minor " + std::to_string(minorFunction);
  }
  return major;
}

std::string statusName(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS: return "STATUS_SUCCESS";
    case STATUS_TIMEOUT: return "STATUS_TIMEOUT";
    case STATUS_PENDING: return "STATUS_PENDING";
    case STATUS_DEVICE_BUSY: return "STATUS_DEVICE_BUSY";
    case STATUS_UNSUCCESSFUL: return "STATUS_UNSUCCESSFUL";
    case STATUS_NOT_IMPLEMENTED: return "STATUS_NOT_IMPLEMENTED";
    case STATUS_INVALID_PARAMETER: return "STATUS_INVALID_PARAMETER";
    case STATUS_INVALID_DEVICE_REQUEST: return "STATUS_INVALID_DEVICE_REQUEST";
    case STATUS_UNRECOGNIZED_MEDIA: return "STATUS_UNRECOGNIZED_MEDIA";
    case STATUS_MORE_PROCESSING_REQUIRED: return "STATUS_MORE_PROCESSING_REQUIRED";
    case STATUS_NO_MEMORY: return "STATUS_NO_MEMORY";
    case STATUS_ACCESS_DENIED: return "STATUS_ACCESS_DENIED";
    case STATUS_BUFFER_TOO_SMALL: return "STATUS_BUFFER_TOO_SMALL";
    case STATUS_DATA_OVERRUN: return "STATUS_DATA_OVERRUN";
    case STATUS_DATA_ERROR: return "STATUS_DATA_ERROR";
    case STATUS_CRC_ERROR: return "STATUS_CRC_ERROR";
    case STATUS_INSUFFICIENT_RESOURCES: return "STATUS_INSUFFICIENT_RESOURCES";
    case STATUS_IO_TIMEOUT: return "STATUS_IO_TIMEOUT";
    case STATUS_NOT_SUPPORTED: return "STATUS_NOT_SUPPORTED";
    case STATUS_CANCELLED: return "STATUS_CANCELLED";
    case STATUS_DEVICE_PROTOCOL_ERROR: return "STATUS_DEVICE_PROTOCOL_ERROR";
    case STATUS_DEVICE_REMOVED: return "STATUS_DEVICE_REMOVED";
    case STATUS_DELETE_PENDING: return "STATUS_DELETE_PENDING";
    case STATUS_OBJECT_NAME_NOT_FOUND: return "STATUS_OBJECT_NAME_NOT_FOUND";
    case STATUS_OBJECT_NAME_EXISTS: return "STATUS_OBJECT_NAME_EXISTS";
    default: return hex32(static_cast<ULONG>(status));
  }
}

std::string toUtf8(std::u16string_view text) {
  std::string out;
  for (char16_t c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string toUtf16(std::string_view text) {
  // Names in this system are ASCII; anything else is kept byte for byte.
  std::u16string out;
  for (char c : text) out += static_cast<char16_t>(static_cast<unsigned char>(c));
  return out;
}

}  // namespace platform::io
