#pragma once
// Answer-to-reset analysis (ISO/IEC 7816-3, clause 8): structure, interface
// bytes, the parameters a card announces, and a builder that adds TCK.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace emulator {

struct AtrInterfaceGroup {
  std::optional<std::uint8_t> ta, tb, tc, td;
};

struct AtrInfo {
  // All bytes that the structure announces were present.
  bool complete = false;
  // Non-empty when the bytes cannot be an ATR (bad TS, too long).
  std::string error;
  bool inverseConvention = false;
  std::uint8_t ts = 0;
  std::uint8_t t0 = 0;
  std::vector<AtrInterfaceGroup> groups;  // group 1 is groups[0]
  std::vector<std::uint8_t> historical;
  bool tckExpected = false;  // some TD names a protocol other than T=0
  std::optional<std::uint8_t> tck;
  bool tckValid = false;
  // Bytes that belong to the ATR as far as known (all of them when complete).
  std::size_t length = 0;

  // Announced parameters, with ISO defaults where a byte is absent.
  std::uint8_t fiDi = 0x11;         // TA1
  std::uint8_t extraGuardTime = 0;  // TC1 (N)
  bool specificMode = false;        // TA2 present
  std::uint8_t specificProtocol = 0;
  bool specificImplicit = false;              // TA2 bit 5: parameters not those of TA1
  std::uint16_t protocols = 0;                // bit t set when T=t is offered
  std::uint8_t firstProtocol = 0;             // protocol of TD1 (T=0 without TD1)
  std::uint8_t workWaitingInteger = 10;       // TC2 (T=0 WI)
  std::uint8_t ifsc = 32;                     // first TA for T=1
  std::uint8_t characterWaitingInteger = 13;  // first TB for T=1, low nibble
  std::uint8_t blockWaitingInteger = 4;       // first TB for T=1, high nibble
  bool crc = false;                           // first TC for T=1, bit 0

  bool offers(std::uint8_t protocol) const { return (protocols & (1u << protocol)) != 0; }
};

// Parses the logical bytes of an ATR (TS 0x3B or 0x3F; 0x03, TS of an
// inverse-convention card as a direct receiver reads it, is taken as 0x3F).
// Extra bytes beyond the ATR are ignored; missing ones leave complete false.
AtrInfo parseAtr(std::span<const std::uint8_t> bytes);

// One line per aspect, for people ("TA1 0x96: Fi=9 (F=512) Di=6 (D=32)").
std::vector<std::string> describeAtr(const AtrInfo& atr);

// Appends the TCK (XOR of T0 up to the last historical byte) to an ATR given
// without it.
std::vector<std::uint8_t> withTck(std::vector<std::uint8_t> atrWithoutTck);

}  // namespace emulator
