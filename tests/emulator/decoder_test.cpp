// The trace decoder on a conversation recorded from the emulated reader and
// on hand-made byte streams.

#include <gtest/gtest.h>

#include <algorithm>

#include "emulator/decoder.h"
#include "emulator/reader.h"
#include "test_host.h"

namespace emulator::testing {
namespace {

// Records both directions of the line while forwarding the host's bytes.
class TracingHost final : public HostPort {
 public:
  TracingHost(QueueTimeline& timeline, LineDevice& device) : timeline_(timeline), device_(device) {
    device_.connect(this);
  }
  ~TracingHost() override { device_.connect(nullptr); }
  void byteToHost(std::uint8_t byte) override {
    trace.push_back({timeline_.now(), Direction::readerToHost, byte});
  }
  void dsrChanged(bool) override {}
  void write(const Bytes& bytes, Nanoseconds settle) {
    Nanoseconds at = timeline_.now();
    for (const std::uint8_t b : bytes) {
      at += byteTime;
      timeline_.callAt(at, [this, b] {
        trace.push_back({timeline_.now(), Direction::hostToReader, b});
        device_.byteFromHost(b);
      });
    }
    timeline_.runFor(settle);
  }
  std::vector<TraceByte> trace;

 private:
  QueueTimeline& timeline_;
  LineDevice& device_;
};

std::vector<std::string> texts(const std::vector<TraceLine>& lines) {
  std::vector<std::string> out;
  for (const auto& line : lines) out.push_back(line.text);
  return out;
}

bool contains(const std::vector<std::string>& lines, const std::string& text) {
  return std::find(lines.begin(), lines.end(), text) != lines.end();
}

TEST(TraceDecoder, ReadsAWholeT1Conversation) {
  QueueTimeline timeline;
  EmulatorKnobs knobs;
  auto reader = buildReader(timeline, knobs);
  TracingHost host(timeline, *reader);
  host.write({0xC0}, 10ms);
  host.write({0x82, 0x6C}, 10ms);
  host.write({0x83, 0x1D}, 1100ms);
  host.write({0x44, 0xFF, 0x11, 0x13, 0xFD}, 20ms);
  host.write({0x82, 0x6C}, 10ms);
  host.write({0x4B, 0x00, 0x00, 0x07, 0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00, 0x92}, 2s);
  const auto lines = texts(decodeTrace(host.trace));
  EXPECT_TRUE(contains(lines, "read firmware version"));
  EXPECT_TRUE(contains(lines, "value: firmware 2.3"));
  EXPECT_TRUE(contains(lines, "write card reset = 0x1D: reset the card"));
  EXPECT_TRUE(contains(lines, "ATR"));
  EXPECT_TRUE(contains(lines, "  protocols: T=1"));
  EXPECT_TRUE(contains(lines, "  T=1: IFSC=32 CWI=13 BWI=4 EDC=LRC"));
  EXPECT_TRUE(contains(lines, "PTS request: T=1, PTS1 0x13"));
  EXPECT_TRUE(contains(lines, "PTS response: echoed, accepted"));
  EXPECT_TRUE(contains(lines, "T=1 to card: I(N(S)=0) NAD 00 PCB 00 LEN 07 INF 00 A4 00 0C 02 3F 00 LRC 92 ok"));
  EXPECT_TRUE(contains(lines, "T=1 from card: I(N(S)=0) NAD 00 PCB 00 LEN 02 INF 90 00 LRC 92 ok"));
  EXPECT_TRUE(contains(lines, "time-out: the card stayed silent (block end)"));
  for (const auto& line : decodeTrace(host.trace)) EXPECT_FALSE(formatTraceLine(line).empty());
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
  const auto lines = texts(decodeTrace(stream({{toReader, {0x83, 0x1D}},
                                               {toHost, {0x90, 0x3B, 0x15, 0x13, 0x54, 0x37, 0x31, 0x32, 0x30}},
                                               {toReader, {0x82, 0x6F}},
                                               {toHost, {0x90}},
                                               {toReader, {0x45, 0x00, 0xB0, 0x00, 0x00, 0x02}},
                                               {toHost, {0x90, 0x60, 0xB0, 0x10, 0x10, 0x11, 0x90, 0x00}}})));
  EXPECT_TRUE(contains(lines, "T=0 header: CLA 0x00 READ BINARY P1 0x00 P2 0x00 P3 0x02"));
  EXPECT_TRUE(contains(lines, "NULL"));
  EXPECT_TRUE(contains(lines, "ACK: all remaining data"));
  EXPECT_TRUE(contains(lines, "response data (2 bytes)"));
  EXPECT_TRUE(contains(lines, "SW 90 00: success"));
}

TEST(TraceDecoder, NamesEscapesAndEvents) {
  const auto lines =
      texts(decodeTrace(stream({{toReader, {0xC4}}, {toHost, {0x10, 0x84, 0x10, 0x85, 0x10, 0x86, 0x10, 0x87}}})));
  EXPECT_EQ(lines, (std::vector<std::string>{"read card contacts", "reader error", "event: card inserted",
                                             "event: card removed", "unknown escape code (ignored)"}));
}

TEST(TraceDecoder, MarksDataErrorsInsideBlocks) {
  const auto lines = texts(decodeTrace(stream(
      {{toReader, {0x83, 0x1D}},
       {toHost, {0x90, 0x3B, 0x95, 0x13, 0x81, 0x11, 0x20, 0x54, 0x37, 0x31, 0x32, 0x31, 0x67}},
       {toReader, {0x82, 0x6C}},
       {toHost, {0x90}},
       {toReader, {0x44, 0x00, 0xC0, 0x00, 0xC0}},
       {toHost, {0x90, 0x00, 0xE0, 0x10, 0x88, 0xE0, 0x10, 0x83}}})));
  EXPECT_TRUE(contains(lines, "T=1 to card: S(RESYNCH request) NAD 00 PCB C0 LEN 00 LRC C0 ok"));
  EXPECT_TRUE(contains(lines, "data error: a card byte arrived with a parity error"));
  EXPECT_TRUE(contains(lines, "T=1 from card: S(RESYNCH response) NAD 00 PCB E0 LEN 00 LRC E0 ok (with a data error)"));
  EXPECT_TRUE(contains(lines, "time-out: the card stayed silent (block end)"));
}

}  // namespace
}  // namespace emulator::testing
