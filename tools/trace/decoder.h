#pragma once
// Turns the two byte streams of the reader's serial line into lines for
// people: reader commands, registers and values, reply bytes, escapes and
// events, card bytes, the ATR with its analysis, PTS, T=0 headers, procedure
// bytes and status words, T=1 blocks.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace trace {

using Nanoseconds = std::chrono::nanoseconds;

enum class Direction { hostToReader, readerToHost };

struct TraceByte {
  Nanoseconds at;
  Direction direction;
  std::uint8_t byte;
};

struct TraceLine {
  Nanoseconds at;  // arrival of the item's first byte
  Direction direction;
  std::vector<std::uint8_t> bytes;  // the item's bytes as on the line (may be empty for analysis lines)
  std::string text;
};

class TraceDecoder {
 public:
  // Bytes must come in time order (both directions merged). Lines come in
  // the order of their items' first bytes.
  void add(const TraceByte& byte);
  // Reports items still incomplete at the end of the trace.
  void finish();
  std::vector<TraceLine> takeLines();

 private:
  enum class Reply { none, read, write, send };
  enum class CardPhase { idle, atr, negotiable, pts, t0, t1 };
  enum class T0State { header, procedure, afterAck, afterSingleAck, sw2 };

  void hostByte(Nanoseconds at, std::uint8_t byte);
  void readerByte(Nanoseconds at, std::uint8_t byte);
  void commandComplete();
  void dataByte(Nanoseconds at, std::uint8_t byte, bool dataError);
  void escapeCode(Nanoseconds at, std::uint8_t code);
  void toCard(Nanoseconds at, std::uint8_t byte);
  void fromCard(Nanoseconds at, std::uint8_t byte, bool dataError);
  void t0FromCard(Nanoseconds at, std::uint8_t byte);
  void emit(Nanoseconds at, Direction direction, std::vector<std::uint8_t> bytes, std::string text);
  void flushCardData();
  void flushBlocks();
  // An answer-to-reset cut short (time-out, power-down, new reset, removal,
  // end of the trace) is shown with the bytes that came, marked incomplete.
  void flushAtr();
  void startProtocol();

  std::vector<TraceLine> lines_;
  // Host to reader.
  std::vector<std::uint8_t> command_;
  std::size_t commandLength_ = 0;
  Nanoseconds commandAt_{0};
  Reply reply_ = Reply::none;
  std::uint8_t replyRegister_ = 0;
  // Reader to host.
  bool escape_ = false;
  Nanoseconds escapeAt_{0};
  // The card conversation.
  CardPhase phase_ = CardPhase::idle;
  std::uint8_t protocol_ = 0;
  bool crc_ = false;
  std::uint16_t offered_ = 1;
  std::vector<std::uint8_t> atr_;
  Nanoseconds atrAt_{0};
  std::vector<std::uint8_t> ptsRequest_, ptsResponse_;
  Nanoseconds ptsAt_{0};
  std::vector<std::uint8_t> blockToCard_, blockFromCard_;
  Nanoseconds blockToCardAt_{0}, blockFromCardAt_{0};
  bool blockDataError_ = false;
  T0State t0_ = T0State::header;
  std::vector<std::uint8_t> header_;
  Nanoseconds headerAt_{0};
  std::size_t dataLeft_ = 0;
  std::vector<std::uint8_t> cardData_;
  Direction cardDataDirection_ = Direction::readerToHost;
  Nanoseconds cardDataAt_{0};
  std::optional<std::uint8_t> sw1_;
  Nanoseconds sw1At_{0};
};

std::vector<TraceLine> decodeTrace(std::span<const TraceByte> bytes);
// "   12.345678 ms  reader>host  90              reply: ok"
std::string formatTraceLine(const TraceLine& line);

}  // namespace trace
