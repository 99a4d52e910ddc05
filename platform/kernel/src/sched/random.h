// The scheduler's seeded choices: splitmix64, identical on every platform
// and standard library, so that a seed replays a run anywhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::sched {

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    state_ += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }

  // A value in [0, bound); bound > 0.
  std::size_t below(std::size_t bound) { return static_cast<std::size_t>(next() % bound); }

 private:
  std::uint64_t state_;
};

}  // namespace platform::sched
