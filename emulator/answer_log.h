#pragma once
// What a card answered to the commands it completed, as the host is to get
// it: the response data, then the status word. Checks compare the answer an
// application received with the card's own.

#include <cstdint>
#include <vector>

namespace emulator {

class AnswerLog {
 public:
  void record(std::vector<std::uint8_t> answer) {
    ++count_;
    last_ = std::move(answer);
  }
  // Commands answered since the card went into the slot.
  std::uint64_t count() const { return count_; }
  const std::vector<std::uint8_t>& last() const { return last_; }

 private:
  std::uint64_t count_ = 0;
  std::vector<std::uint8_t> last_;
};

}  // namespace emulator
