// Card power and answer-to-reset.
//
// A reset through the reader: register set-up for the ATR, for a cold reset
// register 4 = 0 and 200 ms without power, then register 3 = 0x1D; the
// card's ATR follows in the reader's stream. ATR layout (ISO/IEC 7816-3 8.2):
//
//   TS  T0  {TAi TBi TCi TDi}...  T1..TK  [TCK]
//   TS  0x3B direct, 0x3F inverse convention (0x03: inverse read as direct)
//   T0  high nibble Y1: which of TA1..TD1 follow; low nibble K historical bytes
//   TDi high nibble Y(i+1): which of TA(i+1)..TD(i+1) follow; low nibble a protocol
//   TCK present unless only T=0 is indicated (8.2.5)
//
// The first character must come within 120 ms, every later one within
// 1200 ms. TA1..TD3 are kept in AtrInterfaceBytes; further groups are read
// and skipped so the historical bytes and TCK are found in place.

#include "card/CardPower.h"

#include "card/CardState.h"
#include "card/CardTiming.h"
#include "include/tav712.h"
#include "link/ReaderCommands.h"
#include "link/ReceiveEngine.h"
#include "link/SerialChannel.h"

#define ATR_FIRST_CHAR_TIMEOUT_MS 120
#define ATR_NEXT_CHAR_TIMEOUT_MS 1200
#define ATR_SETTLE_MS 5
#define ATR_TS_DIRECT 0x3B
#define ATR_TS_INVERSE 0x3F
#define ATR_TS_INVERSE_AS_DIRECT 0x03
#define ATR_ENTRY_TD2 7

static_assert(ATR_INTERFACE_GROUPS * 4 == sizeof(((PREADER_EXTENSION)0)->AtrInterfaceBytes) /
                                              sizeof(((PREADER_EXTENSION)0)->AtrInterfaceBytes[0]),
              "AtrInterfaceBytes holds TA1 to TD3");

ULONG AtrInterfaceByteCount(UCHAR Y) {
  ULONG count = 0;
  for (ULONG k = 0; k < 4; k++) {
    count += (Y >> k) & 1;
  }
  return count;
}

// Reads Count ATR characters at index *Index of Atr; capacity is what is
// left of *AtrCapacity. A data error the reader reported on any character
// so far fails the read, whatever became of the read itself: the answer is
// corrupted (the reader leaves a zero in the character's place), and
// parameters read from it must not be used.
static NTSTATUS ReadAtrChars(PREADER_EXTENSION ReaderExtension, PUCHAR Atr, ULONG AtrCapacity, PULONG Index,
                             ULONG Count) {
  ASSERT(*Index <= AtrCapacity);
  ULONG length = AtrCapacity - *Index;
  NTSTATUS status = ReaderReadBytes(ReaderExtension, Atr + *Index, &length, Count);
  if (status == STATUS_SUCCESS) {
    ASSERT(length == Count);
    *Index += Count;
  }
  if (ReaderExtension->TransferError != STATUS_SUCCESS) {
    return STATUS_DATA_ERROR;
  }
  return status;
}

static NTSTATUS AtrReadFailure(NTSTATUS Status) {
  // No card, or a card that does not answer.
  return Status == STATUS_IO_TIMEOUT ? STATUS_UNRECOGNIZED_MEDIA : Status;
}

