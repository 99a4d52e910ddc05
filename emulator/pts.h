#pragma once
// Protocol type selection from the card's side (ISO/IEC 7816-3, clause 9):
//
//   PTSS 0xFF | PTS0 0 b6 b5 b4 tttt | PTS1 FiDi | PTS2 | PTS3 | PCK
//
// b4, b5, b6 announce PTS1, PTS2, PTS3; PCK makes the XOR of all bytes zero.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace emulator {

enum class PtsBehaviour {
  echo,          // accept a valid proposal by echoing it; stay silent otherwise
  silent,        // never answer
  withoutPts1,   // accept the protocol, answer without PTS1 (default factors)
  otherFactors,  // answer with PTS1 = PtsPolicy::otherFactors and use them
  badCheck,      // echo with a wrong PCK and change nothing
};

struct PtsPolicy {
  PtsBehaviour behaviour = PtsBehaviour::echo;
  std::uint8_t otherFactors = 0x11;
  // Factors accepted besides the default (0x11, 0x01) and TA1.
  std::vector<std::uint8_t> acceptedFactors;
};

// Bytes of the request as far as PTS0 tells; 0 while PTS0 is not there.
std::size_t ptsRequestLength(std::span<const std::uint8_t> bytes);

struct PtsAnswer {
  std::vector<std::uint8_t> reply;  // empty: the card stays silent
  bool switched = false;            // the card now uses protocol and fiDi
  std::uint8_t protocol = 0;
  std::uint8_t fiDi = 0x11;
};

// The card's answer to a complete request, given the protocols it offers
// (bit t for T=t) and its TA1.
PtsAnswer answerPts(std::span<const std::uint8_t> request, const PtsPolicy& policy, std::uint16_t protocols,
                    std::uint8_t ta1);

}  // namespace emulator
