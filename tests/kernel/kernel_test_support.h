// A system with the two test drivers loaded and one stack built: a physical
// device of the lower driver with the upper driver's device attached, and
// helpers that issue requests into the stack as a driver would.
#pragma once

#include <platform/testing.h>

#include <cstdint>
#include <vector>

#include "mini_drivers.h"

namespace kernel_test {

inline constexpr ULONG kBufferedIoctl = CTL_CODE(FILE_DEVICE_SMARTCARD, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct BuiltRequestResult {
  NTSTATUS returned;         // what IoCallDriver returned
  IO_STATUS_BLOCK ioStatus;  // the status block the I/O manager wrote
  std::vector<std::uint8_t> output;
};

class StackTest : public platform::testing::SystemTest {
 public:
  explicit StackTest(platform::SystemOptions options = {}) : SystemTest(options) {
    mini::reset();
    lowerDriver = system.pnp().loadDriver("lower", mini::LowerDriverEntry).driver;
    upperDriver = system.pnp().loadDriver("upper", mini::UpperDriverEntry).driver;
    physicalDevice = mini::createPhysicalDevice(lowerDriver, u"\\Device\\MiniPort0");
  }

  // AddDevice and start; the upper device is then the top of the stack.
  void buildStack() {
    ASSERT_EQ(system.pnp().addDevice(upperDriver, physicalDevice), STATUS_SUCCESS);
    ASSERT_EQ(system.pnp().start(physicalDevice), STATUS_SUCCESS);
    upperDevice = physicalDevice->AttachedDevice;
    mini::steps.clear();
  }

  // IoBuildDeviceIoControlRequest to the top of the stack, sent and waited
  // for.
  BuiltRequestResult sendBuiltRequest(ULONG ioControlCode, std::vector<std::uint8_t> input, ULONG outputLength) {
    BuiltRequestResult result{};
    result.output.assign(outputLength, 0xEE);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(
        ioControlCode, upperDevice, input.empty() ? nullptr : input.data(), static_cast<ULONG>(input.size()),
        outputLength == 0 ? nullptr : result.output.data(), outputLength, FALSE, &event, &result.ioStatus);
    if (irp == nullptr) {
      result.returned = STATUS_INSUFFICIENT_RESOURCES;
      return result;
    }
    result.returned = IoCallDriver(upperDevice, irp);
    if (result.returned == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return result;
  }

  // Tears the stack down cleanly so that the unload checks pass.
  void removeAndUnload() {
    if (unloaded) return;
    unloaded = true;
    if (physicalDevice->AttachedDevice != nullptr) {
      EXPECT_EQ(system.pnp().remove(physicalDevice), STATUS_SUCCESS);
    }
    IoDeleteDevice(physicalDevice);
    system.pnp().unloadDriver(upperDriver);
    system.pnp().unloadDriver(lowerDriver);
  }

  PDRIVER_OBJECT lowerDriver = nullptr;
  PDRIVER_OBJECT upperDriver = nullptr;
  PDEVICE_OBJECT physicalDevice = nullptr;
  PDEVICE_OBJECT upperDevice = nullptr;
  bool unloaded = false;
};

// A test that starts with the stack built and ends by taking it down.
class BuiltStackTest : public StackTest {
 protected:
  void SetUp() override { buildStack(); }
  void TearDown() override { removeAndUnload(); }
};

}  // namespace kernel_test
