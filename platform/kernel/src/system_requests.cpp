// Kernel-issued requests: one IRP, one completion event, one wait.
#include "system_requests.h"

namespace platform::io {

RequestResult sendAndWait(const SystemRequest& request) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(request.target);
  PIRP irp = allocateIrp(top->StackSize, IrpOrigin::System, nullptr);
  auto record = IoState::current().irp(irp);
  irp->IoStatus.Status = request.initialStatus;
  irp->RequestorMode = KernelMode;
  request.setUp(*record, IoGetNextIrpStackLocation(irp));

  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  RequestResult result;
  record->onFinished = [&](PIRP finished) {
    result.status = finished->IoStatus.Status;
    result.information = finished->IoStatus.Information;
    if (request.onFinished) request.onFinished(finished);
    if (request.inFlight) request.inFlight(nullptr);
    KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
  };
  if (request.inFlight) request.inFlight(irp);
  callDriver(top, irp, request.power);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  ObfDereferenceObject(top);
  return result;
}

}  // namespace platform::io
