// Reader commands and registers: each exchange is one SerialWrite of a
// command header with its data and one ReaderReceive of the reply byte.
//
//    write register r:  0x80|r  d0 [d1 d2]   reply 0x90 = written
//    read register r:   0xC0|r               reply = the register's value
//    send to card:      0x40|n  b0 .. bn-1   reply 0x90 or 0x88 = accepted
//
// The reader's registers and values are in include/ReaderProtocol.h.

#include "link/ReaderCommands.h"

#include "link/ReceiveEngine.h"
#include "link/SerialChannel.h"

const REGISTER_TABLE_ENTRY ReaderStartTable[3] = {
    {READER_REGISTER_SETUP, 1, {0x00}},
    {READER_REGISTER_CONTROL, 1, {READER_CONTROL_START}},
    {0, 0, {0}},
};

const REGISTER_TABLE_ENTRY ReaderStopTable[3] = {
    {READER_REGISTER_CONTACTS, 1, {READER_CONTACTS_POWER_DOWN}},
    {READER_REGISTER_CONTROL, 1, {READER_CONTROL_STOP}},
    {0, 0, {0}},
};

// Guard time 13 ETU and character waiting time 9600 ETU while the
// answer-to-reset is read.
#define ATR_GUARD_TIME 13
#define ATR_CHAR_WAITING_TIME 9600

// One command exchange: writes Count bytes and receives the reply byte.
static NTSTATUS ReaderExchange(PREADER_EXTENSION ReaderExtension, const UCHAR* Command, ULONG Count, PUCHAR Reply) {
  NTSTATUS status = SerialWrite(ReaderExtension, Command, Count);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  return ReaderReceive(ReaderExtension, Reply, 1);
}

NTSTATUS ReaderWriteRegister(PREADER_EXTENSION ReaderExtension, UCHAR Register, ULONG Count, const UCHAR* Data) {
  ASSERT(Register <= READER_CMD_ARGUMENT_MASK);
  ASSERT(Count >= 1 && Count <= READER_MAX_REGISTER_BYTES);
  if (Count > READER_MAX_REGISTER_BYTES) {
    return STATUS_INVALID_DEVICE_REQUEST;
  }

  UCHAR command[1 + READER_MAX_REGISTER_BYTES];
  command[0] = (UCHAR)(READER_CMD_WRITE | Register);
  RtlCopyMemory(&command[1], Data, Count);

  UCHAR reply = 0;
  NTSTATUS status = ReaderExchange(ReaderExtension, command, Count + 1, &reply);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  return reply == READER_STATUS_OK ? STATUS_SUCCESS : STATUS_DATA_ERROR;
}

NTSTATUS ReaderReadRegister(PREADER_EXTENSION ReaderExtension, UCHAR Register, PUCHAR Value) {
  ASSERT(Register <= READER_CMD_ARGUMENT_MASK);
  UCHAR command = (UCHAR)(READER_CMD_READ | Register);
  UCHAR reply = 0;
  NTSTATUS status = ReaderExchange(ReaderExtension, &command, 1, &reply);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  // The reply is the register's value, not an acknowledgement.
  *Value = reply;
  return STATUS_SUCCESS;
}

NTSTATUS ReaderSendToCard(PREADER_EXTENSION ReaderExtension, const UCHAR* Data, ULONG Length) {
  UCHAR command[1 + READER_MAX_SEND_CHUNK];
  ULONG sent = 0;

  // A length of 0 still sends one (empty) command.
  do {
    ULONG chunk = Length - sent;
    if (chunk > READER_MAX_SEND_CHUNK) {
      chunk = READER_MAX_SEND_CHUNK;
    }
    command[0] = (UCHAR)(READER_CMD_SEND | chunk);
    if (chunk != 0) {
      RtlCopyMemory(&command[1], Data + sent, chunk);
    }

    UCHAR reply = 0;
    NTSTATUS status = ReaderExchange(ReaderExtension, command, chunk + 1, &reply);
    if (status != STATUS_SUCCESS) {
      return status;
    }
    if (reply != READER_STATUS_OK && reply != READER_STATUS_DATA_ERROR) {
      return STATUS_UNSUCCESSFUL;
    }
    sent += chunk;
  } while (sent < Length);
  return STATUS_SUCCESS;
}

NTSTATUS ReaderGetFirmwareVersion(PREADER_EXTENSION ReaderExtension) {
  UCHAR version = 0;
  NTSTATUS status = ReaderReadRegister(ReaderExtension, READER_REGISTER_VERSION, &version);
  if (status == STATUS_SUCCESS) {
    ReaderExtension->FirmwareMajor = (UCHAR)(version >> 4);
    ReaderExtension->FirmwareMinor = (UCHAR)(version & 0x0F);
  }
  return status;
}

