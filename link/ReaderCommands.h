// Reader commands and registers. Every exchange is one SerialWrite of a
// command header with its data followed by one ReaderReceive of the reply
// byte (command format: include/ReaderProtocol.h). All operations block, run
// below DISPATCH_LEVEL and are called by one thread at a time; none retries.
#pragma once

#include "include/tav712.h"

// Largest data of a register table row.
#define REGISTER_TABLE_MAX_DATA 4

// One row of a register table; a row with Count 0 ends the table.
typedef struct _REGISTER_TABLE_ENTRY {
  UCHAR Register;
  UCHAR Count;
  UCHAR Data[REGISTER_TABLE_MAX_DATA];
} REGISTER_TABLE_ENTRY, *PREGISTER_TABLE_ENTRY;

// Register 8 = 0x00, register 2 = 0x4F: written when the reader starts or
// powers up again.
extern const REGISTER_TABLE_ENTRY ReaderStartTable[3];
// Register 4 = 0x00, register 2 = 0x00: written when the reader stops or
// powers down.
extern const REGISTER_TABLE_ENTRY ReaderStopTable[3];

// Writes Count (1 to 7) bytes to a register. STATUS_SUCCESS when the reader
// answered 0x90, STATUS_DATA_ERROR for any other reply.
NTSTATUS ReaderWriteRegister(PREADER_EXTENSION ReaderExtension, UCHAR Register, ULONG Count, const UCHAR* Data);

// Reads a register into *Value (whatever the reply byte is); *Value is left
// untouched on failure.
NTSTATUS ReaderReadRegister(PREADER_EXTENSION ReaderExtension, UCHAR Register, PUCHAR Value);

// Sends Length bytes to the card in chunks of at most 24, each acknowledged
// by 0x90 or 0x88; STATUS_UNSUCCESSFUL at the first refused chunk. A length
// of 0 sends one empty command.
NTSTATUS ReaderSendToCard(PREADER_EXTENSION ReaderExtension, const UCHAR* Data, ULONG Length);

// Reads register 0 into FirmwareMajor and FirmwareMinor.
NTSTATUS ReaderGetFirmwareVersion(PREADER_EXTENSION ReaderExtension);

// Switches the card contacts off (register 4 = 0x00) and pauses 200 ms, also
// after a failed write; returns the write's status.
NTSTATUS ReaderPowerDownCard(PREADER_EXTENSION ReaderExtension);

// Writes the rows of a register table in order, stopping at the first failure.
NTSTATUS ReaderRunRegisterTable(PREADER_EXTENSION ReaderExtension, const REGISTER_TABLE_ENTRY* Table);

// Sets the character guard time (0 to 510 ETU) in registers 1 and 2;
// STATUS_DATA_ERROR without any exchange for 511 and more.
NTSTATUS ReaderSetGuardTime(PREADER_EXTENSION ReaderExtension, ULONG GuardTime);

// Sets the character waiting time (register 5, 24 bits used).
NTSTATUS ReaderSetCharWaitingTime(PREADER_EXTENSION ReaderExtension, ULONG WaitingTime);

// Sets the block waiting time (register 6, 24 bits used).
NTSTATUS ReaderSetBlockWaitingTime(PREADER_EXTENSION ReaderExtension, ULONG WaitingTime);

// Sets the transmission mode (READER_MODE_ATR or READER_MODE_T0) in bits 1-0
// of register 2.
NTSTATUS ReaderSetMode(PREADER_EXTENSION ReaderExtension, UCHAR Mode);

// Register set-up before a card reset: register 2 = 0x6F, guard time 13,
// character waiting time 9600, mode 0.
NTSTATUS ReaderPrepareAtr(PREADER_EXTENSION ReaderExtension);

// The reader has no ETU register: accepts the value and sends nothing.
NTSTATUS ReaderSetEtu(PREADER_EXTENSION ReaderExtension, ULONG Etu);
