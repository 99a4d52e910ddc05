// Transmit dispatch by the selected protocol.

#include "card/Transmit.h"

#include "card/TransmitT0.h"
#include "card/TransmitT1.h"

NTSTATUS NTAPI Transmit(PSMARTCARD_EXTENSION SmartcardExtension) {
  ASSERT(SmartcardExtension != NULL);
  switch (SmartcardExtension->CardCapabilities.Protocol.Selected) {
    case SCARD_PROTOCOL_T0: return TransmitT0(SmartcardExtension);
    case SCARD_PROTOCOL_T1: return TransmitT1(SmartcardExtension);
    case SCARD_PROTOCOL_RAW: return TransmitRaw(SmartcardExtension);
    default:
      // No protocol selected (for instance after a power-down).
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

NTSTATUS TransmitRaw(PSMARTCARD_EXTENSION SmartcardExtension) {
  UNREFERENCED_PARAMETER(SmartcardExtension);
  return STATUS_UNSUCCESSFUL;
}
