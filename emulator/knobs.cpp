#include "emulator/knobs.h"

#include <charconv>
#include <functional>
#include <map>

namespace emulator {
namespace {

std::optional<std::uint64_t> number(std::string_view text) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

template <typename T>
std::optional<std::string> into(std::string_view text, T& target, std::uint64_t max) {
  const auto value = number(text);
  if (!value || *value > max) return "bad number '" + std::string(text) + "'";
  target = static_cast<T>(*value);
  return std::nullopt;
}

std::optional<std::string> intoOptional(std::string_view text, std::optional<std::uint32_t>& target) {
  std::uint32_t value = 0;
  if (auto error = into(text, value, 0xFFFFFFFFu)) return error;
  target = value;
  return std::nullopt;
}

std::optional<std::string> intoList(std::string_view text, std::vector<std::uint32_t>& target) {
  while (!text.empty()) {
    const std::size_t colon = text.find(':');
    std::uint32_t value = 0;
    if (auto error = into(text.substr(0, colon), value, 0xFFFFFFFFu)) return error;
    target.push_back(value);
    text = colon == std::string_view::npos ? std::string_view{} : text.substr(colon + 1);
  }
  return std::nullopt;
}

std::optional<std::string> intoHex(std::string_view text, std::optional<std::vector<std::uint8_t>>& target) {
  if (text.empty() || text.size() % 2 != 0 || text.size() > 2 * 64) return "bad hex bytes '" + std::string(text) + "'";
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
    if (error != std::errc() || end != text.data() + i + 2) return "bad hex bytes '" + std::string(text) + "'";
    bytes.push_back(static_cast<std::uint8_t>(value));
  }
  target = std::move(bytes);
  return std::nullopt;
}

using Setter = std::function<std::optional<std::string>(std::string_view, EmulatorKnobs&)>;

struct Knob {
  Setter set;
  const char* help;
};

const std::map<std::string, Knob, std::less<>>& knobTable() {
  static const std::map<std::string, Knob, std::less<>> table{
      {"profile",
       {[](std::string_view v, EmulatorKnobs& k) -> std::optional<std::string> {
          if (!isCardProfileName(v)) return "unknown card profile '" + std::string(v) + "'";
          k.profile = std::string(v);
          return std::nullopt;
        },
        "profile=NAME      card kind: t0, t1, t1-crc, dual, specific, inverse, slow"}},
      {"atr",
       {[](std::string_view v, EmulatorKnobs& k) { return intoHex(v, k.coldAtr); },
        "atr=HEX           the card's cold ATR (e.g. 3B0254455354), TCK included"}},
      {"warm-atr",
       {[](std::string_view v, EmulatorKnobs& k) { return intoHex(v, k.warmAtr); },
        "warm-atr=HEX      the card's ATR after a warm reset"}},
      {"no-card",
       {[](std::string_view v, EmulatorKnobs& k) -> std::optional<std::string> {
          if (!v.empty() && v != "1") return "no-card takes no value";
          k.cardInserted = false;
          return std::nullopt;
        },
        "no-card           the slot starts empty"}},
      {"silent-after",
       {[](std::string_view v, EmulatorKnobs& k) { return intoOptional(v, k.card.silentAfter); },
        "silent-after=N    the card sends nothing after its N-th byte (ATR included)"}},
      {"parity-error-byte",
       {[](std::string_view v, EmulatorKnobs& k) { return intoList(v, k.card.parityErrorBytes); },
        "parity-error-byte=N[:N]  card bytes sent with a parity error"}},
      {"late-byte",
       {[](std::string_view v, EmulatorKnobs& k) { return intoList(v, k.card.lateBytes); },
        "late-byte=N[:N]   card bytes sent late-ms late"}},
      {"late-ms",
       {[](std::string_view v, EmulatorKnobs& k) { return into(v, k.card.lateMs, 600'000); },
        "late-ms=M         delay of a late card byte (default 1500)"}},
      {"garbage-after-atr",
       {[](std::string_view v, EmulatorKnobs& k) { return into(v, k.card.garbageAfterAtr, 1000); },
        "garbage-after-atr=N  N random bytes after every ATR"}},
      {"wtx",
       {[](std::string_view v, EmulatorKnobs& k) { return into(v, k.card.wtx, 255); },
        "wtx=K             T=1 card asks for a waiting-time extension K before each answer"}},
      {"ifs-request",
       {[](std::string_view v, EmulatorKnobs& k) { return into(v, k.card.ifsRequest, 254); },
        "ifs-request=N     T=1 card asks for IFSC N once after reset"}},
      {"len-ff-block",
       {[](std::string_view v, EmulatorKnobs& k) { return intoList(v, k.card.lenFfBlocks); },
        "len-ff-block=N[:N]  T=1 blocks (since reset) sent with LEN 0xFF"}},
      {"bad-edc-block",
       {[](std::string_view v, EmulatorKnobs& k) { return intoList(v, k.card.badEdcBlocks); },
        "bad-edc-block=N[:N] T=1 blocks (since reset) sent with a wrong LRC/CRC"}},
      {"lost-block",
       {[](std::string_view v, EmulatorKnobs& k) { return intoList(v, k.card.lostBlocks); },
        "lost-block=N[:N]  T=1 blocks (since reset) lost on the way; a repeat comes through"}},
      {"bad-lrc-block",
       {[](std::string_view v, EmulatorKnobs& k) { return intoList(v, k.card.badEdcBlocks); },
        "bad-lrc-block=N[:N] same as bad-edc-block"}},
      {"pts",
       {[](std::string_view v, EmulatorKnobs& k) -> std::optional<std::string> {
          static const std::map<std::string, PtsBehaviour, std::less<>> modes{{"echo", PtsBehaviour::echo},
                                                                              {"silent", PtsBehaviour::silent},
                                                                              {"no-pts1", PtsBehaviour::withoutPts1},
                                                                              {"other", PtsBehaviour::otherFactors},
                                                                              {"bad-pck", PtsBehaviour::badCheck}};
          const auto found = modes.find(v);
          if (found == modes.end()) return "unknown PTS behaviour '" + std::string(v) + "'";
          k.pts = found->second;
          return std::nullopt;
        },
        "pts=MODE          echo, silent, no-pts1, other, bad-pck"}},
      {"pts-factors",
       {[](std::string_view v, EmulatorKnobs& k) {
          std::uint8_t value = 0;
          auto error = into(v, value, 0xFF);
          if (!error) k.ptsFactors = value;
          return error;
        },
        "pts-factors=0xFD  PTS1 of pts=other (default 0x11)"}},
      {"t0-ack",
       {[](std::string_view v, EmulatorKnobs& k) -> std::optional<std::string> {
          if (v == "full")
            k.t0Ack = T0AckStyle::full;
          else if (v == "single")
            k.t0Ack = T0AckStyle::singleBytes;
          else if (v == "mixed")
            k.t0Ack = T0AckStyle::mixed;
          else
            return "unknown T=0 ACK style '" + std::string(v) + "'";
          return std::nullopt;
        },
        "t0-ack=STYLE      full, single (INS xor 0xFF per byte), mixed"}},
      {"t0-nulls",
       {[](std::string_view v, EmulatorKnobs& k) { return intoOptional(v, k.t0Nulls); },
        "t0-nulls=N        NULL bytes before every procedure byte"}},
      {"seed",
       {[](std::string_view v, EmulatorKnobs& k) { return into(v, k.card.seed, ~0ull); },
        "seed=N            seed of the card's random bytes"}},
      {"firmware",
       {[](std::string_view v, EmulatorKnobs& k) { return into(v, k.reader.firmwareVersion, 0xFF); },
        "firmware=0xMN     register 0 (default 0x23)"}},
      {"wrong-reply",
       {[](std::string_view v, EmulatorKnobs& k) { return intoList(v, k.reader.wrongReplies); },
        "wrong-reply=N[:N] replies (since plug-in) replaced by wrong-reply-value"}},
      {"wrong-reply-value",
       {[](std::string_view v, EmulatorKnobs& k) { return into(v, k.reader.wrongReplyValue, 0xFF); },
        "wrong-reply-value=V  (default 0x00)"}},
      {"error-reply",
       {[](std::string_view v, EmulatorKnobs& k) { return intoList(v, k.reader.errorReplies); },
        "error-reply=N[:N] replies replaced by the reader error 0x10 0x84"}},
      {"error-before-reply",
       {[](std::string_view v, EmulatorKnobs& k) { return intoList(v, k.reader.errorsBeforeReplies); },
        "error-before-reply=N[:N] replies the reader error 0x10 0x84 goes before"}},
      {"late-reply",
       {[](std::string_view v, EmulatorKnobs& k) { return intoList(v, k.reader.lateReplies); },
        "late-reply=N[:N]  replies sent late-reply-ms late"}},
      {"late-reply-ms",
       {[](std::string_view v, EmulatorKnobs& k) { return into(v, k.reader.lateReplyMs, 600'000); },
        "late-reply-ms=M   (default 500)"}},
      {"command-gap-ms",
       {[](std::string_view v, EmulatorKnobs& k) { return into(v, k.reader.commandGapMs, 600'000); },
        "command-gap-ms=M  a partial command is dropped after M ms of silence (default 100)"}},
      {"reader-silent-after",
       {[](std::string_view v, EmulatorKnobs& k) { return intoOptional(v, k.reader.silentAfter); },
        "reader-silent-after=N  the reader sends nothing after its N-th byte"}},
      {"remove-after-byte",
       {[](std::string_view v, EmulatorKnobs& k) { return intoOptional(v, k.reader.removeAfterCardByte); },
        "remove-after-byte=N  the card is pulled out after its N-th byte"}},
      {"remove-at-ms",
       {[](std::string_view v, EmulatorKnobs& k) { return intoOptional(v, k.reader.removeAtMs); },
        "remove-at-ms=M    the card is pulled out at M ms"}},
      {"insert-at-ms",
       {[](std::string_view v, EmulatorKnobs& k) { return intoOptional(v, k.reader.insertAtMs); },
        "insert-at-ms=M    the card goes in at M ms"}},
      {"dsr-drop-ms",
       {[](std::string_view v, EmulatorKnobs& k) { return intoOptional(v, k.reader.dsrDropMs); },
        "dsr-drop-ms=M     the reader is unplugged (DSR drops) at M ms"}},
      {"reader-baud",
       {[](std::string_view v, EmulatorKnobs& k) { return intoOptional(v, k.reader.baudRate); },
        "reader-baud=B     the reader's own line speed (bytes garbled unless the host matches)"}},
  };
  return table;
}

}  // namespace

std::optional<std::string> applyKnobs(std::string_view text, EmulatorKnobs& knobs) {
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    if (item.empty()) continue;
    const std::size_t equals = item.find('=');
    const std::string_view name = item.substr(0, equals);
    const std::string_view value = equals == std::string_view::npos ? std::string_view{} : item.substr(equals + 1);
    const auto found = knobTable().find(name);
    if (found == knobTable().end()) return "unknown knob '" + std::string(name) + "'";
    if (equals == std::string_view::npos && name != "no-card") return "knob '" + std::string(name) + "' needs a value";
    if (auto error = found->second.set(value, knobs)) return std::string(name) + ": " + *error;
  }
  return std::nullopt;
}

CardProfile profileFor(const EmulatorKnobs& knobs) {
  CardProfile profile = cardProfile(knobs.profile);
  if (knobs.pts) profile.pts.behaviour = *knobs.pts;
  if (knobs.ptsFactors) profile.pts.otherFactors = *knobs.ptsFactors;
  if (knobs.t0Ack) profile.t0.ackStyle = *knobs.t0Ack;
  if (knobs.t0Nulls) profile.t0.nullBytes = *knobs.t0Nulls;
  if (knobs.coldAtr) profile.coldAtr = *knobs.coldAtr;
  if (knobs.warmAtr) profile.warmAtr = *knobs.warmAtr;
  profile.application.challengeSeed = knobs.card.seed;
  return profile;
}

std::vector<std::string> knobHelp() {
  std::vector<std::string> lines;
  for (const auto& [name, knob] : knobTable()) lines.emplace_back(knob.help);
  return lines;
}

}  // namespace emulator
