// The subset of the message-compiler (.mc) language that the driver's
// event-log messages use, read into a plain model: message entries with
// their 32-bit codes and texts, and the verbatim header lines (";...") that
// the message compiler copies into the codes header.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tav712::mc {

// A message entry: a symbolic name, its code and its text, whose lines each
// end with CR LF as the message compiler stores them.
struct MessageEntry {
  std::string symbolicName;
  std::uint32_t code = 0;
  std::string text;
};

// A code that the header defines by a verbatim line without a table entry.
struct TextlessCode {
  std::string symbolicName;
  std::uint32_t code = 0;
};

// One item of the codes header, in source order.
struct HeaderItem {
  std::optional<std::string> verbatimLine;  // set: a ";" line
  std::size_t messageIndex = 0;             // otherwise: index into messages
};

struct MessageFile {
  std::string messageIdTypedef;
  std::vector<MessageEntry> messages;
  std::vector<TextlessCode> textlessCodes;
  std::vector<HeaderItem> header;
};

struct ParseError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reads a message file. Lines must end with CR LF: the message compiler
// keeps the source's line ends in the texts, and the texts end in CR LF.
MessageFile parseMessageFile(std::string_view source);

// The code a message gets: severity in bits 30-31, facility in bits 16-27.
constexpr std::uint32_t messageCode(std::uint32_t severity, std::uint32_t facility, std::uint32_t messageId) {
  return (severity << 30) | ((facility & 0x0FFFu) << 16) | (messageId & 0xFFFFu);
}

}  // namespace tav712::mc
