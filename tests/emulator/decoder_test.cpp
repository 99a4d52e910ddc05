// The trace decoder on hand-made byte streams. The program's traced demo runs
// it on a whole recorded conversation.

#include <gtest/gtest.h>

#include <algorithm>

#include "emulator/decoder.h"
#include "test_host.h"

namespace emulator::testing {
namespace {

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

}  // namespace
}  // namespace emulator::testing
