#pragma once
// What a card's status word means, in ISO/IEC 7816-4 terms, for people.

#include <cstdint>
#include <string>

namespace tav712 {

// "normal processing", "wrong length", "file or application not found", ...
// Status words with a count in SW2 (61xx, 6Cxx, 63Cx) say the count.
std::string describeStatusWord(std::uint8_t sw1, std::uint8_t sw2);

}  // namespace tav712
