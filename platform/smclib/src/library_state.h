// The library's private per-reader state, allocated by SmartcardInitialize
// behind the OS_DEP_DATA that the driver sees.
#pragma once

#include <smclib.h>

namespace smclib {

struct LibraryState {
  OS_DEP_DATA os;  // first: SMARTCARD_EXTENSION.OsData points here
  IO_REMOVE_LOCK removeLock;
  volatile LONG removeHolds;  // successful acquires not yet released
  KEVENT requestGate;         // synchronisation event: one request at a time
  UCHAR* commandCopy;         // caller's transmit data, copied before the exchange
  ULONG commandCopySize;
};

inline LibraryState& libraryState(SMARTCARD_EXTENSION& extension) {
  return *reinterpret_cast<LibraryState*>(extension.OsData);
}

// Largest transmit command (an extended APDU with 65535 data bytes, Lc and Le).
inline constexpr ULONG kMaxCommandLength = 4 + 3 + 65535 + 3;

}  // namespace smclib
