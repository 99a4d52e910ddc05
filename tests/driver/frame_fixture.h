// The driver frame as the system sees it: the TAV712 driver loaded by the
// PnP manager, reader devices added on COM ports whose far ends are
// emulated TAV712 readers, and applications reaching them through the I/O
// manager. Virtual time, seeded, the verifier failing the test on any
// violation; the driver is unloaded at the end, which checks that it left
// nothing behind.
#pragma once

#include <platform/image.h>
#include <platform/testing.h>
#include <serial/device_line.h>
#include <serial/serial_port.h>

#include "driver/Driver.h"
#include "emulator/knobs.h"
#include "emulator/reader.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tav712::testing {

using namespace std::chrono_literals;

// One COM port with an emulated reader at its far end.
struct ReaderPort {
  std::unique_ptr<emulator::Reader> reader;
  std::unique_ptr<serial::SerialPort> port;

  PDEVICE_OBJECT physicalDevice() const { return port->physicalDeviceObject(); }
};

// The kernel image the frame's tests run over when TAV712_DRIVER_IMAGE names
// one (tav712.sys as linked for Windows); the host build otherwise. A base
// before the system, so that the image is unmapped only after the system
// and its threads are gone.
struct DriverImageHolder {
  DriverImageHolder();
  std::unique_ptr<platform::image::LoadedImage> image;
};

class FrameTest : private DriverImageHolder, public platform::testing::SystemTest {
 protected:
  explicit FrameTest(std::uint64_t seed = 1) : FrameTest(platform::SystemOptions{.seed = seed}) {}
  explicit FrameTest(platform::SystemOptions options);
  ~FrameTest() override;

  // A new COM port (COM1, COM2, ...) with a reader built from the knobs.
  ReaderPort& addPort(const emulator::EmulatorKnobs& knobs = {});
  // A port with the reader device added and started on it.
  ReaderPort& startedReader(const emulator::EmulatorKnobs& knobs = {});

  // The reader device on a port, or null when none is attached.
  static PDEVICE_OBJECT readerDevice(const ReaderPort& port);
  static PDEVICE_EXTENSION extension(const ReaderPort& port);
  // The symbolic link of the reader's device interface.
  static std::u16string interfaceName(const ReaderPort& port);
  // Whether requests may pass the gate (ReaderStarted is signalled).
  static bool gateOpen(const ReaderPort& port);

  platform::Handle open(const ReaderPort& port);
  // Closes a handle that open() gave; handles a failed test left open are
  // closed before the driver is unloaded.
  NTSTATUS close(platform::Handle handle);
  // A device-control request with a ULONG answer (or none).
  platform::IoResult control(platform::Handle handle, ULONG code, std::vector<std::uint8_t> input = {},
                             ULONG outputLength = 0);
  ULONG cardState(platform::Handle handle);
  // A cold reset of the card (IOCTL_SMARTCARD_POWER), sent on a request thread.
  platform::PendingRequest coldReset(platform::Handle handle);

  PDRIVER_OBJECT driver = nullptr;
  // Ports added from now on complete power requests at DISPATCH_LEVEL (from
  // an interrupt context) instead of in their dispatch routine.
  bool portsCompletePowerAtDispatchLevel = false;

 private:
  serial::SerialDriver serialDriver_{system};
  serial::KernelTimeline timeline_;
  std::vector<std::unique_ptr<ReaderPort>> ports_;
  std::vector<std::uint64_t> openHandles_;
};

}  // namespace tav712::testing