NTSTATUS ReadAtr(PREADER_EXTENSION ReaderExtension, PUCHAR Atr, PULONG AtrLength) {
  ASSERT(ReaderExtension != NULL && Atr != NULL && AtrLength != NULL);
  ULONG capacity = *AtrLength;
  ULONG i = 0;

  NTSTATUS status = ReadAtrChars(ReaderExtension, Atr, capacity, &i, 1);
  if (status != STATUS_SUCCESS) {
    return AtrReadFailure(status);
  }

  ReaderExtension->ReadTotalTimeout = ATR_NEXT_CHAR_TIMEOUT_MS;
  ReaderExtension->ReadCharTimeout = ATR_NEXT_CHAR_TIMEOUT_MS;

  status = ReadAtrChars(ReaderExtension, Atr, capacity, &i, 1);
  if (status != STATUS_SUCCESS) {
    return AtrReadFailure(status);
  }

  if (Atr[0] == ATR_TS_INVERSE_AS_DIRECT) {
    Atr[0] = ATR_TS_INVERSE;
  }
  if (Atr[0] != ATR_TS_INVERSE && Atr[0] != ATR_TS_DIRECT) {
    return STATUS_DATA_ERROR;
  }

  ULONG historicalCount = Atr[1] & 0x0F;
  UCHAR y = (UCHAR)(Atr[1] >> 4);
  for (ULONG entry = 0; entry < ATR_INTERFACE_GROUPS * 4; entry++) {
    ReaderExtension->AtrInterfaceBytes[entry].Present = 0;
  }
  UCHAR protocols[ATR_INTERFACE_GROUPS] = {0, 0, 0};

  // Each group is at least one character, so the capacity of Atr bounds
  // the walk; the group count is bounded as well.
  BOOLEAN lastGroupRead = (y == 0);
  for (ULONG group = 0; !lastGroupRead && group < ATR_MAX_GROUPS; group++) {
    BOOLEAN recorded = group < ATR_INTERFACE_GROUPS;
    ULONG count = AtrInterfaceByteCount(y);
    if (recorded) {
      for (ULONG k = 0; k < 4; k++) {
        if (y & (1 << k)) {
          ReaderExtension->AtrInterfaceBytes[4 * group + k].Present = 1;
        }
      }
    }

    ULONG first = i;
    status = ReadAtrChars(ReaderExtension, Atr, capacity, &i, count);
    if (status != STATUS_SUCCESS) {
      return AtrReadFailure(status);
    }
    if (recorded) {
      ULONG next = first;
      for (ULONG k = 0; k < 4; k++) {
        if (y & (1 << k)) {
          ReaderExtension->AtrInterfaceBytes[4 * group + k].Value = Atr[next++];
        }
      }
    }

    if ((y & 0x08) == 0) {
      lastGroupRead = TRUE;
      break;
    }
    UCHAR td = Atr[i - 1];
    if (recorded) {
      protocols[group] = td & 0x0F;
    }
    y = (UCHAR)(td >> 4);
    lastGroupRead = (y == 0);
  }
  if (!lastGroupRead) {
    // More interface groups than a sound ATR ever announces.
    return STATUS_DATA_ERROR;
  }

  if (historicalCount > 0) {
    status = ReadAtrChars(ReaderExtension, Atr, capacity, &i, historicalCount);
    if (status != STATUS_SUCCESS) {
      return AtrReadFailure(status);
    }
  }

  UCHAR deciding = ReaderExtension->AtrInterfaceBytes[ATR_ENTRY_TD2].Present ? protocols[1] : protocols[0];
  if (deciding != 0) {
    status = ReadAtrChars(ReaderExtension, Atr, capacity, &i, 1);
    if (status != STATUS_SUCCESS && status != STATUS_IO_TIMEOUT) {
      return status;
    }
    // A missing TCK is accepted; its value is not verified.
  }

  *AtrLength = i;
  return STATUS_SUCCESS;
}

NTSTATUS ResetCard(PREADER_EXTENSION ReaderExtension, BOOLEAN WarmReset, PUCHAR Atr, PULONG AtrLength) {
  ASSERT(ReaderExtension != NULL && Atr != NULL && AtrLength != NULL);

  NTSTATUS status = ReaderPrepareAtr(ReaderExtension);
  if (status == STATUS_SUCCESS && !WarmReset) {
    // At least 200 ms without power before a cold reset.
    status = ReaderPowerDownCard(ReaderExtension);
  }
  if (status == STATUS_SUCCESS) {
    // Cleared before the reset starts, so that a data error recorded
    // from here on belongs to the answer (the reset's reply byte never
    // carries one, and the first ATR character may follow it at once).
    ReaderExtension->TransferError = STATUS_SUCCESS;
    UCHAR reset = READER_RESET_CARD;
    status = ReaderWriteRegister(ReaderExtension, READER_REGISTER_RESET, 1, &reset);
  }
  if (status == STATUS_SUCCESS) {
    ReaderExtension->ReadCharTimeout = 0;
    ReaderExtension->ReadTotalTimeout = ATR_FIRST_CHAR_TIMEOUT_MS;
    status = ReadAtr(ReaderExtension, Atr, AtrLength);
  }

  if (status == STATUS_SUCCESS) {
    DelayMilliseconds(ATR_SETTLE_MS);
    return STATUS_SUCCESS;
  }
  (VOID) ReaderPowerDownCard(ReaderExtension);
  return status;
}

