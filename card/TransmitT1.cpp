// T=1 transmission (ISO/IEC 7816-3 clause 11).
//
//   block   NAD PCB LEN | INF (LEN bytes, 0..254) | EDC (LRC 1 byte, CRC 2)
//
// The library builds each block (SmartcardT1Request) and consumes the card's
// answer (SmartcardT1Reply); this file moves the blocks through the reader.
// The answer is read as its 3-byte prologue, then LEN bytes and the EDC the
// library checks (CRC when the card's answer-to-reset asked for it). A waiting
// time extension granted by the library (T1.Wtx) lengthens only the wait for
// the prologue. Receive problems are handed to the library as short or
// corrupted blocks (a data error inverts the last byte, so the library sees
// an EDC error), and its own error recovery decides what follows. When it
// gives up with a time-out, or a block's send fails, the card is powered down.

#include "card/TransmitT1.h"

#include "card/CardPower.h"
#include "include/tav712.h"
#include "link/ReaderCommands.h"
#include "link/ReceiveEngine.h"
#include "link/SerialChannel.h"

// Reads the card's answer block into SmartcardReply and sets its length as
// the library expects it (0 when no prologue came). Returns
// STATUS_DEVICE_REMOVED when the link closed during the receive, and
// STATUS_SUCCESS otherwise: every other receive problem is the library's to
// recover from.
static NTSTATUS ReceiveT1Block(PSMARTCARD_EXTENSION SmartcardExtension) {
  PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
  PSMARTCARD_REPLY reply = &SmartcardExtension->SmartcardReply;
  ASSERT(reply->BufferSize >= T1_PROLOGUE_LENGTH + T1_MAX_INF_LENGTH + T1_CRC_LENGTH);

  // The extension applies to the prologue wait only. The product is held
  // below 32 bits; the base value is put back exactly afterwards.
  UCHAR wtx = SmartcardExtension->T1.Wtx;
  ULONG baseTotalTimeout = readerExtension->ReadTotalTimeout;
  if (wtx != 0) {
    ULONGLONG extended = (ULONGLONG)baseTotalTimeout * wtx;
    readerExtension->ReadTotalTimeout = extended > 0xFFFFFFFFULL ? 0xFFFFFFFFUL : (ULONG)extended;
  }

  ULONG length = reply->BufferSize;
  NTSTATUS status = ReaderReadBytes(readerExtension, reply->Buffer, &length, T1_PROLOGUE_LENGTH);

  if (wtx != 0) {
    readerExtension->ReadTotalTimeout = baseTotalTimeout;
    SmartcardExtension->T1.Wtx = 0;
  }
  if (status == STATUS_DEVICE_REMOVED) {
    return status;
  }
  if (status != STATUS_SUCCESS) {
    return STATUS_SUCCESS;
  }

  ULONG edcLength = (SmartcardExtension->CardCapabilities.T1.EDC & T1_CRC_CHECK) ? T1_CRC_LENGTH : T1_LRC_LENGTH;
  ULONG rest = (ULONG)reply->Buffer[2] + edcLength;  // INF and EDC
  if (reply->Buffer[2] == T1_LEN_INVALID) {
    DelayMilliseconds(T1_ERROR_PAUSE_MS);
    return STATUS_SUCCESS;
  }

  length = reply->BufferSize - T1_PROLOGUE_LENGTH;
  status = ReaderReadBytes(readerExtension, reply->Buffer + T1_PROLOGUE_LENGTH, &length, rest);
  if (status == STATUS_SUCCESS && readerExtension->TransferError == STATUS_SUCCESS) {
    (VOID) WaitForBlockEnd(readerExtension);
  }
  reply->BufferLength = rest + T1_PROLOGUE_LENGTH;
  return status == STATUS_DEVICE_REMOVED ? status : STATUS_SUCCESS;
}

NTSTATUS TransmitT1(PSMARTCARD_EXTENSION SmartcardExtension) {
  ASSERT(SmartcardExtension != NULL && SmartcardExtension->ReaderExtension != NULL);
  PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
  PSMARTCARD_REPLY reply = &SmartcardExtension->SmartcardReply;
  NTSTATUS status;

  RtlZeroMemory(reply->Buffer, 4);

  do {
    SmartcardExtension->T1.NAD = 0;
    SmartcardExtension->SmartcardRequest.BufferLength = 0;
    status = SmartcardT1Request(SmartcardExtension);
    if (status != STATUS_SUCCESS) {
      break;
    }

    // The card's IFS request came during the I-block exchange: its next
    // block belongs to that exchange, so the library handles it as such
    // once the S(IFS response) built above is sent.
    if (SmartcardExtension->T1.State == T1_IFS_RESPONSE && SmartcardExtension->T1.OriginalState == T1_I_BLOCK) {
      SmartcardExtension->T1.State = T1_I_BLOCK;
    }

    readerExtension->TransferError = STATUS_SUCCESS;
    readerExtension->BlockEndStatus = STATUS_IO_TIMEOUT;

    status = ReaderSendToCard(readerExtension, SmartcardExtension->SmartcardRequest.Buffer,
                              SmartcardExtension->SmartcardRequest.BufferLength);
    reply->BufferLength = 0;
    if (status != STATUS_SUCCESS) {
      // The block may have reached the card all the same, which then
      // answers it and counts its sequence number on: the library, which
      // never saw it go, would be out of step with the card, and could take
      // that answer for the next command's. The card is powered down, as
      // when the library gives up. A reader that went away takes the card
      // with it; a time-out ends as when the library gives up.
      if (status == STATUS_IO_TIMEOUT) {
        break;
      }
      if (status != STATUS_DEVICE_REMOVED) {
        PowerDownCard(SmartcardExtension);
      }
      return status;
    }

    // A reader that went away is not a transmission error to recover
    // from: the library would only send its retries into the void.
    status = ReceiveT1Block(SmartcardExtension);
    if (status != STATUS_SUCCESS) {
      break;
    }

    if (readerExtension->TransferError != STATUS_SUCCESS) {
      DelayMilliseconds(T1_ERROR_PAUSE_MS);
      if (reply->BufferLength != 0) {
        reply->Buffer[reply->BufferLength - 1] ^= 0xFF;
      }
    }

    status = SmartcardT1Reply(SmartcardExtension);
  } while (status == STATUS_MORE_PROCESSING_REQUIRED);

  if (status == STATUS_IO_TIMEOUT) {
    DelayMilliseconds(T1_ERROR_PAUSE_MS);
    PowerDownCard(SmartcardExtension);
    return STATUS_DEVICE_PROTOCOL_ERROR;
  }
  return status;
}
