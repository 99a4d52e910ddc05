// The recording filter: a WDM filter driver of its own, so it sees requests
// exactly as the serial driver below receives them.
#include "support/serial_recorder.h"

#include <platform/scheduler.h>
#include <platform/system.h>

#include <cstdio>
#include <stdexcept>

namespace tav712::testing {

namespace {

struct RecorderExtension {
  SerialRecorder* recorder;
  PDEVICE_OBJECT lower;
};

RecorderExtension& extensionOf(PDEVICE_OBJECT device) {
  return *static_cast<RecorderExtension*>(device->DeviceExtension);
}

Bytes bufferBytes(const void* buffer, ULONG length) {
  if (buffer == nullptr || length == 0) return {};
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  return Bytes(bytes, bytes + length);
}

NTSTATUS NTAPI recorderCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  extensionOf(device).recorder->recordCompleted(reinterpret_cast<std::size_t>(context), irp->IoStatus.Status,
                                                platform::Scheduler::get().now());
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI recorderDispatch(PDEVICE_OBJECT device, PIRP irp) {
  RecorderExtension& extension = extensionOf(device);
  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);

  if (stack->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(extension.lower, irp);
  }

  SerialRequest request;
  request.sentAt = platform::Scheduler::get().now();
  request.majorFunction = stack->MajorFunction;
  switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
      request.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
      request.input = bufferBytes(irp->AssociatedIrp.SystemBuffer, stack->Parameters.DeviceIoControl.InputBufferLength);
      request.length = stack->Parameters.DeviceIoControl.OutputBufferLength;
      break;
    case IRP_MJ_WRITE:
      request.input = bufferBytes(irp->AssociatedIrp.SystemBuffer, stack->Parameters.Write.Length);
      request.length = stack->Parameters.Write.Length;
      break;
    case IRP_MJ_READ: request.length = stack->Parameters.Read.Length; break;
    default: break;
  }
  const std::size_t index = extension.recorder->recordSent(request);
  if (const std::optional<NTSTATUS> refusal = extension.recorder->takeFailure(request)) {
    extension.recorder->recordCompleted(index, *refusal, platform::Scheduler::get().now());
    irp->IoStatus.Status = *refusal;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return *refusal;
  }

  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, recorderCompletion, reinterpret_cast<PVOID>(index), TRUE, TRUE, TRUE);
  return IofCallDriver(extension.lower, irp);
}

NTSTATUS NTAPI recorderDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  (void)registryPath;
  for (PDRIVER_DISPATCH& routine : driver->MajorFunction) routine = recorderDispatch;
  return STATUS_SUCCESS;
}

const char* majorName(UCHAR major) {
  switch (major) {
    case IRP_MJ_CREATE: return "CREATE";
    case IRP_MJ_CLOSE: return "CLOSE";
    case IRP_MJ_READ: return "READ";
    case IRP_MJ_WRITE: return "WRITE";
    case IRP_MJ_DEVICE_CONTROL: return "CONTROL";
    case IRP_MJ_CLEANUP: return "CLEANUP";
    case IRP_MJ_PNP: return "PNP";
    default: return "OTHER";
  }
}

}  // namespace

std::string SerialRequest::describe() const {
  std::string text = majorName(majorFunction);
  if (majorFunction == IRP_MJ_DEVICE_CONTROL) {
    char code[16];
    std::snprintf(code, sizeof code, " 0x%08X", static_cast<unsigned>(ioControlCode));
    text += code;
    if (!input.empty()) text += " in " + hex(input);
  } else if (majorFunction == IRP_MJ_WRITE) {
    text += " " + hex(input);
  } else if (majorFunction == IRP_MJ_READ) {
    text += " " + std::to_string(length);
  }
  return text;
}

SerialRecorder::SerialRecorder(PDEVICE_OBJECT lower) : lower_(lower) {
  auto loaded = platform::System::installed()->pnp().loadDriver("recorder", recorderDriverEntry);
  if (loaded.driver == nullptr) throw std::runtime_error("the recorder driver did not load");
  driver_ = loaded.driver;
  if (IoCreateDevice(driver_, sizeof(RecorderExtension), nullptr, lower->DeviceType, 0, FALSE, &device_) !=
      STATUS_SUCCESS) {
    throw std::runtime_error("the recorder device could not be created");
  }
  RecorderExtension& extension = extensionOf(device_);
  extension.recorder = this;
  extension.lower = IoAttachDeviceToDeviceStack(device_, lower);
  if (extension.lower == nullptr) throw std::runtime_error("the recorder could not attach to the port");
  device_->Flags |= extension.lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
  device_->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
}

SerialRecorder::~SerialRecorder() {
  IoDetachDevice(extensionOf(device_).lower);
  IoDeleteDevice(device_);
}

std::size_t SerialRecorder::recordSent(const SerialRequest& request) {
  std::lock_guard lock(mutex_);
  requests_.push_back(request);
  return requests_.size() - 1;
}

void SerialRecorder::recordCompleted(std::size_t index, NTSTATUS status, platform::Instant when) {
  std::lock_guard lock(mutex_);
  if (index >= requests_.size()) return;
  requests_[index].status = status;
  requests_[index].completedAt = when;
}

std::vector<SerialRequest> SerialRecorder::requests() const {
  std::lock_guard lock(mutex_);
  return {requests_.begin() + static_cast<std::ptrdiff_t>(firstShown_), requests_.end()};
}

std::vector<Bytes> SerialRecorder::writes() const {
  std::vector<Bytes> bytes;
  for (const SerialRequest& request : requests()) {
    if (request.majorFunction == IRP_MJ_WRITE) bytes.push_back(request.input);
  }
  return bytes;
}

void SerialRecorder::failNext(UCHAR majorFunction, NTSTATUS status, ULONG ioControlCode) {
  std::lock_guard lock(mutex_);
  failures_.push_back(PlannedFailure{majorFunction, ioControlCode, status});
}

std::optional<NTSTATUS> SerialRecorder::takeFailure(const SerialRequest& request) {
  std::lock_guard lock(mutex_);
  for (auto failure = failures_.begin(); failure != failures_.end(); ++failure) {
    if (failure->majorFunction != request.majorFunction) continue;
    if (request.majorFunction == IRP_MJ_DEVICE_CONTROL && failure->ioControlCode != request.ioControlCode) continue;
    const NTSTATUS status = failure->status;
    failures_.erase(failure);
    return status;
  }
  return std::nullopt;
}

void SerialRecorder::clear() {
  std::lock_guard lock(mutex_);
  firstShown_ = requests_.size();
}

}  // namespace tav712::testing
