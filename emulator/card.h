#pragma once
// A card in the reader's slot, seen from its contacts: it answers a reset
// with its ATR, takes a PTS request or starts the protocol of its ATR, and
// then runs the T=0 or T=1 engine over its application. It knows nothing of
// the reader; the reader times its characters from etuClocks() and
// characterEtu().

#include <cstdint>
#include <memory>
#include <optional>

#include "emulator/answer_log.h"
#include "emulator/atr.h"
#include "emulator/card_application.h"
#include "emulator/card_output.h"
#include "emulator/card_profile.h"
#include "emulator/knobs.h"
#include "emulator/seeded_random.h"
#include "emulator/t0_engine.h"
#include "emulator/t1_engine.h"

namespace emulator {

class Card {
 public:
  explicit Card(CardProfile profile, CardKnobs knobs = {});
  virtual ~Card();
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  // A reset: cold when the card is unpowered (warm is then ignored), warm
  // otherwise. Returns the ATR, timed at the initial ETU of 372 clocks; the
  // first character's delay covers the card's answer time.
  virtual CardOutput reset(bool warm);
  void powerDown();
  // One character from the reader; returns what the card sends in answer.
  // A card that answers otherwise (a fuzzer's) overrides this and reset().
  virtual CardOutput receive(std::uint8_t byte);

  bool powered() const { return phase_ != Phase::off; }
  // Current ETU in card clock cycles (after a PTS or in the specific mode the
  // negotiated one; the ATR itself always runs at 372).
  std::uint32_t etuClocks() const { return etuClocks_; }
  // Length of the card's own characters in ETU: 12 + N under T=0 and during
  // the ATR, 11 + N under T=1.
  std::uint32_t characterEtu() const;
  bool inverseConvention() const { return atr_.inverseConvention; }
  // Selected protocol (0 or 1), none before the first exchange after a reset.
  std::optional<std::uint8_t> protocol() const { return protocol_; }
  const AtrInfo& atr() const { return atr_; }
  CardApplication& application() { return application_; }
  const CardProfile& profile() const { return profile_; }
  // The answers to the commands the card completed since it went into the
  // slot.
  const AnswerLog& answers() const { return answers_; }
  // Characters the card has sent since it went into the slot.
  std::uint32_t bytesSent() const { return bytesSent_; }

 private:
  enum class Phase { off, negotiable, pts, protocol };
  void select(std::uint8_t protocol, std::uint8_t fiDi);
  // Applies the misbehaviour knobs to what the card is about to send.
  CardOutput finish(CardOutput out);
  std::uint32_t msToEtu(std::uint32_t ms) const;

  CardProfile profile_;
  CardKnobs knobs_;
  CardApplication application_;
  SeededRandom random_;
  Phase phase_ = Phase::off;
  AtrInfo atr_;
  std::uint32_t etuClocks_ = 372;
  std::optional<std::uint8_t> protocol_;
  std::vector<std::uint8_t> ptsRequest_;
  std::unique_ptr<T0Engine> t0_;
  std::unique_ptr<T1Engine> t1_;
  std::uint32_t bytesSent_ = 0;
  AnswerLog answers_;
};

}  // namespace emulator
