#include "emulator/t1_block.h"

#include <cstdio>

#include "emulator/iso7816.h"

namespace emulator {

T1Kind T1Block::kind() const {
  if ((pcb & 0x80) == 0) return T1Kind::information;
  return (pcb & 0x40) == 0 ? T1Kind::receiveReady : T1Kind::supervisory;
}

T1Block T1Block::information(std::uint8_t sequence, bool more, std::vector<std::uint8_t> inf) {
  return T1Block{0, static_cast<std::uint8_t>(((sequence & 1) << 6) | (more ? 0x20 : 0x00)), std::move(inf)};
}

T1Block T1Block::receiveReady(std::uint8_t sequence, std::uint8_t error) {
  return T1Block{0, static_cast<std::uint8_t>(0x80 | ((sequence & 1) << 4) | (error & 0x03)), {}};
}

T1Block T1Block::supervisory(T1Supervisory type, bool response, std::vector<std::uint8_t> inf) {
  return T1Block{0, static_cast<std::uint8_t>(0xC0 | (response ? 0x20 : 0x00) | static_cast<std::uint8_t>(type)),
                 std::move(inf)};
}

std::vector<std::uint8_t> encodeT1(const T1Block& block, bool crc) {
  std::vector<std::uint8_t> bytes{block.nad, block.pcb, static_cast<std::uint8_t>(block.inf.size())};
  bytes.insert(bytes.end(), block.inf.begin(), block.inf.end());
  if (crc) {
    const std::uint16_t value = blockCrc(bytes);
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
  } else {
    bytes.push_back(longitudinalRedundancy(bytes));
  }
  return bytes;
}

T1Frame decodeT1(std::span<const std::uint8_t> bytes, bool crc) {
  T1Frame frame;
  if (bytes.size() < 3) return frame;
  frame.block.nad = bytes[0];
  frame.block.pcb = bytes[1];
  const std::size_t len = bytes[2];
  if (len == 0xFF) {
    frame.length = 3;
    frame.complete = true;
    return frame;
  }
  const std::size_t edcLength = crc ? 2 : 1;
  frame.length = 3 + len + edcLength;
  if (bytes.size() < frame.length) return frame;
  frame.complete = true;
  frame.block.inf.assign(bytes.begin() + 3, bytes.begin() + 3 + static_cast<std::ptrdiff_t>(len));
  const auto body = bytes.first(3 + len);
  if (crc) {
    const std::uint16_t value = blockCrc(body);
    frame.edcValid = bytes[3 + len] == (value >> 8) && bytes[4 + len] == (value & 0xFF);
  } else {
    frame.edcValid = bytes[3 + len] == longitudinalRedundancy(body);
  }
  return frame;
}

std::string describeT1(std::span<const std::uint8_t> bytes, bool crc) {
  const T1Frame frame = decodeT1(bytes, crc);
  char text[64];
  if (bytes.size() < 3) return "incomplete T=1 prologue";
  const T1Block& b = frame.block;
  std::string kind;
  switch (b.kind()) {
    case T1Kind::information:
      std::snprintf(text, sizeof text, "I(N(S)=%u%s)", b.sendSequence(), b.more() ? ",M" : "");
      kind = text;
      break;
    case T1Kind::receiveReady: {
      const char* error = b.receiveError() == 0 ? "" : b.receiveError() == 1 ? ",EDC error" : ",other error";
      std::snprintf(text, sizeof text, "R(N(R)=%u%s)", b.receiveSequence(), error);
      kind = text;
      break;
    }
    case T1Kind::supervisory: {
      static const char* const names[] = {"RESYNCH", "IFS", "ABORT", "WTX"};
      const unsigned type = b.pcb & 0x1F;
      kind =
          std::string("S(") + (type < 4 ? names[type] : "unknown") + (b.isResponse() ? " response" : " request") + ")";
      break;
    }
  }
  std::snprintf(text, sizeof text, " NAD %02X PCB %02X LEN %02X", b.nad, b.pcb, bytes[2]);
  std::string line = kind + text;
  if (bytes[2] == 0xFF) return line + " (invalid length)";
  if (!frame.complete) return line + " (incomplete)";
  if (!b.inf.empty()) {
    line += " INF";
    for (const std::uint8_t x : b.inf) {
      std::snprintf(text, sizeof text, " %02X", x);
      line += text;
    }
  }
  line += crc ? " CRC" : " LRC";
  for (std::size_t i = 3 + b.inf.size(); i < frame.length; ++i) {
    std::snprintf(text, sizeof text, " %02X", bytes[i]);
    line += text;
  }
  return line + (frame.edcValid ? " ok" : " bad");
}

}  // namespace emulator
