#include "status_words.h"

#include <array>

namespace tav712 {
namespace {

struct ExactMeaning {
  std::uint8_t sw1;
  std::uint8_t sw2;
  const char* text;
};

// ISO/IEC 7816-4, table of status words (interindustry values).
constexpr std::array exactMeanings{
    ExactMeaning{0x90, 0x00, "normal processing"},
    ExactMeaning{0x62, 0x81, "warning: part of returned data may be corrupted"},
    ExactMeaning{0x62, 0x82, "warning: end of file reached before reading Le bytes"},
    ExactMeaning{0x62, 0x83, "warning: selected file deactivated"},
    ExactMeaning{0x63, 0x00, "warning: verification failed"},
    ExactMeaning{0x64, 0x00, "execution error: state of non-volatile memory unchanged"},
    ExactMeaning{0x65, 0x81, "execution error: memory failure"},
    ExactMeaning{0x67, 0x00, "wrong length"},
    ExactMeaning{0x68, 0x81, "logical channel not supported"},
    ExactMeaning{0x68, 0x82, "secure messaging not supported"},
    ExactMeaning{0x69, 0x81, "command incompatible with file structure"},
    ExactMeaning{0x69, 0x82, "security status not satisfied"},
    ExactMeaning{0x69, 0x83, "authentication method blocked"},
    ExactMeaning{0x69, 0x84, "reference data not usable"},
    ExactMeaning{0x69, 0x85, "conditions of use not satisfied"},
    ExactMeaning{0x69, 0x86, "command not allowed (no current EF)"},
    ExactMeaning{0x6A, 0x80, "incorrect parameters in the data field"},
    ExactMeaning{0x6A, 0x81, "function not supported"},
    ExactMeaning{0x6A, 0x82, "file or application not found"},
    ExactMeaning{0x6A, 0x83, "record not found"},
    ExactMeaning{0x6A, 0x84, "not enough memory space in the file"},
    ExactMeaning{0x6A, 0x86, "incorrect parameters P1-P2"},
    ExactMeaning{0x6A, 0x88, "referenced data not found"},
    ExactMeaning{0x6B, 0x00, "wrong parameters P1-P2 (offset outside the file)"},
    ExactMeaning{0x6D, 0x00, "instruction code not supported or invalid"},
    ExactMeaning{0x6E, 0x00, "class not supported"},
    ExactMeaning{0x6F, 0x00, "no precise diagnosis"},
};

}  // namespace

std::string describeStatusWord(std::uint8_t sw1, std::uint8_t sw2) {
  for (const auto& meaning : exactMeanings) {
    if (meaning.sw1 == sw1 && meaning.sw2 == sw2) return meaning.text;
  }
  switch (sw1) {
    case 0x61: return std::to_string(sw2 == 0 ? 256 : sw2) + " response bytes still available (GET RESPONSE)";
    case 0x6C: return "wrong Le: the card has " + std::to_string(sw2 == 0 ? 256 : sw2) + " bytes (resend with that Le)";
    case 0x63:
      if ((sw2 & 0xF0) == 0xC0) return "verification failed, " + std::to_string(sw2 & 0x0F) + " tries left";
      return "warning: state of non-volatile memory changed";
    case 0x62: return "warning: state of non-volatile memory unchanged";
    case 0x64: return "execution error: state of non-volatile memory unchanged";
    case 0x65: return "execution error: state of non-volatile memory changed";
    case 0x66: return "security-related issue";
    case 0x68: return "functions in CLA not supported";
    case 0x69: return "command not allowed";
    case 0x6A: return "wrong parameters P1-P2";
    default: break;
  }
  if (sw1 == 0x90 || (sw1 & 0xF0) == 0x90) return "proprietary status";
  return "unknown status word";
}

}  // namespace tav712
