#pragma once
// The card's side of T=1 (ISO/IEC 7816-3, clause 11): it receives blocks,
// checks their EDC, follows the send sequence numbers of both sides, takes
// chained commands (acknowledging each link with an R-block), answers in
// I-blocks no larger than IFSD (chaining when the answer is longer), repeats
// its last block when asked, and handles the S-blocks RESYNCH, IFS, ABORT and
// WTX. It can itself ask for a waiting-time extension or a new IFSC.

#include <cstdint>
#include <vector>

#include "emulator/answer_log.h"
#include "emulator/card_application.h"
#include "emulator/card_output.h"
#include "emulator/t1_block.h"

namespace emulator {

struct T1Options {
  std::uint8_t ifsc = 32;  // largest information field the card takes
  bool crc = false;        // EDC: CRC instead of LRC
  // The card's block waiting time in ETU (for the delay after a WTX grant).
  std::uint32_t blockWaitingEtu = 15371;
  // Misbehaviour and optional protocol events:
  std::uint8_t wtxMultiplier = 0;           // ask S(WTX request) with this factor before each answer
  std::uint8_t ifsRequest = 0;              // ask S(IFS request) with this IFSC once, before the first answer
  std::vector<std::uint32_t> lenFfBlocks;   // blocks (counted from 1 since reset) sent with LEN 0xFF
  std::vector<std::uint32_t> badEdcBlocks;  // blocks sent with a wrong EDC
  std::vector<std::uint32_t> lostBlocks;    // blocks that never reach the reader (a repetition does)
};

class T1Engine {
 public:
  // Every response the application gives goes to answers, when given.
  T1Engine(CardApplication& application, T1Options options, AnswerLog* answers = nullptr);
  CardOutput receive(std::uint8_t byte);
  void reset();
  std::uint8_t ifsd() const { return ifsd_; }

 private:
  CardOutput blockReceived(const T1Frame& frame);
  CardOutput information(const T1Block& block);
  CardOutput supervisory(const T1Block& block);
  // Starts answering a complete command: maybe a WTX or IFS request first.
  CardOutput answer(std::vector<std::uint8_t> response);
  CardOutput nextResponseBlock(std::uint32_t delayEtu);
  CardOutput send(const T1Block& block, std::uint32_t delayEtu = 0);
  CardOutput repeatLast();

  enum class Waiting { nothing, wtxResponse, ifsResponse };

  CardApplication& application_;
  T1Options options_;
  AnswerLog* answers_;
  std::vector<std::uint8_t> inbox_;
  std::uint8_t ifsd_ = 32;
  std::uint8_t ifsc_;
  std::uint8_t cardSequence_ = 0;       // N(S) of the card's next I-block
  std::uint8_t hostSequence_ = 0;       // N(S) expected in the host's next I-block
  std::vector<std::uint8_t> command_;   // chained command so far
  std::vector<std::uint8_t> response_;  // answer not yet sent
  bool chainingOut_ = false;
  Waiting waiting_ = Waiting::nothing;
  bool ifsRequested_ = false;
  std::vector<std::uint8_t> lastSent_;
  std::uint32_t blocksSent_ = 0;
};

}  // namespace emulator
