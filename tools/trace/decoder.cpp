#include "trace/decoder.h"

#include <algorithm>
#include <cstdio>

#include "emulator/atr.h"
#include "emulator/iso7816.h"
#include "emulator/pts.h"
#include "emulator/reader_protocol.h"
#include "emulator/t1_block.h"

namespace trace {

// The reader's and the cards' wire formats, as the emulator reads them.
using emulator::AtrInfo;
using emulator::decodeT1;
using emulator::describeAtr;
using emulator::describeT1;
using emulator::parseAtr;
using emulator::ptsRequestLength;
using emulator::readerCardInserted;
using emulator::readerCardRemoved;
using emulator::readerCardReset;
using emulator::readerCommandLength;
using emulator::readerCommandRead;
using emulator::readerCommandSend;
using emulator::readerCommandWrite;
using emulator::readerDataError;
using emulator::readerError;
using emulator::readerEscape;
using emulator::readerRegisterName;
using emulator::readerTimeout;
using emulator::statusWordMeaning;
using emulator::T1Frame;

namespace {

std::string hexBytes(std::span<const std::uint8_t> bytes) {
  std::string text;
  char item[4];
  for (const std::uint8_t b : bytes) {
    std::snprintf(item, sizeof item, "%02X", b);
    if (!text.empty()) text += ' ';
    text += item;
  }
  return text;
}

std::string hex(std::uint8_t b) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", b);
  return text;
}

std::string instructionName(std::uint8_t ins) {
  switch (ins) {
    case 0xA4: return "SELECT";
    case 0xB0: return "READ BINARY";
    case 0xD6: return "UPDATE BINARY";
    case 0xC0: return "GET RESPONSE";
    case 0x84: return "GET CHALLENGE";
    case 0x20: return "VERIFY";
    default: return "INS " + hex(ins);
  }
}

std::string replyMeaning(std::uint8_t reply) {
  switch (reply) {
    case 0x90: return "ok";
    case 0x88: return "accepted (data error)";
    case 0x81: return "overrun";
    case 0x82: return "CRC error";
    case 0x83: return "time-out";
    case 0x84: return "error";
    default: return "refused";
  }
}

std::string registerValueMeaning(std::uint8_t reg, std::uint8_t value) {
  switch (reg) {
    case 0: return "firmware " + std::to_string(value >> 4) + "." + std::to_string(value & 0x0F);
    case 2:
      return "control " + hex(value) + ": guard bit 8 = " + std::to_string(value >> 7) + ", mode " +
             std::to_string(value & 0x03);
    case 4: {
      std::string text = (value & 0x01) != 0 ? "card present" : "no card";
      if ((value & 0x02) != 0) text += ", powered";
      return text;
    }
    default: return readerRegisterName(reg) + " = " + hex(value);
  }
}

// Where an answer-to-reset that ends early stopped: in its interface bytes,
// its historical bytes or before its check byte.
std::string atrStopPoint(std::span<const std::uint8_t> atr) {
  if (atr.size() < 2) return "after TS";
  std::size_t end = 2;
  std::uint8_t indicator = static_cast<std::uint8_t>(atr[1] >> 4);
  while (indicator != 0) {
    for (int k = 0; k < 4; ++k) end += (indicator >> k) & 1u;
    if (end > atr.size()) return "in the interface bytes";
    if ((indicator & 0x08) == 0) break;
    indicator = static_cast<std::uint8_t>(atr[end - 1] >> 4);
  }
  const std::size_t historical = atr[1] & 0x0F;
  if (end + historical > atr.size()) {
    return "in the historical bytes (" + std::to_string(atr.size() - end) + " of " + std::to_string(historical) + ")";
  }
  return "before the check byte TCK";
}

}  // namespace

void TraceDecoder::emit(Nanoseconds at, Direction direction, std::vector<std::uint8_t> bytes, std::string text) {
  // Lines stand in the order their first bytes arrived: an item told only
  // once it ends (an answer-to-reset cut short by the power-down command
  // that follows it) goes before the lines of what came after its start.
  const auto place = std::upper_bound(lines_.begin(), lines_.end(), at,
                                      [](Nanoseconds instant, const TraceLine& line) { return instant < line.at; });
  lines_.insert(place, TraceLine{at, direction, std::move(bytes), std::move(text)});
}

