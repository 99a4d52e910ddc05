#pragma once
// What kind of card is in the slot: its answers-to-reset, PTS behaviour, T=0
// procedure byte style, timing and application data. Named profiles cover
// the usual kinds; every field can be changed afterwards.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/card_application.h"
#include "emulator/pts.h"
#include "emulator/t0_engine.h"

namespace emulator {

struct CardProfile {
  std::string name;
  // Logical ATR bytes, TCK included where the ATR needs one. TS 0x3F makes an
  // inverse-convention card.
  std::vector<std::uint8_t> coldAtr;
  std::vector<std::uint8_t> warmAtr;  // empty: the cold ATR
  PtsPolicy pts;
  T0Options t0;
  // From the reset to the start of the first ATR character (ISO/IEC 7816-3
  // allows 400 to 40000 clock cycles).
  std::uint32_t atrDelayClocks = 10'000;
  // Idle ETUs between the end of the character the card answers and the
  // start of its answer.
  std::uint32_t turnaroundEtu = 10;
  ApplicationConfig application = defaultApplicationConfig();
};

// "t0"      3B 15 13 54 37 31 32 30: T=0, TA1 0x13 (F 372, D 4)
// "t1"      T=1, TA1 0x13, IFSC 32, LRC
// "t1-crc"  as t1 with CRC
// "dual"    T=0 and T=1 (T=0 first), TA1 0x13, T=1 with CWI 5 and BWI 4
// "specific" T=1 in the specific mode (TA2 0x01) at TA1 0x13
// "inverse" the t0 card in the inverse convention (TS 0x3F)
// "slow"    T=0 without TA1 (F 372, D 1) whose WI is 10
// Unknown names give the t1 profile; cardProfileNames() lists the known ones.
CardProfile cardProfile(std::string_view name);
bool isCardProfileName(std::string_view name);
std::vector<std::string> cardProfileNames();

}  // namespace emulator
