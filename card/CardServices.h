// Card services: everything the smart card library calls back for, and the
// card operations the reader link and the driver frame call. Include this
// one header to reach them.
//
// Callback slots (filled by InitReaderAttributes): RDF_CARD_POWER CardPower,
// RDF_TRANSMIT Transmit, RDF_CARD_TRACKING CardTracking, RDF_SET_PROTOCOL
// SetProtocol, RDF_IOCTL_VENDOR VendorIoctl. The library calls them one
// request at a time per reader, so they take no lock around reader commands.
#pragma once

#include "card/CardState.h"
#include "card/CardTiming.h"
#include "card/CardPower.h"
#include "card/ProtocolSelection.h"
#include "card/Transmit.h"
#include "card/TransmitT0.h"
#include "card/TransmitT1.h"
#include "card/ReaderAttributes.h"
