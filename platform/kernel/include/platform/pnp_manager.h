// The Plug and Play manager: loads drivers by their DriverEntry, adds
// devices on physical device objects, and drives the start, stop, removal
// and surprise-removal sequences with PnP IRPs sent to the top of a device
// stack. Each call waits until the IRP it sends has completed.
#pragma once

#include <wdm.h>

#include <string_view>

namespace platform {

class PnpManager {
 public:
  struct LoadResult {
    NTSTATUS status;
    PDRIVER_OBJECT driver;  // null when DriverEntry failed
  };

  // Creates the driver object (\Driver\<name>) and calls DriverEntry with
  // its registry path.
  LoadResult loadDriver(std::string_view name, PDRIVER_INITIALIZE driverEntry);
  // Calls DriverUnload; then every pool block, IRP, work item and device the
  // driver still owns is a no-leaks violation.
  void unloadDriver(PDRIVER_OBJECT driver);

  // Calls the driver's AddDevice for the physical device object. On success
  // every device the driver created must have DO_DEVICE_INITIALIZING
  // cleared (initialising-cleared).
  NTSTATUS addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice);

  // IRP_MN_START_DEVICE.
  NTSTATUS start(PDEVICE_OBJECT physicalDevice);
  // IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE when it succeeds or
  // IRP_MN_CANCEL_STOP_DEVICE when it fails. Returns the query's status if
  // refused, otherwise the stop's.
  NTSTATUS stop(PDEVICE_OBJECT physicalDevice);
  // IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE or
  // IRP_MN_CANCEL_REMOVE_DEVICE, as stop(). After the remove every device
  // above the physical device must be detached and deleted (remove-deletes)
  // and the physical device's interfaces are disabled.
  NTSTATUS remove(PDEVICE_OBJECT physicalDevice);
  // IRP_MN_SURPRISE_REMOVAL (after which no device may be deleted yet),
  // then IRP_MN_REMOVE_DEVICE.
  NTSTATUS surpriseRemove(PDEVICE_OBJECT physicalDevice);
  // One PnP IRP with the given minor code, nothing else; remove-deletes is
  // still checked after IRP_MN_REMOVE_DEVICE.
  NTSTATUS send(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction);
};

}  // namespace platform
