// A T=1 card written from the card's side of ISO/IEC 7816-3 clause 11, for
// testing the library's interface-device engine against an independent peer.
// It answers one block at a time and can be told to misbehave: corrupt the
// EDC of its next block of a kind, stay mute, ask for WTX or a new IFSC,
// repeat a block, send an R-block naming a block that was never sent, abort.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace smclib_test {

using Bytes = std::vector<std::uint8_t>;

class T1CardPeer {
 public:
  enum class Kind { I, R, S };

  struct Script {
    std::uint8_t ifsc = 32;  // what the card accepts per I-block
    bool crc = false;
    std::vector<std::uint8_t> wtxBeforeAnswer{};        // WTX requests before the first answer block
    std::optional<std::size_t> ifsRequestAfterBlock{};  // ask for a new IFSC after the n-th chained block (1-based)
    std::uint8_t newIfsc = 0;
    std::optional<std::size_t> abortAfterBlock{};  // ask to abort after the n-th chained command block
    int muteCount = 0;                             // ignore this many received blocks
    bool muteForever = false;
    std::optional<Kind> corruptKind{};  // corrupt the EDC of the next blocks of this kind
    int corruptCount = 0;
    bool duplicateAnswerBlock = false;   // send the first chained answer block twice
    bool rBlockNamingNeverSent = false;  // answer the command with a bogus R-block once
  };

  T1CardPeer(Script script, std::function<Bytes(const Bytes&)> application);

  // The card's answer to one block from the reader; empty when it stays mute.
  Bytes exchange(std::span<const std::uint8_t> block);

  // What the card has seen.
  std::vector<Bytes> commands;             // complete commands delivered to the application
  std::vector<std::uint8_t> receivedPcbs;  // PCB of every valid block received
  std::size_t maxInfReceived = 0;          // longest INF of a reader I-block
  std::uint8_t ifsd = 32;                  // the reader's IFSD as the card knows it
  int resynchCount = 0;

 private:
  Bytes block(std::uint8_t pcb, std::span<const std::uint8_t> inf);
  Bytes send(Kind kind, std::uint8_t pcb, std::span<const std::uint8_t> inf);
  Bytes sendR(std::uint8_t error);
  Bytes sendWtxRequest();
  Bytes sendAnswerChunk();
  Bytes onIBlock(std::uint8_t pcb, std::span<const std::uint8_t> inf);
  Bytes onRBlock(std::uint8_t pcb);
  Bytes onSBlock(std::uint8_t pcb, std::span<const std::uint8_t> inf);
  Bytes afterCommand();

  Script script_;
  std::function<Bytes(const Bytes&)> application_;
  std::uint8_t ns_ = 0;  // N(S) of the card's next I-block
  std::uint8_t nr_ = 0;  // N(S) expected in the reader's next I-block
  Bytes command_;
  Bytes answer_;
  std::size_t answerOffset_ = 0;  // first answer byte not yet acknowledged
  std::size_t chunkLength_ = 0;   // INF length of the answer block in flight
  bool answering_ = false;
  std::size_t chainedBlocks_ = 0;
  std::size_t wtxIndex_ = 0;
  bool waitingWtxResponse_ = false;
  Bytes lastSent_;
};

}  // namespace smclib_test
