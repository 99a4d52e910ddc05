// What every fuzz target shares: an invariant check that stops the run the
// way a sanitizer report does (libFuzzer keeps the input as a crash; the
// corpus replay fails its test), and a reader that hands out the fuzzer's
// bytes as the values a target needs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace fuzz {

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: fuzz invariant broken: %s\n", file, line, what);
  std::abort();
}

// Input bytes taken from the front; once they run out every value is 0.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}

  bool empty() const { return bytes_.empty(); }
  std::size_t remaining() const { return bytes_.size(); }

  std::uint8_t byte() {
    if (bytes_.empty()) return 0;
    const std::uint8_t value = bytes_.front();
    bytes_ = bytes_.subspan(1);
    return value;
  }

  // Two bytes, high byte first.
  std::size_t number16() {
    const std::size_t high = byte();
    return high << 8 | byte();
  }

  // Up to `count` bytes (fewer when the input ends).
  std::span<const std::uint8_t> take(std::size_t count) {
    const auto taken = bytes_.first(std::min(count, bytes_.size()));
    bytes_ = bytes_.subspan(taken.size());
    return taken;
  }

  std::span<const std::uint8_t> rest() { return take(bytes_.size()); }

 private:
  std::span<const std::uint8_t> bytes_;
};

}  // namespace fuzz

#define FUZZ_CHECK(condition) ((condition) ? static_cast<void>(0) : ::fuzz::fail(#condition, __FILE__, __LINE__))
