#include "support/driver_harness.h"

#include <gtest/gtest.h>

#include <serial/device_line.h>
#include <serial/tty_line.h>

#include <stdexcept>

#include "card/ReaderAttributes.h"
#include "driver/Driver.h"
#include "link/ReaderStart.h"
#include "link/SerialChannel.h"

namespace tav712::testing {

namespace {

// Pool tag of the harness's reader record ("THar").
constexpr ULONG kHarnessPoolTag = 0x72614854;

// The reader device's driver: it only owns the device; driver calls reach
// the code under test directly, not through dispatch routines.
NTSTATUS NTAPI harnessDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  (void)driver;
  (void)registryPath;
  return STATUS_SUCCESS;
}

void expectSuccess(NTSTATUS status, const char* what) {
  if (status != STATUS_SUCCESS) throw std::runtime_error(std::string("harness set-up failed: ") + what);
}

}  // namespace

DriverHarness::DriverHarness(HarnessOptions options) : options_(std::move(options)) {
  const auto* terminal = std::get_if<TerminalLine>(&options_.line);
  system_ = std::make_unique<platform::System>(platform::SystemOptions{
      .seed = options_.seed,
      .clockMode = terminal != nullptr ? platform::ClockMode::RealTime : platform::ClockMode::Virtual,
      .lateWakeupBound = options_.lateWakeupBound});
  system_->verifier().setHandler(
      [](const platform::Violation& violation) { ADD_FAILURE() << "verifier: " << violation.describe(); });

  timeline_ = std::make_unique<serial::KernelTimeline>();
  std::unique_ptr<serial::LineBackend> line;
  if (const auto* emulated = std::get_if<EmulatorLine>(&options_.line)) {
    reader_ = emulator::buildReader(*timeline_, emulated->knobs);
    line = serial::makeDeviceLine(*reader_);
  } else if (terminal != nullptr) {
    line = serial::makeTtyLine({.path = terminal->path});
  } else {
    const auto& scripted = std::get<ScriptLine>(options_.line);
    emulator::ScriptParse parsed = emulator::parseScript(scripted.script);
    if (parsed.error) throw std::runtime_error("bad line script: " + *parsed.error);
    script_ = std::make_unique<emulator::ScriptedLine>(*timeline_, std::move(parsed.steps));
    line = serial::makeDeviceLine(*script_, "script");
  }

  scheduler().run(
      [&] {
        serialDriver_ = std::make_unique<serial::SerialDriver>(*system_);
        port_ = std::make_unique<serial::SerialPort>(*serialDriver_, std::move(line));
        recorder_ = std::make_unique<SerialRecorder>(port_->physicalDeviceObject());
      },
      "harness set-up");
  createDevice();
}

DriverHarness::~DriverHarness() {
  destroyDevice();
  scheduler().run(
      [&] {
        recorder_.reset();
        port_.reset();
        serialDriver_.reset();
      },
      "harness teardown");
  runUntilIdle();
  const platform::KernelCensus census = system_->census();
  EXPECT_EQ(system_->poolBlocks(kHarnessPoolTag), 0u) << "reader record left in pool";
  EXPECT_EQ(census.irps, 0u) << "IRPs left at teardown";
  EXPECT_EQ(census.workItems, 0u) << "work items left at teardown";
  reader_.reset();
  script_.reset();
  system_.reset();
  timeline_.reset();
}

PDEVICE_EXTENSION DriverHarness::deviceExtension() const {
  return static_cast<PDEVICE_EXTENSION>(device_->DeviceExtension);
}

PSMARTCARD_EXTENSION DriverHarness::smartcardExtension() const { return &deviceExtension()->SmartcardExtension; }

PREADER_EXTENSION DriverHarness::readerExtension() const { return smartcardExtension()->ReaderExtension; }

