#include "t1_card_peer.h"

#include <algorithm>

namespace smclib_test {
namespace {

std::uint8_t lrc(std::span<const std::uint8_t> bytes) {
  std::uint8_t value = 0;
  for (auto byte : bytes) value ^= byte;
  return value;
}

// The T=1 CRC (reflected CCITT polynomial, initial 0xFFFF), computed bit by
// bit from the polynomial rather than from the library's loop.
std::uint16_t fcs(std::span<const std::uint8_t> bytes) {
  std::uint16_t value = 0xFFFF;
  for (auto byte : bytes) {
    for (int bit = 0; bit < 8; ++bit) {
      const bool feedback = ((value ^ (byte >> bit)) & 1) != 0;
      value = static_cast<std::uint16_t>(value >> 1);
      if (feedback) value ^= 0x8408;
    }
  }
  return value;
}

}  // namespace

T1CardPeer::T1CardPeer(Script script, std::function<Bytes(const Bytes&)> application)
    : script_(std::move(script)), application_(std::move(application)) {}

Bytes T1CardPeer::block(std::uint8_t pcb, std::span<const std::uint8_t> inf) {
  Bytes bytes{0x00, pcb, static_cast<std::uint8_t>(inf.size())};
  bytes.insert(bytes.end(), inf.begin(), inf.end());
  if (script_.crc) {
    const auto value = fcs(bytes);
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
  } else {
    bytes.push_back(lrc(bytes));
  }
  return bytes;
}

Bytes T1CardPeer::send(Kind kind, std::uint8_t pcb, std::span<const std::uint8_t> inf) {
  lastSent_ = block(pcb, inf);
  Bytes bytes = lastSent_;
  if (script_.corruptKind == kind && script_.corruptCount > 0) {
    --script_.corruptCount;
    bytes.back() ^= 0x5A;
  }
  return bytes;
}

// An R-block acknowledging up to N(R), with the error code in its low bits.
Bytes T1CardPeer::sendR(std::uint8_t error) {
  return send(Kind::R, static_cast<std::uint8_t>(0x80 | (nr_ << 4) | error), {});
}

Bytes T1CardPeer::sendWtxRequest() {
  waitingWtxResponse_ = true;
  const std::uint8_t value[] = {script_.wtxBeforeAnswer[wtxIndex_++]};
  return send(Kind::S, 0xC3, value);
}

Bytes T1CardPeer::exchange(std::span<const std::uint8_t> received) {
  if (script_.muteForever) return {};
  if (script_.muteCount > 0) {
    --script_.muteCount;
    return {};
  }
  const std::size_t edc = script_.crc ? 2 : 1;
  bool valid = received.size() >= 3 + edc && received[2] != 0xFF && received.size() == 3 + received[2] + edc &&
               received[0] == 0x00;
  if (valid) {
    const auto covered = received.first(received.size() - edc);
    if (script_.crc) {
      const auto value = fcs(covered);
      valid = received[received.size() - 2] == (value >> 8) && received.back() == (value & 0xFF);
    } else {
      valid = lrc(covered) == received.back();
    }
  }
  if (!valid) return sendR(0x01);
  const std::uint8_t pcb = received[1];
  receivedPcbs.push_back(pcb);
  const auto inf = received.subspan(3, received[2]);
  if ((pcb & 0x80) == 0) return onIBlock(pcb, inf);
  if ((pcb & 0xC0) == 0x80) return onRBlock(pcb);
  return onSBlock(pcb, inf);
}

Bytes T1CardPeer::onIBlock(std::uint8_t pcb, std::span<const std::uint8_t> inf) {
  const std::uint8_t sequence = (pcb >> 6) & 1;
  const bool more = (pcb & 0x20) != 0;
  if (inf.size() > script_.ifsc) return sendR(0x02);
  if (sequence != nr_) return sendR(0x00);
  nr_ ^= 1;
  if (answering_) {
    // The reader's new command acknowledges our last answer block.
    ns_ ^= 1;
    answering_ = false;
  }
  maxInfReceived = std::max(maxInfReceived, inf.size());
  command_.insert(command_.end(), inf.begin(), inf.end());
  if (!more) return afterCommand();
  ++chainedBlocks_;
  if (script_.abortAfterBlock == chainedBlocks_) return send(Kind::S, 0xC2, {});
  if (script_.ifsRequestAfterBlock == chainedBlocks_) {
    const std::uint8_t value[] = {script_.newIfsc};
    return send(Kind::S, 0xC1, value);
  }
  return sendR(0x00);
}

Bytes T1CardPeer::afterCommand() {
  commands.push_back(command_);
  answer_ = application_(command_);
  command_.clear();
  chainedBlocks_ = 0;
  answerOffset_ = 0;
  answering_ = true;
  if (wtxIndex_ < script_.wtxBeforeAnswer.size()) return sendWtxRequest();
  if (script_.rBlockNamingNeverSent) {
    script_.rBlockNamingNeverSent = false;
    return sendR(0x00);
  }
  return sendAnswerChunk();
}

Bytes T1CardPeer::sendAnswerChunk() {
  const std::size_t remaining = answer_.size() - answerOffset_;
  chunkLength_ = std::min<std::size_t>(remaining, ifsd);
  const bool more = remaining > chunkLength_;
  const auto pcb = static_cast<std::uint8_t>((ns_ << 6) | (more ? 0x20 : 0));
  return send(Kind::I, pcb, std::span<const std::uint8_t>(answer_).subspan(answerOffset_, chunkLength_));
}

Bytes T1CardPeer::onRBlock(std::uint8_t pcb) {
  const std::uint8_t sequence = (pcb >> 4) & 1;
  const Kind lastKind = (lastSent_.size() > 1 && (lastSent_[1] & 0x80) == 0)      ? Kind::I
                        : (lastSent_.size() > 1 && (lastSent_[1] & 0xC0) == 0x80) ? Kind::R
                                                                                  : Kind::S;
  if (!answering_ || waitingWtxResponse_)
    return send(lastKind, lastSent_[1], std::span(lastSent_).subspan(3, lastSent_[2]));
  const bool lastChained = answerOffset_ + chunkLength_ < answer_.size();
  if (sequence != ns_ && lastKind == Kind::I && lastChained) {
    if (script_.duplicateAnswerBlock) {
      script_.duplicateAnswerBlock = false;
      return send(Kind::I, lastSent_[1], std::span(lastSent_).subspan(3, lastSent_[2]));
    }
    answerOffset_ += chunkLength_;
    ns_ ^= 1;
    return sendAnswerChunk();
  }
  if (sequence == ns_) return sendAnswerChunk();
  return send(lastKind, lastSent_[1], std::span(lastSent_).subspan(3, lastSent_[2]));
}

Bytes T1CardPeer::onSBlock(std::uint8_t pcb, std::span<const std::uint8_t> inf) {
  switch (pcb) {
    case 0xC0:
      ++resynchCount;
      ns_ = nr_ = 0;
      ifsd = 32;
      command_.clear();
      answering_ = false;
      chainedBlocks_ = 0;
      return send(Kind::S, 0xE0, {});
    case 0xC1:
      if (inf.size() != 1) break;
      ifsd = inf[0];
      return send(Kind::S, 0xE1, inf);
    case 0xC2:
      answering_ = false;
      command_.clear();
      return send(Kind::S, 0xE2, {});
    case 0xE1: script_.ifsc = script_.newIfsc; return sendR(0x00);
    case 0xE2:
      command_.clear();
      chainedBlocks_ = 0;
      return {};
    case 0xE3:
      waitingWtxResponse_ = false;
      if (wtxIndex_ < script_.wtxBeforeAnswer.size()) return sendWtxRequest();
      return sendAnswerChunk();
    default: break;
  }
  return sendR(0x02);
}

}  // namespace smclib_test
