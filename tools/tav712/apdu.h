#pragma once
// Command APDUs as an application stack sends them: checked for form, and
// completed the way PC/SC applications do it: 61xx fetched with GET
// RESPONSE, 6Cxx answered by resending with the length the card asked for.
// T=0 cards need this to return data at all; T=1 cards may ask for it too.

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace tav712 {

using Bytes = std::vector<std::uint8_t>;

// A short command APDU is 4 to 261 bytes (header, Lc and up to 255 bytes, Le).
inline constexpr std::size_t maxApduBytes = 261;

// Throws ToolError (bad input) when the bytes cannot be a command APDU.
void checkCommandApdu(std::span<const std::uint8_t> apdu);

struct ApduExchange {
  Bytes command;
  Bytes response;  // data followed by SW1 SW2
};

struct ApduOutcome {
  Bytes data;  // the response data, joined across GET RESPONSE rounds
  std::uint8_t sw1 = 0;
  std::uint8_t sw2 = 0;
  std::vector<ApduExchange> exchanges;  // every command actually sent, in order
};

// Sends one command through `transmit` (which returns data + SW1 SW2).
// With `complete` set, follows 61xx and 6Cxx as described above, within a
// fixed number of rounds so that a card answering 61xx for ever cannot hang us.
ApduOutcome exchangeApdu(std::span<const std::uint8_t> apdu,
                         const std::function<Bytes(std::span<const std::uint8_t>)>& transmit, bool complete);

}  // namespace tav712
