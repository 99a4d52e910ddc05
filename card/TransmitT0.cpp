// T=0 transmission (ISO/IEC 7816-3 clause 10).
//
//   host   CLA INS P1 P2 P3            then command data as the card allows
//   card   procedure byte, one of:
//          0x60                 NULL: wait for another procedure byte
//          INS                  send all remaining data / receive all data
//          ~INS                 send the next byte / receive the next byte
//          SW1 (0x6X, 0x9X)     the status word SW1 SW2 ends the command
//
// Cards of the older convention ignore bit 0 of an even INS and may
// acknowledge with INS+1 (or its complement); an odd INS is an ordinary
// instruction and only INS itself acknowledges it. No valid SW1 equals a
// valid INS or its complement, so the tests cannot be confused.
//
// After every transfer, the response data included, the card sends another
// procedure byte: NULLs may come before SW1 as before any acknowledge.
// The reader is transparent: card bytes go out with the send command and
// come back through the receive buffer one procedure byte at a time. A data
// error that the reader reports on any card byte ends the command as a
// time-out, and a card whose command broke off is powered down.

#include "card/TransmitT0.h"

#include "card/CardPower.h"
#include "include/tav712.h"
#include "link/ReaderCommands.h"
#include "link/ReceiveEngine.h"

// Reads one procedure, data or status byte; a reported data error counts as
// a failure (the caller turns it into STATUS_IO_TIMEOUT).
static NTSTATUS ReadOneByte(PREADER_EXTENSION ReaderExtension, PUCHAR Byte) {
  UCHAR procedure[T0_PROCEDURE_BUFFER_SIZE];
  ULONG length = sizeof(procedure);
  NTSTATUS status = ReaderReadBytes(ReaderExtension, procedure, &length, 1);
  if (status == STATUS_SUCCESS) {
    *Byte = procedure[0];
    if (ReaderExtension->TransferError != STATUS_SUCCESS) {
      return STATUS_DATA_ERROR;
    }
  }
  return status;
}

static NTSTATUS T0Result(PREADER_EXTENSION ReaderExtension, NTSTATUS Status) {
  return ReaderExtension->TransferError != STATUS_SUCCESS ? STATUS_IO_TIMEOUT : Status;
}

// Whether the procedure byte acknowledges INS as a whole (INS) or for one
// byte (~INS); INS+1 and its complement count for an even INS only.
static BOOLEAN IsAcknowledge(UCHAR ProcedureByte, UCHAR Ins, BOOLEAN SingleByte) {
  UCHAR mask = SingleByte ? 0xFF : 0x00;
  if (ProcedureByte == (UCHAR)(Ins ^ mask)) {
    return TRUE;
  }
  return (Ins & 1) == 0 && ProcedureByte == (UCHAR)((Ins + 1) ^ mask);
}

NTSTATUS T0Exchange(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Request, ULONG RequestLength, PUCHAR Reply,
                    PULONG ReplyLength) {
  ASSERT(SmartcardExtension != NULL && Request != NULL && Reply != NULL && ReplyLength != NULL);
  PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
  ULONG capacity = *ReplyLength;

  if (RequestLength < T0_HEADER_LENGTH) {
    // The library always builds at least the header.
    return STATUS_INVALID_DEVICE_REQUEST;
  }

  ULONG toSend = RequestLength;
  ULONG sendOffset = 0;
  ULONG sendCount = T0_HEADER_LENGTH;
  ULONG received = 0;
  ULONG dataLeft = SmartcardExtension->T0.Le;  // response data still expected
  UCHAR ins = Request[1];
  NTSTATUS status;

  readerExtension->TransferError = STATUS_SUCCESS;

  for (;;) {
    if (sendCount > 0) {
      ASSERT(sendCount <= toSend);
      status = ReaderSendToCard(readerExtension, Request + sendOffset, sendCount);
      if (status != STATUS_SUCCESS) {
        return T0Result(readerExtension, status);
      }
      sendOffset += sendCount;
      toSend -= sendCount;
      sendCount = 0;
    }

    UCHAR pb = 0;
    status = ReadOneByte(readerExtension, &pb);
    if (status != STATUS_SUCCESS) {
      return T0Result(readerExtension, status);
    }

    if (pb == T0_NULL_BYTE) {
      // Only another wait.
    } else if (IsAcknowledge(pb, ins, FALSE)) {
      if (toSend > 0) {
        sendCount = toSend;
      } else if (dataLeft > 0) {
        // All response data in one read; a procedure byte follows.
        if (dataLeft > capacity - received || capacity - received - dataLeft < 2) {
          return STATUS_BUFFER_TOO_SMALL;
        }
        ULONG length = capacity - received;
        status = ReaderReadBytes(readerExtension, Reply + received, &length, dataLeft);
        if (status != STATUS_SUCCESS || readerExtension->TransferError != STATUS_SUCCESS) {
          return T0Result(readerExtension, status);
        }
        received += dataLeft;
        dataLeft = 0;
      }
    } else if (IsAcknowledge(pb, ins, TRUE)) {
      if (toSend > 0) {
        sendCount = 1;
      } else if (dataLeft > 0) {
        if (received >= capacity) {
          return STATUS_BUFFER_TOO_SMALL;
        }
        status = ReadOneByte(readerExtension, &Reply[received]);
        if (status != STATUS_SUCCESS) {
          return T0Result(readerExtension, status);
        }
        received++;
        dataLeft--;
      }
    } else {
      // SW1, then SW2: the command ends here. Behind the response
      // data when all of it came; a status word that cuts the data
      // short stands alone.
      ULONG at = dataLeft == 0 ? received : 0;
      if (capacity < 2 || capacity - 2 < at) {
        return STATUS_BUFFER_TOO_SMALL;
      }
      UCHAR sw2 = 0;
      status = ReadOneByte(readerExtension, &sw2);
      if (status != STATUS_SUCCESS) {
        return T0Result(readerExtension, status);
      }
      Reply[at] = pb;
      Reply[at + 1] = sw2;
      *ReplyLength = at + 2;
      return T0Result(readerExtension, STATUS_SUCCESS);
    }
  }
}

NTSTATUS TransmitT0(PSMARTCARD_EXTENSION SmartcardExtension) {
  ASSERT(SmartcardExtension != NULL);

  SmartcardExtension->SmartcardRequest.BufferLength = 0;
  SmartcardExtension->SmartcardReply.BufferLength = SmartcardExtension->SmartcardReply.BufferSize;

  NTSTATUS status = SmartcardT0Request(SmartcardExtension);
  if (status != STATUS_SUCCESS) {
    return status;
  }

  status = T0Exchange(SmartcardExtension, SmartcardExtension->SmartcardRequest.Buffer,
                      SmartcardExtension->SmartcardRequest.BufferLength, SmartcardExtension->SmartcardReply.Buffer,
                      &SmartcardExtension->SmartcardReply.BufferLength);
  if (status == STATUS_SUCCESS) {
    return SmartcardT0Reply(SmartcardExtension);
  }
  // A command that broke off (a time-out, a reader error, a reply out of
  // step) leaves the card somewhere inside its dialogue, still sending or
  // waiting for bytes, and T=0 has no way back but a reset: read on, the
  // rest of its answer would be taken for the next command's. The card is
  // powered down, and what it was still sending goes with the power-down's
  // pause. A command refused before it went out, and an answer too long
  // for the reply buffer, leave the card powered.
  if (status != STATUS_INVALID_DEVICE_REQUEST && status != STATUS_BUFFER_TOO_SMALL) {
    PowerDownCard(SmartcardExtension);
  }
  return status;
}
