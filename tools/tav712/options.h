#pragma once
// The command line of tav712: global options, then a command and its
// arguments. See usageText() for the whole grammar.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tav712 {

struct Options {
  // Where the reader is: empty for the built-in emulator.
  std::string port;
  // The emulated card and reader (ignored with --port).
  std::string card = "t1";
  std::vector<std::string> knobs;  // "silent-after=3,parity-error-byte=5", one string per --knob
  bool noCard = false;
  std::uint64_t seed = 1;
  bool trace = false;
  bool json = false;
  bool verbose = false;
  std::uint32_t timeoutMs = 10'000;  // for waits of the card and of the reader
  // A kernel image (tav712.sys as linked for Windows) to run instead of the
  // driver built for this host; empty for the host build.
  std::string driverImage;

  std::string command;
  std::vector<std::string> arguments;
  // Command options
  bool warm = false;                        // atr --warm
  std::string protocol = "any";             // protocol/apdu/script: t0, t1 or any
  std::optional<std::uint32_t> durationMs;  // trace: how long to watch
};

// Throws ToolError (usage) on a bad command line. "--help" anywhere yields
// the command "help", "--version" the command "--version".
Options parseOptions(int argc, const char* const argv[]);

std::string usageText();
// A bash completion script for tav712.
std::string completionScript();

}  // namespace tav712
