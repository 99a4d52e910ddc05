#pragma once
// What a card sends back: characters, each with the idle time before it and
// whether it goes out with a parity error.

#include <cstdint>
#include <vector>

namespace emulator {

struct CardByte {
  std::uint8_t value = 0;
  // Idle ETUs before this character starts (after the previous character,
  // or after the character the card is answering).
  std::uint32_t delayEtu = 0;
  bool parityError = false;
};

using CardOutput = std::vector<CardByte>;

inline void appendBytes(CardOutput& out, const std::vector<std::uint8_t>& bytes, std::uint32_t firstDelayEtu = 0) {
  for (std::size_t i = 0; i < bytes.size(); ++i) out.push_back(CardByte{bytes[i], i == 0 ? firstDelayEtu : 0, false});
}

}  // namespace emulator
