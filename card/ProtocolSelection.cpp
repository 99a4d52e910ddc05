// Protocol and parameter selection (PTS, ISO/IEC 7816-3 clause 9).
//
//   request  PTSS=0xFF  PTS0=0x1p  PTS1=Fl<<4|Dl  PCK=PTSS^PTS0^PTS1
//   answer   the card echoes the request when it accepts it
//
// p is the proposed protocol (0 or 1); bit 4 of PTS0 announces PTS1. An
// answer read as 3 characters, plus PTS1's partner when PTS0 of the answer
// announces PTS1 alone, must equal the request byte for byte. A refused
// non-default proposal is retried once with the default proposal after a
// cold reset; a refused default proposal powers the card down.

#include "card/ProtocolSelection.h"

#include "card/CardPower.h"
#include "card/CardState.h"
#include "card/CardTiming.h"
#include "include/tav712.h"
#include "link/ReaderCommands.h"
#include "link/ReceiveEngine.h"

#define PTS_REPLY_CAPACITY 5
#define PTS_EXCHANGES_MAX 2

VOID BuildPtsRequest(ULONG Protocol, UCHAR Fl, UCHAR Dl, UCHAR Request[PTS_REQUEST_LENGTH]) {
  ASSERT(Protocol == SCARD_PROTOCOL_T0 || Protocol == SCARD_PROTOCOL_T1);
  Request[0] = PTS_PTSS;
  Request[1] = (UCHAR)(PTS_PTS0_PTS1_PRESENT | (Protocol == SCARD_PROTOCOL_T1 ? 1 : 0));
  Request[2] = (UCHAR)((Fl << 4) | Dl);
  Request[3] = (UCHAR)(Request[0] ^ Request[1] ^ Request[2]);
}

// One PTS exchange for the protocol chosen from Mask; TRUE when the card
// echoed the request.
static BOOLEAN ExchangePts(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Mask) {
  PSCARD_CARD_CAPABILITIES card = &SmartcardExtension->CardCapabilities;
  PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;

  ULONG protocol = ((Mask & SCARD_PROTOCOL_T1) && (card->Protocol.Supported & SCARD_PROTOCOL_T1)) ? SCARD_PROTOCOL_T1
                                                                                                  : SCARD_PROTOCOL_T0;
  card->Protocol.Selected = protocol;

  UCHAR request[PTS_REQUEST_LENGTH];
  BuildPtsRequest(protocol, card->PtsData.Fl, card->PtsData.Dl, request);

  UCHAR reply[PTS_REPLY_CAPACITY] = {0, 0, 0, 0, 0};
  NTSTATUS status = ReaderSendToCard(readerExtension, request, PTS_REQUEST_LENGTH);
  if (status == STATUS_SUCCESS) {
    ULONG length = PTS_REPLY_CAPACITY;
    status = ReaderReadBytes(readerExtension, reply, &length, 3);
    if (status == STATUS_SUCCESS && (reply[1] >> 4) == 1) {
      // PTS1 alone announced: one more character, the PCK.
      length = PTS_REPLY_CAPACITY - 3;
      status = ReaderReadBytes(readerExtension, reply + 3, &length, 1);
    }
  }
  return status == STATUS_SUCCESS && RtlCompareMemory(reply, request, PTS_REQUEST_LENGTH) == PTS_REQUEST_LENGTH;
}

// Writes the selected protocol (or 0) as a ULONG at the start of the reply.
static VOID ReportProtocol(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Protocol) {
  ULONG information = 0;
  if (SmartcardExtension->IoRequest.ReplyBuffer != NULL &&
      SmartcardExtension->IoRequest.ReplyBufferLength >= sizeof(ULONG)) {
    RtlCopyMemory(SmartcardExtension->IoRequest.ReplyBuffer, &Protocol, sizeof(ULONG));
    information = Protocol != 0 ? sizeof(ULONG) : 0;
  }
  if (SmartcardExtension->IoRequest.Information != NULL) {
    *SmartcardExtension->IoRequest.Information = information;
  }
}

NTSTATUS NTAPI SetProtocol(PSMARTCARD_EXTENSION SmartcardExtension) {
  ASSERT(SmartcardExtension != NULL && SmartcardExtension->ReaderExtension != NULL);
  PSCARD_CARD_CAPABILITIES card = &SmartcardExtension->CardCapabilities;

  // Bytes nobody took (for instance a TCK the ATR did not announce) would
  // be read as the card's PTS answer.
  if (SmartcardExtension->ReaderExtension->ReceivedBytes != 0) {
    return STATUS_DEVICE_PROTOCOL_ERROR;
  }
  // The selected protocol goes back as a ULONG; a smaller reply buffer is
  // refused before the card is touched.
  if (SmartcardExtension->IoRequest.ReplyBuffer == NULL ||
      SmartcardExtension->IoRequest.ReplyBufferLength < sizeof(ULONG)) {
    if (SmartcardExtension->IoRequest.Information != NULL) {
      *SmartcardExtension->IoRequest.Information = 0;
    }
    return STATUS_BUFFER_TOO_SMALL;
  }

  ULONG mask = SmartcardExtension->MinorIoControlCode;
  NTSTATUS outcome = STATUS_PENDING;  // undecided

  if (SmartcardExtension->ReaderCapabilities.CurrentState == SCARD_SPECIFIC && (card->Protocol.Selected & mask) != 0) {
    outcome = STATUS_SUCCESS;
  }
  if ((card->Protocol.Supported & mask) == 0 ||
      (SmartcardExtension->ReaderCapabilities.SupportedProtocols & mask) == 0) {
    outcome = STATUS_INVALID_DEVICE_REQUEST;
  }

  if (outcome == STATUS_PENDING) {
    outcome = STATUS_DEVICE_PROTOCOL_ERROR;
    // At most two exchanges: the proposal, then the default after a
    // cold reset.
    for (ULONG exchange = 1; exchange <= PTS_EXCHANGES_MAX; exchange++) {
      if (ExchangePts(SmartcardExtension, mask)) {
        card->Dl = card->PtsData.Dl;
        card->Fl = card->PtsData.Fl;
        (VOID) SetCardTiming(SmartcardExtension);
        (VOID) SetSerialTimeouts(SmartcardExtension);
        outcome = STATUS_SUCCESS;
        break;
      }
      if (card->PtsData.Type != PTS_TYPE_DEFAULT && exchange < PTS_EXCHANGES_MAX) {
        card->PtsData.Type = PTS_TYPE_DEFAULT;
        SmartcardExtension->MinorIoControlCode = SCARD_COLD_RESET;
        if (CardPower(SmartcardExtension) == STATUS_SUCCESS) {
          continue;
        }
        break;
      }
      PowerDownCard(SmartcardExtension);
      break;
    }
  }

  if (outcome == STATUS_SUCCESS) {
    ReportProtocol(SmartcardExtension, card->Protocol.Selected);
    SetCardStateWhilePresent(SmartcardExtension, SCARD_SPECIFIC);
    return STATUS_SUCCESS;
  }
  card->Protocol.Selected = 0;
  ReportProtocol(SmartcardExtension, 0);
  return outcome;
}