std::vector<TraceLine> TraceDecoder::takeLines() {
  std::vector<TraceLine> out = std::move(lines_);
  lines_.clear();
  return out;
}

void TraceDecoder::add(const TraceByte& byte) {
  if (byte.direction == Direction::hostToReader) {
    hostByte(byte.at, byte.byte);
  } else {
    readerByte(byte.at, byte.byte);
  }
}

void TraceDecoder::finish() {
  if (!command_.empty()) emit(commandAt_, Direction::hostToReader, command_, "incomplete command");
  command_.clear();
  flushCardData();
  flushBlocks();
  flushAtr();
  if (!ptsRequest_.empty()) emit(ptsAt_, Direction::hostToReader, ptsRequest_, "PTS request (incomplete)");
  if (!ptsResponse_.empty()) emit(ptsAt_, Direction::readerToHost, ptsResponse_, "PTS response (incomplete)");
}

// ---- host to reader -----------------------------------------------------------

void TraceDecoder::hostByte(Nanoseconds at, std::uint8_t byte) {
  if (command_.empty()) {
    commandAt_ = at;
    commandLength_ = readerCommandLength(byte);
  }
  command_.push_back(byte);
  if (command_.size() == commandLength_) commandComplete();
}

void TraceDecoder::commandComplete() {
  const std::uint8_t header = command_[0];
  const std::uint8_t reg = header & 0x3F;
  std::string text;
  reply_ = Reply::none;
  switch (header & 0xC0) {
    case readerCommandRead:
      text = "read " + readerRegisterName(reg);
      reply_ = Reply::read;
      replyRegister_ = reg;
      break;
    case readerCommandWrite: {
      reply_ = Reply::write;
      if (reg == 5 || reg == 6) {
        const auto value = static_cast<unsigned>(command_[1] | (command_[2] << 8) | (command_[3] << 16));
        text = "write " + readerRegisterName(reg) + " = " + std::to_string(value) + " ETU";
      } else if (reg == 3 && command_[1] == readerCardReset) {
        text = "write card reset = 0x1D: reset the card";
      } else if (reg == 4 && command_[1] == 0x00) {
        text = "write card contacts = 0x00: power the card down";
      } else if (reg == 2) {
        text = "write " + registerValueMeaning(2, command_[1]);
      } else if (reg == 1) {
        text = "write guard time low byte = " + std::to_string(command_[1]) + " ETU";
      } else {
        text = "write " + readerRegisterName(reg) + " = " + hex(command_[1]);
      }
      break;
    }
    case readerCommandSend:
      text = "send " + std::to_string(reg) + " bytes to the card";
      reply_ = Reply::send;
      break;
    default: text = "unknown command"; break;
  }
  emit(commandAt_, Direction::hostToReader, command_, text);
  if ((header & 0xC0) == readerCommandWrite) {
    if (reg == 3 && command_[1] == readerCardReset) {
      flushCardData();
      flushBlocks();
      flushAtr();
      phase_ = CardPhase::atr;
    } else if (reg == 4 && command_[1] == 0x00) {
      flushCardData();
      flushBlocks();
      flushAtr();
      phase_ = CardPhase::idle;
    } else if (reg == 2 && (phase_ == CardPhase::t0 || phase_ == CardPhase::t1 || phase_ == CardPhase::negotiable)) {
      // The driver sets the mode for the protocol it selected.
      if ((command_[1] & 0x03) == 3) {
        protocol_ = 0;
        startProtocol();
      } else if ((offered_ & 0x02) != 0 && phase_ != CardPhase::negotiable) {
        protocol_ = 1;
        startProtocol();
      }
    }
  }
  if ((header & 0xC0) == readerCommandSend) {
    for (std::size_t i = 1; i < command_.size(); ++i) toCard(commandAt_, command_[i]);
  }
  command_.clear();
}

// ---- reader to host -----------------------------------------------------------