// As CreateDevice and AddDevice build a reader device.
void DriverHarness::createDevice() {
  scheduler().run(
      [&] {
        auto loaded = system_->pnp().loadDriver("tav712", harnessDriverEntry);
        if (loaded.driver == nullptr) throw std::runtime_error("harness driver did not load");
        driver_ = loaded.driver;
        expectSuccess(
            IoCreateDevice(driver_, sizeof(DEVICE_EXTENSION), nullptr, FILE_DEVICE_SMARTCARD, 0, TRUE, &device_),
            "IoCreateDevice");

        PDEVICE_EXTENSION deviceExtension = this->deviceExtension();
        KeInitializeEvent(&deviceExtension->ReaderStarted, NotificationEvent, FALSE);
        KeInitializeEvent(&deviceExtension->ReaderClosed, NotificationEvent, TRUE);
        KeInitializeEvent(&deviceExtension->SerialCloseDone, NotificationEvent, TRUE);
        KeInitializeEvent(&deviceExtension->ReaderRemoved, NotificationEvent, FALSE);
        KeInitializeSpinLock(&deviceExtension->SpinLock);

        auto* readerExtension = static_cast<PREADER_EXTENSION>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(READER_EXTENSION), kHarnessPoolTag));
        if (readerExtension == nullptr) throw std::runtime_error("harness set-up failed: reader record");
        RtlZeroMemory(readerExtension, sizeof(READER_EXTENSION));
        deviceExtension->SmartcardExtension.ReaderExtension = readerExtension;
        readerExtension->SmartcardExtension = &deviceExtension->SmartcardExtension;
        readerExtension->BytesWanted = TAV712_NO_BYTES_WANTED;
        InitReaderAttributes(&deviceExtension->SmartcardExtension);

        readerExtension->CloseSerialWorkItem = IoAllocateWorkItem(device_);
        readerExtension->ReadWorkItem = IoAllocateWorkItem(device_);
        if (readerExtension->CloseSerialWorkItem == nullptr || readerExtension->ReadWorkItem == nullptr) {
          throw std::runtime_error("harness set-up failed: work items");
        }
        KeInitializeEvent(&readerExtension->DataAvailable, NotificationEvent, FALSE);
        KeInitializeSpinLock(&readerExtension->ReceiveLock);
        expectSuccess(SmartcardInitialize(&deviceExtension->SmartcardExtension), "SmartcardInitialize");
        deviceExtension->SmartcardExtension.OsData->DeviceObject = device_;
        readerExtension->PowerState = 1;

        readerExtension->AttachedDeviceObject = IoAttachDeviceToDeviceStack(device_, recorder_->deviceObject());
        if (readerExtension->AttachedDeviceObject == nullptr) throw std::runtime_error("harness set-up failed: attach");
        expectSuccess(IoRegisterDeviceInterface(port_->physicalDeviceObject(), &GUID_DEVINTERFACE_SMARTCARD_READER,
                                                nullptr, &deviceExtension->PnPDeviceName),
                      "IoRegisterDeviceInterface");
        device_->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
        device_->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
      },
      "harness create device");
}

// As RemoveDevice tears a reader device down.
void DriverHarness::destroyDevice() {
  if (device_ == nullptr) return;
  scheduler().run(
      [&] {
        PDEVICE_EXTENSION deviceExtension = this->deviceExtension();
        PREADER_EXTENSION readerExtension = this->readerExtension();
        StopDevice(deviceExtension);
        if (readerExtension->AttachedDeviceObject != nullptr) IoDetachDevice(readerExtension->AttachedDeviceObject);
        if (deviceExtension->PnPDeviceName.Buffer != nullptr) RtlFreeUnicodeString(&deviceExtension->PnPDeviceName);
        if (deviceExtension->SmartcardExtension.OsData != nullptr) SmartcardExit(&deviceExtension->SmartcardExtension);
      },
      "harness remove device");
  // Work items still on their way out (a close worker that has just
  // signalled) finish before their items go.
  runUntilIdle();
  scheduler().run(
      [&] {
        PREADER_EXTENSION readerExtension = this->readerExtension();
        IoFreeWorkItem(readerExtension->CloseSerialWorkItem);
        IoFreeWorkItem(readerExtension->ReadWorkItem);
        ExFreePoolWithTag(readerExtension, kHarnessPoolTag);
        IoDeleteDevice(device_);
        system_->pnp().unloadDriver(driver_);
      },
      "harness delete device");
  device_ = nullptr;
}

NTSTATUS DriverHarness::openPort() {
  return call(
      [&]() -> NTSTATUS {
        PIRP irp = IoAllocateIrp(static_cast<CCHAR>(device_->StackSize + 1), FALSE);
        if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        IO_STATUS_BLOCK ioStatus{};
        IoSetNextIrpStackLocation(irp);
        irp->UserIosb = &ioStatus;
        IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
        NTSTATUS status = CallSerialDriver(readerExtension()->AttachedDeviceObject, irp);
        IoFreeIrp(irp);
        return status;
      },
      "open port");
}

NTSTATUS DriverHarness::openLink() {
  NTSTATUS status = openPort();
  if (status != STATUS_SUCCESS) return status;
  return call(
      [&]() -> NTSTATUS {
        PREADER_EXTENSION readerExtension = this->readerExtension();
        readerExtension->ReadCharTimeout = 50;
        readerExtension->ReadTotalTimeout = 100;
        SERIAL_CONFIG config{};
        config.HandFlow.FlowReplace = SERIAL_XOFF_CONTINUE;
        config.Timeouts.ReadIntervalTimeout = 50;
        config.Timeouts.ReadTotalTimeoutConstant = 100;
        config.Timeouts.WriteTotalTimeoutConstant = 1000;
        config.BaudRate.BaudRate = 19200;
        config.LineControl.WordLength = 8;
        config.WaitMask = SERIAL_EV_RXCHAR | SERIAL_EV_DSR;
        config.PurgeMask = SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
        // As the reader start does: the link counts as open before the wait is
        // armed, so that a wait ending at once can close it again.
        KeClearEvent(&deviceExtension()->SerialCloseDone);
        const NTSTATUS configured = ConfigureSerialPort(readerExtension, &config);
        if (configured != STATUS_SUCCESS) KeSetEvent(&deviceExtension()->SerialCloseDone, IO_NO_INCREMENT, FALSE);
        return configured;
      },
      "open link");
}

bool DriverHarness::linkOpen() const {
  return device_ != nullptr && KeReadStateEvent(&deviceExtension()->SerialCloseDone) == 0;
}

}  // namespace tav712::testing
