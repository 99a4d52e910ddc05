// The TAV712 reader's own byte protocol on its serial line.
//
// Host to reader: a one-byte command header, optionally followed by data
// bytes; the reader answers every command with exactly one reply byte.
//
//     7  6  5  4  3  2  1  0
//    +-----+-----------------+
//    | cmd | count / register|     01 nnnnnn  send n (<= 24) bytes to the card
//    +-----+-----------------+     10 rrrrrr  write register r (1 or 3 bytes follow)
//                                  11 rrrrrr  read register r (reply = its value)
//
// Bytes sent to the reader are never escaped.
//
// Reader to host: data bytes (card bytes, register values, reply bytes) and
// two-byte escape sequences that begin with READER_ESCAPE:
//
//    0x10 0x10   data byte 0x10          0x10 0x85   card inserted
//    0x10 0x83   time-out / block end    0x10 0x86   card removed
//    0x10 0x84   reader error            0x10 0x88   data error in place of a byte
//    0x10 other  dropped
//
// Every value here is a wire constant; the static_asserts keep them from
// drifting.
#pragma once

// Escape byte of the reader-to-host stream.
#define READER_ESCAPE 0x10

// Reader status bytes: reply bytes, and the codes that follow READER_ESCAPE.
#define READER_STATUS_OVERRUN 0x81
#define READER_STATUS_CRC 0x82
#define READER_STATUS_TIMEOUT 0x83
#define READER_STATUS_ERROR 0x84
#define READER_EVENT_CARD_INSERTED 0x85
#define READER_EVENT_CARD_REMOVED 0x86
#define READER_STATUS_DATA_ERROR 0x88
#define READER_STATUS_OK 0x90

// Command headers (bits 7-6) and their argument field (bits 5-0).
#define READER_CMD_SEND 0x40
#define READER_CMD_WRITE 0x80
#define READER_CMD_READ 0xC0
#define READER_CMD_ARGUMENT_MASK 0x3F

// Largest number of card bytes in one send command.
#define READER_MAX_SEND_CHUNK 24
// Largest number of data bytes of one register write (the command buffer
// holds the header and seven bytes).
#define READER_MAX_REGISTER_BYTES 7

// Registers the driver uses.
#define READER_REGISTER_VERSION 0        // high nibble major, low nibble minor
#define READER_REGISTER_GUARD_TIME 1     // low 8 bits of the guard time (ETU)
#define READER_REGISTER_CONTROL 2        // bit 7: guard time bit 8; bits 1-0: mode
#define READER_REGISTER_RESET 3          // READER_RESET_CARD starts a card reset
#define READER_REGISTER_CONTACTS 4       // 0x00 powers the card down; bit 0: card in
#define READER_REGISTER_CHAR_WAITING 5   // 3 bytes, least significant first
#define READER_REGISTER_BLOCK_WAITING 6  // 3 bytes, least significant first
#define READER_REGISTER_SETUP 8          // 0x00 at reader start

// Register values.
#define READER_RESET_CARD 0x1D
#define READER_CONTACTS_CARD_PRESENT 0x01
#define READER_CONTACTS_POWER_DOWN 0x00
#define READER_CONTROL_GUARD_TIME_BIT8 0x80
#define READER_CONTROL_MODE_MASK 0x03
#define READER_CONTROL_START 0x4F        // reader started or powered up again
#define READER_CONTROL_PREPARE_ATR 0x6F  // before a card reset
#define READER_CONTROL_STOP 0x00         // reader stopped or powered down
#define READER_MODE_ATR 0                // also T=1
#define READER_MODE_T0 3

// Largest guard time the two guard-time register bits can carry.
#define READER_MAX_GUARD_TIME 510

// Pause after the card contacts are switched off, in milliseconds.
#define READER_POWER_DOWN_DELAY_MS 200

static_assert(READER_ESCAPE == 0x10, "reader escape byte");
static_assert(READER_STATUS_TIMEOUT == 0x83 && READER_STATUS_ERROR == 0x84 && READER_EVENT_CARD_INSERTED == 0x85 &&
                  READER_EVENT_CARD_REMOVED == 0x86 && READER_STATUS_DATA_ERROR == 0x88 && READER_STATUS_OK == 0x90,
              "in-stream codes of the reader");
static_assert((READER_CMD_SEND | READER_MAX_SEND_CHUNK) == 0x58, "a full chunk's header is 0x58");
static_assert((READER_CMD_ARGUMENT_MASK & READER_MAX_SEND_CHUNK) == READER_MAX_SEND_CHUNK,
              "chunk length fits the header");
static_assert((READER_CMD_WRITE | READER_REGISTER_CHAR_WAITING) == 0x85, "write of register 5");
static_assert((READER_CMD_READ | READER_REGISTER_VERSION) == 0xC0, "firmware version read");
static_assert(READER_MAX_GUARD_TIME == 0x1FE, "guard time: 8 bits plus bit 8, 511 refused");
static_assert((READER_CONTROL_PREPARE_ATR & ~READER_CONTROL_MODE_MASK) == 0x6C,
              "register 2 after the answer-to-reset set-up");
