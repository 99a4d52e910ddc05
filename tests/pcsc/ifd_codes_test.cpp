// What each outcome of a request becomes for pcscd, per call, and what each
// driver status is as an outcome.

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
      {0xC0000186, Outcome::cardMute},        // STATUS_DEVICE_PROTOCOL_ERROR
      {0xC0000010, Outcome::notSupported},    // STATUS_INVALID_DEVICE_REQUEST
      {0xC00000BB, Outcome::notSupported},    // STATUS_NOT_SUPPORTED
      {0xC00002B6, Outcome::readerGone},      // STATUS_DEVICE_REMOVED
      {0xC000009D, Outcome::readerGone},      // STATUS_DEVICE_NOT_CONNECTED
      {0xC0000023, Outcome::bufferTooSmall},  // STATUS_BUFFER_TOO_SMALL
      {0xC0000120, Outcome::cancelled},       // STATUS_CANCELLED
      {0xC0000001, Outcome::failure},         // STATUS_UNSUCCESSFUL
      {0xC000003E, Outcome::failure},         // STATUS_DATA_ERROR
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
      {IfdCall::presence, Outcome::ok, IFD_ICC_PRESENT},
      {IfdCall::presence, Outcome::noCard, IFD_ICC_NOT_PRESENT},
      {IfdCall::presence, Outcome::readerGone, IFD_NO_SUCH_DEVICE},
      {IfdCall::powerIcc, Outcome::ok, IFD_SUCCESS},
      {IfdCall::powerIcc, Outcome::noCard, IFD_ERROR_POWER_ACTION},
      {IfdCall::powerIcc, Outcome::cardMute, IFD_ERROR_POWER_ACTION},
      {IfdCall::powerIcc, Outcome::readerGone, IFD_NO_SUCH_DEVICE},
      {IfdCall::setProtocol, Outcome::protocolRefused, IFD_PROTOCOL_NOT_SUPPORTED},
      {IfdCall::setProtocol, Outcome::cardMute, IFD_ERROR_PTS_FAILURE},
      {IfdCall::transmit, Outcome::ok, IFD_SUCCESS},
      {IfdCall::transmit, Outcome::cardMute, IFD_RESPONSE_TIMEOUT},
      {IfdCall::transmit, Outcome::noCard, IFD_ICC_NOT_PRESENT},
      {IfdCall::transmit, Outcome::failure, IFD_COMMUNICATION_ERROR},
      {IfdCall::transmit, Outcome::readerGone, IFD_NO_SUCH_DEVICE},
      {IfdCall::control, Outcome::notSupported, IFD_ERROR_NOT_SUPPORTED},
      {IfdCall::control, Outcome::bufferTooSmall, IFD_ERROR_INSUFFICIENT_BUFFER},
      {IfdCall::capability, Outcome::notSupported, IFD_ERROR_TAG},
      {IfdCall::createChannel, Outcome::readerGone, IFD_NO_SUCH_DEVICE},
      {IfdCall::createChannel, Outcome::failure, IFD_COMMUNICATION_ERROR},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ifdCodeFor(c.call, c.outcome), c.code)
        << static_cast<int>(c.call) << " " << outcomeName(c.outcome);
  }
}

}  // namespace
}  // namespace tav712::pcsc
