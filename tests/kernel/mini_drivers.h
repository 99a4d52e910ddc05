// Two small drivers for the kernel's tests: a bus driver ("lower") that owns
// physical devices and completes or parks what reaches it, and a function
// driver ("upper") that attaches on top and forwards. Their behaviour is set
// per test through the configs below; every step they take is appended to
// `steps` so that tests can assert the order of dispatch and completion.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <string>
#include <vector>

namespace mini {

DEFINE_GUID(GUID_MINI_INTERFACE, 0x1b2c3d4e, 0x0001, 0x0002, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a);

enum class LowerMode { Complete, Pend };

struct LowerConfig {
  LowerMode mode = LowerMode::Complete;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  std::vector<std::uint8_t> reply;  // written into the system buffer
};

enum class UpperForward {
  Skip,                // IoSkipCurrentIrpStackLocation
  CopyWithCompletion,  // IoCopyCurrentIrpStackLocationToNext + completion routine
  WaitForLower,        // completion routine returns MORE_PROCESSING_REQUIRED, dispatch waits and completes
};

struct UpperConfig {
  UpperForward forward = UpperForward::CopyWithCompletion;
  NTSTATUS replaceStatusAfterWait = STATUS_SUCCESS;  // WaitForLower: what the upper completes with
  UCHAR refusePnpMinor = 0xFF;                       // a PnP minor code the upper refuses with STATUS_DEVICE_BUSY
};

struct UpperExtension {
  PDEVICE_OBJECT lowerDevice;
  UNICODE_STRING interfaceName;
  KEVENT forwardDone;
};

extern LowerConfig lowerConfig;
extern UpperConfig upperConfig;
extern std::vector<std::string> steps;
extern std::vector<PIRP> parkedIrps;
// The bytes the lower driver found in the system buffer of its last
// device-control request.
extern std::vector<std::uint8_t> lastInput;

// Clears configs, steps and parked IRPs.
void reset();

DRIVER_INITIALIZE LowerDriverEntry;
DRIVER_INITIALIZE UpperDriverEntry;

// A physical device of the lower driver.
PDEVICE_OBJECT createPhysicalDevice(PDRIVER_OBJECT lowerDriver, const char16_t* name);
// Completes the oldest parked IRP with the given status (its cancel routine
// cleared first); false when none is parked or it is being cancelled.
bool completeParked(NTSTATUS status, ULONG_PTR information = 0);

}  // namespace mini
