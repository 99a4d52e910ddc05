// T=0 transmission: the library builds the command, T0Exchange runs the
// ISO/IEC 7816-3 procedure-byte dialogue through the reader, the library
// checks the answer.
#pragma once

#include <wdm.h>
#include <smclib.h>

#define T0_HEADER_LENGTH 5
#define T0_NULL_BYTE 0x60
#define T0_PROCEDURE_BUFFER_SIZE 512

// One T=0 command through the library (SmartcardT0Request/Reply). A card
// that stops answering, or a reader data error, is powered down and gives
// STATUS_IO_TIMEOUT.
NTSTATUS TransmitT0(PSMARTCARD_EXTENSION SmartcardExtension);

// Sends Request (header and command data) by the card's procedure bytes and
// collects the response data and SW1 SW2 into Reply. *ReplyLength: capacity
// in, response length out (written only on STATUS_SUCCESS).
NTSTATUS T0Exchange(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Request, ULONG RequestLength, PUCHAR Reply,
                    PULONG ReplyLength);
