// T=1 transmission: the library runs the block protocol, TransmitT1 moves
// the blocks through the reader and turns receive problems into blocks the
// library's error handling recognises.
#pragma once

#include <wdm.h>
#include <smclib.h>

#define T1_PROLOGUE_LENGTH 3
#define T1_ERROR_PAUSE_MS 254
#define T1_LEN_INVALID 0xFF
#define T1_MAX_INF_LENGTH 254
#define T1_LRC_LENGTH 1
#define T1_CRC_LENGTH 2

#ifndef T1_CRC_CHECK
#define T1_CRC_CHECK 0x01
#endif

#ifndef T1_I_BLOCK
#define T1_I_BLOCK 2
#endif
#ifndef T1_IFS_RESPONSE
#define T1_IFS_RESPONSE 0xE1
#endif

// One transmit request over T=1. Returns the library's final status, a
// failure of the request building or of the send, or
// STATUS_DEVICE_PROTOCOL_ERROR after the library gave up with a time-out
// (the card is then powered down).
NTSTATUS TransmitT1(PSMARTCARD_EXTENSION SmartcardExtension);