// What the card's last answer-to-reset told (the ATR and the protocol chosen
// on it) holds only while it stays powered.
static VOID ForgetAnswerToReset(PSCARD_CARD_CAPABILITIES Card) {
  RtlZeroMemory(Card->ATR.Buffer, sizeof(Card->ATR.Buffer));
  Card->ATR.Length = 0;
  Card->Protocol.Selected = 0;
}

VOID RecordCardPoweredDown(PSMARTCARD_EXTENSION SmartcardExtension) {
  ForgetAnswerToReset(&SmartcardExtension->CardCapabilities);
  // A card pulled out while it was in use is already known as absent (the
  // removal event came first): powering the contacts down must not report
  // it back as present, nor complete a tracking request as if it had been
  // inserted again.
  SetCardStateWhilePresent(SmartcardExtension, SCARD_PRESENT);
}

NTSTATUS NTAPI CardPower(PSMARTCARD_EXTENSION SmartcardExtension) {
  ASSERT(SmartcardExtension != NULL && SmartcardExtension->ReaderExtension != NULL);
  PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
  PSCARD_CARD_CAPABILITIES card = &SmartcardExtension->CardCapabilities;

  ForgetAnswerToReset(card);

  UCHAR atr[ATR_READ_BUFFER_SIZE];
  ULONG atrLength = 0;
  NTSTATUS status;

  switch (SmartcardExtension->MinorIoControlCode) {
    case SCARD_POWER_DOWN: {
      (VOID) ReaderPowerDownCard(readerExtension);
      RecordCardPoweredDown(SmartcardExtension);
      return STATUS_SUCCESS;
    }

    case SCARD_COLD_RESET:
    case SCARD_WARM_RESET: {
      // A warm reset needs a powered card; otherwise it is a cold one.
      BOOLEAN warm = SmartcardExtension->MinorIoControlCode == SCARD_WARM_RESET &&
                     SmartcardExtension->ReaderCapabilities.CurrentState > SCARD_SWALLOWED;
      atrLength = sizeof(atr);
      status = ResetCard(readerExtension, warm, atr, &atrLength);
      if (status != STATUS_SUCCESS) {
        return status;
      }
      break;
    }

    default:
      // Not a power request: nothing is done with the reader.
      return STATUS_INVALID_DEVICE_REQUEST;
  }

  if (atrLength <= 2) {
    return STATUS_SUCCESS;
  }

  if (atrLength <= SmartcardExtension->IoRequest.ReplyBufferLength &&
      SmartcardExtension->IoRequest.ReplyBuffer != NULL) {
    RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, atr, atrLength);
    if (SmartcardExtension->IoRequest.Information != NULL) {
      *SmartcardExtension->IoRequest.Information = atrLength;
    }
  }

  if (atrLength > ATR_MAX_RECORDED) {
    return STATUS_BUFFER_TOO_SMALL;
  }

  static_assert(sizeof(card->ATR.Buffer) >= ATR_MAX_RECORDED, "ATR record holds 33 bytes");
  RtlCopyMemory(card->ATR.Buffer, atr, atrLength);
  card->ATR.Length = (UCHAR)atrLength;

  status = SmartcardUpdateCardCapabilities(SmartcardExtension);
  if (status != STATUS_SUCCESS) {
    return status;
  }

  (VOID) SetCardTiming(SmartcardExtension);
  (VOID) SetSerialTimeouts(SmartcardExtension);
  return STATUS_SUCCESS;
}

VOID PowerDownCard(PSMARTCARD_EXTENSION SmartcardExtension) {
  SmartcardExtension->MinorIoControlCode = SCARD_POWER_DOWN;
  (VOID) CardPower(SmartcardExtension);
}
