// The power manager's system face: system and device power IRPs sent to the
// top of a device stack with PoCallDriver, and the power states drivers
// recorded with PoSetPowerState. Each call waits until its IRP completed.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace platform {

struct RecordedPowerState {
  std::string device;     // display name of the device
  POWER_STATE_TYPE type;  // SystemPowerState or DevicePowerState
  ULONG state;            // the SYSTEM_POWER_STATE or DEVICE_POWER_STATE value

  bool operator==(const RecordedPowerState&) const = default;
};

class PowerManager {
 public:
  NTSTATUS querySystemPower(PDEVICE_OBJECT physicalDevice, SYSTEM_POWER_STATE state);
  NTSTATUS setSystemPower(PDEVICE_OBJECT physicalDevice, SYSTEM_POWER_STATE state);
  NTSTATUS queryDevicePower(PDEVICE_OBJECT physicalDevice, DEVICE_POWER_STATE state);
  NTSTATUS setDevicePower(PDEVICE_OBJECT physicalDevice, DEVICE_POWER_STATE state);
  // Any power IRP (IRP_MN_WAIT_WAKE, IRP_MN_POWER_SEQUENCE, ...).
  NTSTATUS send(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction, POWER_STATE_TYPE type, POWER_STATE state);

  // Every PoSetPowerState call so far, in order.
  std::vector<RecordedPowerState> recordedStates() const;
  // The device's state as last recorded with PoSetPowerState (D0 and
  // working until then).
  DEVICE_POWER_STATE devicePowerState(PDEVICE_OBJECT device) const;
  SYSTEM_POWER_STATE systemPowerState(PDEVICE_OBJECT device) const;
};

}  // namespace platform
