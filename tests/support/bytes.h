#pragma once
// Byte helpers for driver tests: the little-endian ULONGs that requests
// carry, and bytes as hex text, which reads well in a failed comparison.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace tav712::testing {

using Bytes = std::vector<std::uint8_t>;

// Each value as four bytes, least significant first, one after another.
Bytes ulongBytes(std::initializer_list<std::uint32_t> values);
inline Bytes ulongBytes(std::uint32_t value) { return ulongBytes({value}); }
std::uint32_t ulongFrom(const Bytes& bytes, std::size_t offset = 0);

Bytes concat(std::initializer_list<Bytes> parts);
// "3B 02 41" (upper case, one space between bytes).
std::string hex(const Bytes& bytes);

}  // namespace tav712::testing
