// Power, protocol selection, transmit and card tracking: the requests that
// need the reader, served through the driver's callbacks and kept in step
// with the card state model
//
//   ABSENT -> PRESENT/SWALLOWED -(reset)-> NEGOTIABLE -(protocol)-> SPECIFIC
//
// (a card whose ATR names a specific mode goes to SPECIFIC at the reset).
#include <platform/driver_code.h>
#include "library_state.h"
#include "requests.h"
#include "t1_engine.h"

namespace smclib {
namespace {

// A request that needs a card: no card, or one not yet in `minimum`, refused.
NTSTATUS checkCardState(SMARTCARD_EXTENSION& extension, ULONG minimum) {
  const ULONG state = currentState(extension);
  if (state <= SCARD_ABSENT) return STATUS_NO_MEDIA_IN_DEVICE;
  if (state < minimum) return STATUS_INVALID_DEVICE_STATE;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS handlePower(SMARTCARD_EXTENSION& extension, RequestBuffers& request) {
  if (request.inLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  const ULONG action = readUlong(request.in);
  if (action != SCARD_POWER_DOWN && action != SCARD_COLD_RESET && action != SCARD_WARM_RESET) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (extension.ReaderFunction[RDF_CARD_POWER] == nullptr) return STATUS_NOT_SUPPORTED;
  if (NTSTATUS status = checkCardState(extension, SCARD_PRESENT); !NT_SUCCESS(status)) return status;

  if (action != SCARD_POWER_DOWN) extension.CardCapabilities.PtsData.Type = PTS_TYPE_OPTIMAL;
  extension.MinorIoControlCode = action;
  extension.IoRequest.ReplyBuffer = request.out;
  extension.IoRequest.ReplyBufferLength = request.outLength;
  NTSTATUS status = platform::callDriverCode(extension.ReaderFunction[RDF_CARD_POWER], &extension);
  if (action == SCARD_POWER_DOWN) {
    request.information = 0;
    if (NT_SUCCESS(status)) {
      extension.CardCapabilities.Protocol.Selected = 0;
      if (currentState(extension) > SCARD_SWALLOWED) setStateIfCardPresent(extension, SCARD_PRESENT);
    }
    return status;
  }
  if (!NT_SUCCESS(status)) {
    // A failed reset leaves the card unpowered.
    extension.CardCapabilities.Protocol.Selected = 0;
    if (currentState(extension) > SCARD_SWALLOWED) setStateIfCardPresent(extension, SCARD_PRESENT);
    return status;
  }
  if (extension.CardCapabilities.ATR.Length < 3) {
    // The card answered with no usable ATR.
    request.information = 0;
    return STATUS_UNRECOGNIZED_MEDIA;
  }
  setStateIfCardPresent(extension, extension.CardCapabilities.SpecificMode ? SCARD_SPECIFIC : SCARD_NEGOTIABLE);
  if (request.information == 0) return STATUS_BUFFER_TOO_SMALL;  // reset, but the ATR did not fit
  return STATUS_SUCCESS;
}

NTSTATUS handleSetProtocol(SMARTCARD_EXTENSION& extension, RequestBuffers& request) {
  if (request.inLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  if (request.outLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  if (extension.ReaderFunction[RDF_SET_PROTOCOL] == nullptr) return STATUS_NOT_SUPPORTED;
  const ULONG requested = readUlong(request.in);
  const ULONG mask = requested & ~static_cast<ULONG>(SCARD_PROTOCOL_DEFAULT);
  if (mask == 0) return STATUS_INVALID_DEVICE_REQUEST;
  if (NTSTATUS status = checkCardState(extension, SCARD_NEGOTIABLE); !NT_SUCCESS(status)) return status;
  const ULONG state = currentState(extension);
  if (state == SCARD_SPECIFIC && (mask & extension.CardCapabilities.Protocol.Selected) == 0) {
    return STATUS_INVALID_DEVICE_STATE;  // another protocol needs a reset first
  }
  if (state == SCARD_NEGOTIABLE && (requested & SCARD_PROTOCOL_DEFAULT) != 0) {
    extension.CardCapabilities.PtsData.Type = PTS_TYPE_DEFAULT;
    if (NTSTATUS status = SmartcardUpdateCardCapabilities(&extension); !NT_SUCCESS(status)) return status;
  }
  extension.MinorIoControlCode = mask;
  extension.IoRequest.ReplyBuffer = request.out;
  extension.IoRequest.ReplyBufferLength = request.outLength;
  NTSTATUS status = platform::callDriverCode(extension.ReaderFunction[RDF_SET_PROTOCOL], &extension);
  if (!NT_SUCCESS(status)) return status;
  const ULONG selected = extension.CardCapabilities.Protocol.Selected;
  if (selected != SCARD_PROTOCOL_T0 && selected != SCARD_PROTOCOL_T1 && selected != SCARD_PROTOCOL_RAW) {
    return STATUS_DEVICE_PROTOCOL_ERROR;
  }
  writeUlong(request.out, selected);
  request.information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

NTSTATUS handleTransmit(SMARTCARD_EXTENSION& extension, RequestBuffers& request) {
  constexpr ULONG kHeader = sizeof(SCARD_IO_REQUEST);
  if (request.inLength < kHeader) return STATUS_INVALID_PARAMETER;
  if (request.outLength < kHeader) return STATUS_BUFFER_TOO_SMALL;
  if (extension.ReaderFunction[RDF_TRANSMIT] == nullptr) return STATUS_NOT_SUPPORTED;
  SCARD_IO_REQUEST header;
  RtlCopyMemory(&header, request.in, kHeader);
  if (header.cbPciLength < kHeader || header.cbPciLength > request.inLength) return STATUS_INVALID_PARAMETER;
  if (NTSTATUS status = checkCardState(extension, SCARD_SPECIFIC); !NT_SUCCESS(status)) return status;
  if (header.dwProtocol != extension.CardCapabilities.Protocol.Selected) return STATUS_INVALID_DEVICE_REQUEST;
  auto& state = libraryState(extension);
  const ULONG dataLength = request.inLength - header.cbPciLength;
  if (dataLength > state.commandCopySize) return STATUS_INVALID_PARAMETER;

  // Input and output share the system buffer: the command is copied away
  // before any answer byte can be written over it.
  if (dataLength > 0) RtlCopyMemory(state.commandCopy, request.in + header.cbPciLength, dataLength);
  extension.IoRequest.RequestBuffer = state.commandCopy;
  extension.IoRequest.RequestBufferLength = dataLength;
  extension.IoRequest.ReplyBuffer = request.out + kHeader;
  extension.IoRequest.ReplyBufferLength = request.outLength - kHeader;
  if (header.dwProtocol == SCARD_PROTOCOL_T1) t1PrepareCommand(extension);
  NTSTATUS status = platform::callDriverCode(extension.ReaderFunction[RDF_TRANSMIT], &extension);
  if (!NT_SUCCESS(status)) return status;
  if (request.information > request.outLength - kHeader) return STATUS_BUFFER_OVERFLOW;
  const SCARD_IO_REQUEST answer{extension.CardCapabilities.Protocol.Selected, kHeader};
  RtlCopyMemory(request.out, &answer, kHeader);
  request.information += kHeader;
  return STATUS_SUCCESS;
}

NTSTATUS handleCardTracking(SMARTCARD_EXTENSION& extension, RequestBuffers& request, bool waitForPresent) {
  PIRP irp = request.irp;
  auto& os = *extension.OsData;
  KIRQL irql;
  KeAcquireSpinLock(&os.SpinLock, &irql);
  const bool cardThere = extension.ReaderCapabilities.CurrentState > SCARD_ABSENT;
  if (cardThere == waitForPresent) {
    KeReleaseSpinLock(&os.SpinLock, irql);
    return STATUS_SUCCESS;
  }
  if (os.NotificationIrp != nullptr) {
    KeReleaseSpinLock(&os.SpinLock, irql);
    return STATUS_DEVICE_BUSY;  // one waiter at a time
  }
  if (extension.ReaderFunction[RDF_CARD_TRACKING] == nullptr) {
    KeReleaseSpinLock(&os.SpinLock, irql);
    return STATUS_NOT_SUPPORTED;
  }
  if (irp->Cancel) {
    KeReleaseSpinLock(&os.SpinLock, irql);
    return STATUS_CANCELLED;
  }
  IoMarkIrpPending(irp);
  irp->IoStatus.Status = STATUS_PENDING;
  irp->IoStatus.Information = 0;
  os.NotificationIrp = irp;
  KeReleaseSpinLock(&os.SpinLock, irql);

  const NTSTATUS status = platform::callDriverCode(extension.ReaderFunction[RDF_CARD_TRACKING], &extension);
  if (status == STATUS_PENDING) return STATUS_PENDING;
  // The driver did not take the request: take it back, unless it has been
  // completed in the meantime, and complete it with the driver's status.
  bool mine = false;
  KeAcquireSpinLock(&os.SpinLock, &irql);
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (os.NotificationIrp == irp) {
    os.NotificationIrp = nullptr;
    IoSetCancelRoutine(irp, nullptr);
    mine = true;
  }
  IoReleaseCancelSpinLock(cancelIrql);
  KeReleaseSpinLock(&os.SpinLock, irql);
  if (mine) {
    irp->IoStatus.Status = status == STATUS_SUCCESS || !NT_SUCCESS(status) ? status : STATUS_UNSUCCESSFUL;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  return STATUS_PENDING;
}

}  // namespace smclib
