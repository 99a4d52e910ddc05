// Card timing.
//
// One ETU lasts E = (F / D.numerator) x D.divisor card clock cycles. From it:
//   T=0  work waiting time WWT = WI x D x 960 ETU, used as both the character
//        and the block waiting time; guard time N + 13 ETU; reader mode 3.
//   T=1  CWT = 2^CWI + 11 ETU, BWT = 357120 x 2^BWI / E + 11 ETU (357120 =
//        960 x 372 clock cycles); guard time N + 12 ETU; reader mode 0.
// (ISO/IEC 7816-3, 10.2 and 11.4.3.) The reader gets the waiting times plus
// 10 %; the serial time-outs get the waiting times in milliseconds plus 30 %,
// 50 ms per character and 100 ms per receive.
//
// All arithmetic is unsigned 32-bit with truncating division in the order
// above. Values the standard reserves can leave 32 bits (357120 x 2^14) or
// the reader's 24-bit registers; such values saturate instead of wrapping, so
// a card never gets a shorter wait than its parameters ask for. A divisor of
// zero (a broken factor table) leaves E at 0: nothing past the mode is
// written to the reader, and the serial time-outs use what can be computed.

#include "card/CardTiming.h"

#include "include/tav712.h"
#include "link/ReaderCommands.h"
#include "link/SerialChannel.h"

// Longest receive time-outs stored: ReaderReceive forms ReadCharTimeout x n
// + ReadTotalTimeout in 32 bits (n <= 767), and a T=1 waiting-time
// extension multiplies ReadTotalTimeout by up to 255.
#define CARD_TIMING_MAX_READ_TOTAL_MS 0x00FFFFFFUL
#define CARD_TIMING_MAX_READ_CHAR_MS 0x003FFFFFUL
#define CARD_TIMING_MAX_EXPONENT 15

static ULONG Saturate32(ULONGLONG Value) { return Value > 0xFFFFFFFFULL ? 0xFFFFFFFFUL : (ULONG)Value; }

static ULONG Clamp(ULONG Value, ULONG Limit) { return Value > Limit ? Limit : Value; }

// 2^Exponent for the 4-bit exponents of CWI and BWI; a wider value from a
// broken record is held at 15 so the shift stays defined.
static ULONG PowerOfTwo(UCHAR Exponent) {
  return 1UL << (Exponent > CARD_TIMING_MAX_EXPONENT ? CARD_TIMING_MAX_EXPONENT : Exponent);
}

static ULONG EtuClocks(const CARD_TIMING_INPUT* Input) {
  if (Input->DNumerator == 0) {
    return 0;
  }
  return Saturate32((ULONGLONG)(Input->F / Input->DNumerator) * Input->DDivisor);
}

// 10 % margin of a waiting time, held to the reader's 24-bit registers.
static ULONG WithReaderMargin(ULONG WaitingTime) {
  ULONGLONG value = (ULONGLONG)WaitingTime + WaitingTime / 10;
  return value > CARD_TIMING_MAX_WAITING_ETU ? CARD_TIMING_MAX_WAITING_ETU : (ULONG)value;
}

BOOLEAN ComputeReaderTiming(const CARD_TIMING_INPUT* Input, PCARD_READER_TIMING Timing) {
  ASSERT(Input != NULL && Timing != NULL);
  RtlZeroMemory(Timing, sizeof(*Timing));

  ULONG e = EtuClocks(Input);
  ULONG n = Input->N == 255 ? 0 : Input->N;
  Timing->EtuClocks = e;

  if (Input->Protocol == SCARD_PROTOCOL_T0) {
    ULONG wwt = Saturate32((ULONGLONG)Input->WI * Input->DNumerator * CARD_TIMING_WWT_FACTOR);
    Timing->CharWaitingTime = wwt;
    Timing->BlockWaitingTime = wwt;
    Timing->GuardValue = n + 13;
    Timing->Mode = 3;
  } else if (Input->Protocol == SCARD_PROTOCOL_T1) {
    Timing->CharWaitingTime = PowerOfTwo(Input->CWI) + 11;
    if (e != 0) {
      ULONGLONG clocks = (ULONGLONG)CARD_TIMING_BWT_CLOCKS * PowerOfTwo(Input->BWI);
      Timing->BlockWaitingTime = Saturate32(clocks / e + 11);
    }
    Timing->GuardValue = n + 12;
    Timing->Mode = 0;
  } else {
    return FALSE;
  }

  Timing->CharWaitingValue = WithReaderMargin(Timing->CharWaitingTime);
  Timing->BlockWaitingValue = WithReaderMargin(Timing->BlockWaitingTime);
  ASSERT(Timing->GuardValue <= 267);
  return TRUE;
}

