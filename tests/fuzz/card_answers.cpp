// The card's answers as the driver receives them through the emulated
// reader: a card whose ATR comes from the input (or a known profile's), and
// which answers, whenever a real card of its kind would, as the input says:
// the real answer, silence, raw bytes, the real answer cut short, late or
// with a parity error, T=0 procedure bytes (NULLs, a status word), or a T=1
// block with any PCB, LEN and INF and a right or wrong EDC (chaining,
// S-blocks, R-blocks at any point). The real answers cover PTS answers, T=0
// procedure bytes and data, and T=1 blocks; with no input left the card
// answers as a real one.
//
// Invariants (besides the sanitizers, the verifier and the virtual-time
// bound of every request): every answer fits the caller's buffer, and an
// ATR or a transmit's answer reported successful is made of characters the
// card sent during the request.
//
// Input: the card (a profile, or 0x80 | n and n ATR bytes), a length byte m
// and m bytes of session steps (see runSession), then one control byte per
// answer of the card (and the bytes those controls take).
#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

#include "emulator/card.h"
#include "emulator/iso7816.h"
#include "emulator/reader.h"
#include "fuzz_stack.h"

namespace {

using emulator::CardByte;
using emulator::CardOutput;

constexpr std::array<std::string_view, 7> kProfiles = {"t0", "t1", "t1-crc", "dual", "specific", "inverse", "slow"};

class ScriptedCard final : public emulator::Card {
 public:
  ScriptedCard(emulator::CardProfile profile, fuzz::Input& answers) : Card(std::move(profile)), answers_(answers) {}

  CardOutput reset(bool warm) override { return record(Card::reset(warm)); }
  CardOutput receive(std::uint8_t byte) override {
    CardOutput real = Card::receive(byte);
    // The card speaks when a real one would.
    if (real.empty() || answers_.empty()) return record(std::move(real));
    return record(answerInstead(std::move(real)));
  }

  const fuzz::Bytes& sent() const { return sent_; }

 private:
  CardOutput answerInstead(CardOutput real) {
    const std::uint8_t control = answers_.byte();
    const std::uint32_t delay = real.front().delayEtu;
    switch (control & 0x07) {
      case 0: return real;
      case 1: return {};
      case 2: return bytes(answers_.take(answers_.byte()), delay);
      case 3: real.resize(answers_.byte() % real.size()); return real;
      case 4: return block(control, delay);
      case 5: {
        CardOutput out(static_cast<std::size_t>((control >> 3) & 0x03) + 1, CardByte{0x60, 0, false});
        out.front().delayEtu = delay;
        if (control & 0x20) {
          const auto sw = bytes(answers_.take(2), 0);
          out.insert(out.end(), sw.begin(), sw.end());
        } else {
          out.insert(out.end(), real.begin(), real.end());
        }
        return out;
      }
      case 6: real[answers_.byte() % real.size()].parityError = true; return real;
      default: real.front().delayEtu += answers_.byte() * 256u; return real;
    }
  }

  // A T=1 block from the card: node address 0, any PCB, LEN and INF (LEN
  // may disagree with the INF's length), the EDC the ATR asks for, damaged
  // on request.
  CardOutput block(std::uint8_t control, std::uint32_t delay) {
    const std::uint8_t pcb = answers_.byte();
    const std::uint8_t length = answers_.byte();
    const auto inf = answers_.take((control & 0x08) ? answers_.byte() : length);
    fuzz::Bytes block{0x00, pcb, length};
    block.insert(block.end(), inf.begin(), inf.end());
    if (atr().crc) {
      const std::uint16_t crc = emulator::blockCrc(block);
      block.push_back(static_cast<std::uint8_t>(crc >> 8));
      block.push_back(static_cast<std::uint8_t>(crc));
    } else {
      block.push_back(emulator::longitudinalRedundancy(block));
    }
    if (control & 0x10) block.back() ^= 0x01;
    return bytes(block, delay);
  }

  static CardOutput bytes(std::span<const std::uint8_t> values, std::uint32_t delay) {
    CardOutput out;
    for (const std::uint8_t value : values) out.push_back(CardByte{value, out.empty() ? delay : 0, false});
    return out;
  }

  CardOutput record(CardOutput out) {
    for (const CardByte& byte : out) sent_.push_back(byte.value);
    return out;
  }

  fuzz::Input& answers_;
  fuzz::Bytes sent_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::uint8_t kind = input.byte();
  emulator::CardProfile profile = emulator::cardProfile(kProfiles[(kind & 0x7F) % kProfiles.size()]);
  if (kind & 0x80) {
    const auto atr = input.take((kind & 0x7F) % 34);
    profile.coldAtr.assign(atr.begin(), atr.end());
  }
  const auto steps = input.take(input.byte());
  fuzz::Input session(steps.data(), steps.size());
  const auto rest = input.rest();
  fuzz::Input answers(rest.data(), rest.size());

  tav712::StackOptions options;
  options.knobs.cardInserted = false;
  fuzz::StackRun run(std::move(options));
  auto card = std::make_unique<ScriptedCard>(std::move(profile), answers);
  const ScriptedCard& scripted = *card;
  run.reader().insertCard(std::move(card), false);
  if (!run.bringUp()) return 0;
  const fuzz::SessionEnds ends{[&] { return scripted.sent().size(); },
                               [&](std::size_t from) {
                                 return fuzz::Bytes(scripted.sent().begin() + static_cast<std::ptrdiff_t>(from),
                                                    scripted.sent().end());
                               }};
  fuzz::runSession(run, session, ends, 12);
  return 0;
}
