// The serial port driver's entry and the ports it creates.

#include "serial/serial_port.h"

#include <platform/system.h>

#include <stdexcept>

#include "port_device.h"
#include "serial_driver.h"

namespace serial {

namespace {

NTSTATUS NTAPI serialDispatch(PDEVICE_OBJECT device, PIRP irp) { return PortDevice::of(device).dispatch(irp); }

// Ports are created and deleted by their owners; nothing is left to undo.
VOID NTAPI serialUnload(PDRIVER_OBJECT driver) { (void)driver; }

}  // namespace

NTSTATUS NTAPI SerialDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  (void)registryPath;
  for (PDRIVER_DISPATCH& routine : driver->MajorFunction) routine = &serialDispatch;
  driver->DriverUnload = &serialUnload;
  return STATUS_SUCCESS;
}

SerialDriver::SerialDriver(platform::System& system) : system_(system) {
  const platform::PnpManager::LoadResult loaded = system_.pnp().loadDriver("serial", &SerialDriverEntry);
  if (loaded.status != STATUS_SUCCESS || loaded.driver == nullptr) {
    throw std::runtime_error("the serial port driver did not load");
  }
  driver_ = loaded.driver;
}

SerialDriver::~SerialDriver() {
  if (platform::System::installed() == &system_) system_.pnp().unloadDriver(driver_);
}

SerialPort::SerialPort(SerialDriver& driver, std::unique_ptr<LineBackend> line, SerialPortOptions options) {
  // The name leads every trace entry of the port and ends at its first space.
  if (options.name.empty() || options.name.find(' ') != std::string::npos) {
    throw std::invalid_argument("a port name is one word: \"" + options.name + "\"");
  }
  // A real line delivers bytes on the wall clock; virtual time would jump
  // past them.
  if (line->realTime() && platform::Scheduler::get().clockMode() != platform::ClockMode::RealTime) {
    throw std::invalid_argument(line->name() + " runs in real time; the system's clock must too");
  }
  PDEVICE_OBJECT device = nullptr;
  const NTSTATUS status = IoCreateDevice(driver.object(), sizeof(PortDevice*), nullptr, FILE_DEVICE_SERIAL_PORT,
                                         FILE_DEVICE_SECURE_OPEN, TRUE, &device);
  if (status != STATUS_SUCCESS || device == nullptr) {
    throw std::runtime_error("the serial port driver could not create " + options.name);
  }
  device_ = std::make_shared<PortDevice>(device, std::move(line), std::move(options));
  *static_cast<PortDevice**>(device->DeviceExtension) = device_.get();
  device->Flags |= DO_BUFFERED_IO | DO_BUS_ENUMERATED_DEVICE;
  device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  device_->connect();
}

SerialPort::~SerialPort() {
  device_->shutdown();
  IoDeleteDevice(device_->deviceObject());
}

PDEVICE_OBJECT SerialPort::physicalDeviceObject() const { return device_->deviceObject(); }
LineBackend& SerialPort::line() const { return device_->line(); }
const std::string& SerialPort::name() const { return device_->name(); }
PortSnapshot SerialPort::snapshot() const { return device_->snapshot(); }

}  // namespace serial
