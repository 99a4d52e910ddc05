// T=0 transmission (ISO/IEC 7816-3 clause 10).
//
//   host   CLA INS P1 P2 P3            then command data as the card allows
//   card   procedure byte, one of:
//          0x60                 NULL: wait for another procedure byte
//          INS (bit 0 ignored)  send all remaining data / receive all data
//          ~INS or ~(INS+1)     send the next byte / receive the next byte
//          SW1 (0x6X, 0x9X)     the status word SW1 SW2 ends the command
//
// The reader is transparent: card bytes go out with the send command and
// come back through the receive buffer one procedure byte at a time. A data
// error that the reader reports on any card byte ends the command as a
// time-out, and a card that times out is powered down.

#include "card/TransmitT0.h"

#include "card/CardPower.h"
#include "include/tav712.h"
#include "link/ReaderCommands.h"
#include "link/ReceiveEngine.h"

// Reads one procedure, data or status byte; a reported data error counts as
// a failure (the caller turns it into STATUS_IO_TIMEOUT).
static NTSTATUS ReadOneByte(PREADER_EXTENSION ReaderExtension, PUCHAR Byte)
{
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

static NTSTATUS T0Result(PREADER_EXTENSION ReaderExtension, NTSTATUS Status)
{
    return ReaderExtension->TransferError != STATUS_SUCCESS ? STATUS_IO_TIMEOUT : Status;
}

NTSTATUS T0Exchange(PSMARTCARD_EXTENSION SmartcardExtension,
                    PUCHAR Request, ULONG RequestLength,
                    PUCHAR Reply, PULONG ReplyLength)
{
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
    ULONG toReceive = SmartcardExtension->T0.Le + 2;
    BOOLEAN awaitOnly = FALSE;
    UCHAR ins = Request[1];
    NTSTATUS status;

    readerExtension->TransferError = STATUS_SUCCESS;

    do {
        if (!awaitOnly) {
            ASSERT(sendCount <= toSend);
            status = ReaderSendToCard(readerExtension, Request + sendOffset, sendCount);
            if (status != STATUS_SUCCESS) {
                return T0Result(readerExtension, status);
            }
            sendOffset += sendCount;
            toSend -= sendCount;
        }

        UCHAR pb = 0;
        status = ReadOneByte(readerExtension, &pb);
        awaitOnly = FALSE;
        if (status != STATUS_SUCCESS) {
            return T0Result(readerExtension, status);
        }

        if (pb == T0_NULL_BYTE) {
            awaitOnly = TRUE;
        } else if ((pb & 0xFE) == ins) {
            // Whole acknowledge: all remaining command bytes at once.
            sendCount = toSend;
        } else if (pb == (UCHAR)~ins || pb == (UCHAR)~(ins + 1)) {
            // Single-byte acknowledge.
            if (toSend > 0) {
                sendCount = 1;
            } else {
                if (received >= capacity) {
                    return STATUS_BUFFER_TOO_SMALL;
                }
                status = ReadOneByte(readerExtension, &Reply[received]);
                if (status != STATUS_SUCCESS) {
                    return T0Result(readerExtension, status);
                }
                received++;
                toReceive--;
                if (toReceive == 2) {
                    break;
                }
                awaitOnly = TRUE;
            }
        } else {
            // SW1, then SW2: the command ends here.
            if (capacity < 2) {
                return STATUS_BUFFER_TOO_SMALL;
            }
            Reply[0] = pb;
            toReceive = 0;
            UCHAR sw2 = 0;
            status = ReadOneByte(readerExtension, &sw2);
            if (status != STATUS_SUCCESS) {
                return T0Result(readerExtension, status);
            }
            Reply[1] = sw2;
            *ReplyLength = 2;
            return T0Result(readerExtension, STATUS_SUCCESS);
        }
    } while (toSend > 0 || awaitOnly);

    // The rest of the answer in one read, not examined as procedure bytes:
    // response data (after an acknowledge) and SW1 SW2.
    status = STATUS_SUCCESS;
    if (toReceive > 0 && readerExtension->TransferError == STATUS_SUCCESS) {
        ASSERT(received <= capacity);
        ULONG length = capacity - received;
        status = ReaderReadBytes(readerExtension, Reply + received, &length, toReceive);
        if (status == STATUS_SUCCESS && readerExtension->TransferError == STATUS_SUCCESS) {
            *ReplyLength = received + toReceive;
        }
    }
    return T0Result(readerExtension, status);
}

NTSTATUS TransmitT0(PSMARTCARD_EXTENSION SmartcardExtension)
{
    ASSERT(SmartcardExtension != NULL);

    SmartcardExtension->SmartcardRequest.BufferLength = 0;
    SmartcardExtension->SmartcardReply.BufferLength = SmartcardExtension->SmartcardReply.BufferSize;

    NTSTATUS status = SmartcardT0Request(SmartcardExtension);
    if (status != STATUS_SUCCESS) {
        return status;
    }

    status = T0Exchange(SmartcardExtension,
                        SmartcardExtension->SmartcardRequest.Buffer,
                        SmartcardExtension->SmartcardRequest.BufferLength,
                        SmartcardExtension->SmartcardReply.Buffer,
                        &SmartcardExtension->SmartcardReply.BufferLength);
    if (status == STATUS_SUCCESS) {
        return SmartcardT0Reply(SmartcardExtension);
    }
    if (status == STATUS_IO_TIMEOUT) {
        SmartcardExtension->MinorIoControlCode = SCARD_POWER_DOWN;
        (VOID)CardPower(SmartcardExtension);
    }
    return status;
}
