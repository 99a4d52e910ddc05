// Card power and answer-to-reset: power-down, cold and warm reset through
// the reader, the ATR read character by character (ISO/IEC 7816-3 8.2), and
// its hand-over to the caller and the smart card library.
#pragma once

#include <wdm.h>
#include <smclib.h>

#define ATR_READ_BUFFER_SIZE 64  // CardPower's ATR buffer
#define ATR_MAX_RECORDED 33      // largest ATR recorded in CardCapabilities
#define ATR_INTERFACE_GROUPS 3   // TA1..TD3 are kept in AtrInterfaceBytes
#define ATR_MAX_GROUPS 15        // bound on interface groups walked in one ATR

// RDF_CARD_POWER callback. MinorIoControlCode: SCARD_POWER_DOWN,
// SCARD_COLD_RESET or SCARD_WARM_RESET; any other code is refused with
// STATUS_INVALID_DEVICE_REQUEST after the ATR has been cleared.
NTSTATUS NTAPI CardPower(PSMARTCARD_EXTENSION SmartcardExtension);

// Powers the card down through CardPower (MinorIoControlCode becomes
// SCARD_POWER_DOWN), as after an exchange that left it out of step.
VOID PowerDownCard(PSMARTCARD_EXTENSION SmartcardExtension);

// Records that the card's contacts were switched off: its ATR and selected
// protocol are cleared and a card known to be in the reader is recorded as
// SCARD_PRESENT (one known to be gone stays so).
VOID RecordCardPoweredDown(PSMARTCARD_EXTENSION SmartcardExtension);

// One reset of the card (cold: powered off for 200 ms first) and the read of
// its ATR into Atr. *AtrLength: capacity in, ATR length out (unchanged on
// failure). Any failure powers the card down.
NTSTATUS ResetCard(PREADER_EXTENSION ReaderExtension, BOOLEAN WarmReset, PUCHAR Atr, PULONG AtrLength);

// Reads an ATR from the reader's stream following its structure (TS, T0,
// interface groups, historical bytes, TCK) and records TA1..TD3 in
// AtrInterfaceBytes. *AtrLength as for ResetCard.
NTSTATUS ReadAtr(PREADER_EXTENSION ReaderExtension, PUCHAR Atr, PULONG AtrLength);

// Number of interface bytes that an indicator nibble Y announces (bits 0-3:
// TA, TB, TC, TD).
ULONG AtrInterfaceByteCount(UCHAR Y);
