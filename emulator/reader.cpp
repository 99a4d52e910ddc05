#include "emulator/reader.h"

#include <algorithm>

#include "emulator/iso7816.h"

namespace emulator {
namespace {

bool listed(const std::vector<std::uint32_t>& list, std::uint32_t value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

// What a receiver set to other line settings makes of a byte: a fixed
// scramble, so a mismatch is visible and reproducible.
std::uint8_t garbled(std::uint8_t byte) { return static_cast<std::uint8_t>(((byte >> 3) | (byte << 5)) ^ 0xA5); }

}  // namespace

Reader::Reader(line::Timeline& timeline, ReaderKnobs knobs) : timeline_(timeline), knobs_(std::move(knobs)) {
  if (knobs_.baudRate) ownSettings_.baudRate = *knobs_.baudRate;
  hostSettings_ = readerLineSettings;
  if (knobs_.dsrDropMs) {
    schedule(std::chrono::milliseconds(*knobs_.dsrDropMs), [this] { unplug(); });
  }
}

Reader::~Reader() = default;

void Reader::schedule(line::Nanoseconds when, std::function<void()> action) {
  timeline_.callAt(when, [alive = std::weak_ptr<int>(life_), action = std::move(action)] {
    if (alive.lock()) action();
  });
}

void Reader::callAt(line::Nanoseconds when, std::function<void(Reader&)> action) {
  schedule(when, [this, action = std::move(action)] { action(*this); });
}

void Reader::powerOnRegisters() {
  guardLow_ = 13;
  control_ = 0;
  resetRegister_ = 0;
  characterWaitingEtu_ = 9600;
  blockWaitingEtu_ = 9600;
  register8_ = 0;
}

// ---- host side --------------------------------------------------------------

void Reader::byteFromHost(std::uint8_t byte) {
  if (!plugged_) return;
  if (hostSettings_ != ownSettings_) byte = garbled(byte);
  const line::Nanoseconds now = timeline_.now();
  // A command whose bytes are further apart than the gap is dropped unanswered.
  if (!command_.empty() && now - lastCommandByteAt_ > std::chrono::milliseconds(knobs_.commandGapMs)) command_.clear();
  lastCommandByteAt_ = now;
  if (command_.empty()) commandLength_ = readerCommandLength(byte);
  command_.push_back(byte);
  if (command_.size() < commandLength_) return;
  execute();
  command_.clear();
}

void Reader::execute() {
  // Whatever the host asks next, the card's earlier silence no longer matters.
  disarmWatch();
  const std::uint8_t header = command_[0];
  const std::uint8_t low = header & 0x3F;
  switch (header & 0xC0) {
    case readerCommandSend: {
      if (low > readerMaxSendChunk || !card_ || !card_->powered()) {
        replyError();
        return;
      }
      reply(readerOk);
      sendToCard(std::vector<std::uint8_t>(command_.begin() + 1, command_.end()));
      return;
    }
    case readerCommandWrite:
      writeRegister(low, std::vector<std::uint8_t>(command_.begin() + 1, command_.end()));
      return;
    case readerCommandRead: reply(readRegister(low)); return;
    default: replyError(); return;
  }
}

void Reader::reply(std::uint8_t value) {
  ++repliesSent_;
  const line::Nanoseconds notBefore = listed(knobs_.lateReplies, repliesSent_)
                                          ? timeline_.now() + std::chrono::milliseconds(knobs_.lateReplyMs)
                                          : line::Nanoseconds(0);
  const bool errorFirst = listed(knobs_.errorsBeforeReplies, repliesSent_);
  if (errorFirst || listed(knobs_.errorReplies, repliesSent_)) {
    ++errorsReported_;
    queueToHost({readerEscape, readerError}, notBefore);
    if (!errorFirst) return;
  }
  if (listed(knobs_.wrongReplies, repliesSent_)) value = knobs_.wrongReplyValue;
  queueData(value, notBefore);
}

void Reader::replyError() {
  ++repliesSent_;
  ++errorsReported_;
  queueToHost({readerEscape, readerError});
}

void Reader::queueData(std::uint8_t byte, line::Nanoseconds notBefore) {
  if (byte == readerEscape) {
    queueToHost({readerEscape, readerEscape}, notBefore);
  } else {
    queueToHost({byte}, notBefore);
  }
}

void Reader::queueToHost(std::initializer_list<std::uint8_t> bytes, line::Nanoseconds notBefore) {
  if (!plugged_) return;
  for (const std::uint8_t b : bytes) toHost_.push_back(Outgoing{b, notBefore});
  pumpHost();
}

void Reader::pumpHost() {
  if (transmitting_ || toHost_.empty()) return;
  const Outgoing next = toHost_.front();
  toHost_.pop_front();
  transmitting_ = true;
  const line::Nanoseconds start = std::max({timeline_.now(), hostLineFreeAt_, next.notBefore});
  hostLineFreeAt_ = start + line::characterTime(ownSettings_);
  schedule(hostLineFreeAt_, [this, byte = next.byte, epoch = hostEpoch_, alive = std::weak_ptr<int>(life_)] {
    if (epoch != hostEpoch_) return;
    transmitting_ = false;
    ++bytesToHost_;
    const bool silenced = knobs_.silentAfter && bytesToHost_ > *knobs_.silentAfter;
    if (host_ && !silenced) host_->byteReceived(hostSettings_ != ownSettings_ ? garbled(byte) : byte);
    // The host's interrupt may give the CPU up (a late wake-up holds it at a
    // yield point), and the reader may be gone by the time it returns.
    if (alive.expired()) return;
    pumpHost();
  });
}

// ---- registers --------------------------------------------------------------

std::string readerRegisterName(std::uint8_t reg) {
  switch (reg) {
    case 0: return "firmware version";
    case 1: return "guard time";
    case 2: return "control";
    case 3: return "card reset";
    case 4: return "card contacts";
    case 5: return "character waiting time";
    case 6: return "block waiting time";
    case 8: return "register 8";
    default: return "register " + std::to_string(reg);
  }
}

std::uint32_t Reader::guardTimeEtu() const { return guardLow_ | ((control_ & 0x80u) << 1); }

std::uint8_t Reader::registerValue(std::uint8_t reg) const { return readRegister(reg); }

std::uint8_t Reader::readRegister(std::uint8_t reg) const {
  switch (reg) {
    case 0: return knobs_.firmwareVersion;
    case 1: return guardLow_;
    case 2: return control_;
    case 3: return resetRegister_;
    case 4: return static_cast<std::uint8_t>((card_ ? 0x01 : 0x00) | (card_ && card_->powered() ? 0x02 : 0x00));
    case 5: return static_cast<std::uint8_t>(characterWaitingEtu_ & 0xFF);
    case 6: return static_cast<std::uint8_t>(blockWaitingEtu_ & 0xFF);
    case 8: return register8_;
    default: return 0x00;
  }
}

void Reader::writeRegister(std::uint8_t reg, const std::vector<std::uint8_t>& value) {
  const auto wide = [&value] { return static_cast<std::uint32_t>(value[0] | (value[1] << 8) | (value[2] << 16)); };
  switch (reg) {
    case 1: guardLow_ = value[0]; break;
    case 2: control_ = value[0]; break;
    case 3: resetRegister_ = value[0]; break;
    case 4: break;
    case 5: characterWaitingEtu_ = wide(); break;
    case 6: blockWaitingEtu_ = wide(); break;
    case 8: register8_ = value[0]; break;
    default: replyError(); return;
  }
  reply(readerOk);
  // The reply goes first; the card's answer-to-reset follows it.
  if (reg == 3 && value[0] == readerCardReset) resetCard();
  if (reg == 4 && (value[0] & 0x02) == 0) powerDownCard();
}

// ---- card side --------------------------------------------------------------

line::Nanoseconds Reader::etuTime(std::uint64_t etu) const {
  const std::uint32_t clocks = card_ ? card_->etuClocks() : initialEtuClocks;
  return line::Nanoseconds(clocksToNanoseconds(etu * clocks));
}

void Reader::stopCardActivity() {
  ++cardEpoch_;
  disarmWatch();
  cardLineFreeAt_ = timeline_.now();
  cardOutputFreeAt_ = timeline_.now();
}

void Reader::resetCard() {
  if (!card_) return;  // no answer comes; the host's wait for the ATR runs out
  stopCardActivity();
  const CardOutput atr = card_->reset(card_->powered());
  atrFirstByte_ = true;
  scheduleCardOutput(atr, initialEtuClocks, 12, true);
  armWatch(characterWaitingEtu_);
}

void Reader::powerDownCard() {
  stopCardActivity();
  if (card_) card_->powerDown();
}

void Reader::sendToCard(const std::vector<std::uint8_t>& bytes) {
  const line::Nanoseconds period = etuTime(std::max<std::uint32_t>(guardTimeEtu(), 11));
  line::Nanoseconds at = std::max(timeline_.now(), cardLineFreeAt_);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    at += period;
    schedule(at, [this, byte = bytes[i], last = i + 1 == bytes.size(), epoch = cardEpoch_] {
      if (epoch == cardEpoch_) deliverToCard(byte, last);
    });
  }
  cardLineFreeAt_ = at;
}

void Reader::deliverToCard(std::uint8_t byte, bool last) {
  if (!card_) return;
  // The card answers at the rate in force when it got the character (a PTS
  // answer still runs at the old rate).
  const std::uint32_t etuClocks = card_->etuClocks();
  const std::uint32_t characterEtu = card_->characterEtu();
  if (last) armWatch(blockWaitingEtu_);
  const CardOutput out = card_->receive(byte);
  scheduleCardOutput(out, etuClocks, characterEtu, false);
}

void Reader::scheduleCardOutput(const CardOutput& out, std::uint32_t etuClocks, std::uint32_t characterEtu, bool atr) {
  line::Nanoseconds at = std::max(timeline_.now(), cardOutputFreeAt_);
  const auto time = [etuClocks](std::uint64_t etu) { return line::Nanoseconds(clocksToNanoseconds(etu * etuClocks)); };
  for (std::size_t i = 0; i < out.size(); ++i) {
    at += time(out[i].delayEtu) + time(characterEtu);
    schedule(at, [this, b = out[i], epoch = cardEpoch_, ts = atr && i == 0] {
      if (epoch != cardEpoch_) return;
      // An inverse-convention TS reaches the reader's direct receiver as 0x03;
      // the reader then switches over and delivers logical values.
      const bool inverseTs = ts && card_ && card_->inverseConvention();
      cardByteArrived(inverseTs ? inverseConventionByte(b.value) : b.value, b.parityError);
    });
  }
  cardOutputFreeAt_ = at;
}

void Reader::cardByteArrived(std::uint8_t value, bool parityError) {
  ++cardBytesSeen_;
  if (parityError) {
    queueToHost({readerEscape, readerDataError});
  } else {
    queueData(value);
  }
  armWatch(characterWaitingEtu_);
  if (knobs_.removeAfterCardByte && cardBytesSeen_ == *knobs_.removeAfterCardByte) removeCard();
}

void Reader::armWatch(std::uint32_t etu) {
  const std::uint64_t epoch = ++watchEpoch_;
  schedule(timeline_.now() + etuTime(etu), [this, epoch] {
    if (epoch == watchEpoch_) queueToHost({readerEscape, readerTimeout});
  });
}

// ---- slot and cable -----------------------------------------------------------

bool Reader::insertCard(std::unique_ptr<Card> card, bool announce) {
  if (card_ || !card) return false;
  card_ = std::move(card);
  ++cardsInserted_;
  card_->powerDown();
  cardBytesSeen_ = 0;
  if (announce) queueToHost({readerEscape, readerCardInserted});
  return true;
}

std::unique_ptr<Card> Reader::removeCard() {
  if (!card_) return nullptr;
  stopCardActivity();
  card_->powerDown();
  queueToHost({readerEscape, readerCardRemoved});
  return std::move(card_);
}

void Reader::unplug() {
  if (!plugged_) return;
  plugged_ = false;
  ++hostEpoch_;
  toHost_.clear();
  transmitting_ = false;
  command_.clear();
  powerDownCard();
  if (host_) host_->dsrChanged(false);
}

void Reader::plug() {
  if (plugged_) return;
  plugged_ = true;
  hostLineFreeAt_ = timeline_.now();
  powerOnRegisters();
  if (host_) host_->dsrChanged(true);
}

std::unique_ptr<Reader> buildReader(line::Timeline& timeline, const EmulatorKnobs& knobs) {
  auto reader = std::make_unique<Reader>(timeline, knobs.reader);
  const CardProfile profile = profileFor(knobs);
  if (knobs.cardInserted) reader->insertCard(std::make_unique<Card>(profile, knobs.card), false);
  if (knobs.reader.insertAtMs) {
    reader->callAt(std::chrono::milliseconds(*knobs.reader.insertAtMs),
                   [profile, card = knobs.card](Reader& r) { r.insertCard(std::make_unique<Card>(profile, card)); });
  }
  if (knobs.reader.removeAtMs) {
    reader->callAt(std::chrono::milliseconds(*knobs.reader.removeAtMs), [](Reader& r) { r.removeCard(); });
  }
  return reader;
}

}  // namespace emulator
