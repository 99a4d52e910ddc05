#pragma once
// The TAV712 reader's byte protocol, shared by the reader model and the trace
// decoder.

#include <cstddef>
#include <cstdint>
#include <string>

#include "line/line.h"

namespace emulator {

// The reader's own line: 19200 baud, 8 data bits, no parity, 1 stop bit.
inline constexpr line::LineSettings readerLineSettings{19200, 8, 0, 0};

inline constexpr std::uint8_t readerEscape = 0x10;
inline constexpr std::uint8_t readerOk = 0x90;
inline constexpr std::uint8_t readerTimeout = 0x83;
inline constexpr std::uint8_t readerError = 0x84;
inline constexpr std::uint8_t readerCardInserted = 0x85;
inline constexpr std::uint8_t readerCardRemoved = 0x86;
inline constexpr std::uint8_t readerDataError = 0x88;
inline constexpr std::uint8_t readerCardReset = 0x1D;
inline constexpr std::size_t readerMaxSendChunk = 24;

inline constexpr std::uint8_t readerCommandSend = 0x40;
inline constexpr std::uint8_t readerCommandWrite = 0x80;
inline constexpr std::uint8_t readerCommandRead = 0xC0;

// Bytes of a command, header included, as the header announces them.
constexpr std::size_t readerCommandLength(std::uint8_t header) {
  switch (header & 0xC0) {
    case readerCommandSend: return 1u + (header & 0x3Fu);
    case readerCommandWrite: {
      const unsigned reg = header & 0x3Fu;
      return reg == 5 || reg == 6 ? 4u : 2u;
    }
    default: return 1;
  }
}

// "firmware version", "control", ... ; "register 12" for unused ones.
std::string readerRegisterName(std::uint8_t reg);

}  // namespace emulator
