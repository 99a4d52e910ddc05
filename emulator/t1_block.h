#pragma once
// T=1 blocks (ISO/IEC 7816-3, clause 11.3): prologue NAD PCB LEN, information
// field, epilogue LRC (1 byte) or CRC (2 bytes).
//
//   I-block  PCB 0 N(S) M 00000          N(S) bit 6, more-data bit 5
//   R-block  PCB 1 0 0 N(R) 00 ee        N(R) bit 4, error ee: 01 EDC, 10 other
//   S-block  PCB 1 1 r ttttt             r = response, t: 0 RESYNCH, 1 IFS,
//                                        2 ABORT, 3 WTX

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace emulator {

enum class T1Kind { information, receiveReady, supervisory };
enum class T1Supervisory : std::uint8_t { resynch = 0, ifs = 1, abort = 2, wtx = 3 };

struct T1Block {
  std::uint8_t nad = 0;
  std::uint8_t pcb = 0;
  std::vector<std::uint8_t> inf;

  T1Kind kind() const;
  std::uint8_t sendSequence() const { return static_cast<std::uint8_t>((pcb >> 6) & 1); }
  bool more() const { return (pcb & 0x20) != 0; }
  std::uint8_t receiveSequence() const { return static_cast<std::uint8_t>((pcb >> 4) & 1); }
  std::uint8_t receiveError() const { return static_cast<std::uint8_t>(pcb & 0x03); }
  bool isResponse() const { return (pcb & 0x20) != 0; }
  T1Supervisory supervisoryType() const { return static_cast<T1Supervisory>(pcb & 0x1F); }

  static T1Block information(std::uint8_t sequence, bool more, std::vector<std::uint8_t> inf);
  static T1Block receiveReady(std::uint8_t sequence, std::uint8_t error = 0);
  static T1Block supervisory(T1Supervisory type, bool response, std::vector<std::uint8_t> inf = {});
};

// Block bytes with the epilogue.
std::vector<std::uint8_t> encodeT1(const T1Block& block, bool crc);

struct T1Frame {
  bool complete = false;   // prologue, LEN bytes and epilogue all present
  std::size_t length = 0;  // bytes of the block (when the prologue is known)
  T1Block block;
  bool edcValid = false;
};
// Splits the first block off the bytes; LEN 0xFF counts as a prologue-only
// block (it cannot be followed by a valid information field).
T1Frame decodeT1(std::span<const std::uint8_t> bytes, bool crc);

// "I(0,M) NAD 00 LEN 24 INF ... LRC 5A ok" style summary.
std::string describeT1(std::span<const std::uint8_t> bytes, bool crc);

}  // namespace emulator
