// Transmit dispatch: the RDF_TRANSMIT callback picks the handler of the
// selected protocol.
#pragma once

#include <wdm.h>
#include <smclib.h>

// RDF_TRANSMIT callback: TransmitT0, TransmitT1 or TransmitRaw by
// CardCapabilities.Protocol.Selected; STATUS_INVALID_DEVICE_REQUEST for any
// other value (0 included).
NTSTATUS NTAPI Transmit(PSMARTCARD_EXTENSION SmartcardExtension);

// The raw protocol is not supported by the reader: STATUS_UNSUCCESSFUL,
// nothing touched.
NTSTATUS TransmitRaw(PSMARTCARD_EXTENSION SmartcardExtension);
