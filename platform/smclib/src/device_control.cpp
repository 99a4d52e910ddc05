// SmartcardDeviceControl: checks the caller's buffers, serves the smart card
// control requests one at a time per reader, calls the driver's callbacks and
// completes the request (or leaves a card-tracking request parked).
#include <platform/driver_code.h>
#include "library_state.h"
#include "requests.h"
#include "t1_engine.h"

namespace smclib {

ULONG readUlong(const UCHAR* bytes) {
  ULONG value;
  RtlCopyMemory(&value, bytes, sizeof value);
  return value;
}

void writeUlong(UCHAR* bytes, ULONG value) { RtlCopyMemory(bytes, &value, sizeof value); }

ULONG currentState(SMARTCARD_EXTENSION& extension) {
  KIRQL irql;
  KeAcquireSpinLock(&extension.OsData->SpinLock, &irql);
  const ULONG state = extension.ReaderCapabilities.CurrentState;
  KeReleaseSpinLock(&extension.OsData->SpinLock, irql);
  return state;
}

void setStateIfCardPresent(SMARTCARD_EXTENSION& extension, ULONG state) {
  KIRQL irql;
  KeAcquireSpinLock(&extension.OsData->SpinLock, &irql);
  if (extension.ReaderCapabilities.CurrentState > SCARD_ABSENT) extension.ReaderCapabilities.CurrentState = state;
  KeReleaseSpinLock(&extension.OsData->SpinLock, irql);
}

namespace {

constexpr ULONG kVendorFirst = 2048;
constexpr ULONG kVendorLast = 4095;

bool isVendorCode(ULONG code) {
  const ULONG function = (code >> 2) & 0xFFF;
  return DEVICE_TYPE_FROM_CTL_CODE(code) == FILE_DEVICE_SMARTCARD && function >= kVendorFirst &&
         function <= kVendorLast;
}

NTSTATUS callSlot(SMARTCARD_EXTENSION& extension, ULONG slot) {
  auto* callback = extension.ReaderFunction[slot];
  if (callback == nullptr) return STATUS_NOT_SUPPORTED;
  return platform::callDriverCode(callback, &extension);
}

NTSTATUS handleUlongAnswer(RequestBuffers& request, ULONG value) {
  if (request.outLength < sizeof(ULONG) || request.out == nullptr) return STATUS_BUFFER_TOO_SMALL;
  writeUlong(request.out, value);
  request.information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

// Requests of the mechanical kind: only a reader with the mechanism serves them.
NTSTATUS handleMechanical(SMARTCARD_EXTENSION& extension, ULONG slot) {
  if (extension.ReaderFunction[slot] == nullptr) return STATUS_NOT_SUPPORTED;
  return callSlot(extension, slot);
}

// The request's own status travels in IoStatus; the driver's vendor callback
// sets Information itself.
NTSTATUS serveVendor(SMARTCARD_EXTENSION& extension, PIRP irp, RequestBuffers& request) {
  if (extension.ReaderFunction[RDF_IOCTL_VENDOR] == nullptr) return STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  const NTSTATUS status = platform::callDriverCode(extension.ReaderFunction[RDF_IOCTL_VENDOR], &extension);
  const ULONG_PTR information = irp->IoStatus.Information;
  request.information = information <= request.outLength ? static_cast<ULONG>(information) : request.outLength;
  return status;
}

NTSTATUS serve(SMARTCARD_EXTENSION& extension, PIRP irp, ULONG code, RequestBuffers& request) {
  if (isVendorCode(code)) return serveVendor(extension, irp, request);
  switch (code) {
    case IOCTL_SMARTCARD_POWER: return handlePower(extension, request);
    case IOCTL_SMARTCARD_GET_ATTRIBUTE: return handleGetAttribute(extension, request);
    case IOCTL_SMARTCARD_SET_ATTRIBUTE: return handleSetAttribute(extension, request);
    case IOCTL_SMARTCARD_SET_PROTOCOL: return handleSetProtocol(extension, request);
    case IOCTL_SMARTCARD_TRANSMIT: return handleTransmit(extension, request);
    case IOCTL_SMARTCARD_IS_PRESENT: return handleCardTracking(extension, request, true);
    case IOCTL_SMARTCARD_IS_ABSENT: return handleCardTracking(extension, request, false);
    case IOCTL_SMARTCARD_GET_STATE: return handleUlongAnswer(request, currentState(extension));
    case IOCTL_SMARTCARD_GET_LAST_ERROR: return handleUlongAnswer(request, extension.LastError);
    case IOCTL_SMARTCARD_EJECT: return handleMechanical(extension, RDF_CARD_EJECT);
    case IOCTL_SMARTCARD_SWALLOW: return handleMechanical(extension, RDF_READER_SWALLOW);
    case IOCTL_SMARTCARD_CONFISCATE: return handleMechanical(extension, RDF_CARD_CONFISCATE);
    default: return STATUS_INVALID_DEVICE_REQUEST;
  }
}

}  // namespace
}  // namespace smclib

extern "C" NTSTATUS SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp) {
  using namespace smclib;
  auto& extension = *SmartcardExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (extension.OsData == nullptr || stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  auto* system = static_cast<UCHAR*>(Irp->AssociatedIrp.SystemBuffer);
  RequestBuffers request{Irp,
                         system,
                         stack->Parameters.DeviceIoControl.InputBufferLength,
                         system,
                         stack->Parameters.DeviceIoControl.OutputBufferLength,
                         0};

  NTSTATUS status;
  if (METHOD_FROM_CTL_CODE(code) != METHOD_BUFFERED && !isVendorCode(code)) {
    status = STATUS_INVALID_DEVICE_REQUEST;
  } else if (system == nullptr && (request.inLength != 0 || request.outLength != 0)) {
    status = STATUS_INVALID_PARAMETER;  // lengths without a buffer
  } else {
    auto& state = libraryState(extension);
    KeWaitForSingleObject(&state.requestGate, Executive, KernelMode, FALSE, nullptr);
    extension.MajorIoControlCode = code;
    extension.OsData->CurrentIrp = Irp;
    extension.IoRequest.Information = &request.information;
    status = serve(extension, Irp, code, request);
    extension.IoRequest.Information = nullptr;
    extension.IoRequest.RequestBuffer = nullptr;
    extension.IoRequest.RequestBufferLength = 0;
    extension.IoRequest.ReplyBuffer = nullptr;
    extension.IoRequest.ReplyBufferLength = 0;
    extension.OsData->CurrentIrp = nullptr;
    if (code != IOCTL_SMARTCARD_GET_LAST_ERROR && status != STATUS_PENDING)
      extension.LastError = static_cast<ULONG>(status);
    KeSetEvent(&state.requestGate, IO_NO_INCREMENT, FALSE);
  }
  if (status == STATUS_PENDING) return STATUS_PENDING;  // parked; completed later
  if (!NT_SUCCESS(status)) request.information = 0;
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = request.information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}
