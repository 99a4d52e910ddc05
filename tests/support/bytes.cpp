#include "support/bytes.h"

#include <cstdio>

namespace tav712::testing {

Bytes ulongBytes(std::initializer_list<std::uint32_t> values) {
  Bytes bytes;
  for (std::uint32_t value : values) {
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<std::uint8_t>(value >> shift));
  }
  return bytes;
}

std::uint32_t ulongFrom(const Bytes& bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(bytes.at(offset + i)) << (8 * i);
  return value;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::string hex(const Bytes& bytes) {
  std::string text;
  char piece[4];
  for (std::uint8_t byte : bytes) {
    std::snprintf(piece, sizeof piece, text.empty() ? "%02X" : " %02X", byte);
    text += piece;
  }
  return text;
}

}  // namespace tav712::testing
