#include "reader_stack.h"

#include <algorithm>
#include <stdexcept>
#include <system_error>

#include "driver/DriverEntry.h"
#include "serial/device_line.h"
#include "serial/tty_line.h"
#include "tav712/errors.h"

namespace tav712 {

ReaderStack::ReaderStack(StackOptions options) : options_(std::move(options)) {
  if (!options_.driverImage.empty()) {
    try {
      image_ = platform::image::LoadedImage::load(options_.driverImage);
    } catch (const platform::image::ImageError& error) {
      throw ToolError(ExitStatus::badInput, error.what(),
                      "give the tav712.sys that scripts/check-kernel-build links (build/kernel-image/)");
    }
  }
  platform::SystemOptions systemOptions;
  systemOptions.seed = options_.seed;
  systemOptions.lateWakeupBound = options_.lateWakeupBound;
  systemOptions.clockMode = realTime() ? platform::ClockMode::RealTime : platform::ClockMode::Virtual;
  system_ = std::make_unique<platform::System>(systemOptions);
  serialDriver_ = std::make_unique<serial::SerialDriver>(*system_);
  ports_.push_back(buildPort(options_, ++portsBuilt_));
}

ReaderStack::~ReaderStack() {
  try {
    for (auto& port : ports_) {
      if (port->readerAdded) remove(port->serialPort->physicalDeviceObject());
    }
    if (driver_ != nullptr) unloadDriver();
  } catch (...) {
    // Tearing down after a failure: the scheduler's shutdown unwinds the rest.
  }
  ports_.clear();
  serialDriver_.reset();
  system_.reset();
  image_.reset();
}

std::unique_ptr<ReaderStack::Port> ReaderStack::buildPort(const StackOptions& options, std::size_t number) {
  auto port = std::make_unique<Port>();
  std::unique_ptr<serial::LineBackend> line;
  if (!options.portPath.empty()) {
    try {
      line = serial::makeTtyLine(serial::TtyLineOptions{.path = options.portPath});
    } catch (const std::system_error& error) {
      throw ToolError(ExitStatus::portUnavailable, "cannot open " + options.portPath + ": " + error.code().message(),
                      "check the path, that nothing else holds the port, and that you may open it");
    }
  } else {
    port->timeline = std::make_unique<serial::KernelTimeline>(system_->scheduler().now().time_since_epoch());
    port->reader = emulator::buildReader(*port->timeline, options.knobs);
    if (options.lineBetween) port->between = options.lineBetween(*port->reader, *port->timeline);
    line = serial::makeDeviceLine(port->between ? *port->between : static_cast<line::LineDevice&>(*port->reader));
  }
  serial::SerialPortOptions portOptions = options.portOptions;
  portOptions.name = "COM" + std::to_string(number);
  port->serialPort = std::make_unique<serial::SerialPort>(*serialDriver_, std::move(line), portOptions);
  return port;
}

PDEVICE_OBJECT ReaderStack::addPort(const StackOptions& port) {
  ports_.push_back(buildPort(port, ++portsBuilt_));
  return ports_.back()->serialPort->physicalDeviceObject();
}

void ReaderStack::removePort(PDEVICE_OBJECT device) {
  Port& port = portFor(device);
  if (port.readerAdded) remove(device);
  std::erase_if(ports_, [&](const auto& candidate) { return candidate.get() == &port; });
}

ReaderStack::Port& ReaderStack::portFor(PDEVICE_OBJECT device) {
  return const_cast<Port&>(std::as_const(*this).portFor(device));
}

const ReaderStack::Port& ReaderStack::portFor(PDEVICE_OBJECT device) const {
  if (device == nullptr) {
    if (ports_.empty()) throw std::logic_error("the stack has no port");
    return *ports_.front();
  }
  for (const auto& port : ports_) {
    if (port->serialPort->physicalDeviceObject() == device) return *port;
  }
  throw std::logic_error("no such port in the stack");
}

emulator::Reader* ReaderStack::emulatedReader() { return ports_.empty() ? nullptr : ports_.front()->reader.get(); }

PDEVICE_OBJECT ReaderStack::portDevice() const { return portFor(nullptr).serialPort->physicalDeviceObject(); }

bool ReaderStack::readerAdded(PDEVICE_OBJECT port) const { return !ports_.empty() && portFor(port).readerAdded; }

NTSTATUS ReaderStack::loadDriver() {
  const auto loaded = system_->pnp().loadDriver("tav712", image_ ? image_->driverEntry() : DriverEntry);
  driver_ = loaded.driver;
  return loaded.status;
}

NTSTATUS ReaderStack::addReader(PDEVICE_OBJECT device) {
  Port& port = portFor(device);
  const NTSTATUS status = system_->pnp().addDevice(driver_, port.serialPort->physicalDeviceObject());
  port.readerAdded = NT_SUCCESS(status);
  return status;
}

NTSTATUS ReaderStack::start(PDEVICE_OBJECT device) {
  return system_->pnp().start(portFor(device).serialPort->physicalDeviceObject());
}

NTSTATUS ReaderStack::stop(PDEVICE_OBJECT device) {
  return system_->pnp().stop(portFor(device).serialPort->physicalDeviceObject());
}

NTSTATUS ReaderStack::remove(PDEVICE_OBJECT device) {
  Port& port = portFor(device);
  const NTSTATUS status = system_->pnp().remove(port.serialPort->physicalDeviceObject());
  if (NT_SUCCESS(status)) port.readerAdded = false;
  return status;
}

NTSTATUS ReaderStack::surpriseRemove(PDEVICE_OBJECT device) {
  beginSurpriseRemoval(device);
  return finishRemoval(device);
}

NTSTATUS ReaderStack::beginSurpriseRemoval(PDEVICE_OBJECT device) {
  return system_->pnp().send(portFor(device).serialPort->physicalDeviceObject(), IRP_MN_SURPRISE_REMOVAL);
}

NTSTATUS ReaderStack::finishRemoval(PDEVICE_OBJECT device) {
  Port& port = portFor(device);
  const NTSTATUS status = system_->pnp().send(port.serialPort->physicalDeviceObject(), IRP_MN_REMOVE_DEVICE);
  port.readerAdded = false;
  return status;
}

void ReaderStack::unloadDriver() {
  system_->pnp().unloadDriver(driver_);
  driver_ = nullptr;
  for (auto& port : ports_) port->readerAdded = false;
}

NTSTATUS ReaderStack::bringUp(PDEVICE_OBJECT port) {
  NTSTATUS status = driver_ == nullptr ? loadDriver() : STATUS_SUCCESS;
  if (NT_SUCCESS(status)) status = addReader(port);
  if (NT_SUCCESS(status)) status = start(port);
  return status;
}

NTSTATUS ReaderStack::sleep(SYSTEM_POWER_STATE state) {
  NTSTATUS status = system_->power().querySystemPower(portDevice(), state);
  if (NT_SUCCESS(status)) status = system_->power().setSystemPower(portDevice(), state);
  return status;
}

NTSTATUS ReaderStack::wake() { return system_->power().setSystemPower(portDevice(), PowerSystemWorking); }

}  // namespace tav712
