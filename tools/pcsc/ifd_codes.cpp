#include "ifd_codes.h"

namespace tav712::pcsc {

RESPONSECODE ifdCodeFor(IfdCall call, Outcome outcome) {
  if (outcome == Outcome::ok) {
    return call == IfdCall::presence ? IFD_ICC_PRESENT : IFD_SUCCESS;
  }
  if (outcome == Outcome::readerGone) return IFD_NO_SUCH_DEVICE;
  switch (call) {
    case IfdCall::createChannel: return IFD_COMMUNICATION_ERROR;
    case IfdCall::powerIcc:
      // pcscd reports a card that cannot be powered (absent or mute) from
      // this one code.
      return IFD_ERROR_POWER_ACTION;
    case IfdCall::setProtocol:
      if (outcome == Outcome::protocolRefused || outcome == Outcome::notSupported) return IFD_PROTOCOL_NOT_SUPPORTED;
      if (outcome == Outcome::cardMute) return IFD_ERROR_PTS_FAILURE;
      return IFD_COMMUNICATION_ERROR;
    case IfdCall::transmit:
      // A slow exchange is the card's time, never a lost reader.
      if (outcome == Outcome::cardMute || outcome == Outcome::tooSlow) return IFD_RESPONSE_TIMEOUT;
      if (outcome == Outcome::noCard) return IFD_ICC_NOT_PRESENT;
      if (outcome == Outcome::bufferTooSmall) return IFD_ERROR_INSUFFICIENT_BUFFER;
      return IFD_COMMUNICATION_ERROR;
    case IfdCall::control:
      if (outcome == Outcome::notSupported) return IFD_ERROR_NOT_SUPPORTED;
      if (outcome == Outcome::bufferTooSmall) return IFD_ERROR_INSUFFICIENT_BUFFER;
      return IFD_COMMUNICATION_ERROR;
    case IfdCall::capability:
      if (outcome == Outcome::bufferTooSmall) return IFD_ERROR_INSUFFICIENT_BUFFER;
      return IFD_ERROR_TAG;
    case IfdCall::presence:
      if (outcome == Outcome::noCard) return IFD_ICC_NOT_PRESENT;
      return IFD_COMMUNICATION_ERROR;
  }
  return IFD_COMMUNICATION_ERROR;
}

}  // namespace tav712::pcsc
