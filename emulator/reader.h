#pragma once
// The TAV712 reader as seen from its serial port (see README.md for the
// whole protocol):
//
//   host -> reader   0x40|n + n card bytes   send to the card (n <= 24)
//                    0x80|r + value bytes    write register r
//                    0xC0|r                  read register r
//   reader -> host   one reply byte per command, then card bytes; 0x10
//                    escapes: 10 10 data 0x10, 10 83 waiting time passed,
//                    10 84 reader error, 10 85 card in, 10 86 card out,
//                    10 88 card byte with a parity error
//
// The reader owns its transmitter toward the host (19200 baud, 10 bits a
// byte) and the card line (characters of the card's ETU at 3.58 MHz).

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "emulator/card.h"
#include "emulator/knobs.h"
#include "emulator/reader_protocol.h"
#include "line/line.h"

namespace emulator {

class Reader final : public line::LineDevice {
 public:
  explicit Reader(line::Timeline& timeline, ReaderKnobs knobs = {});
  ~Reader() override;
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  void connect(line::HostPort* host) override { host_ = host; }
  void byteFromHost(std::uint8_t byte) override;
  bool applyLineSettings(const line::LineSettings& settings) override {
    hostSettings_ = settings;
    return true;
  }
  bool dsr() const override { return plugged_; }

  // Puts a card into the slot and reports 0x10 0x85 (unless announce is
  // false: a card already in place when the reader is set up). Refused
  // (false) while the slot holds a card.
  bool insertCard(std::unique_ptr<Card> card, bool announce = true);
  // Pulls the card out (powered down) and reports 0x10 0x86; null when the
  // slot is empty.
  std::unique_ptr<Card> removeCard();
  Card* card() const { return card_.get(); }
  // Cards put into the slot so far: tells a card from one that took the
  // place of another.
  std::uint64_t cardsInserted() const { return cardsInserted_; }

  // The reader's cable: unplugging drops DSR and silences the reader;
  // plugging it in again raises DSR with the registers at power-on values.
  void unplug();
  void plug();
  // The reader stays plugged in (DSR up) but sends nothing more, as
  // reader-silent-after does from the next byte on.
  void fallSilent() { knobs_.silentAfter = bytesToHost_; }

  // Runs an action on the reader at an instant, unless the reader is gone by
  // then (for timed slot and cable events).
  void callAt(line::Nanoseconds when, std::function<void(Reader&)> action);

  // Register values as the reader holds them.
  std::uint8_t registerValue(std::uint8_t reg) const;
  std::uint32_t guardTimeEtu() const;
  std::uint32_t characterWaitingEtu() const { return characterWaitingEtu_; }
  std::uint32_t blockWaitingEtu() const { return blockWaitingEtu_; }
  const line::LineSettings& lineSettings() const { return ownSettings_; }
  // Replies sent since the reader was plugged in (what the reply knobs count).
  std::uint32_t repliesSent() const { return repliesSent_; }
  // Reader errors (0x10 0x84) sent so far, whatever the cable did.
  std::uint32_t errorsReported() const { return errorsReported_; }

 private:
  struct Outgoing {
    std::uint8_t byte;
    line::Nanoseconds notBefore;
  };

  void schedule(line::Nanoseconds when, std::function<void()> action);
  void execute();
  void reply(std::uint8_t value);
  void replyError();
  void writeRegister(std::uint8_t reg, const std::vector<std::uint8_t>& value);
  std::uint8_t readRegister(std::uint8_t reg) const;
  void resetCard();
  void powerDownCard();
  void sendToCard(const std::vector<std::uint8_t>& bytes);
  void deliverToCard(std::uint8_t byte, bool last);
  void scheduleCardOutput(const CardOutput& out, std::uint32_t etuClocks, std::uint32_t characterEtu, bool atr);
  void cardByteArrived(std::uint8_t value, bool parityError);
  void armWatch(std::uint32_t etu);
  void disarmWatch() { ++watchEpoch_; }
  void stopCardActivity();
  line::Nanoseconds etuTime(std::uint64_t etu) const;
  void queueToHost(std::initializer_list<std::uint8_t> bytes, line::Nanoseconds notBefore = line::Nanoseconds(0));
  void queueData(std::uint8_t byte, line::Nanoseconds notBefore = line::Nanoseconds(0));
  void pumpHost();
  void powerOnRegisters();

  line::Timeline& timeline_;
  ReaderKnobs knobs_;
  line::HostPort* host_ = nullptr;
  line::LineSettings ownSettings_;
  line::LineSettings hostSettings_;
  bool plugged_ = true;
  // Guards scheduled actions against a reader that no longer exists.
  std::shared_ptr<int> life_ = std::make_shared<int>(0);

  // Registers.
  std::uint8_t guardLow_ = 13;
  std::uint8_t control_ = 0;
  std::uint8_t resetRegister_ = 0;
  std::uint32_t characterWaitingEtu_ = 9600;
  std::uint32_t blockWaitingEtu_ = 9600;
  std::uint8_t register8_ = 0;

  // Host side.
  std::vector<std::uint8_t> command_;
  std::size_t commandLength_ = 0;
  line::Nanoseconds lastCommandByteAt_{0};
  std::deque<Outgoing> toHost_;
  bool transmitting_ = false;
  line::Nanoseconds hostLineFreeAt_{0};
  std::uint64_t hostEpoch_ = 0;
  std::uint32_t repliesSent_ = 0;
  std::uint32_t errorsReported_ = 0;
  std::uint32_t bytesToHost_ = 0;

  // Card side.
  std::unique_ptr<Card> card_;
  std::uint64_t cardsInserted_ = 0;
  std::uint64_t cardEpoch_ = 0;
  std::uint64_t watchEpoch_ = 0;
  line::Nanoseconds cardLineFreeAt_{0};
  line::Nanoseconds cardOutputFreeAt_{0};
  std::uint32_t cardBytesSeen_ = 0;
  bool atrFirstByte_ = false;
};

// A reader with the card and the timed events that the knobs describe.
std::unique_ptr<Reader> buildReader(line::Timeline& timeline, const EmulatorKnobs& knobs);

}  // namespace emulator
