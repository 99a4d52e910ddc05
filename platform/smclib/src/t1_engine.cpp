// The T=1 engine (ISO/IEC 7816-3, clause 11), interface-device side.
//
// One command is one chain of our I-blocks (IoRequest.RequestBuffer cut into
// pieces of IFSC bytes; the card acknowledges each chained piece with an
// R-block) followed by the card's answer (its I-blocks, which we acknowledge
// with R-blocks while it chains). S-blocks interleave: the card may ask for a
// new IFSC, for more time (WTX) or abort; we ask for IFSD once after each
// answer-to-reset, for an abort when the answer overflows the caller's
// buffer, and for resynchronisation after repeated errors.
//
// Error recovery: an invalid or missing block is answered with an R-block
// naming the block we expect (or the S-request is sent again); after three
// consecutive failures S(RESYNCH request) resets the sequence numbers and the
// command starts over; three failed resynchronisations end the command,
// STATUS_IO_TIMEOUT when the card had gone silent, STATUS_DEVICE_PROTOCOL_ERROR
// otherwise.
//
// The engine decides from its own record of what was sent (LastSentPcb and
// the chain counters), never from T1.State alone: the driver may set State
// back to T1_I_BLOCK after we built an S(IFS response).
#include "t1_engine.h"

#include "t1_block.h"

#include <algorithm>
#include <span>