void TraceDecoder::readerByte(Nanoseconds at, std::uint8_t byte) {
  if (!escape_) {
    if (byte == readerEscape) {
      escape_ = true;
      escapeAt_ = at;
      return;
    }
    dataByte(at, byte, false);
    return;
  }
  escape_ = false;
  if (byte == readerEscape) {
    dataByte(escapeAt_, byte, false);
  } else {
    escapeCode(escapeAt_, byte);
  }
}

void TraceDecoder::dataByte(Nanoseconds at, std::uint8_t byte, bool dataError) {
  const std::vector<std::uint8_t> wire = dataError ? std::vector<std::uint8_t>{readerEscape, readerDataError}
                                         : byte == readerEscape ? std::vector<std::uint8_t>{readerEscape, readerEscape}
                                                                : std::vector<std::uint8_t>{byte};
  switch (reply_) {
    case Reply::read:
      reply_ = Reply::none;
      emit(at, Direction::readerToHost, wire, "value: " + registerValueMeaning(replyRegister_, byte));
      return;
    case Reply::write:
    case Reply::send:
      reply_ = Reply::none;
      emit(at, Direction::readerToHost, wire, "reply: " + replyMeaning(byte));
      return;
    case Reply::none: fromCard(at, byte, dataError); return;
  }
}

void TraceDecoder::escapeCode(Nanoseconds at, std::uint8_t code) {
  const std::vector<std::uint8_t> wire{readerEscape, code};
  switch (code) {
    case readerTimeout:
      flushCardData();
      if (!blockFromCard_.empty()) flushBlocks();
      if (phase_ == CardPhase::atr && !atr_.empty()) {
        // The card fell silent within its answer-to-reset: nothing more of
        // it is coming.
        flushAtr();
        phase_ = CardPhase::idle;
      }
      emit(at, Direction::readerToHost, wire,
           phase_ == CardPhase::t1 ? "time-out: the card stayed silent (block end)"
                                   : "time-out: the card stayed silent");
      return;
    case readerError:
      reply_ = Reply::none;
      emit(at, Direction::readerToHost, wire, "reader error");
      return;
    case readerCardInserted: emit(at, Direction::readerToHost, wire, "event: card inserted"); return;
    case readerCardRemoved:
      flushCardData();
      flushBlocks();
      flushAtr();
      phase_ = CardPhase::idle;
      emit(at, Direction::readerToHost, wire, "event: card removed");
      return;
    case readerDataError:
      if (reply_ != Reply::none) {
        emit(at, Direction::readerToHost, wire, "data error in place of the reply");
        reply_ = Reply::none;
        return;
      }
      emit(at, Direction::readerToHost, wire, "data error: a card byte arrived with a parity error");
      fromCard(at, 0x00, true);
      return;
    default: emit(at, Direction::readerToHost, wire, "unknown escape code (ignored)"); return;
  }
}

// ---- the card conversation ----------------------------------------------------

void TraceDecoder::startProtocol() {
  flushCardData();
  flushBlocks();
  phase_ = protocol_ == 1 ? CardPhase::t1 : CardPhase::t0;
  t0_ = T0State::header;
  header_.clear();
}

void TraceDecoder::flushCardData() {
  if (cardData_.empty()) return;
  emit(cardDataAt_, cardDataDirection_, cardData_,
       std::string(cardDataDirection_ == Direction::hostToReader ? "command data" : "response data") + " (" +
           std::to_string(cardData_.size()) + " bytes)");
  cardData_.clear();
}

void TraceDecoder::flushAtr() {
  if (phase_ != CardPhase::atr || atr_.empty()) return;
  emit(atrAt_, Direction::readerToHost, atr_, "ATR incomplete: the card stopped " + atrStopPoint(atr_));
  atr_.clear();
}

void TraceDecoder::flushBlocks() {
  if (!blockToCard_.empty())
    emit(blockToCardAt_, Direction::hostToReader, blockToCard_, "T=1 block to the card (incomplete)");
  if (!blockFromCard_.empty()) {
    emit(blockFromCardAt_, Direction::readerToHost, blockFromCard_, "T=1 block from the card (incomplete)");
  }
  blockToCard_.clear();
  blockFromCard_.clear();
}

