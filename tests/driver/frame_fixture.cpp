#include "frame_fixture.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace tav712::testing {

DriverImageHolder::DriverImageHolder() {
  const char* path = std::getenv("TAV712_DRIVER_IMAGE");
  if (path != nullptr && *path != '\0') image = platform::image::LoadedImage::load(path);
}

FrameTest::FrameTest(platform::SystemOptions options) : SystemTest(options) {
  auto loaded = system.pnp().loadDriver("tav712", image ? image->driverEntry() : DriverEntry);
  EXPECT_EQ(loaded.status, STATUS_SUCCESS);
  driver = loaded.driver;
}

FrameTest::~FrameTest() {
  // DriverUnload removes every reader still present; the PnP manager then
  // requires that the driver left no pool, IRP, work item or device.
  for (std::uint64_t id : openHandles_) system.io().close(platform::Handle{id});
  if (driver != nullptr) system.pnp().unloadDriver(driver);
  for (auto& port : ports_) port->port.reset();
}

ReaderPort& FrameTest::addPort(const emulator::EmulatorKnobs& knobs) {
  auto port = std::make_unique<ReaderPort>();
  port->reader = emulator::buildReader(timeline_, knobs);
  port->port = std::make_unique<serial::SerialPort>(
      serialDriver_, serial::makeDeviceLine(*port->reader),
      serial::SerialPortOptions{.name = "COM" + std::to_string(ports_.size() + 1),
                                .completePowerAtDispatchLevel = portsCompletePowerAtDispatchLevel});
  ports_.push_back(std::move(port));
  return *ports_.back();
}

ReaderPort& FrameTest::startedReader(const emulator::EmulatorKnobs& knobs) {
  ReaderPort& port = addPort(knobs);
  EXPECT_EQ(system.pnp().addDevice(driver, port.physicalDevice()), STATUS_SUCCESS);
  EXPECT_EQ(system.pnp().start(port.physicalDevice()), STATUS_SUCCESS);
  return port;
}

PDEVICE_OBJECT FrameTest::readerDevice(const ReaderPort& port) { return port.physicalDevice()->AttachedDevice; }

PDEVICE_EXTENSION FrameTest::extension(const ReaderPort& port) {
  PDEVICE_OBJECT device = readerDevice(port);
  return device == nullptr ? nullptr : static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
}

std::u16string FrameTest::interfaceName(const ReaderPort& port) {
  const UNICODE_STRING& name = extension(port)->PnPDeviceName;
  return std::u16string(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / sizeof(WCHAR));
}

bool FrameTest::gateOpen(const ReaderPort& port) { return KeReadStateEvent(&extension(port)->ReaderStarted) != 0; }

platform::Handle FrameTest::open(const ReaderPort& port) {
  auto opened = system.io().open(interfaceName(port));
  EXPECT_EQ(opened.status, STATUS_SUCCESS);
  if (opened.handle) openHandles_.push_back(opened.handle.id);
  return opened.handle;
}

NTSTATUS FrameTest::close(platform::Handle handle) {
  std::erase(openHandles_, handle.id);
  return system.io().close(handle);
}

platform::IoResult FrameTest::control(platform::Handle handle, ULONG code, std::vector<std::uint8_t> input,
                                      ULONG outputLength) {
  return system.io().deviceControl(handle, code, input, outputLength);
}

ULONG FrameTest::cardState(platform::Handle handle) {
  auto result = control(handle, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  ULONG state = 0xFFFFFFFF;
  if (result.output.size() == sizeof(ULONG)) std::memcpy(&state, result.output.data(), sizeof state);
  return state;
}

platform::PendingRequest FrameTest::coldReset(platform::Handle handle) {
  const ULONG minorCode = SCARD_COLD_RESET;
  std::vector<std::uint8_t> input(sizeof minorCode);
  std::memcpy(input.data(), &minorCode, sizeof minorCode);
  return system.io().deviceControlAsync(handle, IOCTL_SMARTCARD_POWER, input, 64);
}

}  // namespace tav712::testing
