#pragma once
// Misbehaviour knobs of the card and the reader, and their text form for the
// command line: comma-separated name=value pairs, numbers in decimal or 0x
// hex, lists joined by ':' ("silent-after=30,parity-error-byte=5:9").
// Byte and block counts start at 1. knobHelp() lists every name.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/card_profile.h"

namespace emulator {

// The command gap of a reader run in real time (on a pseudo-terminal, or in
// pcscd): a loaded machine can hold the bytes of one command apart far
// longer than a UART would, so the reader waits longer before it drops a
// partial command than on the virtual clock, where bytes are never late.
inline constexpr std::uint32_t realTimeCommandGapMs = 2000;

struct CardKnobs {
  // Counted over the card's life in the slot, its ATR bytes included.
  std::optional<std::uint32_t> silentAfter;     // silent-after=N: no byte after the N-th
  std::vector<std::uint32_t> parityErrorBytes;  // parity-error-byte=N[:N...]
  std::vector<std::uint32_t> lateBytes;         // late-byte=N[:N...]
  std::uint32_t lateMs = 1500;                  // late-ms=M: how late
  std::uint32_t garbageAfterAtr = 0;            // garbage-after-atr=N: N random bytes after each ATR
  // T=1 only:
  std::uint8_t wtx = 0;                     // wtx=K: ask for WTX factor K before each answer
  std::uint8_t ifsRequest = 0;              // ifs-request=N: ask for IFSC N once after reset
  std::vector<std::uint32_t> lenFfBlocks;   // len-ff-block=N[:N...]: blocks since reset
  std::vector<std::uint32_t> badEdcBlocks;  // bad-edc-block=N[:N...] (alias bad-lrc-block)
  std::vector<std::uint32_t> lostBlocks;    // lost-block=N[:N...]: never sent, repeated when asked
  std::uint64_t seed = 1;                   // seed=N: garbage and challenges
};

struct ReaderKnobs {
  std::uint8_t firmwareVersion = 0x23;  // firmware=0xMN
  // Replies counted from 1 since the reader was plugged in.
  std::vector<std::uint32_t> wrongReplies;  // wrong-reply=N[:N...]
  std::uint8_t wrongReplyValue = 0x00;      // wrong-reply-value=V
  std::vector<std::uint32_t> errorReplies;  // error-reply=N[:N...]: 0x10 0x84 instead
  // error-before-reply=N[:N...]: 0x10 0x84, then the reply all the same
  std::vector<std::uint32_t> errorsBeforeReplies;
  std::vector<std::uint32_t> lateReplies;    // late-reply=N[:N...]
  std::uint32_t lateReplyMs = 500;           // late-reply-ms=M
  std::optional<std::uint32_t> silentAfter;  // reader-silent-after=N: bytes to the host
  // remove-after-byte=N: the card is pulled out right after its N-th byte
  // (since it went in, ATR included) reached the reader.
  std::optional<std::uint32_t> removeAfterCardByte;
  std::optional<std::uint32_t> removeAtMs;  // remove-at-ms=M
  std::optional<std::uint32_t> insertAtMs;  // insert-at-ms=M
  std::optional<std::uint32_t> dsrDropMs;   // dsr-drop-ms=M: reader unplugged
  std::optional<std::uint32_t> baudRate;    // reader-baud=B: the reader's own line speed
  std::uint32_t commandGapMs = 100;         // command-gap-ms=M: a partial command is dropped after M ms of silence
};

struct EmulatorKnobs {
  std::string profile = "t1";  // profile=NAME (see cardProfileNames())
  bool cardInserted = true;    // no-card: the slot starts empty
  // Changes to the profile's behaviour:
  std::optional<PtsBehaviour> pts;                   // pts=echo|silent|no-pts1|other|bad-pck
  std::optional<std::uint8_t> ptsFactors;            // pts-factors=0xFD: PTS1 of pts=other
  std::optional<T0AckStyle> t0Ack;                   // t0-ack=full|single|mixed
  std::optional<std::uint32_t> t0Nulls;              // t0-nulls=N
  std::optional<std::vector<std::uint8_t>> coldAtr;  // atr=3B0254... (hex, TCK included)
  std::optional<std::vector<std::uint8_t>> warmAtr;  // warm-atr=3B...
  CardKnobs card;
  ReaderKnobs reader;
};

// Applies the text to knobs; on an unknown name or bad value returns the
// reason and leaves the knobs partly applied.
std::optional<std::string> applyKnobs(std::string_view text, EmulatorKnobs& knobs);
std::vector<std::string> knobHelp();

// The named profile with the knobs' changes applied.
CardProfile profileFor(const EmulatorKnobs& knobs);

}  // namespace emulator