void TraceDecoder::toCard(Nanoseconds at, std::uint8_t byte) {
  switch (phase_) {
    case CardPhase::negotiable:
      if (byte == 0xFF) {
        phase_ = CardPhase::pts;
        ptsRequest_ = {byte};
        ptsResponse_.clear();
        ptsAt_ = at;
        return;
      }
      startProtocol();
      toCard(at, byte);
      return;
    case CardPhase::pts: {
      ptsRequest_.push_back(byte);
      if (ptsRequestLength(ptsRequest_) == ptsRequest_.size()) {
        const std::uint8_t pts0 = ptsRequest_[1];
        std::string text = "PTS request: T=" + std::to_string(pts0 & 0x0F);
        if ((pts0 & 0x10) != 0) text += ", PTS1 " + hex(ptsRequest_[2]);
        emit(ptsAt_, Direction::hostToReader, ptsRequest_, text);
      }
      return;
    }
    case CardPhase::t1: {
      if (blockToCard_.empty()) blockToCardAt_ = at;
      blockToCard_.push_back(byte);
      const T1Frame frame = decodeT1(blockToCard_, crc_);
      if (frame.complete) {
        emit(blockToCardAt_, Direction::hostToReader, blockToCard_, "T=1 to card: " + describeT1(blockToCard_, crc_));
        blockToCard_.clear();
      }
      return;
    }
    case CardPhase::t0:
      if (t0_ == T0State::header) {
        if (header_.empty()) headerAt_ = at;
        header_.push_back(byte);
        if (header_.size() == 5) {
          emit(headerAt_, Direction::hostToReader, header_,
               "T=0 header: CLA " + hex(header_[0]) + " " + instructionName(header_[1]) + " P1 " + hex(header_[2]) +
                   " P2 " + hex(header_[3]) + " P3 " + hex(header_[4]));
          t0_ = T0State::procedure;
        }
        return;
      }
      if (cardDataDirection_ != Direction::hostToReader) flushCardData();
      if (cardData_.empty()) cardDataAt_ = at;
      cardDataDirection_ = Direction::hostToReader;
      cardData_.push_back(byte);
      t0_ = T0State::procedure;
      return;
    default: emit(at, Direction::hostToReader, {byte}, "byte to an unpowered card"); return;
  }
}

void TraceDecoder::fromCard(Nanoseconds at, std::uint8_t byte, bool dataError) {
  const std::vector<std::uint8_t> wire = dataError ? std::vector<std::uint8_t>{} : std::vector<std::uint8_t>{byte};
  switch (phase_) {
    case CardPhase::atr: {
      if (atr_.empty()) atrAt_ = at;
      atr_.push_back(byte);
      const AtrInfo info = parseAtr(atr_);
      if (!info.complete && info.error.empty()) return;
      emit(atrAt_, Direction::readerToHost, atr_, info.error.empty() ? "ATR" : "ATR: " + info.error);
      for (const std::string& line : describeAtr(info)) emit(atrAt_, Direction::readerToHost, {}, "  " + line);
      crc_ = info.crc;
      offered_ = info.specificMode ? static_cast<std::uint16_t>(1u << info.specificProtocol) : info.protocols;
      protocol_ = info.specificMode ? info.specificProtocol : info.firstProtocol;
      phase_ = CardPhase::negotiable;
      atr_.clear();
      return;
    }
    case CardPhase::pts: {
      if (ptsResponse_.empty()) ptsAt_ = at;
      ptsResponse_.push_back(byte);
      if (ptsResponse_.size() >= 2 && ptsRequestLength(ptsResponse_) == ptsResponse_.size()) {
        const bool echoed = ptsResponse_ == ptsRequest_;
        emit(ptsAt_, Direction::readerToHost, ptsResponse_,
             echoed ? "PTS response: echoed, accepted" : "PTS response: differs from the request");
        if (echoed) protocol_ = static_cast<std::uint8_t>(ptsRequest_[1] & 0x0F);
        ptsRequest_.clear();
        ptsResponse_.clear();
        startProtocol();
      }
      return;
    }
    case CardPhase::t1: {
      if (blockFromCard_.empty()) {
        blockFromCardAt_ = at;
        blockDataError_ = false;
      }
      blockFromCard_.push_back(byte);
      blockDataError_ = blockDataError_ || dataError;
      const T1Frame frame = decodeT1(blockFromCard_, crc_);
      if (frame.complete) {
        emit(blockFromCardAt_, Direction::readerToHost, blockFromCard_,
             "T=1 from card: " + describeT1(blockFromCard_, crc_) + (blockDataError_ ? " (with a data error)" : ""));
        blockFromCard_.clear();
      }
      return;
    }
    case CardPhase::t0: t0FromCard(at, byte); return;
    case CardPhase::negotiable: emit(at, Direction::readerToHost, wire, "card byte after the ATR"); return;
    case CardPhase::idle: emit(at, Direction::readerToHost, wire, "card byte"); return;
  }
}

