#pragma once
// Small ISO/IEC 7816-3 and 7816-4 facts shared by the cards, the reader and
// the trace decoder: transmission factor tables, check codes, the inverse
// convention, and the names of status words.

#include <cstdint>
#include <span>
#include <string>

namespace emulator {

// Card clock of the TAV712: 3.58 MHz.
inline constexpr std::uint32_t cardClockHz = 3'580'000;
// Initial ETU (F = 372, D = 1) in card clock cycles.
inline constexpr std::uint32_t initialEtuClocks = 372;

// F for index Fi (ISO/IEC 7816-3 table 7); 0 for reserved indices.
std::uint32_t clockRateFactor(std::uint8_t fi);
// D for index Di (table 8); 0 for reserved indices.
std::uint32_t bitRateFactor(std::uint8_t di);
// ETU in clock cycles for TA-style byte (Fi high nibble, Di low nibble); 0
// when either index is reserved.
std::uint32_t etuClocksFor(std::uint8_t fiDi);

// Duration of a number of card clock cycles at 3.58 MHz.
std::int64_t clocksToNanoseconds(std::uint64_t clocks);

std::uint8_t longitudinalRedundancy(std::span<const std::uint8_t> bytes);
// CRC of ISO/IEC 13239 as T=1 uses it (initial 0xFFFF, reflected polynomial
// 0x8408), sent most significant byte first.
std::uint16_t blockCrc(std::span<const std::uint8_t> bytes);

// The byte a direct-convention receiver reads when an inverse-convention card
// sends the logical value (and vice versa: the transform is its own inverse).
std::uint8_t inverseConventionByte(std::uint8_t value);

// A short English meaning of a status word ("file not found").
std::string statusWordMeaning(std::uint16_t sw);

}  // namespace emulator
