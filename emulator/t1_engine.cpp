#include "emulator/t1_engine.h"

#include <algorithm>

namespace emulator {
namespace {

// A short APDU is at most 261 bytes; a chain that grows far beyond is garbage.
constexpr std::size_t maxChainedCommand = 1024;

bool listed(const std::vector<std::uint32_t>& list, std::uint32_t value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

}  // namespace

T1Engine::T1Engine(CardApplication& application, T1Options options, AnswerLog* answers)
    : application_(application), options_(std::move(options)), answers_(answers), ifsc_(options_.ifsc) {}

void T1Engine::reset() {
  inbox_.clear();
  ifsd_ = 32;
  ifsc_ = options_.ifsc;
  cardSequence_ = 0;
  hostSequence_ = 0;
  command_.clear();
  response_.clear();
  chainingOut_ = false;
  waiting_ = Waiting::nothing;
  ifsRequested_ = false;
  lastSent_.clear();
  blocksSent_ = 0;
}

CardOutput T1Engine::receive(std::uint8_t byte) {
  inbox_.push_back(byte);
  const T1Frame frame = decodeT1(inbox_, options_.crc);
  if (!frame.complete) return {};
  inbox_.clear();
  return blockReceived(frame);
}

CardOutput T1Engine::send(const T1Block& block, std::uint32_t delayEtu) {
  ++blocksSent_;
  std::vector<std::uint8_t> bytes = encodeT1(block, options_.crc);
  if (listed(options_.lenFfBlocks, blocksSent_)) {
    bytes = {block.nad, block.pcb, 0xFF};
  } else if (listed(options_.badEdcBlocks, blocksSent_)) {
    bytes.back() = static_cast<std::uint8_t>(bytes.back() ^ 0xFF);
  }
  // The block as it should have been is what a retransmission repeats.
  lastSent_ = encodeT1(block, options_.crc);
  if (listed(options_.lostBlocks, blocksSent_)) return {};
  CardOutput out;
  appendBytes(out, bytes, delayEtu);
  return out;
}

CardOutput T1Engine::repeatLast() {
  if (lastSent_.empty()) return send(T1Block::receiveReady(hostSequence_, 2));
  ++blocksSent_;
  CardOutput out;
  appendBytes(out, lastSent_);
  return out;
}

CardOutput T1Engine::blockReceived(const T1Frame& frame) {
  const T1Block& block = frame.block;
  const std::size_t len = frame.length >= 3 ? frame.length - 3 - (options_.crc ? 2 : 1) : 0;
  // ISO/IEC 7816-3, 11.6.3: an invalid block is answered by an R-block that
  // names the expected sequence number and the error.
  if (frame.length == 3 || !frame.edcValid) return send(T1Block::receiveReady(hostSequence_, 1));
  if (block.nad != 0) return send(T1Block::receiveReady(hostSequence_, 2));
  switch (block.kind()) {
    case T1Kind::information:
      if (len > ifsc_) return send(T1Block::receiveReady(hostSequence_, 2));
      return information(block);
    case T1Kind::receiveReady:
      if ((block.pcb & 0x2C) != 0) return send(T1Block::receiveReady(hostSequence_, 2));
      // The host acknowledges the card's last I-block and asks for the next
      // link of the chain, or asks for the last block again.
      if (chainingOut_ && block.receiveSequence() == cardSequence_ && block.receiveError() == 0) {
        return nextResponseBlock(0);
      }
      return repeatLast();
    case T1Kind::supervisory: return supervisory(block);
  }
  return {};
}

CardOutput T1Engine::information(const T1Block& block) {
  if (block.sendSequence() != hostSequence_) return send(T1Block::receiveReady(hostSequence_, 2));
  hostSequence_ ^= 1;
  // A new command ends any answer still being chained out.
  chainingOut_ = false;
  response_.clear();
  command_.insert(command_.end(), block.inf.begin(), block.inf.end());
  if (command_.size() > maxChainedCommand) {
    // Longer than any short APDU can be: the chain is dropped.
    command_.clear();
    return send(T1Block::receiveReady(hostSequence_, 2));
  }
  if (block.more()) return send(T1Block::receiveReady(hostSequence_));
  std::vector<std::uint8_t> command = std::move(command_);
  command_.clear();
  const auto apdu = parseCommandApdu(command);
  const ResponseApdu response = apdu ? application_.process(*apdu) : ResponseApdu{{}, 0x6700};
  if (answers_ != nullptr) answers_->record(response.bytes());
  return answer(response.bytes());
}

CardOutput T1Engine::answer(std::vector<std::uint8_t> response) {
  response_ = std::move(response);
  if (options_.ifsRequest != 0 && !ifsRequested_) {
    ifsRequested_ = true;
    waiting_ = Waiting::ifsResponse;
    return send(T1Block::supervisory(T1Supervisory::ifs, false, {options_.ifsRequest}));
  }
  if (options_.wtxMultiplier != 0) {
    waiting_ = Waiting::wtxResponse;
    return send(T1Block::supervisory(T1Supervisory::wtx, false, {options_.wtxMultiplier}));
  }
  return nextResponseBlock(0);
}

CardOutput T1Engine::nextResponseBlock(std::uint32_t delayEtu) {
  const std::size_t take = std::min<std::size_t>(response_.size(), ifsd_);
  std::vector<std::uint8_t> inf(response_.begin(), response_.begin() + static_cast<std::ptrdiff_t>(take));
  response_.erase(response_.begin(), response_.begin() + static_cast<std::ptrdiff_t>(take));
  chainingOut_ = !response_.empty();
  const T1Block block = T1Block::information(cardSequence_, chainingOut_, std::move(inf));
  cardSequence_ ^= 1;
  return send(block, delayEtu);
}

CardOutput T1Engine::supervisory(const T1Block& block) {
  const auto type = block.supervisoryType();
  if (!block.isResponse()) {
    switch (type) {
      case T1Supervisory::resynch: reset(); return send(T1Block::supervisory(T1Supervisory::resynch, true));
      case T1Supervisory::ifs:
        if (block.inf.size() != 1 || block.inf[0] == 0 || block.inf[0] == 0xFF) break;
        ifsd_ = block.inf[0];
        return send(T1Block::supervisory(T1Supervisory::ifs, true, block.inf));
      case T1Supervisory::abort:
        command_.clear();
        response_.clear();
        chainingOut_ = false;
        return send(T1Block::supervisory(T1Supervisory::abort, true));
      default: break;
    }
    return send(T1Block::receiveReady(hostSequence_, 2));
  }
  if (type == T1Supervisory::wtx && waiting_ == Waiting::wtxResponse && block.inf.size() == 1) {
    waiting_ = Waiting::nothing;
    // Answer later than one block waiting time but within the extension.
    const std::uint32_t factor = block.inf[0] == 0 ? 1u : block.inf[0];
    const std::uint32_t delay = options_.blockWaitingEtu * factor - options_.blockWaitingEtu / 4;
    return nextResponseBlock(delay);
  }
  if (type == T1Supervisory::ifs && waiting_ == Waiting::ifsResponse && block.inf.size() == 1 &&
      block.inf[0] == options_.ifsRequest) {
    waiting_ = Waiting::nothing;
    ifsc_ = options_.ifsRequest;
    if (options_.wtxMultiplier != 0) {
      waiting_ = Waiting::wtxResponse;
      return send(T1Block::supervisory(T1Supervisory::wtx, false, {options_.wtxMultiplier}));
    }
    return nextResponseBlock(0);
  }
  return send(T1Block::receiveReady(hostSequence_, 2));
}

}  // namespace emulator
