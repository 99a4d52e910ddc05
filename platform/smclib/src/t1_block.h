// T=1 block format (ISO/IEC 7816-3, 11.3):
//
//   NAD PCB LEN [INF: LEN bytes] EDC (LRC: 1 byte, or CRC: 2 bytes)
//
//   I-block PCB: 0 N(S) M 00000        N(S) send sequence, M more data
//   R-block PCB: 1 0 0 N(R) 00 ee      ee: 0 ok, 1 EDC/parity error, 2 other
//   S-block PCB: 1 1 r t t t t t       r: response, t: 0 RESYNCH, 1 IFS,
//                                        2 ABORT, 3 WTX, 4 VPP error
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace smclib::t1 {

inline constexpr std::uint8_t kRBlock = 0x80;
inline constexpr std::uint8_t kSBlock = 0xC0;
inline constexpr std::uint8_t kKindMask = 0xC0;
inline constexpr std::uint8_t kISequence = 0x40;
inline constexpr std::uint8_t kIMore = 0x20;
inline constexpr std::uint8_t kRSequence = 0x10;
inline constexpr std::uint8_t kSResponse = 0x20;
inline constexpr std::uint8_t kSTypeMask = 0x1F;
inline constexpr std::uint8_t kSResynch = 0x00;
inline constexpr std::uint8_t kSIfs = 0x01;
inline constexpr std::uint8_t kSAbort = 0x02;
inline constexpr std::uint8_t kSWtx = 0x03;
inline constexpr std::uint8_t kRErrorEdc = 0x01;
inline constexpr std::uint8_t kRErrorOther = 0x02;
inline constexpr std::size_t kPrologue = 3;
inline constexpr std::uint8_t kDefaultIfs = 32;
inline constexpr std::uint8_t kMaxIfs = 254;

enum class Kind { I, R, S };

constexpr Kind kindOf(std::uint8_t pcb) {
  if ((pcb & 0x80) == 0) return Kind::I;
  return (pcb & kKindMask) == kRBlock ? Kind::R : Kind::S;
}

constexpr std::uint8_t iBlockPcb(std::uint8_t sequence, bool more) {
  return static_cast<std::uint8_t>((sequence ? kISequence : 0) | (more ? kIMore : 0));
}
constexpr std::uint8_t rBlockPcb(std::uint8_t sequence, std::uint8_t error) {
  return static_cast<std::uint8_t>(kRBlock | (sequence ? kRSequence : 0) | error);
}

// Longitudinal redundancy check: XOR of every byte.
std::uint8_t lrc(std::span<const std::uint8_t> bytes);

// The T=1 CRC as smart card stacks compute it (pcsc-lite, the cards of the
// emulator): CCITT polynomial in reflected form 0x8408, initial value 0xFFFF,
// no final complement; sent high byte first. Used when TC3 asks for CRC.
std::uint16_t crc(std::span<const std::uint8_t> bytes);

inline constexpr std::size_t edcLength(bool useCrc) { return useCrc ? 2 : 1; }

// Writes the EDC of bytes[0, length) right behind them.
void appendEdc(std::uint8_t* bytes, std::size_t length, bool useCrc);

// Whether the last EDC bytes of the block check out.
bool edcValid(std::span<const std::uint8_t> block, bool useCrc);

}  // namespace smclib::t1
