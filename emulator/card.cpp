#include "emulator/card.h"

#include <algorithm>

#include "emulator/iso7816.h"

namespace emulator {
namespace {

bool listed(const std::vector<std::uint32_t>& list, std::uint32_t value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

}  // namespace

Card::Card(CardProfile profile, CardKnobs knobs)
    : profile_(std::move(profile)),
      knobs_(std::move(knobs)),
      application_(profile_.application),
      random_(knobs_.seed) {}

Card::~Card() = default;

std::uint32_t Card::characterEtu() const {
  const std::uint32_t n = atr_.extraGuardTime == 255 ? 0 : atr_.extraGuardTime;
  return (protocol_ && *protocol_ == 1 ? 11u : 12u) + n;
}

std::uint32_t Card::msToEtu(std::uint32_t ms) const {
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms) * (cardClockHz / 1000) / etuClocks_);
}

CardOutput Card::reset(bool warm) {
  const bool coldReset = !powered() || !warm;
  const auto& bytes = !coldReset && !profile_.warmAtr.empty() ? profile_.warmAtr : profile_.coldAtr;
  atr_ = parseAtr(bytes);
  phase_ = Phase::negotiable;
  etuClocks_ = initialEtuClocks;
  protocol_.reset();
  ptsRequest_.clear();
  t0_.reset();
  t1_.reset();
  application_.reset();
  CardOutput out;
  appendBytes(out, bytes, profile_.atrDelayClocks / initialEtuClocks);
  for (std::uint32_t i = 0; i < knobs_.garbageAfterAtr; ++i) out.push_back(CardByte{random_.nextByte(), 0, false});
  return finish(std::move(out));
}

void Card::powerDown() {
  phase_ = Phase::off;
  protocol_.reset();
  t0_.reset();
  t1_.reset();
  ptsRequest_.clear();
  etuClocks_ = initialEtuClocks;
}

void Card::select(std::uint8_t protocol, std::uint8_t fiDi) {
  protocol_ = protocol;
  const std::uint32_t etu = etuClocksFor(fiDi);
  etuClocks_ = etu == 0 ? initialEtuClocks : etu;
  phase_ = Phase::protocol;
  if (protocol == 1) {
    T1Options options;
    options.ifsc = atr_.ifsc == 0 || atr_.ifsc == 0xFF ? 32 : atr_.ifsc;
    options.crc = atr_.crc;
    // ISO/IEC 7816-3, 11.4.3: BWT = 11 etu + 2^BWI x 960 x 372 clock cycles.
    options.blockWaitingEtu =
        11 + static_cast<std::uint32_t>(
                 (std::uint64_t{960} * 372 << std::min<std::uint8_t>(atr_.blockWaitingInteger, 9)) / etuClocks_);
    options.wtxMultiplier = knobs_.wtx;
    options.ifsRequest = knobs_.ifsRequest;
    options.lenFfBlocks = knobs_.lenFfBlocks;
    options.badEdcBlocks = knobs_.badEdcBlocks;
    options.lostBlocks = knobs_.lostBlocks;
    t1_ = std::make_unique<T1Engine>(application_, options, &answers_);
  } else {
    t0_ = std::make_unique<T0Engine>(application_, profile_.t0, &answers_);
  }
}

CardOutput Card::receive(std::uint8_t byte) {
  CardOutput out;
  switch (phase_) {
    case Phase::off: return {};
    case Phase::negotiable:
      if (byte == 0xFF) {
        phase_ = Phase::pts;
        ptsRequest_ = {byte};
        return {};
      }
      // No PTS: the card goes on in its first protocol (in the specific mode,
      // the protocol and parameters TA2 names).
      if (atr_.specificMode) {
        select(atr_.specificProtocol, atr_.specificImplicit ? std::uint8_t{0x11} : atr_.fiDi);
      } else {
        select(atr_.firstProtocol, 0x11);
      }
      return receive(byte);
    case Phase::pts: {
      ptsRequest_.push_back(byte);
      const std::size_t needed = ptsRequestLength(ptsRequest_);
      if (needed == 0 || ptsRequest_.size() < needed) return {};
      const std::uint16_t protocols =
          atr_.specificMode ? static_cast<std::uint16_t>(1u << atr_.specificProtocol) : atr_.protocols;
      const PtsAnswer answer = answerPts(ptsRequest_, profile_.pts, protocols, atr_.fiDi);
      ptsRequest_.clear();
      phase_ = Phase::negotiable;
      appendBytes(out, answer.reply, profile_.turnaroundEtu);
      if (answer.switched) select(answer.protocol, answer.fiDi);
      return finish(std::move(out));
    }
    case Phase::protocol:
      out = t1_ ? t1_->receive(byte) : t0_->receive(byte);
      if (!out.empty()) out.front().delayEtu += profile_.turnaroundEtu;
      return finish(std::move(out));
  }
  return out;
}

CardOutput Card::finish(CardOutput out) {
  CardOutput sent;
  for (CardByte& b : out) {
    if (knobs_.silentAfter && bytesSent_ >= *knobs_.silentAfter) break;
    ++bytesSent_;
    if (listed(knobs_.parityErrorBytes, bytesSent_)) b.parityError = true;
    if (listed(knobs_.lateBytes, bytesSent_)) b.delayEtu += msToEtu(knobs_.lateMs);
    sent.push_back(b);
  }
  return sent;
}

}  // namespace emulator
