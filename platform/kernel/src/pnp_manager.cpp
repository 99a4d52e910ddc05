// The Plug and Play manager: driver loading and the PnP IRP sequences.
#include <platform/driver_code.h>
#include <platform/code_names.h>
#include <platform/pnp_manager.h>
#include <platform/scheduler.h>
#include <platform/trace.h>
#include <platform/verifier.h>

#include <algorithm>
#include <vector>

#include "system_requests.h"

namespace platform {

using namespace io;

namespace {

void tracePnp(const std::string& text) { Trace::current().add(TraceCategory::Pnp, text); }

// The devices stacked above a physical device, bottom first.
std::vector<PDEVICE_OBJECT> devicesAbove(PDEVICE_OBJECT physicalDevice) {
  std::vector<PDEVICE_OBJECT> above;
  for (PDEVICE_OBJECT device = physicalDevice->AttachedDevice; device != nullptr; device = device->AttachedDevice)
    above.push_back(device);
  return above;
}

}  // namespace

PnpManager::LoadResult PnpManager::loadDriver(std::string_view name, PDRIVER_INITIALIZE driverEntry) {
  DriverRecord* driver = createDriver(name);
  tracePnp("load driver " + driver->name);
  UNICODE_STRING registryPath;
  registryPath.Buffer = driver->registryPath.data();
  registryPath.Length = static_cast<USHORT>(driver->registryPath.size() * sizeof(WCHAR));
  registryPath.MaximumLength = registryPath.Length;
  NTSTATUS status;
  {
    FrameScope frame(FrameKind::DriverEntry, driver);
    RoutineCheck check("DriverEntry" + routineSuffix(driverEntry));
    status = callDriverCode(driverEntry, &driver->object, &registryPath);
    check.verifyReturn();
  }
  if (!NT_SUCCESS(status)) {
    tracePnp("driver " + driver->name + " failed to load: " + statusName(status));
    checkDriverLeftNothing(driver);
    driver->unloaded = true;
    return {status, nullptr};
  }
  return {status, &driver->object};
}

void PnpManager::unloadDriver(PDRIVER_OBJECT driverObject) {
  auto& state = IoState::current();
  DriverRecord* driver = state.driver(driverObject);
  if (driver == nullptr || driver->unloaded) {
    reportViolation(rule::kBadObject, "unloadDriver", "not a loaded driver");
    return;
  }
  tracePnp("unload driver " + driver->name);
  if (driverObject->DriverUnload != nullptr) {
    FrameScope frame(FrameKind::Unload, driver);
    RoutineCheck check("DriverUnload" + routineSuffix(driverObject->DriverUnload));
    callDriverCode(driverObject->DriverUnload, driverObject);
    check.verifyReturn();
  }
  driver->unloaded = true;
  checkDriverLeftNothing(driver);
}

NTSTATUS PnpManager::addDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDevice) {
  auto& state = IoState::current();
  DriverRecord* driver = state.driver(driverObject);
  if (driver == nullptr || driverObject->DriverExtension->AddDevice == nullptr) {
    reportViolation(rule::kBadObject, "addDevice", "driver without AddDevice");
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  std::vector<PDEVICE_OBJECT> before;
  for (PDEVICE_OBJECT device = driverObject->DeviceObject; device != nullptr; device = device->NextDevice)
    before.push_back(device);
  tracePnp("AddDevice " + driver->name + " on " + state.describe(physicalDevice));
  NTSTATUS status;
  {
    FrameScope frame(FrameKind::AddDevice, driver);
    RoutineCheck check("AddDevice" + routineSuffix(driverObject->DriverExtension->AddDevice));
    status = callDriverCode(driverObject->DriverExtension->AddDevice, driverObject, physicalDevice);
    check.verifyReturn();
  }
  tracePnp("AddDevice " + driver->name + " returned " + statusName(status));
  if (NT_SUCCESS(status))
    for (PDEVICE_OBJECT device = driverObject->DeviceObject; device != nullptr; device = device->NextDevice) {
      bool isNew = std::find(before.begin(), before.end(), device) == before.end();
      if (isNew && (device->Flags & DO_DEVICE_INITIALIZING))
        reportViolation(rule::kInitialisingCleared, state.describe(device),
                        "AddDevice returned without clearing DO_DEVICE_INITIALIZING");
    }
  return status;
}

NTSTATUS PnpManager::send(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction) {
  auto& state = IoState::current();
  std::vector<PDEVICE_OBJECT> above = devicesAbove(physicalDevice);
  // The PnP manager keeps its references on the stack's devices while the
  // request is under way, so a device deleted during removal stays readable.
  for (PDEVICE_OBJECT device : above) ObfReferenceObject(device);
  SystemRequest request;
  request.target = physicalDevice;
  request.setUp = [minorFunction](IrpRecord&, PIO_STACK_LOCATION location) {
    location->MajorFunction = IRP_MJ_PNP;
    location->MinorFunction = minorFunction;
  };
  RequestResult result = sendAndWait(request);
  tracePnp(minorFunctionName(IRP_MJ_PNP, minorFunction) + " on " + state.describe(physicalDevice) + ": " +
           statusName(result.status));

  // pnp-status: the cancels, stop and removal end with plain success.
  if (pnpMustSucceed(minorFunction) && !plainSuccess(result.status))
    reportViolation(rule::kPnpStatus, state.describe(physicalDevice),
                    minorFunctionName(IRP_MJ_PNP, minorFunction) + " ended with " + statusName(result.status) +
                        "; no driver may fail it or end it with an informational status");
  if (minorFunction == IRP_MN_REMOVE_DEVICE) {
    for (PDEVICE_OBJECT device : above) {
      DeviceRecord* record = state.device(device);
      if (record != nullptr && !record->deleted)
        reportViolation(rule::kRemoveDeletes, record->name, "not deleted after IRP_MN_REMOVE_DEVICE");
    }
    if (physicalDevice->AttachedDevice != nullptr)
      reportViolation(rule::kRemoveDeletes, state.describe(physicalDevice->AttachedDevice),
                      "still attached after IRP_MN_REMOVE_DEVICE");
    for (auto& registered : state.interfaces)
      if (registered.physicalDevice == physicalDevice) registered.enabled = false;
  }
  if (minorFunction == IRP_MN_SURPRISE_REMOVAL)
    for (PDEVICE_OBJECT device : above) {
      DeviceRecord* record = state.device(device);
      if (record == nullptr || record->deleted)
        reportViolation(rule::kRemoveDeletes, record != nullptr ? record->name : "device",
                        "deleted on IRP_MN_SURPRISE_REMOVAL; only IRP_MN_REMOVE_DEVICE deletes");
    }
  for (PDEVICE_OBJECT device : above) ObfDereferenceObject(device);
  return result.status;
}

NTSTATUS PnpManager::start(PDEVICE_OBJECT physicalDevice) { return send(physicalDevice, IRP_MN_START_DEVICE); }

namespace {

struct QueriedChange {
  UCHAR query;
  UCHAR cancel;
  UCHAR change;
};

// A stop or removal is asked first; a refusal is followed by its cancel.
NTSTATUS sendQueried(PnpManager& manager, PDEVICE_OBJECT physicalDevice, QueriedChange minors) {
  NTSTATUS query = manager.send(physicalDevice, minors.query);
  if (!NT_SUCCESS(query)) {
    manager.send(physicalDevice, minors.cancel);
    return query;
  }
  return manager.send(physicalDevice, minors.change);
}

}  // namespace

NTSTATUS PnpManager::stop(PDEVICE_OBJECT physicalDevice) {
  return sendQueried(*this, physicalDevice, {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_STOP_DEVICE});
}

NTSTATUS PnpManager::remove(PDEVICE_OBJECT physicalDevice) {
  return sendQueried(*this, physicalDevice,
                     {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE});
}

NTSTATUS PnpManager::surpriseRemove(PDEVICE_OBJECT physicalDevice) {
  send(physicalDevice, IRP_MN_SURPRISE_REMOVAL);
  return send(physicalDevice, IRP_MN_REMOVE_DEVICE);
}

}  // namespace platform
