#pragma once
// A card, or one of its protocol engines, fed byte by byte as the reader
// feeds it, with what it sends back; exchanges written as tables.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "emulator/card_output.h"

namespace emulator::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes values(const CardOutput& out) {
  Bytes bytes;
  for (const CardByte& b : out) bytes.push_back(b.value);
  return bytes;
}

// What `card` (a Card, T0Engine or T1Engine) sends in answer to `bytes`.
template <class Receiver>
Bytes feed(Receiver& card, const Bytes& bytes) {
  Bytes answer;
  for (const std::uint8_t b : bytes) {
    const Bytes part = values(card.receive(b));
    answer.insert(answer.end(), part.begin(), part.end());
  }
  return answer;
}

struct Exchange {
  Bytes fromReader;
  Bytes fromCard;
};

template <class Receiver>
void play(Receiver& card, const std::vector<Exchange>& exchanges) {
  int index = 0;
  for (const Exchange& exchange : exchanges) {
    EXPECT_EQ(feed(card, exchange.fromReader), exchange.fromCard) << "exchange " << ++index;
  }
}

}  // namespace emulator::testing
