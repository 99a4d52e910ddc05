// Answer-to-reset analysis (ISO/IEC 7816-3, clause 8): the structure of the
// ATR, the interface bytes that the library uses and the ISO tables of the
// transmission factors F and D.
#pragma once

#include <smclib.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace smclib {

// The clock rate conversion table, indexed by Fi (ISO/IEC 7816-3, table 7).
// Reserved entries have F = 0.
extern CLOCK_RATE_CONVERSION clockRateConversion[16];
// The bit rate adjustment table, indexed by Di (table 8). Reserved entries
// have DNumerator = 0.
extern BIT_RATE_ADJUSTMENT bitRateAdjustment[16];

inline constexpr std::uint8_t kDefaultFl = 1;  // Fd = 372, fmax 5 MHz
inline constexpr std::uint8_t kDefaultDl = 1;  // Dd = 1
inline constexpr std::uint8_t kDefaultWi = 10;
inline constexpr std::uint8_t kDefaultIfsc = 32;
inline constexpr std::uint8_t kDefaultCwi = 13;
inline constexpr std::uint8_t kDefaultBwi = 4;
inline constexpr std::uint8_t kMaxBwi = 9;  // the largest defined; 10 to 15 are reserved

// What an ATR says, in the terms the library keeps.
struct AtrInfo {
  bool inverseConvention = false;
  std::uint8_t fi = kDefaultFl;  // TA1 high nibble (default when absent)
  std::uint8_t di = kDefaultDl;  // TA1 low nibble
  bool ta1Present = false;
  std::uint8_t ii = 0;  // TB1
  std::uint8_t pi = 0;
  std::uint8_t n = 0;                 // TC1
  std::uint8_t wi = kDefaultWi;       // TC2
  bool specificMode = false;          // TA2 present
  std::uint8_t specificProtocol = 0;  // TA2 low nibble
  bool specificImplicit = false;      // TA2 bit 5: parameters not from TA1
  std::uint8_t ifsc = kDefaultIfsc;   // first TA for T=1
  std::uint8_t cwi = kDefaultCwi;     // first TB for T=1, low nibble
  std::uint8_t bwi = kDefaultBwi;     // first TB for T=1, high nibble
  bool crc = false;                   // first TC for T=1, bit 0
  std::uint32_t protocols = 0;        // SCARD_PROTOCOL_T0 / _T1 offered
  std::array<std::uint8_t, 15> historical{};
  std::uint8_t historicalLength = 0;
  bool tckPresent = false;
};

// Parses an ATR whose bytes carry their logical values (TS 0x3B or 0x3F).
// Returns nothing for a malformed ATR or one no reader can serve: bad TS,
// bytes missing or left over, a wrong TCK, an IFSC of 0, a specific mode
// for another protocol than T=0 or T=1 or at reserved factors in TA1.
// Reserved values with a safe reading are read that way: IFSC 0xFF as 254,
// a BWI over 9 as 9, reserved factors in TA1 of a negotiable card as no TA1.
std::optional<AtrInfo> parseAtr(std::span<const std::uint8_t> atr);

// F and D of the table entries, and whether both are defined.
bool factorsDefined(std::uint8_t fl, std::uint8_t dl);

// One ETU in microseconds at the given clock (kHz), for Fi/Di indices, at
// least 1; 0 when undefined.
std::uint32_t etuMicroseconds(std::uint8_t fl, std::uint8_t dl, std::uint32_t clockKhz);

// Recomputes etu, GT and the T=0/T=1 waiting times of CardCapabilities for
// the factors in use and the reader's clock.
void updateWaitingTimes(SMARTCARD_EXTENSION& extension);

}  // namespace smclib
