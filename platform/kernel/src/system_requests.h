// Requests the kernel itself issues (PnP, power, application I/O): build an
// IRP for the top of a device stack, send it and wait for its completion.
#pragma once

#include <functional>

#include "io_state.h"

namespace platform::io {

struct RequestResult {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
};

struct SystemRequest {
  PDEVICE_OBJECT target = nullptr;  // the device the stack is entered at
  // Fills the IRP's first stack location (IoGetNextIrpStackLocation) and
  // anything else; runs before the IRP is sent.
  std::function<void(IrpRecord&, PIO_STACK_LOCATION)> setUp;
  // Runs at the end of completion, before the IRP is freed.
  std::function<void(PIRP)> onFinished;
  // Told the IRP while it is in flight, and null once it has finished.
  std::function<void(PIRP)> inFlight;
  NTSTATUS initialStatus = STATUS_NOT_SUPPORTED;
  bool power = false;
};

// Sends the request to the top of `target`'s stack and waits for it.
RequestResult sendAndWait(const SystemRequest& request);

}  // namespace platform::io
