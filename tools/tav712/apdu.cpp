#include "apdu.h"

#include <string>

#include "errors.h"

namespace tav712 {
namespace {

constexpr int maxGetResponseRounds = 64;

Bytes sendOnce(std::span<const std::uint8_t> command,
               const std::function<Bytes(std::span<const std::uint8_t>)>& transmit, ApduOutcome& outcome) {
  Bytes response = transmit(command);
  if (response.size() < 2) {
    throw ToolError(ExitStatus::cardFailed,
                    "the card answered with " + std::to_string(response.size()) + " bytes, too few for a status word",
                    "run the command again; if it persists, reinsert the card or try another");
  }
  outcome.exchanges.push_back({Bytes(command.begin(), command.end()), response});
  return response;
}

void takeResponse(const Bytes& response, ApduOutcome& outcome) {
  outcome.data.insert(outcome.data.end(), response.begin(), response.end() - 2);
  outcome.sw1 = response[response.size() - 2];
  outcome.sw2 = response[response.size() - 1];
}

}  // namespace

void checkCommandApdu(std::span<const std::uint8_t> apdu) {
  if (apdu.size() < 4) {
    throw ToolError(ExitStatus::badInput,
                    "an APDU needs at least 4 bytes (CLA INS P1 P2), got " + std::to_string(apdu.size()),
                    "for example: 00 A4 00 00 02 3F 00");
  }
  if (apdu.size() > maxApduBytes) {
    throw ToolError(ExitStatus::badInput,
                    "APDU too long: " + std::to_string(apdu.size()) + " bytes, a short APDU has at most " +
                        std::to_string(maxApduBytes),
                    "split the data over several commands");
  }
  if (apdu.size() > 5) {
    const std::size_t lc = apdu[4];
    const std::size_t body = apdu.size() - 5;
    if (lc == 0 || (body != lc && body != lc + 1)) {
      throw ToolError(ExitStatus::badInput,
                      "Lc says " + std::to_string(lc) + " data bytes but " + std::to_string(body) + " bytes follow",
                      "Lc (the fifth byte) must count the data bytes; one Le byte may follow them");
    }
  }
}

ApduOutcome exchangeApdu(std::span<const std::uint8_t> apdu,
                         const std::function<Bytes(std::span<const std::uint8_t>)>& transmit, bool complete) {
  checkCommandApdu(apdu);
  ApduOutcome outcome;
  takeResponse(sendOnce(apdu, transmit, outcome), outcome);
  if (!complete) return outcome;

  if (outcome.sw1 == 0x6C) {
    // Wrong Le: resend with the length the card named.
    Bytes resend(apdu.begin(), apdu.end());
    if (resend.size() == 4)
      resend.push_back(outcome.sw2);
    else
      resend.back() = outcome.sw2;
    outcome.data.clear();
    takeResponse(sendOnce(resend, transmit, outcome), outcome);
  }
  for (int round = 0; outcome.sw1 == 0x61 && round < maxGetResponseRounds; ++round) {
    const Bytes getResponse{apdu[0], 0xC0, 0x00, 0x00, outcome.sw2};
    takeResponse(sendOnce(getResponse, transmit, outcome), outcome);
  }
  return outcome;
}

}  // namespace tav712
