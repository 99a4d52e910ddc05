// The power manager's system face: power IRPs to a device stack, and the
// recorded power states.
#include <platform/power_manager.h>
#include <platform/trace.h>

#include "system_requests.h"

namespace platform {

using namespace io;

NTSTATUS PowerManager::send(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction, POWER_STATE_TYPE type,
                            POWER_STATE state) {
  SystemRequest request;
  request.target = physicalDevice;
  request.power = true;
  request.setUp = [&](IrpRecord& record, PIO_STACK_LOCATION location) {
    record.isPower = true;
    location->MajorFunction = IRP_MJ_POWER;
    location->MinorFunction = minorFunction;
    if (minorFunction == IRP_MN_WAIT_WAKE) {
      location->Parameters.WaitWake.PowerState = state.SystemState;
    } else {
      location->Parameters.Power.Type = type;
      location->Parameters.Power.State = state;
      if (type == SystemPowerState)
        location->Parameters.Power.ShutdownType = state.SystemState == PowerSystemWorking     ? PowerActionNone
                                                  : state.SystemState == PowerSystemHibernate ? PowerActionHibernate
                                                  : state.SystemState == PowerSystemShutdown  ? PowerActionShutdown
                                                                                              : PowerActionSleep;
    }
  };
  RequestResult result = sendAndWait(request);
  Trace::current().add(TraceCategory::Power, minorFunctionName(IRP_MJ_POWER, minorFunction) + " " +
                                                 (type == SystemPowerState ? "system " : "device ") +
                                                 std::to_string(static_cast<ULONG>(state.SystemState)) + ": " +
                                                 statusName(result.status));
  return result.status;
}

static POWER_STATE systemPower(SYSTEM_POWER_STATE state) {
  POWER_STATE power{};
  power.SystemState = state;
  return power;
}

static POWER_STATE devicePower(DEVICE_POWER_STATE state) {
  POWER_STATE power{};
  power.DeviceState = state;
  return power;
}

NTSTATUS PowerManager::querySystemPower(PDEVICE_OBJECT physicalDevice, SYSTEM_POWER_STATE state) {
  return send(physicalDevice, IRP_MN_QUERY_POWER, SystemPowerState, systemPower(state));
}

NTSTATUS PowerManager::setSystemPower(PDEVICE_OBJECT physicalDevice, SYSTEM_POWER_STATE state) {
  return send(physicalDevice, IRP_MN_SET_POWER, SystemPowerState, systemPower(state));
}

NTSTATUS PowerManager::queryDevicePower(PDEVICE_OBJECT physicalDevice, DEVICE_POWER_STATE state) {
  return send(physicalDevice, IRP_MN_QUERY_POWER, DevicePowerState, devicePower(state));
}

NTSTATUS PowerManager::setDevicePower(PDEVICE_OBJECT physicalDevice, DEVICE_POWER_STATE state) {
  return send(physicalDevice, IRP_MN_SET_POWER, DevicePowerState, devicePower(state));
}

std::vector<RecordedPowerState> PowerManager::recordedStates() const {
  std::vector<RecordedPowerState> recorded;
  for (const auto& entry : IoState::current().recordedPowerStates)
    recorded.push_back({entry.device, entry.type, entry.state});
  return recorded;
}

DEVICE_POWER_STATE PowerManager::devicePowerState(PDEVICE_OBJECT device) const {
  DeviceRecord* record = IoState::current().device(device);
  return record == nullptr ? PowerDeviceUnspecified : record->devicePowerState;
}

SYSTEM_POWER_STATE PowerManager::systemPowerState(PDEVICE_OBJECT device) const {
  DeviceRecord* record = IoState::current().device(device);
  return record == nullptr ? PowerSystemUnspecified : record->systemPowerState;
}

}  // namespace platform
