// The smart card control requests, one handler each. A handler runs with the
// request gate held, reads the caller's input from `in`, writes at most
// `outLength` bytes to `out`, sets `information` to the bytes returned and
// gives the request's final status (STATUS_PENDING: parked, not completed).
#pragma once

#include <smclib.h>

namespace smclib {

struct RequestBuffers {
  PIRP irp;
  const UCHAR* in;  // the caller's input (system buffer), may be null when inLength is 0
  ULONG inLength;
  UCHAR* out;  // the caller's output (same system buffer), may be null when outLength is 0
  ULONG outLength;
  ULONG information;
};

NTSTATUS handlePower(SMARTCARD_EXTENSION& extension, RequestBuffers& request);
NTSTATUS handleSetProtocol(SMARTCARD_EXTENSION& extension, RequestBuffers& request);
NTSTATUS handleTransmit(SMARTCARD_EXTENSION& extension, RequestBuffers& request);
NTSTATUS handleCardTracking(SMARTCARD_EXTENSION& extension, RequestBuffers& request, bool waitForPresent);
NTSTATUS handleGetAttribute(SMARTCARD_EXTENSION& extension, RequestBuffers& request);
NTSTATUS handleSetAttribute(SMARTCARD_EXTENSION& extension, RequestBuffers& request);

// CurrentState read under the OsData spin lock.
ULONG currentState(SMARTCARD_EXTENSION& extension);
// Sets CurrentState under the lock, unless the card has gone meanwhile.
void setStateIfCardPresent(SMARTCARD_EXTENSION& extension, ULONG state);

// Reads a ULONG from a caller buffer of any alignment.
ULONG readUlong(const UCHAR* bytes);
void writeUlong(UCHAR* bytes, ULONG value);

}  // namespace smclib
