// Derives from the event-log message file the two things the build needs
// besides the message table itself: the codes header that the driver
// includes, and the code-to-text table that the host programs show.
//
// Usage: generate_event_log_messages MESSAGES.mc HEADER.h TABLE.cpp
#include "MessageFile.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << content;
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

std::string hexCode(std::uint32_t code) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", code);
  return buffer;
}

// A C++ string literal; octal escapes cannot swallow the next character.
std::string literal(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r')
      out += "\\r";
    else if (c == '\n')
      out += "\\n";
    else if (c == '"' || c == '\\')
      (out += '\\') += c;
    else if (byte < 0x20 || byte >= 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\%03o", byte);
      out += escape;
    } else
      out += c;
  }
  return out + "\"";
}

std::string codesHeader(const tav712::mc::MessageFile& file, const std::string& sourceName) {
  const std::string type = file.messageIdTypedef.empty() ? std::string() : "(" + file.messageIdTypedef + ")";
  std::string out =
      "// Generated from " + sourceName + " by generate_event_log_messages; do not edit.\n#pragma once\n\n";
  for (const auto& item : file.header) {
    if (item.verbatimLine) {
      out += *item.verbatimLine + "\n";
      continue;
    }
    const auto& message = file.messages[item.messageIndex];
    out += "#define " + message.symbolicName + " (" + type + hexCode(message.code) + "L)\n";
  }
  return out;
}

std::string textTable(const tav712::mc::MessageFile& file, const std::string& sourceName) {
  std::string out = "// Generated from " + sourceName +
                    " by generate_event_log_messages; do not edit.\n"
                    "#include \"EventLogMessages.h\"\n\nnamespace tav712 {\nnamespace {\n\n"
                    "constexpr EventLogMessage messages[] = {\n";
  for (const auto& message : file.messages)
    out += "    {" + hexCode(message.code) + "u, \"" + message.symbolicName + "\", " + literal(message.text) + "},\n";
  for (const auto& code : file.textlessCodes)
    out += "    {" + hexCode(code.code) + "u, \"" + code.symbolicName + "\", std::nullopt},\n";
  out +=
      "};\n\n}  // namespace\n\nstd::span<const EventLogMessage> eventLogMessages() {\n    return messages;\n}\n\n"
      "}  // namespace tav712\n";
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: generate_event_log_messages MESSAGES.mc HEADER.h TABLE.cpp\n";
    return 2;
  }
  try {
    const std::string sourcePath = argv[1];
    const std::string sourceName = sourcePath.substr(sourcePath.find_last_of('/') + 1);
    const auto file = tav712::mc::parseMessageFile(readFile(sourcePath));
    writeFile(argv[2], codesHeader(file, sourceName));
    writeFile(argv[3], textTable(file, sourceName));
  } catch (const std::exception& error) {
    std::cerr << argv[1] << ": " << error.what() << "\n";
    return 1;
  }
  return 0;
}
