// What each outcome of a request becomes for pcscd, per call, and what each
// driver status is as an outcome. The answers the entry-point tests reach on
// the emulator (present, absent, gone, mute transmit, unknown tag or control)
// are checked there.

#include <gtest/gtest.h>

#include "ifd_codes.h"

namespace tav712::pcsc {
namespace {

struct StatusCase {
  std::uint32_t ntStatus;
  Outcome outcome;
};

TEST(OutcomeFor, MapsEachDriverStatus) {
  const StatusCase cases[] = {
      {0x00000000, Outcome::ok},              // STATUS_SUCCESS
      {0xC0000013, Outcome::noCard},          // STATUS_NO_MEDIA_IN_DEVICE
      {0xC00000B5, Outcome::cardMute},        // STATUS_IO_TIMEOUT
      {0xC0000014, Outcome::cardMute},        // STATUS_UNRECOGNIZED_MEDIA: silent at reset
      {0xC0000010, Outcome::notSupported},    // STATUS_INVALID_DEVICE_REQUEST
      {0xC00002B6, Outcome::readerGone},      // STATUS_DEVICE_REMOVED
      {0xC0000023, Outcome::bufferTooSmall},  // STATUS_BUFFER_TOO_SMALL
      {0xC0000120, Outcome::cancelled},       // STATUS_CANCELLED
      {0xC0000001, Outcome::failure},         // STATUS_UNSUCCESSFUL
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outcomeFor(static_cast<std::int32_t>(c.ntStatus)), c.outcome) << std::hex << c.ntStatus;
  }
}

struct CodeCase {
  IfdCall call;
  Outcome outcome;
  RESPONSECODE code;
};

TEST(IfdCodeFor, AnswersPcscdPerCall) {
  const CodeCase cases[] = {
      {IfdCall::powerIcc, Outcome::cardMute, IFD_ERROR_POWER_ACTION},
      {IfdCall::setProtocol, Outcome::protocolRefused, IFD_PROTOCOL_NOT_SUPPORTED},
      {IfdCall::setProtocol, Outcome::cardMute, IFD_ERROR_PTS_FAILURE},
      {IfdCall::transmit, Outcome::noCard, IFD_ICC_NOT_PRESENT},
      {IfdCall::transmit, Outcome::failure, IFD_COMMUNICATION_ERROR},
      {IfdCall::transmit, Outcome::readerGone, IFD_NO_SUCH_DEVICE},
      {IfdCall::control, Outcome::bufferTooSmall, IFD_ERROR_INSUFFICIENT_BUFFER},
      {IfdCall::createChannel, Outcome::failure, IFD_COMMUNICATION_ERROR},
      // A request that outlasts the handler's wait never loses the reader.
      {IfdCall::transmit, Outcome::tooSlow, IFD_RESPONSE_TIMEOUT},
      {IfdCall::presence, Outcome::tooSlow, IFD_COMMUNICATION_ERROR},
      {IfdCall::powerIcc, Outcome::tooSlow, IFD_ERROR_POWER_ACTION},
      {IfdCall::transmit, Outcome::bufferTooSmall, IFD_ERROR_INSUFFICIENT_BUFFER},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ifdCodeFor(c.call, c.outcome), c.code) << static_cast<int>(c.call) << " " << outcomeName(c.outcome);
  }
}

}  // namespace
}  // namespace tav712::pcsc
