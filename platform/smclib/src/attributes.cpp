// GET_ATTRIBUTE and SET_ATTRIBUTE. Input: the ULONG tag (then, for a set, the
// value). Output: the value, in the encoding PC/SC gives each tag: strings as
// their bytes, numbers as ULONG, presence and interface status as one byte.
#include "atr.h"
#include "library_state.h"
#include "requests.h"

#include <algorithm>

namespace smclib {
namespace {

NTSTATUS answerBytes(RequestBuffers& request, const UCHAR* bytes, ULONG length) {
  if (request.outLength < length || (length > 0 && request.out == nullptr)) return STATUS_BUFFER_TOO_SMALL;
  if (length > 0) RtlMoveMemory(request.out, bytes, length);
  request.information = length;
  return STATUS_SUCCESS;
}

NTSTATUS answerUlong(RequestBuffers& request, ULONG value) {
  UCHAR bytes[sizeof(ULONG)];
  writeUlong(bytes, value);
  return answerBytes(request, bytes, sizeof bytes);
}

NTSTATUS answerByte(RequestBuffers& request, UCHAR value) { return answerBytes(request, &value, 1); }

template <typename Text>
NTSTATUS answerText(RequestBuffers& request, const Text& text) {
  const ULONG length = std::min<ULONG>(text.Length, sizeof text.Buffer);
  if (length == 0) return STATUS_NOT_SUPPORTED;  // the reader does not report it
  return answerBytes(request, text.Buffer, length);
}

// Attributes of the card in the reader need a card that has been reset.
NTSTATUS checkResetCard(SMARTCARD_EXTENSION& extension) {
  const ULONG state = currentState(extension);
  if (state <= SCARD_ABSENT) return STATUS_NO_MEDIA_IN_DEVICE;
  if (state < SCARD_NEGOTIABLE) return STATUS_INVALID_DEVICE_STATE;
  return STATUS_SUCCESS;
}

ULONG integralD(const SCARD_CARD_CAPABILITIES& card) {
  if (card.Dl >= 16 || bitRateAdjustment[card.Dl].DDivisor == 0) return 0;
  return bitRateAdjustment[card.Dl].DNumerator / bitRateAdjustment[card.Dl].DDivisor;
}

bool isCardAttribute(ULONG tag) {
  switch (tag) {
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE:
    case SCARD_ATTR_CURRENT_CLK:
    case SCARD_ATTR_CURRENT_F:
    case SCARD_ATTR_CURRENT_D:
    case SCARD_ATTR_CURRENT_N:
    case SCARD_ATTR_CURRENT_W:
    case SCARD_ATTR_CURRENT_IFSC:
    case SCARD_ATTR_CURRENT_IFSD:
    case SCARD_ATTR_CURRENT_BWT:
    case SCARD_ATTR_CURRENT_CWT:
    case SCARD_ATTR_CURRENT_EBC_ENCODING:
    case SCARD_ATTR_ATR_STRING: return true;
    default: return false;
  }
}

NTSTATUS cardAttribute(SMARTCARD_EXTENSION& extension, RequestBuffers& request, ULONG tag) {
  if (!isCardAttribute(tag)) return STATUS_NOT_SUPPORTED;
  if (NTSTATUS status = checkResetCard(extension); !NT_SUCCESS(status)) return status;
  const auto& card = extension.CardCapabilities;
  switch (tag) {
    case SCARD_ATTR_CURRENT_PROTOCOL_TYPE: return answerUlong(request, card.Protocol.Selected);
    case SCARD_ATTR_CURRENT_CLK:
      return answerUlong(request, card.PtsData.CLKFrequency != 0 ? card.PtsData.CLKFrequency
                                                                 : extension.ReaderCapabilities.CLKFrequency.Default);
    case SCARD_ATTR_CURRENT_F: return answerUlong(request, card.Fl < 16 ? clockRateConversion[card.Fl].F : 0);
    case SCARD_ATTR_CURRENT_D: return answerUlong(request, integralD(card));
    case SCARD_ATTR_CURRENT_N: return answerUlong(request, card.N);
    case SCARD_ATTR_CURRENT_W: return answerUlong(request, card.T0.WI);
    case SCARD_ATTR_CURRENT_IFSC: return answerUlong(request, extension.T1.IFSC);
    case SCARD_ATTR_CURRENT_IFSD: return answerUlong(request, extension.T1.IFSD);
    case SCARD_ATTR_CURRENT_BWT: return answerUlong(request, card.T1.BWI);
    case SCARD_ATTR_CURRENT_CWT: return answerUlong(request, card.T1.CWI);
    case SCARD_ATTR_CURRENT_EBC_ENCODING: return answerUlong(request, card.T1.EDC & T1_CRC_CHECK);
    case SCARD_ATTR_ATR_STRING:
      return answerBytes(request, card.ATR.Buffer, std::min<ULONG>(card.ATR.Length, sizeof card.ATR.Buffer));
    default: return STATUS_NOT_SUPPORTED;
  }
}

}  // namespace

NTSTATUS handleGetAttribute(SMARTCARD_EXTENSION& extension, RequestBuffers& request) {
  if (request.inLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  const ULONG tag = readUlong(request.in);
  const auto& vendor = extension.VendorAttr;
  const auto& reader = extension.ReaderCapabilities;
  switch (tag) {
    case SCARD_ATTR_VENDOR_NAME: return answerText(request, vendor.VendorName);
    case SCARD_ATTR_VENDOR_IFD_TYPE: return answerText(request, vendor.IfdType);
    case SCARD_ATTR_VENDOR_IFD_SERIAL_NO: return answerText(request, vendor.IfdSerialNo);
    case SCARD_ATTR_VENDOR_IFD_VERSION:
      return answerUlong(request, (ULONG{vendor.IfdVersion.VersionMajor} << 24) |
                                      (ULONG{vendor.IfdVersion.VersionMinor} << 16) | vendor.IfdVersion.BuildNumber);
    case SCARD_ATTR_DEVICE_UNIT: return answerUlong(request, vendor.UnitNo);
    case SCARD_ATTR_CHANNEL_ID: return answerUlong(request, (reader.ReaderType << 16) | (reader.Channel & 0xFFFF));
    case SCARD_ATTR_PROTOCOL_TYPES: return answerUlong(request, reader.SupportedProtocols);
    case SCARD_ATTR_DEFAULT_CLK: return answerUlong(request, reader.CLKFrequency.Default);
    case SCARD_ATTR_MAX_CLK: return answerUlong(request, reader.CLKFrequency.Max);
    case SCARD_ATTR_DEFAULT_DATA_RATE: return answerUlong(request, reader.DataRate.Default);
    case SCARD_ATTR_MAX_DATA_RATE: return answerUlong(request, reader.DataRate.Max);
    case SCARD_ATTR_MAX_IFSD: return answerUlong(request, reader.MaxIFSD);
    case SCARD_ATTR_POWER_MGMT_SUPPORT: return answerUlong(request, reader.PowerMgmtSupport);
    case SCARD_ATTR_CHARACTERISTICS: return answerUlong(request, reader.MechProperties);
    case SCARD_ATTR_ICC_PRESENCE: {
      const ULONG state = currentState(extension);
      return answerByte(request, state <= SCARD_ABSENT ? 0 : state == SCARD_PRESENT ? 1 : 2);
    }
    case SCARD_ATTR_ICC_INTERFACE_STATUS: return answerByte(request, currentState(extension) >= SCARD_POWERED ? 1 : 0);
    default: return cardAttribute(extension, request, tag);
  }
}

NTSTATUS handleSetAttribute(SMARTCARD_EXTENSION& extension, RequestBuffers& request) {
  if (request.inLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  const ULONG tag = readUlong(request.in);
  const ULONG valueLength = request.inLength - static_cast<ULONG>(sizeof(ULONG));
  switch (tag) {
    case SCARD_ATTR_SUPRESS_T1_IFS_REQUEST:
      if (valueLength < 1) return STATUS_INVALID_PARAMETER;
      extension.T1.SuppressIfsRequest = request.in[sizeof(ULONG)] != 0 ? TRUE : FALSE;
      return STATUS_SUCCESS;
    default: return STATUS_NOT_SUPPORTED;
  }
}

}  // namespace smclib
