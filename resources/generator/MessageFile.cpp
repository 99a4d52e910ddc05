#include "MessageFile.h"

#include <charconv>
#include <map>

namespace tav712::mc {
namespace {

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// Numbers as the message compiler writes them: decimal or 0x hexadecimal.
std::uint32_t parseNumber(std::string_view text, std::size_t lineNumber) {
  text = trim(text);
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    text.remove_prefix(2);
    base = 16;
  }
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc{} || end != text.data() + text.size() || text.empty())
    throw ParseError("line " + std::to_string(lineNumber) + ": not a number: " + std::string(text));
  return value;
}

// Splits the source into lines, insisting on CR LF line ends.
std::vector<std::string_view> splitLines(std::string_view source) {
  std::vector<std::string_view> lines;
  while (!source.empty()) {
    const auto end = source.find('\n');
    if (end == std::string_view::npos)
      throw ParseError("line " + std::to_string(lines.size() + 1) + ": missing line end");
    if (end == 0 || source[end - 1] != '\r')
      throw ParseError("line " + std::to_string(lines.size() + 1) + ": line end is not CR LF");
    lines.push_back(source.substr(0, end - 1));
    source.remove_prefix(end + 1);
  }
  return lines;
}

class Parser {
 public:
  explicit Parser(std::string_view source) : lines_(splitLines(source)) {}

  MessageFile run() {
    while (next_ < lines_.size()) {
      const std::string_view line = lines_[next_++];
      if (line.starts_with(';')) {
        verbatim(line.substr(1));
        continue;
      }
      if (trim(line).empty()) continue;
      const auto equals = line.find('=');
      if (equals == std::string_view::npos) fail("expected keyword=value");
      keyword(trim(line.substr(0, equals)), trim(line.substr(equals + 1)));
    }
    if (pending_) fail("message without Language and text");
    return std::move(file_);
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw ParseError("line " + std::to_string(next_) + ": " + what);
  }

  void verbatim(std::string_view line) {
    file_.header.push_back({std::string(line), 0});
    // "#define NAME ((NTSTATUS)0x...L)": a code without a table entry.
    const std::string_view body = trim(line);
    if (!body.starts_with("#define")) return;
    const std::string_view rest = trim(body.substr(7));
    const auto space = rest.find_first_of(" \t");
    if (space == std::string_view::npos) return;
    const auto hex = rest.find("0x", space);
    if (hex == std::string_view::npos) return;
    auto digits = rest.substr(hex);
    digits = digits.substr(0, digits.find_first_not_of("0123456789abcdefABCDEFx"));
    file_.textlessCodes.push_back({std::string(rest.substr(0, space)), parseNumber(digits, next_)});
  }

  // "Names=(name=value:symbol ...)", possibly over several lines.
  std::map<std::string, std::uint32_t, std::less<>> nameList(std::string_view value) {
    std::string text(value);
    while (text.find(')') == std::string::npos) {
      if (next_ >= lines_.size()) fail("unterminated name list");
      text += ' ';
      text += lines_[next_++];
    }
    const auto open = text.find('(');
    const auto close = text.find(')');
    if (open == std::string::npos || close < open) fail("expected (name=value:symbol ...)");
    std::map<std::string, std::uint32_t, std::less<>> names;
    std::string_view items = std::string_view(text).substr(open + 1, close - open - 1);
    while (!(items = trim(items)).empty()) {
      const auto end = items.find_first_of(" \t");
      const std::string_view item = items.substr(0, end);
      items = end == std::string_view::npos ? std::string_view{} : items.substr(end);
      const auto equals = item.find('=');
      if (equals == std::string_view::npos) fail("expected name=value in a name list");
      const std::string_view number = item.substr(equals + 1);
      names[std::string(item.substr(0, equals))] = parseNumber(number.substr(0, number.find(':')), next_);
    }
    return names;
  }

  std::uint32_t lookUp(const std::map<std::string, std::uint32_t, std::less<>>& names, std::string_view name,
                       const char* what) const {
    const auto found = names.find(name);
    if (found == names.end()) fail(std::string("unknown ") + what + ": " + std::string(name));
    return found->second;
  }

  void keyword(std::string_view key, std::string_view value) {
    if (key == "MessageIdTypedef") {
      file_.messageIdTypedef = value;
    } else if (key == "SeverityNames") {
      severities_ = nameList(value);
    } else if (key == "FacilityNames") {
      facilities_ = nameList(value);
    } else if (key == "LanguageNames") {
      languages_ = nameList(value);
    } else if (key == "MessageId") {
      if (pending_) fail("message without Language and text");
      pending_ = true;
      symbolicName_.clear();
      messageId_ = value.empty()            ? messageId_ + 1
                   : value.starts_with('+') ? messageId_ + parseNumber(value.substr(1), next_)
                                            : parseNumber(value, next_);
    } else if (key == "Severity") {
      severity_ = lookUp(severities_, value, "severity");
    } else if (key == "Facility") {
      facility_ = lookUp(facilities_, value, "facility");
    } else if (key == "SymbolicName") {
      symbolicName_ = value;
    } else if (key == "Language") {
      if (!pending_) fail("Language outside a message");
      lookUp(languages_, value, "language");
      if (!file_.messages.empty() && file_.messages.back().code == messageCode(severity_, facility_, messageId_))
        fail("one language per message is supported");
      messageText();
    } else {
      fail("unsupported keyword " + std::string(key));
    }
  }

  // The text runs up to a line holding a single period; each line keeps
  // its CR LF.
  void messageText() {
    std::string text;
    for (;;) {
      if (next_ >= lines_.size()) fail("message text not ended by a period line");
      const std::string_view line = lines_[next_++];
      if (line == ".") break;
      text += line;
      text += "\r\n";
    }
    if (symbolicName_.empty()) fail("message without SymbolicName");
    file_.header.push_back({std::nullopt, file_.messages.size()});
    file_.messages.push_back({symbolicName_, messageCode(severity_, facility_, messageId_), std::move(text)});
    pending_ = false;
  }

  std::vector<std::string_view> lines_;
  std::size_t next_ = 0;
  MessageFile file_;
  std::map<std::string, std::uint32_t, std::less<>> severities_;
  std::map<std::string, std::uint32_t, std::less<>> facilities_;
  std::map<std::string, std::uint32_t, std::less<>> languages_;
  bool pending_ = false;
  std::uint32_t messageId_ = 0;
  std::uint32_t severity_ = 0;
  std::uint32_t facility_ = 0;
  std::string symbolicName_;
};

}  // namespace

MessageFile parseMessageFile(std::string_view source) { return Parser(source).run(); }

}  // namespace tav712::mc
