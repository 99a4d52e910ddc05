// A reader driver shaped like the real one, reduced to what the library
// needs from it: its device extension starts with SMARTCARD_EXTENSION, it
// hands device-control requests to SmartcardDeviceControl under the remove
// lock, and its callbacks play a card (ATR, protocol selection, T=1 by the
// card-side peer). Tests steer it through `readerDouble`.
#pragma once

#include <smclib.h>

#include "t1_card_peer.h"

#include <memory>

namespace smclib_test {

struct DoubleExtension {
  SMARTCARD_EXTENSION smartcard;  // first, as the driver keeps it
  PDEVICE_OBJECT lowerDevice;
  UNICODE_STRING interfaceName;
};

struct ReaderDouble {
  Bytes atr;  // what a reset answers
  NTSTATUS resetStatus = STATUS_SUCCESS;
  std::unique_ptr<T1CardPeer> t1Card;
  PDEVICE_OBJECT device = nullptr;

  SMARTCARD_EXTENSION& smartcard() const { return static_cast<DoubleExtension*>(device->DeviceExtension)->smartcard; }
};

extern ReaderDouble readerDouble;

DRIVER_INITIALIZE ReaderDoubleEntry;
DRIVER_INITIALIZE BusDoubleEntry;

// Card insertion (true) or removal (false), as the reader's event worker
// reports it: the card state changes under the OsData lock. Completing a
// parked tracking request on the change is the reader driver's work, not
// the library's, and is left out of the double.
void reportCard(bool present);

// The interface class the double registers its reader under.
const GUID& readerInterfaceGuid();

}  // namespace smclib_test
