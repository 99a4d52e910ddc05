// Device interfaces: registration on a physical device object gives a
// symbolic link name (allocated from pool for the caller, freed with
// RtlFreeUnicodeString); enabling makes the interface visible to
// applications, which can open only enabled interfaces.
#include <platform/faults.h>
#include <platform/trace.h>
#include <platform/verifier.h>

#include <cstdio>
#include <cstring>

#include "io_state.h"

using namespace platform;
using namespace platform::io;

namespace {

std::u16string guidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1, guid.Data2,
                guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                guid.Data4[6], guid.Data4[7]);
  return toUtf16(text);
}

// The link name: \??\<physical device's name>#<reference>#{class}.
std::u16string linkName(const DeviceRecord& physical, const GUID& guid, const std::u16string& reference) {
  std::u16string device = physical.deviceName.empty() ? toUtf16(physical.name) : physical.deviceName;
  for (auto& c : device)
    if (c == u'\\') c = u'#';
  while (!device.empty() && device.front() == u'#') device.erase(device.begin());
  std::u16string name = u"\\??\\" + device + u"#";
  if (!reference.empty()) name += reference + u"#";
  return name + guidText(guid);
}

}  // namespace

extern "C" {

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, CONST GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  auto& state = IoState::current();
  DeviceRecord* physical = state.device(PhysicalDeviceObject);
  if (physical == nullptr || physical->deleted || physical->lower != nullptr) {
    reportViolation(rule::kBadObject, "IoRegisterDeviceInterface", "not a physical device object");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (FaultInjector::current().shouldFail(fault::kRegisterInterface, __builtin_return_address(0)))
    return STATUS_INSUFFICIENT_RESOURCES;
  std::u16string reference;
  if (ReferenceString != nullptr && ReferenceString->Buffer != nullptr)
    reference.assign(ReferenceString->Buffer, ReferenceString->Length / sizeof(WCHAR));
  std::u16string link = linkName(*physical, *InterfaceClassGuid, reference);

  std::size_t bytes = (link.size() + 1) * sizeof(WCHAR);
  auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, 0x20206F49 /* 'Io  ' */));
  if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memcpy(buffer, link.c_str(), bytes);
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);

  bool known = false;
  for (const auto& registered : state.interfaces) known = known || registered.symbolicLink == link;
  if (!known)
    state.interfaces.push_back(InterfaceRecord{PhysicalDeviceObject, *InterfaceClassGuid, reference, link, false});
  Trace::current().add(TraceCategory::Pnp, "interface registered " + toUtf8(link));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  auto& state = IoState::current();
  if (SymbolicLinkName == nullptr || SymbolicLinkName->Buffer == nullptr) return STATUS_INVALID_PARAMETER;
  std::u16string link(SymbolicLinkName->Buffer, SymbolicLinkName->Length / sizeof(WCHAR));
  if (FaultInjector::current().shouldFail(fault::kSetInterfaceState, __builtin_return_address(0)))
    return STATUS_INSUFFICIENT_RESOURCES;
  for (auto& registered : state.interfaces) {
    if (registered.symbolicLink != link) continue;
    if (Enable && registered.enabled) return STATUS_OBJECT_NAME_EXISTS;
    if (!Enable && !registered.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
    registered.enabled = Enable != FALSE;
    Trace::current().add(TraceCategory::Pnp,
                         std::string("interface ") + (Enable ? "enabled " : "disabled ") + toUtf8(link));
    return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

}  // extern "C"
