// Card timing: turns the card's transmission parameters (F, D, N, WI, CWI,
// BWI) into the reader's guard and waiting times and the serial time-outs.
// All arithmetic is unsigned 32-bit with truncating division, in the order
// ISO/IEC 7816-3 states the formulas; see CardTiming.cpp for the limits.
#pragma once

#include <wdm.h>
#include <smclib.h>

// Clock cycles of a card's ISO/IEC 7816-3 waiting times.
#define CARD_TIMING_WWT_FACTOR 960UL     // work waiting time = WI x D x 960 ETU
#define CARD_TIMING_BWT_CLOCKS 357120UL  // 960 x 372 clock cycles per 2^BWI
#define CARD_TIMING_DEFAULT_WI 10
#define CARD_TIMING_DEFAULT_CWI 13
#define CARD_TIMING_DEFAULT_BWI 4
// The reader's waiting-time registers hold 24 bits.
#define CARD_TIMING_MAX_WAITING_ETU 0x00FFFFFFUL

// The card parameters the formulas need, as plain numbers.
typedef struct _CARD_TIMING_INPUT {
  ULONG Protocol;    // SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1 or other
  ULONG F;           // clock rate conversion factor
  ULONG DNumerator;  // bit rate adjustment D as a fraction
  ULONG DDivisor;
  UCHAR N;   // extra guard time, 255 counts as 0
  UCHAR WI;  // already defaulted (never 0)
  UCHAR CWI;
  UCHAR BWI;
  ULONG ClockKHz;  // CLKFrequency.Max: clock cycles per millisecond
} CARD_TIMING_INPUT, *PCARD_TIMING_INPUT;

// What SetCardTiming writes to the reader.
typedef struct _CARD_READER_TIMING {
  ULONG EtuClocks;          // E = (F / DNumerator) x DDivisor; 0 when not computable
  UCHAR Mode;               // 3 for T=0, 0 for T=1
  ULONG GuardValue;         // n + 13 (T=0) or n + 12 (T=1)
  ULONG CharWaitingTime;    // CWT, before the 10 % margin
  ULONG BlockWaitingTime;   // BWT, before the 10 % margin
  ULONG CharWaitingValue;   // CWT + CWT / 10, at most 24 bits
  ULONG BlockWaitingValue;  // BWT + BWT / 10, at most 24 bits
} CARD_READER_TIMING, *PCARD_READER_TIMING;

// What SetSerialTimeouts stores and sends.
typedef struct _CARD_SERIAL_TIMING {
  ULONG CharClocks;
  ULONG BlockClocks;
  ULONG CharMs;            // Tc
  ULONG BlockMs;           // Tb
  ULONG ReadCharTimeout;   // Tc + 3 Tc / 10 + 50
  ULONG ReadTotalTimeout;  // Tb + 3 Tb / 10 + 100
} CARD_SERIAL_TIMING, *PCARD_SERIAL_TIMING;

// Pure arithmetic of SetCardTiming for T=0 or T=1. Returns FALSE for any
// other protocol (nothing is to be written to the reader).
BOOLEAN ComputeReaderTiming(const CARD_TIMING_INPUT* Input, PCARD_READER_TIMING Timing);

// Pure arithmetic of SetSerialTimeouts; any protocol other than T=1 uses the
// T=0 formula.
VOID ComputeSerialTiming(const CARD_TIMING_INPUT* Input, PCARD_SERIAL_TIMING Timing);

// Gathers the input from the smart card extension, replacing a zero WI, CWI
// or BWI by its default in CardCapabilities itself.
VOID GetCardTimingInput(PSMARTCARD_EXTENSION SmartcardExtension, PCARD_TIMING_INPUT Input);

// Programs the reader's mode, guard time and waiting times for the selected
// protocol. STATUS_UNSUCCESSFUL (nothing written) when neither T=0 nor T=1 is
// selected; otherwise the first failing reader write's status.
NTSTATUS SetCardTiming(PSMARTCARD_EXTENSION SmartcardExtension);

// Stores ReadCharTimeout and ReadTotalTimeout for the card and sends the
// matching IOCTL_SERIAL_SET_TIMEOUTS; returns the serial request's status.
NTSTATUS SetSerialTimeouts(PSMARTCARD_EXTENSION SmartcardExtension);
