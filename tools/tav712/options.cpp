#include "options.h"

#include <array>
#include <charconv>
#include <string_view>

#include "errors.h"

namespace tav712 {
namespace {

constexpr std::array commands{"demo", "status",  "wait",  "atr",     "protocol", "apdu",      "script",
                              "attr", "version", "trace", "emulate", "help",     "completion"};

[[noreturn]] void usageError(const std::string& message) {
  throw ToolError(ExitStatus::usage, message, "run 'tav712 --help' for the commands and options");
}

std::uint64_t parseNumber(std::string_view option, std::string_view text) {
  std::uint64_t value = 0;
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    text.remove_prefix(2);
    base = 16;
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
    usageError(std::string(option) + " needs a number, not \"" + std::string(text) + "\"");
  }
  return value;
}

std::uint32_t parseMilliseconds(std::string_view option, std::string_view text) {
  const std::uint64_t value = parseNumber(option, text);
  if (value > 24ull * 3600 * 1000) usageError(std::string(option) + " is limited to one day");
  return static_cast<std::uint32_t>(value);
}

bool isCommand(std::string_view word) {
  for (const char* command : commands) {
    if (word == command) return true;
  }
  return false;
}

}  // namespace

Options parseOptions(int argc, const char* const argv[]) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    auto value = [&](std::string_view option) -> std::string_view {
      const std::size_t equals = word.find('=');
      if (equals != std::string_view::npos) return word.substr(equals + 1);
      if (i + 1 >= argc) usageError(std::string(option) + " needs a value");
      return argv[++i];
    };
    auto is = [&](std::string_view option) {
      return word == option || (word.starts_with(option) && word.size() > option.size() && word[option.size()] == '=');
    };
    if (word == "--help" || word == "-h") {
      options.command = "help";
      return options;
    }
    if (word == "--version") {
      options.command = "--version";
      return options;
    }
    if (is("--port"))
      options.port = value("--port");
    else if (is("--card"))
      options.card = value("--card");
    else if (is("--knob") || is("--knobs"))
      options.knobs.emplace_back(value("--knob"));
    else if (word == "--no-card")
      options.noCard = true;
    else if (is("--seed"))
      options.seed = parseNumber("--seed", value("--seed"));
    else if (word == "--trace")
      options.trace = true;
    else if (word == "--json")
      options.json = true;
    else if (word == "--verbose" || word == "-v")
      options.verbose = true;
    else if (is("--timeout"))
      options.timeoutMs = parseMilliseconds("--timeout", value("--timeout"));
    else if (word == "--warm")
      options.warm = true;
    else if (is("--protocol"))
      options.protocol = value("--protocol");
    else if (is("--driver-image"))
      options.driverImage = value("--driver-image");
    else if (is("--duration"))
      options.durationMs = parseMilliseconds("--duration", value("--duration"));
    else if (word.starts_with("-") && word.size() > 1)
      usageError("unknown option " + std::string(word));
    else if (options.command.empty()) {
      if (!isCommand(word)) usageError("unknown command \"" + std::string(word) + "\"");
      options.command = word;
    } else {
      options.arguments.emplace_back(word);
    }
  }
  if (options.command.empty()) options.command = "help";
  if (options.protocol != "t0" && options.protocol != "t1" && options.protocol != "any") {
    usageError("--protocol takes t0, t1 or any, not \"" + options.protocol + "\"");
  }
  if (options.command == "protocol" && !options.arguments.empty()) {
    options.protocol = options.arguments.front();
    if (options.protocol != "t0" && options.protocol != "t1" && options.protocol != "any") {
      usageError("protocol takes t0, t1 or any, not \"" + options.protocol + "\"");
    }
  }
  if (options.command == "apdu" && options.arguments.empty()) usageError("apdu needs at least one APDU in hex");
  if (options.command == "script" && options.arguments.size() != 1) usageError("script needs exactly one FILE");
  if (options.command == "wait" && !options.arguments.empty() && options.arguments.front() != "insert" &&
      options.arguments.front() != "remove") {
    usageError("wait takes insert or remove, not \"" + options.arguments.front() + "\"");
  }
  return options;
}

std::string usageText() {
  return R"(usage: tav712 [OPTIONS] COMMAND [ARGUMENTS]

Runs the TAV712 reader driver on the built-in emulator (virtual time), or on a
real serial device with --port (real time), and speaks to the reader the way
an application does: through smart card control requests.

Commands:
  demo                 the whole life of a reader, told step by step
  status               reader state, attributes and card state
  wait [insert|remove] wait for a card to be inserted (default) or removed
  atr [--warm]         power the card up and analyse its answer-to-reset
  protocol [t0|t1|any] negotiate the protocol and show the result
  apdu HEX...          send APDUs ("00A4000C023F00" or "00 A4 00 0C 02 3F 00")
  script FILE          send the APDUs of FILE, checking expected status words
  attr                 every attribute the reader answers
  version              the vendor version request
  trace                a decoded view of the serial line (--duration MS)
  emulate              run the emulated reader on a pseudo-terminal
  completion           print a bash completion script

Options:
  --port PATH          use the reader on this serial device, in real time
  --card PROFILE       emulated card: t0, t1, t1-crc, dual, specific, inverse, slow
  --no-card            the emulated slot starts empty
  --knob LIST          emulator misbehaviour, e.g. silent-after=3,parity-error-byte=5
  --seed N             fixes the run (scheduling, emulator randomness)
  --protocol P         t0, t1 or any (apdu, script)
  --timeout MS         limit for waits (default 10000)
  --trace              show the decoded serial traffic
  --json               machine-readable output
  --verbose, -v        on failure, show the tail of the kernel trace
  --driver-image PATH  run this tav712.sys (the driver as linked for Windows)
                       instead of the driver built for this machine
  --help, -h           this text
  --version            the program's version

Exit status: 0 ok, 1 failure, 2 usage, 3 bad input, 4 port unavailable,
5 reader not answering or gone, 6 no card, 7 card failure (silent, or
outside the protocol), 8 protocol refused, 9 script mismatch, 10 time-out.
)";
}

std::string completionScript() {
  std::string words;
  for (const char* command : commands) {
    if (!words.empty()) words += ' ';
    words += command;
  }
  return "# bash completion for tav712: source this file, or put it in\n"
         "# /etc/bash_completion.d/tav712\n"
         "_tav712() {\n"
         "  local cur prev\n"
         "  cur=\"${COMP_WORDS[COMP_CWORD]}\"\n"
         "  prev=\"${COMP_WORDS[COMP_CWORD-1]}\"\n"
         "  case \"$prev\" in\n"
         "    --port|--driver-image|script) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
         "    --card) COMPREPLY=($(compgen -W \"t0 t1 t1-crc dual specific inverse slow\" -- \"$cur\")); return ;;\n"
         "    --protocol|protocol) COMPREPLY=($(compgen -W \"t0 t1 any\" -- \"$cur\")); return ;;\n"
         "    wait) COMPREPLY=($(compgen -W \"insert remove\" -- \"$cur\")); return ;;\n"
         "  esac\n"
         "  if [[ \"$cur\" == -* ]]; then\n"
         "    COMPREPLY=($(compgen -W \"--port --card --no-card --knob --seed --protocol --timeout --trace --json "
         "--verbose --driver-image --help --version --warm --duration\" -- \"$cur\"))\n"
         "  else\n"
         "    COMPREPLY=($(compgen -W \"" +
         words +
         "\" -- \"$cur\"))\n"
         "  fi\n"
         "}\n"
         "complete -F _tav712 tav712\n";
}

}  // namespace tav712
