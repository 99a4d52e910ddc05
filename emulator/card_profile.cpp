#include "emulator/card_profile.h"

#include <array>

#include "emulator/atr.h"

namespace emulator {
namespace {

// Historical bytes "T712" followed by a kind digit.
std::vector<std::uint8_t> historical(char kind) { return {'T', '7', '1', '2', static_cast<std::uint8_t>(kind)}; }

std::vector<std::uint8_t> concat(std::vector<std::uint8_t> head, const std::vector<std::uint8_t>& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

constexpr std::array<std::string_view, 7> names{"t0", "t1", "t1-crc", "dual", "specific", "inverse", "slow"};

}  // namespace

bool isCardProfileName(std::string_view name) {
  for (const auto known : names) {
    if (known == name) return true;
  }
  return false;
}

std::vector<std::string> cardProfileNames() { return {names.begin(), names.end()}; }

CardProfile cardProfile(std::string_view name) {
  CardProfile profile;
  profile.name = isCardProfileName(name) ? std::string(name) : std::string("t1");
  const std::string& n = profile.name;
  if (n == "t0" || n == "inverse") {
    // T0: TA1 present, 5 historical bytes; no TD1, so T=0 only and no TCK.
    profile.coldAtr = concat({n == "t0" ? std::uint8_t{0x3B} : std::uint8_t{0x3F}, 0x15, 0x13}, historical('0'));
  } else if (n == "slow") {
    profile.coldAtr = concat({0x3B, 0x05}, historical('S'));
  } else if (n == "t1" || n == "t1-crc") {
    // TA1 0x13, TD1 0x81 (TD2, T=1), TD2 0x31 or 0x11 (TA3 [TC3], T=1), IFSC 32.
    profile.coldAtr = n == "t1" ? withTck(concat({0x3B, 0x95, 0x13, 0x81, 0x11, 0x20}, historical('1')))
                                : withTck(concat({0x3B, 0x95, 0x13, 0x81, 0x51, 0x20, 0x01}, historical('C')));
  } else if (n == "dual") {
    // TD1 0x80 (TD2, T=0), TD2 0x31 (TA3 and TB3, T=1), IFSC 32, TB3 0x45:
    // BWI 4 and CWI 5, the waiting times of a typical T=1 card, so that the
    // end of each block is seen after 43 ETU rather than the default's 8203.
    profile.coldAtr = withTck(concat({0x3B, 0x95, 0x13, 0x80, 0x31, 0x20, 0x45}, historical('D')));
  } else if (n == "specific") {
    // TD1 0x91 (TA2 and TD2, T=1), TA2 0x01 (specific T=1 at TA1), TD2 0x11.
    profile.coldAtr = withTck(concat({0x3B, 0x95, 0x13, 0x91, 0x01, 0x11, 0x20}, historical('P')));
  }
  return profile;
}

}  // namespace emulator
