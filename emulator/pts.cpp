#include "emulator/pts.h"

#include <algorithm>

#include "emulator/iso7816.h"

namespace emulator {

std::size_t ptsRequestLength(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 2) return 0;
  const std::uint8_t pts0 = bytes[1];
  return 3u + ((pts0 >> 4) & 1u) + ((pts0 >> 5) & 1u) + ((pts0 >> 6) & 1u);
}

PtsAnswer answerPts(std::span<const std::uint8_t> request, const PtsPolicy& policy, std::uint16_t protocols,
                    std::uint8_t ta1) {
  PtsAnswer answer;
  if (policy.behaviour == PtsBehaviour::silent) return answer;
  if (request.size() < 3 || request[0] != 0xFF || request.size() != ptsRequestLength(request)) return answer;
  if (longitudinalRedundancy(request) != 0) return answer;
  const std::uint8_t pts0 = request[1];
  const std::uint8_t protocol = static_cast<std::uint8_t>(pts0 & 0x0F);
  if ((protocols & (1u << protocol)) == 0) return answer;
  const bool hasPts1 = (pts0 & 0x10) != 0;
  const std::uint8_t fiDi = hasPts1 ? request[2] : std::uint8_t{0x11};
  const bool acceptable =
      fiDi == 0x11 || fiDi == 0x01 || fiDi == ta1 ||
      std::find(policy.acceptedFactors.begin(), policy.acceptedFactors.end(), fiDi) != policy.acceptedFactors.end();
  answer.protocol = protocol;
  switch (policy.behaviour) {
    case PtsBehaviour::echo:
      if (!acceptable || etuClocksFor(fiDi) == 0) return answer;
      answer.reply.assign(request.begin(), request.end());
      answer.switched = true;
      answer.fiDi = fiDi;
      return answer;
    case PtsBehaviour::withoutPts1:
      answer.reply = {0xFF, protocol, 0};
      answer.switched = true;
      answer.fiDi = 0x11;
      break;
    case PtsBehaviour::otherFactors:
      answer.reply = {0xFF, static_cast<std::uint8_t>(0x10 | protocol), policy.otherFactors, 0};
      answer.switched = etuClocksFor(policy.otherFactors) != 0;
      answer.fiDi = policy.otherFactors;
      break;
    case PtsBehaviour::badCheck:
      answer.reply.assign(request.begin(), request.end());
      answer.reply.back() = static_cast<std::uint8_t>(answer.reply.back() ^ 0x5A);
      return answer;
    case PtsBehaviour::silent: return answer;
  }
  answer.reply.back() = longitudinalRedundancy(std::span(answer.reply).first(answer.reply.size() - 1));
  return answer;
}

}  // namespace emulator
