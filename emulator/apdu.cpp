#include "emulator/apdu.h"

namespace emulator {

std::vector<std::uint8_t> ResponseApdu::bytes() const {
  std::vector<std::uint8_t> out = data;
  out.push_back(sw1());
  out.push_back(sw2());
  return out;
}

std::optional<CommandApdu> parseCommandApdu(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 4) return std::nullopt;
  CommandApdu apdu{bytes[0], bytes[1], bytes[2], bytes[3], {}, std::nullopt};
  const auto body = bytes.subspan(4);
  const auto le = [](std::uint8_t b) { return b == 0 ? std::size_t{256} : std::size_t{b}; };
  if (body.empty()) return apdu;  // case 1
  if (body.size() == 1) {         // case 2
    apdu.ne = le(body[0]);
    return apdu;
  }
  const std::size_t lc = body[0];
  if (lc == 0) return std::nullopt;  // extended length
  if (body.size() == 1 + lc) {       // case 3
    apdu.data.assign(body.begin() + 1, body.end());
    return apdu;
  }
  if (body.size() == 2 + lc) {  // case 4
    apdu.data.assign(body.begin() + 1, body.end() - 1);
    apdu.ne = le(body.back());
    return apdu;
  }
  return std::nullopt;
}

}  // namespace emulator
