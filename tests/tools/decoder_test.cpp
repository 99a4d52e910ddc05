// The trace decoder on hand-made byte streams. The program's traced demo runs
// it on a whole recorded conversation.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "trace/decoder.h"

namespace trace::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

std::vector<std::string> texts(const std::vector<TraceLine>& lines) {
  std::vector<std::string> out;
  for (const auto& line : lines) out.push_back(line.text);
  return out;
}

// Each of `expected` is among the lines decoded from `trace`.
void expectLines(const std::vector<TraceByte>& trace, std::initializer_list<std::string> expected) {
  const auto lines = texts(decodeTrace(trace));
  for (const auto& line : expected) EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
}

struct Segment {
  Direction direction;
  Bytes bytes;
};

// The segments in order, one byte a millisecond.
std::vector<TraceByte> stream(const std::vector<Segment>& segments) {
  std::vector<TraceByte> bytes;
  Nanoseconds at{0};
  for (const Segment& segment : segments) {
    for (const std::uint8_t b : segment.bytes) bytes.push_back({at += 1ms, segment.direction, b});
  }
  return bytes;
}

constexpr Direction toReader = Direction::hostToReader;
constexpr Direction toHost = Direction::readerToHost;

TEST(TraceDecoder, NamesT0ProcedureBytesAndStatusWords) {
  // Reset, the t0 card's ATR, T=0 mode, then READ BINARY of 2 bytes answered
  // with a NULL, an ACK, the data (0x10 escaped) and the status word.
  expectLines(stream({{toReader, {0x83, 0x1D}},
                      {toHost, {0x90, 0x3B, 0x15, 0x13, 0x54, 0x37, 0x31, 0x32, 0x30}},
                      {toReader, {0x82, 0x6F}},
                      {toHost, {0x90}},
                      {toReader, {0x45, 0x00, 0xB0, 0x00, 0x00, 0x02}},
                      {toHost, {0x90, 0x60, 0xB0, 0x10, 0x10, 0x11, 0x90, 0x00}}}),
              {"T=0 header: CLA 0x00 READ BINARY P1 0x00 P2 0x00 P3 0x02", "NULL", "ACK: all remaining data",
               "response data (2 bytes)", "SW 90 00: success"});
}

TEST(TraceDecoder, NamesEscapesAndEvents) {
  const auto lines =
      texts(decodeTrace(stream({{toReader, {0xC4}}, {toHost, {0x10, 0x84, 0x10, 0x85, 0x10, 0x86, 0x10, 0x87}}})));
  EXPECT_EQ(lines, (std::vector<std::string>{"read card contacts", "reader error", "event: card inserted",
                                             "event: card removed", "unknown escape code (ignored)"}));
}

TEST(TraceDecoder, MarksDataErrorsInsideBlocks) {
  expectLines(stream({{toReader, {0x83, 0x1D}},
                      {toHost, {0x90, 0x3B, 0x95, 0x13, 0x81, 0x11, 0x20, 0x54, 0x37, 0x31, 0x32, 0x31, 0x67}},
                      {toReader, {0x82, 0x6C}},
                      {toHost, {0x90}},
                      {toReader, {0x44, 0x00, 0xC0, 0x00, 0xC0}},
                      {toHost, {0x90, 0x00, 0xE0, 0x10, 0x88, 0xE0, 0x10, 0x83}}}),
              {"data error: a card byte arrived with a parity error",
               "T=1 from card: S(RESYNCH response) NAD 00 PCB E0 LEN 00 LRC E0 ok (with a data error)"});
}

// An answer-to-reset of 15 historical bytes that stops after 13: the bytes
// that came are shown where they arrived, marked incomplete, whatever ends
// the wait for the rest.
struct CutShortAtr {
  const char* name;
  Segment after;  // what follows the last ATR byte
};

void PrintTo(const CutShortAtr& c, std::ostream* out) { *out << c.name; }

class IncompleteAtr : public ::testing::TestWithParam<CutShortAtr> {};

TEST_P(IncompleteAtr, IsShownWithTheBytesThatCameInArrivalOrder) {
  Bytes atr{0x3B, 0x0F};
  for (int i = 0; i < 13; ++i) atr.push_back(0x41);
  std::vector<Segment> segments{{toReader, {0x83, 0x1D}}, {toHost, {0x90}}, {toHost, atr}};
  if (!GetParam().after.bytes.empty()) segments.push_back(GetParam().after);
  const auto lines = decodeTrace(stream(segments));
  const auto found =
      std::find_if(lines.begin(), lines.end(), [](const TraceLine& line) { return line.text.rfind("ATR", 0) == 0; });
  ASSERT_NE(found, lines.end());
  EXPECT_EQ(found->text, "ATR incomplete: the card stopped in the historical bytes (13 of 15)");
  EXPECT_EQ(found->bytes, atr);
  // Right behind the reset's reply, before whatever ended it.
  ASSERT_NE(found, lines.begin());
  EXPECT_EQ(std::prev(found)->text, "reply: ok");
  for (auto line = lines.begin(); line + 1 != lines.end(); ++line) EXPECT_LE(line->at, (line + 1)->at);
}

INSTANTIATE_TEST_SUITE_P(Decoder, IncompleteAtr,
                         ::testing::Values(CutShortAtr{"PowerDown", {toReader, {0x84, 0x00}}},
                                           CutShortAtr{"ReaderTimeOut", {toHost, {0x10, 0x83}}},
                                           CutShortAtr{"AnotherReset", {toReader, {0x83, 0x1D}}},
                                           CutShortAtr{"CardRemoved", {toHost, {0x10, 0x86}}},
                                           CutShortAtr{"EndOfTrace", {toHost, {}}}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(TraceDecoder, SaysWhereAnIncompleteAtrStopped) {
  const auto lastText = [](const std::vector<Segment>& segments) {
    const auto lines = texts(decodeTrace(stream(segments)));
    return lines.empty() ? std::string() : lines.back();
  };
  const Segment reset{toReader, {0x83, 0x1D}};
  EXPECT_EQ(lastText({reset, {toHost, {0x90, 0x3B, 0x95, 0x13}}}),
            "ATR incomplete: the card stopped in the interface bytes");
  EXPECT_EQ(lastText({reset, {toHost, {0x90, 0x3B, 0x95, 0x13, 0x81, 0x11, 0x20, 0x54, 0x37, 0x31, 0x32, 0x31}}}),
            "ATR incomplete: the card stopped before the check byte TCK");
}

}  // namespace
}  // namespace trace::testing