void TraceDecoder::t0FromCard(Nanoseconds at, std::uint8_t byte) {
  const std::uint8_t ins = header_.size() >= 2 ? header_[1] : 0;
  switch (t0_) {
    case T0State::afterAck:
      if (cardDataDirection_ != Direction::readerToHost) flushCardData();
      if (cardData_.empty()) cardDataAt_ = at;
      cardDataDirection_ = Direction::readerToHost;
      cardData_.push_back(byte);
      if (--dataLeft_ == 0) {
        flushCardData();
        t0_ = T0State::procedure;
      }
      return;
    case T0State::afterSingleAck:
      emit(at, Direction::readerToHost, {byte}, "data byte");
      if (dataLeft_ > 0) --dataLeft_;
      t0_ = T0State::procedure;
      return;
    case T0State::sw2: {
      const std::uint16_t sw = static_cast<std::uint16_t>((*sw1_ << 8) | byte);
      emit(sw1At_, Direction::readerToHost, {*sw1_, byte},
           "SW " + hexBytes(std::vector<std::uint8_t>{*sw1_, byte}) + ": " + statusWordMeaning(sw));
      sw1_.reset();
      t0_ = T0State::header;
      header_.clear();
      return;
    }
    case T0State::header:
    case T0State::procedure: break;
  }
  flushCardData();
  if (byte == 0x60) {
    emit(at, Direction::readerToHost, {byte}, "NULL");
  } else if (header_.size() == 5 && (byte & 0xFE) == ins) {
    emit(at, Direction::readerToHost, {byte}, "ACK: all remaining data");
    t0_ = T0State::afterAck;
    dataLeft_ = header_[4] == 0 ? 256 : header_[4];
  } else if (header_.size() == 5 &&
             (byte == static_cast<std::uint8_t>(~ins) || byte == static_cast<std::uint8_t>(~(ins + 1)))) {
    emit(at, Direction::readerToHost, {byte}, "single-byte ACK: one data byte");
    t0_ = T0State::afterSingleAck;
    if (dataLeft_ == 0) dataLeft_ = header_[4] == 0 ? 256 : header_[4];
  } else {
    sw1_ = byte;
    sw1At_ = at;
    t0_ = T0State::sw2;
  }
}

std::vector<TraceLine> decodeTrace(std::span<const TraceByte> bytes) {
  std::vector<TraceByte> ordered(bytes.begin(), bytes.end());
  std::stable_sort(ordered.begin(), ordered.end(), [](const TraceByte& a, const TraceByte& b) { return a.at < b.at; });
  TraceDecoder decoder;
  for (const TraceByte& b : ordered) decoder.add(b);
  decoder.finish();
  return decoder.takeLines();
}

std::string formatTraceLine(const TraceLine& line) {
  char head[64];
  std::snprintf(head, sizeof head, "%12.6f ms  %s  ", static_cast<double>(line.at.count()) / 1e6,
                line.direction == Direction::hostToReader ? "host>reader" : "reader>host");
  std::string bytes = hexBytes(line.bytes);
  if (bytes.size() < 24) bytes.resize(24, ' ');
  return head + bytes + "  " + line.text;
}

}  // namespace trace
