#pragma once
// The card's side of T=0 (ISO/IEC 7816-3, clause 10): it takes the 5-byte
// header CLA INS P1 P2 P3, answers with procedure bytes (NULL 0x60, ACK INS,
// single-byte ACK INS xor 0xFF) and the status word, and moves data in either
// direction as the instruction requires. A response of another length than
// P3 asks for it with 6Cxx and keeps the answer for the repeated command;
// response data of a command with incoming data waits behind 61xx for GET
// RESPONSE.

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "emulator/answer_log.h"
#include "emulator/card_application.h"
#include "emulator/card_output.h"

namespace emulator {

enum class T0AckStyle {
  full,         // one ACK, then all data
  singleBytes,  // one single-byte ACK before every data byte
  mixed,        // a single-byte ACK for the first data byte, an ACK for the rest
};

struct T0Options {
  T0AckStyle ackStyle = T0AckStyle::full;
  // NULL bytes sent before every procedure byte and before SW1.
  std::uint32_t nullBytes = 0;
  // Idle ETUs before each NULL byte (a card that keeps the reader waiting).
  std::uint32_t nullDelayEtu = 0;
};

class T0Engine {
 public:
  // Every answer the engine completes goes to answers, when given.
  T0Engine(CardApplication& application, T0Options options, AnswerLog* answers = nullptr)
      : application_(application), options_(options), answers_(answers) {}
  CardOutput receive(std::uint8_t byte);
  void reset();

 private:
  void procedure(CardOutput& out, std::uint8_t byte) const;
  // Ends an answer: its status word goes out, and the answer (the data sent
  // before it, then the status word) to the log.
  void statusWord(CardOutput& out, std::uint16_t sw, const std::vector<std::uint8_t>& data = {});
  CardOutput headerComplete();
  CardOutput dataComplete();
  CardOutput sendResponse(const ResponseApdu& response);

  CardApplication& application_;
  T0Options options_;
  AnswerLog* answers_;
  std::vector<std::uint8_t> header_;
  std::vector<std::uint8_t> incoming_;
  std::size_t incomingExpected_ = 0;
  bool receivingData_ = false;
  // Answer kept after 6Cxx for the command repeated with the right P3.
  std::optional<std::array<std::uint8_t, 4>> keptFor_;
  ResponseApdu kept_;
};

}  // namespace emulator
