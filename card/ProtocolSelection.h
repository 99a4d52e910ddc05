// Protocol and parameter selection: chooses T=1 or T=0, negotiates the
// protocol and Fl/Dl with the card by PTS (ISO/IEC 7816-3 clause 9) and
// adopts the result.
#pragma once

#include <wdm.h>
#include <smclib.h>

#define PTS_REQUEST_LENGTH 4
#define PTS_PTSS 0xFF
#define PTS_PTS0_PTS1_PRESENT 0x10

// RDF_SET_PROTOCOL callback. MinorIoControlCode holds the accepted protocol
// mask. Returns STATUS_SUCCESS, STATUS_DEVICE_PROTOCOL_ERROR or
// STATUS_INVALID_DEVICE_REQUEST; the selected protocol (or 0) goes as a
// ULONG into IoRequest.ReplyBuffer when it has room for one.
NTSTATUS NTAPI SetProtocol(PSMARTCARD_EXTENSION SmartcardExtension);

// Builds PTSS PTS0 PTS1 PCK for Protocol (SCARD_PROTOCOL_T0 or _T1) and the
// Fl/Dl proposal.
VOID BuildPtsRequest(ULONG Protocol, UCHAR Fl, UCHAR Dl, UCHAR Request[PTS_REQUEST_LENGTH]);