namespace smclib {
namespace {

constexpr UCHAR kMaxErrors = 3;   // failed exchanges of one block before resynchronising
constexpr UCHAR kMaxResynch = 3;  // S(RESYNCH request) attempts before giving up
constexpr USHORT kMaxWtx = 1024;  // waiting time extensions per command

bool usesCrc(const SMARTCARD_EXTENSION& extension) { return (extension.CardCapabilities.T1.EDC & T1_CRC_CHECK) != 0; }

// The IFSD we propose: the reader's maximum, within 1..254.
UCHAR wantedIfsd(const SMARTCARD_EXTENSION& extension) {
  const ULONG max = extension.ReaderCapabilities.MaxIFSD;
  if (max == 0) return t1::kDefaultIfs;
  return static_cast<UCHAR>(std::min<ULONG>(max, t1::kMaxIfs));
}

// The NAD a card answers with: source and destination swapped.
UCHAR expectedCardNad(UCHAR nad) { return static_cast<UCHAR>(((nad & 0x07) << 4) | ((nad >> 4) & 0x07)); }

// Whether the last I-block we sent announced more data (M bit).
bool ourBlockChained(const T1_DATA& t1) { return t1.IBlockPending && t1.BytesToSend > t1.InfBytesSent; }

void acknowledgeOurBlock(T1_DATA& t1) {
  t1.BytesSent += t1.InfBytesSent;
  t1.BytesToSend -= t1.InfBytesSent;
  t1.SSN ^= 1;
  t1.IBlockPending = FALSE;
}

void restartCommand(SMARTCARD_EXTENSION& extension) {
  auto& t1 = extension.T1;
  t1.BytesSent = 0;
  t1.BytesToSend = extension.IoRequest.RequestBufferLength;
  t1.BytesReceived = 0;
  t1.InfBytesSent = 0;
  t1.MoreData = FALSE;
  t1.IBlockPending = FALSE;
  t1.ReplyOverflow = FALSE;
  t1.ErrorCount = 0;
  t1.ReplyData = extension.IoRequest.ReplyBuffer;
}

void beginCommand(SMARTCARD_EXTENSION& extension) {
  auto& t1 = extension.T1;
  restartCommand(extension);
  t1.Resynch = 0;
  t1.Resend = 0;
  t1.Aborted = FALSE;
  t1.CardMute = FALSE;
  t1.WtxCount = 0;
  t1.CommandActive = TRUE;
  if (t1.State == T1_INIT && !t1.SuppressIfsRequest && wantedIfsd(extension) != t1.IFSD) {
    t1.IfsdRequested = wantedIfsd(extension);
    t1.OriginalState = T1_INIT;
    t1.State = T1_IFS_REQUEST;
  } else {
    t1.State = T1_I_BLOCK;
  }
}

NTSTATUS finish(SMARTCARD_EXTENSION& extension, NTSTATUS status) {
  auto& t1 = extension.T1;
  t1.CommandActive = FALSE;
  t1.IBlockPending = FALSE;
  t1.MoreData = FALSE;
  t1.State = T1_START;
  if (extension.IoRequest.Information != nullptr) {
    *extension.IoRequest.Information = status == STATUS_SUCCESS ? t1.BytesReceived : 0;
  }
  return status;
}

// The state that an S-response interrupts.
ULONG contextState(const T1_DATA& t1) {
  return (t1.IBlockPending || t1.BytesSent > 0 || t1.MoreData) ? T1_I_BLOCK : T1_INIT;
}

// Appends one block behind whatever the driver put in the request buffer.
NTSTATUS buildBlock(SMARTCARD_EXTENSION& extension, UCHAR pcb, const UCHAR* inf, ULONG infLength) {
  auto& request = extension.SmartcardRequest;
  const bool crc = usesCrc(extension);
  const ULONG blockLength = static_cast<ULONG>(t1::kPrologue + infLength + t1::edcLength(crc));
  if (request.Buffer == nullptr || request.BufferLength > request.BufferSize ||
      request.BufferSize - request.BufferLength < blockLength) {
    return STATUS_BUFFER_OVERFLOW;
  }
  UCHAR* block = request.Buffer + request.BufferLength;
  block[0] = extension.T1.NAD;
  block[1] = pcb;
  block[2] = static_cast<UCHAR>(infLength);
  if (infLength > 0) RtlCopyMemory(block + t1::kPrologue, inf, infLength);
  t1::appendEdc(block, t1::kPrologue + infLength, crc);
  request.BufferLength += blockLength;
  extension.T1.LastSentPcb = pcb;
  return STATUS_SUCCESS;
}

// Sends S(RESYNCH request), at most kMaxResynch times per command (ISO/IEC
// 7816-3, rule 6.4); then the command ends.
NTSTATUS startResynch(SMARTCARD_EXTENSION& extension, bool mute) {
  auto& t1 = extension.T1;
  if (++t1.Resynch > kMaxResynch) {
    return finish(extension, mute ? STATUS_IO_TIMEOUT : STATUS_DEVICE_PROTOCOL_ERROR);
  }
  t1.State = T1_RESYNCH_REQUEST;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// An invalid block, or none: ISO/IEC 7816-3 rules 7.1 to 7.4 and 6.4.
NTSTATUS failure(SMARTCARD_EXTENSION& extension, UCHAR errorCode, bool mute) {
  auto& t1 = extension.T1;
  t1.CardMute = mute ? TRUE : FALSE;
  if (t1.Aborted) return finish(extension, STATUS_CANCELLED);
  if (t1.LastSentPcb == (t1::kSBlock | t1::kSResynch)) return startResynch(extension, mute);
  if (++t1.ErrorCount >= kMaxErrors) {
    t1.ErrorCount = 0;
    if (t1.LastSentPcb == (t1::kSBlock | t1::kSIfs) && !t1.IBlockPending && t1.BytesSent == 0) {
      // The card does not take our IFSD: carry on with the default.
      t1.State = T1_I_BLOCK;
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
    return startResynch(extension, mute);
  }
  const UCHAR last = t1.LastSentPcb;
  if (t1::kindOf(last) == t1::Kind::S && (last & t1::kSResponse) == 0) {
    t1.State = last;  // send the S-request again
  } else {
    t1.LastError = errorCode;
    t1.State = T1_R_BLOCK;
  }
  ++t1.Resend;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS receiveIBlock(SMARTCARD_EXTENSION& extension, UCHAR pcb, std::span<const UCHAR> inf) {
  auto& t1 = extension.T1;
  if ((pcb & 0x1F) != 0 || inf.size() > t1.IFSD) return failure(extension, t1::kRErrorOther, false);
  if (t1.Aborted) return finish(extension, STATUS_CANCELLED);
  const bool commandDelivered =
      t1.IBlockPending ? !ourBlockChained(t1) : (t1.BytesToSend == 0 && t1.BytesSent > 0) || t1.MoreData;
  const UCHAR sequence = (pcb & t1::kISequence) ? 1 : 0;
  if (!commandDelivered || sequence != t1.RSN) return failure(extension, t1::kRErrorOther, false);

  if (t1.IBlockPending) acknowledgeOurBlock(t1);  // the answer acknowledges our last block
  t1.RSN ^= 1;
  t1.ErrorCount = 0;
  t1.CardMute = FALSE;
  const ULONG room = extension.IoRequest.ReplyBufferLength;
  if (!t1.ReplyOverflow && t1.BytesReceived <= room && room - t1.BytesReceived >= inf.size()) {
    if (!inf.empty()) RtlCopyMemory(extension.IoRequest.ReplyBuffer + t1.BytesReceived, inf.data(), inf.size());
    t1.BytesReceived += static_cast<ULONG>(inf.size());
  } else {
    t1.ReplyOverflow = TRUE;
  }
  if (pcb & t1::kIMore) {
    t1.MoreData = TRUE;
    if (t1.ReplyOverflow) {
      t1.State = T1_ABORT_REQUEST;
    } else {
      t1.LastError = 0;
      t1.State = T1_R_BLOCK;
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  t1.MoreData = FALSE;
  return finish(extension, t1.ReplyOverflow ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS);
}

NTSTATUS receiveRBlock(SMARTCARD_EXTENSION& extension, UCHAR pcb, std::span<const UCHAR> inf) {
  auto& t1 = extension.T1;
  if ((pcb & 0x2C) != 0 || (pcb & 0x03) == 0x03 || !inf.empty()) return failure(extension, t1::kRErrorOther, false);
  if (t1.Aborted) return finish(extension, STATUS_CANCELLED);
  const UCHAR sequence = (pcb & t1::kRSequence) ? 1 : 0;
  if (t1.IBlockPending && sequence != t1.SSN && ourBlockChained(t1)) {
    acknowledgeOurBlock(t1);
    t1.ErrorCount = 0;
    t1.CardMute = FALSE;
    t1.State = T1_I_BLOCK;
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (t1.IBlockPending && sequence == t1.SSN) {
    // The card asks for our I-block again.
    if (++t1.ErrorCount >= kMaxErrors) {
      t1.ErrorCount = 0;
      return startResynch(extension, false);
    }
    ++t1.Resend;
    t1.State = T1_I_BLOCK;
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  // An acknowledgement of a block we never chained, or an R-block out of turn.
  return failure(extension, t1::kRErrorOther, false);
}

// An accepted IFS or WTX request: the next block is the response echoing
// its byte, and the exchange goes on where it was afterwards.
NTSTATUS answerSRequest(T1_DATA& t1, UCHAR inf, ULONG responseState) {
  t1.LastSentInf = inf;
  t1.OriginalState = contextState(t1);
  t1.State = responseState;
  t1.ErrorCount = 0;
  t1.CardMute = FALSE;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS receiveSBlock(SMARTCARD_EXTENSION& extension, UCHAR pcb, std::span<const UCHAR> inf) {
  auto& t1 = extension.T1;
  const UCHAR type = pcb & t1::kSTypeMask;
  if ((pcb & t1::kSResponse) == 0) {
    switch (type) {
      case t1::kSIfs:
        if (inf.size() != 1 || inf[0] == 0 || inf[0] == 0xFF) break;
        t1.IFSC = inf[0];
        return answerSRequest(t1, inf[0], T1_IFS_RESPONSE);
      case t1::kSWtx:
        if (inf.size() != 1 || inf[0] == 0) break;
        if (++t1.WtxCount > kMaxWtx) return finish(extension, STATUS_DEVICE_PROTOCOL_ERROR);
        t1.Wtx = inf[0];
        return answerSRequest(t1, inf[0], T1_WTX_RESPONSE);
      case t1::kSAbort:
        if (!inf.empty()) break;
        t1.Aborted = TRUE;
        t1.OriginalState = contextState(t1);
        t1.State = T1_ABORT_RESPONSE;
        return STATUS_MORE_PROCESSING_REQUIRED;
      default: break;
    }
    return failure(extension, t1::kRErrorOther, false);
  }
  if (t1.LastSentPcb != (pcb & ~t1::kSResponse)) return failure(extension, t1::kRErrorOther, false);
  switch (type) {
    case t1::kSResynch:
      if (!inf.empty()) break;
      t1.SSN = 0;
      t1.RSN = 0;
      t1.IFSC = extension.CardCapabilities.T1.IFSC != 0 ? extension.CardCapabilities.T1.IFSC : t1::kDefaultIfs;
      t1.IFSD = t1::kDefaultIfs;
      restartCommand(extension);
      t1.State = T1_I_BLOCK;
      return STATUS_MORE_PROCESSING_REQUIRED;
    case t1::kSIfs:
      if (inf.size() != 1 || inf[0] != t1.IfsdRequested) break;
      t1.IFSD = inf[0];
      t1.ErrorCount = 0;
      t1.CardMute = FALSE;
      t1.State = T1_I_BLOCK;
      return STATUS_MORE_PROCESSING_REQUIRED;
    case t1::kSAbort:
      if (!inf.empty()) break;
      return finish(extension, t1.ReplyOverflow ? STATUS_BUFFER_TOO_SMALL : STATUS_CANCELLED);
    default: break;
  }
  return failure(extension, t1::kRErrorOther, false);
}

}  // namespace

void t1ResetProtocol(SMARTCARD_EXTENSION& extension) {
  auto& t1 = extension.T1;
  const UCHAR nad = t1.NAD;
  const BOOLEAN suppressIfsRequest = t1.SuppressIfsRequest;
  RtlZeroMemory(&t1, sizeof t1);
  t1.NAD = nad;
  t1.SuppressIfsRequest = suppressIfsRequest;
  t1.IFSC = extension.CardCapabilities.T1.IFSC != 0 ? extension.CardCapabilities.T1.IFSC : t1::kDefaultIfs;
  t1.IFSD = t1::kDefaultIfs;
  t1.State = T1_INIT;
}

void t1PrepareCommand(SMARTCARD_EXTENSION& extension) {
  auto& t1 = extension.T1;
  t1.CommandActive = FALSE;
  t1.IBlockPending = FALSE;
  t1.MoreData = FALSE;
  if (t1.State != T1_INIT) t1.State = T1_START;
}

}  // namespace smclib

extern "C" NTSTATUS SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension) {
  using namespace smclib;
  auto& extension = *SmartcardExtension;
  auto& t1 = extension.T1;
  if (extension.IoRequest.RequestBuffer == nullptr && extension.IoRequest.RequestBufferLength != 0) {
    return STATUS_INVALID_PARAMETER;
  }
  if (!t1.CommandActive) beginCommand(extension);
  switch (t1.State) {
    case T1_I_BLOCK: {
      const ULONG chunk = std::min<ULONG>(t1.BytesToSend, t1.IFSC);
      const bool more = t1.BytesToSend > chunk;
      t1.InfBytesSent = static_cast<UCHAR>(chunk);
      t1.IBlockPending = TRUE;
      return buildBlock(extension, t1::iBlockPcb(t1.SSN, more), extension.IoRequest.RequestBuffer + t1.BytesSent,
                        chunk);
    }
    case T1_R_BLOCK: return buildBlock(extension, t1::rBlockPcb(t1.RSN, t1.LastError), nullptr, 0);
    case T1_IFS_REQUEST: return buildBlock(extension, T1_IFS_REQUEST, &t1.IfsdRequested, 1);
    case T1_RESYNCH_REQUEST:
    case T1_ABORT_REQUEST:
    case T1_ABORT_RESPONSE: return buildBlock(extension, static_cast<UCHAR>(t1.State), nullptr, 0);
    case T1_IFS_RESPONSE:
    case T1_WTX_RESPONSE: return buildBlock(extension, static_cast<UCHAR>(t1.State), &t1.LastSentInf, 1);
    default: return STATUS_INVALID_DEVICE_STATE;
  }
}

extern "C" NTSTATUS SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension) {
  using namespace smclib;
  auto& extension = *SmartcardExtension;
  auto& t1 = extension.T1;
  if (!t1.CommandActive) return STATUS_INVALID_DEVICE_STATE;
  const auto& reply = extension.SmartcardReply;
  const ULONG length = reply.Buffer == nullptr ? 0 : std::min(reply.BufferLength, reply.BufferSize);
  if (length == 0) return failure(extension, t1::kRErrorOther, true);
  const bool crc = usesCrc(extension);
  const std::span<const UCHAR> block(reply.Buffer, length);
  if (length < t1::kPrologue + t1::edcLength(crc) || block[2] == 0xFF ||
      length != t1::kPrologue + block[2] + t1::edcLength(crc) || !t1::edcValid(block, crc)) {
    return failure(extension, t1::kRErrorEdc, false);
  }
  if (block[0] != expectedCardNad(t1.NAD)) return failure(extension, t1::kRErrorOther, false);
  const UCHAR pcb = block[1];
  const auto inf = block.subspan(t1::kPrologue, block[2]);
  switch (t1::kindOf(pcb)) {
    case t1::Kind::I: return receiveIBlock(extension, pcb, inf);
    case t1::Kind::R: return receiveRBlock(extension, pcb, inf);
    case t1::Kind::S: return receiveSBlock(extension, pcb, inf);
  }
  return failure(extension, t1::kRErrorOther, false);
}
