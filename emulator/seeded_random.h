#pragma once
// The emulator's only source of chance: SplitMix64, so a seed reproduces a
// run on every platform and standard library.

#include <cstdint>

namespace emulator {

class SeededRandom {
 public:
  explicit SeededRandom(std::uint64_t seed = 0) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::uint8_t nextByte() { return static_cast<std::uint8_t>(next() >> 56); }

 private:
  std::uint64_t state_;
};

}  // namespace emulator