VOID ComputeSerialTiming(const CARD_TIMING_INPUT* Input, PCARD_SERIAL_TIMING Timing) {
  ASSERT(Input != NULL && Timing != NULL);
  RtlZeroMemory(Timing, sizeof(*Timing));

  ULONG e = EtuClocks(Input);
  if (Input->Protocol == SCARD_PROTOCOL_T1) {
    Timing->CharClocks = Saturate32((ULONGLONG)(PowerOfTwo(Input->CWI) + 11) * e);
    Timing->BlockClocks = Saturate32((ULONGLONG)PowerOfTwo(Input->BWI) * CARD_TIMING_BWT_CLOCKS + (ULONGLONG)11 * e);
  } else {
    ULONG clocks = Saturate32((ULONGLONG)Input->WI * e * Input->DNumerator * CARD_TIMING_WWT_FACTOR);
    Timing->CharClocks = clocks;
    Timing->BlockClocks = clocks;
  }

  // A zero clock would divide by zero; 1 kHz gives the longest time-outs.
  ULONG clockKHz = Input->ClockKHz == 0 ? 1 : Input->ClockKHz;
  Timing->CharMs = Timing->CharClocks / clockKHz;
  Timing->BlockMs = Timing->BlockClocks / clockKHz;

  ULONGLONG charTimeout = (ULONGLONG)Timing->CharMs + (3ULL * Timing->CharMs) / 10 + 50;
  ULONGLONG totalTimeout = (ULONGLONG)Timing->BlockMs + (3ULL * Timing->BlockMs) / 10 + 100;
  Timing->ReadCharTimeout = Clamp(Saturate32(charTimeout), CARD_TIMING_MAX_READ_CHAR_MS);
  Timing->ReadTotalTimeout = Clamp(Saturate32(totalTimeout), CARD_TIMING_MAX_READ_TOTAL_MS);
}

VOID GetCardTimingInput(PSMARTCARD_EXTENSION SmartcardExtension, PCARD_TIMING_INPUT Input) {
  ASSERT(SmartcardExtension != NULL && Input != NULL);
  PSCARD_CARD_CAPABILITIES card = &SmartcardExtension->CardCapabilities;
  RtlZeroMemory(Input, sizeof(*Input));

  Input->Protocol = card->Protocol.Selected;
  if (card->ClockRateConversion != NULL) {
    Input->F = card->ClockRateConversion[card->Fl & 0x0F].F;
  }
  if (card->BitRateAdjustment != NULL) {
    Input->DNumerator = card->BitRateAdjustment[card->Dl & 0x0F].DNumerator;
    Input->DDivisor = card->BitRateAdjustment[card->Dl & 0x0F].DDivisor;
  }
  Input->N = card->N;

  // The defaults stay with the card: they are written back.
  if (Input->Protocol == SCARD_PROTOCOL_T1) {
    if (card->T1.CWI == 0) {
      card->T1.CWI = CARD_TIMING_DEFAULT_CWI;
    }
    if (card->T1.BWI == 0) {
      card->T1.BWI = CARD_TIMING_DEFAULT_BWI;
    }
  } else {
    if (card->T0.WI == 0) {
      card->T0.WI = CARD_TIMING_DEFAULT_WI;
    }
  }
  Input->WI = card->T0.WI;
  Input->CWI = card->T1.CWI;
  Input->BWI = card->T1.BWI;
  Input->ClockKHz = SmartcardExtension->ReaderCapabilities.CLKFrequency.Max;
}

NTSTATUS SetCardTiming(PSMARTCARD_EXTENSION SmartcardExtension) {
  ASSERT(SmartcardExtension != NULL && SmartcardExtension->ReaderExtension != NULL);
  PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;

  ULONG selected = SmartcardExtension->CardCapabilities.Protocol.Selected;
  if (selected != SCARD_PROTOCOL_T0 && selected != SCARD_PROTOCOL_T1) {
    return STATUS_UNSUCCESSFUL;
  }

  CARD_TIMING_INPUT input;
  CARD_READER_TIMING timing;
  GetCardTimingInput(SmartcardExtension, &input);
  BOOLEAN known = ComputeReaderTiming(&input, &timing);
  ASSERT(known);
  UNREFERENCED_PARAMETER(known);

  (VOID) ReaderSetMode(readerExtension, timing.Mode);
  if (timing.EtuClocks == 0) {
    return STATUS_SUCCESS;
  }

  NTSTATUS status = ReaderSetEtu(readerExtension, timing.EtuClocks);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  status = ReaderSetGuardTime(readerExtension, timing.GuardValue);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  status = ReaderSetCharWaitingTime(readerExtension, timing.CharWaitingValue);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  return ReaderSetBlockWaitingTime(readerExtension, timing.BlockWaitingValue);
}

NTSTATUS SetSerialTimeouts(PSMARTCARD_EXTENSION SmartcardExtension) {
  ASSERT(SmartcardExtension != NULL && SmartcardExtension->ReaderExtension != NULL);
  PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;

  CARD_TIMING_INPUT input;
  CARD_SERIAL_TIMING timing;
  GetCardTimingInput(SmartcardExtension, &input);
  ComputeSerialTiming(&input, &timing);

  // Stored first, so the time-out request itself already runs under them.
  readerExtension->ReadCharTimeout = timing.ReadCharTimeout;
  readerExtension->ReadTotalTimeout = timing.ReadTotalTimeout;

  SERIAL_TIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = timing.ReadCharTimeout;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = timing.ReadTotalTimeout;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 1000;
  static_assert(sizeof(SERIAL_TIMEOUTS) == 20, "five ULONGs on the wire");

  return SerialIoControl(readerExtension, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), NULL, 0);
}