NTSTATUS ReaderPowerDownCard(PREADER_EXTENSION ReaderExtension) {
  UCHAR contacts = READER_CONTACTS_POWER_DOWN;
  NTSTATUS status = ReaderWriteRegister(ReaderExtension, READER_REGISTER_CONTACTS, 1, &contacts);
  // The card gets its time to discharge whether the reader answered or not.
  DelayMilliseconds(READER_POWER_DOWN_DELAY_MS);
  return status;
}

NTSTATUS ReaderRunRegisterTable(PREADER_EXTENSION ReaderExtension, const REGISTER_TABLE_ENTRY* Table) {
  for (const REGISTER_TABLE_ENTRY* row = Table; row->Count != 0; ++row) {
    NTSTATUS status = ReaderWriteRegister(ReaderExtension, row->Register, row->Count, row->Data);
    if (status != STATUS_SUCCESS) {
      return status;
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS ReaderSetGuardTime(PREADER_EXTENSION ReaderExtension, ULONG GuardTime) {
  if (GuardTime > READER_MAX_GUARD_TIME) {
    return STATUS_DATA_ERROR;
  }

  // Register 1 is read only to learn that the reader answers.
  UCHAR guardLow = 0;
  NTSTATUS status = ReaderReadRegister(ReaderExtension, READER_REGISTER_GUARD_TIME, &guardLow);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  UCHAR control = 0;
  status = ReaderReadRegister(ReaderExtension, READER_REGISTER_CONTROL, &control);
  if (status != STATUS_SUCCESS) {
    return status;
  }

  guardLow = (UCHAR)(GuardTime & 0xFF);
  if (GuardTime & 0x100) {
    control = (UCHAR)(control | READER_CONTROL_GUARD_TIME_BIT8);
  } else {
    control = (UCHAR)(control & ~READER_CONTROL_GUARD_TIME_BIT8);
  }

  status = ReaderWriteRegister(ReaderExtension, READER_REGISTER_GUARD_TIME, 1, &guardLow);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  return ReaderWriteRegister(ReaderExtension, READER_REGISTER_CONTROL, 1, &control);
}

// Writes the low 24 bits of a waiting time to register 5 or 6, least
// significant byte first.
static NTSTATUS ReaderSetWaitingTime(PREADER_EXTENSION ReaderExtension, UCHAR Register, ULONG WaitingTime) {
  UCHAR bytes[3];
  bytes[0] = (UCHAR)(WaitingTime & 0xFF);
  bytes[1] = (UCHAR)((WaitingTime >> 8) & 0xFF);
  bytes[2] = (UCHAR)((WaitingTime >> 16) & 0xFF);
  return ReaderWriteRegister(ReaderExtension, Register, sizeof(bytes), bytes);
}

NTSTATUS ReaderSetCharWaitingTime(PREADER_EXTENSION ReaderExtension, ULONG WaitingTime) {
  return ReaderSetWaitingTime(ReaderExtension, READER_REGISTER_CHAR_WAITING, WaitingTime);
}

NTSTATUS ReaderSetBlockWaitingTime(PREADER_EXTENSION ReaderExtension, ULONG WaitingTime) {
  return ReaderSetWaitingTime(ReaderExtension, READER_REGISTER_BLOCK_WAITING, WaitingTime);
}

NTSTATUS ReaderSetMode(PREADER_EXTENSION ReaderExtension, UCHAR Mode) {
  ASSERT(Mode <= READER_CONTROL_MODE_MASK);
  UCHAR control = 0;
  NTSTATUS status = ReaderReadRegister(ReaderExtension, READER_REGISTER_CONTROL, &control);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  control = (UCHAR)((control & ~READER_CONTROL_MODE_MASK) | Mode);
  return ReaderWriteRegister(ReaderExtension, READER_REGISTER_CONTROL, 1, &control);
}

NTSTATUS ReaderPrepareAtr(PREADER_EXTENSION ReaderExtension) {
  UCHAR control = READER_CONTROL_PREPARE_ATR;
  NTSTATUS status = ReaderWriteRegister(ReaderExtension, READER_REGISTER_CONTROL, 1, &control);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  status = ReaderSetGuardTime(ReaderExtension, ATR_GUARD_TIME);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  status = ReaderSetCharWaitingTime(ReaderExtension, ATR_CHAR_WAITING_TIME);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  return ReaderSetMode(ReaderExtension, READER_MODE_ATR);
}

// The reader has no ETU register: it follows the card's rate by itself (372
// clock cycles per ETU for the answer-to-reset, then the factors it sees the
// PTS exchange settle), so there is nothing to write. The timing set-up still
// calls it, so that every reader parameter it decides passes through one
// named step, should a reader revision gain the register.
NTSTATUS ReaderSetEtu(PREADER_EXTENSION ReaderExtension, ULONG Etu) {
  UNREFERENCED_PARAMETER(ReaderExtension);
  UNREFERENCED_PARAMETER(Etu);
  return STATUS_SUCCESS;
}
