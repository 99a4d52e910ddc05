#include "reader_stack.h"

#include <system_error>

#include "driver/DriverEntry.h"
#include "serial/device_line.h"
#include "serial/tty_line.h"
#include "tav712/errors.h"

namespace tav712 {

ReaderStack::ReaderStack(StackOptions options) : options_(std::move(options)) {
  platform::SystemOptions systemOptions;
  systemOptions.seed = options_.seed;
  systemOptions.clockMode = realTime() ? platform::ClockMode::RealTime : platform::ClockMode::Virtual;
  system_ = std::make_unique<platform::System>(systemOptions);

  serialDriver_ = std::make_unique<serial::SerialDriver>(*system_);
  std::unique_ptr<serial::LineBackend> line;
  if (!options_.portPath.empty()) {
    try {
      line = serial::makeTtyLine(serial::TtyLineOptions{.path = options_.portPath});
    } catch (const std::system_error& error) {
      throw ToolError(ExitStatus::portUnavailable,
                      "cannot open " + options_.portPath + ": " + error.code().message(),
                      "check the path, that nothing else holds the port, and that you may open it");
    }
  } else {
    timeline_ = std::make_unique<serial::KernelTimeline>();
    reader_ = emulator::buildReader(*timeline_, options_.knobs);
    line = serial::makeDeviceLine(*reader_);
  }
  port_ = std::make_unique<serial::SerialPort>(*serialDriver_, std::move(line), serial::SerialPortOptions{});
}

ReaderStack::~ReaderStack() {
  try {
    if (readerAdded_) remove();
    if (driver_ != nullptr) unloadDriver();
  } catch (...) {
    // Tearing down after a failure: the scheduler's shutdown unwinds the rest.
  }
  port_.reset();
  serialDriver_.reset();
  reader_.reset();
  timeline_.reset();
  system_.reset();
}

PDEVICE_OBJECT ReaderStack::portDevice() const { return port_->physicalDeviceObject(); }

NTSTATUS ReaderStack::loadDriver() {
  const auto loaded = system_->pnp().loadDriver("tav712", DriverEntry);
  driver_ = loaded.driver;
  return loaded.status;
}

NTSTATUS ReaderStack::addReader() {
  const NTSTATUS status = system_->pnp().addDevice(driver_, portDevice());
  readerAdded_ = NT_SUCCESS(status);
  return status;
}

NTSTATUS ReaderStack::start() {
  const NTSTATUS status = system_->pnp().start(portDevice());
  started_ = NT_SUCCESS(status);
  return status;
}

NTSTATUS ReaderStack::stop() {
  const NTSTATUS status = system_->pnp().stop(portDevice());
  if (NT_SUCCESS(status)) started_ = false;
  return status;
}

NTSTATUS ReaderStack::remove() {
  const NTSTATUS status = system_->pnp().remove(portDevice());
  if (NT_SUCCESS(status)) readerAdded_ = started_ = false;
  return status;
}

NTSTATUS ReaderStack::surpriseRemove() {
  const NTSTATUS status = system_->pnp().surpriseRemove(portDevice());
  readerAdded_ = started_ = false;
  return status;
}

void ReaderStack::unloadDriver() {
  system_->pnp().unloadDriver(driver_);
  driver_ = nullptr;
  readerAdded_ = started_ = false;
}

NTSTATUS ReaderStack::bringUp() {
  NTSTATUS status = loadDriver();
  if (NT_SUCCESS(status)) status = addReader();
  if (NT_SUCCESS(status)) status = start();
  return status;
}

NTSTATUS ReaderStack::sleep(SYSTEM_POWER_STATE state) {
  NTSTATUS status = system_->power().querySystemPower(portDevice(), state);
  if (NT_SUCCESS(status)) status = system_->power().setSystemPower(portDevice(), state);
  return status;
}

NTSTATUS ReaderStack::wake() { return system_->power().setSystemPower(portDevice(), PowerSystemWorking); }

}  // namespace tav712
