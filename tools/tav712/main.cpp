// tav712: the TAV712 reader driver on the built-in emulator or a real serial
// port, used the way an application uses a reader.

#include <cstdio>
#include <iostream>

#include "commands.h"
#include "errors.h"
#include "options.h"
#include "reporter.h"

namespace {

using namespace tav712;

using Command = void (*)(const Options&, Reporter&);

Command commandFor(const std::string& name) {
  if (name == "demo") return runDemo;
  if (name == "status") return runStatus;
  if (name == "wait") return runWait;
  if (name == "atr") return runAtr;
  if (name == "protocol") return runProtocol;
  if (name == "apdu") return runApdu;
  if (name == "script") return runScript;
  if (name == "attr") return runAttributes;
  if (name == "version") return runVersion;
  if (name == "trace") return runTrace;
  if (name == "emulate") return runEmulate;
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = parseOptions(argc, argv);
  } catch (const ToolError& error) {
    std::fprintf(stderr, "tav712: %s\n  try: %s\n", error.what(), error.hint().c_str());
    return static_cast<int>(error.status());
  }
  if (options.command == "help") {
    std::cout << usageText();
    return 0;
  }
  if (options.command == "--version") {
    std::cout << "tav712 " TAV712_VERSION "\n";
    return 0;
  }
  if (options.command == "completion") {
    std::cout << completionScript();
    return 0;
  }

  Reporter reporter(std::cout, options.json, options.trace || options.command == "trace");
  try {
    commandFor(options.command)(options, reporter);
    if (options.command != "emulate") reporter.finish();
    return 0;
  } catch (const ToolError& error) {
    reporter.error(error);
    return static_cast<int>(error.status());
  } catch (const std::exception& error) {
    reporter.error(ToolError(ExitStatus::failure, std::string("internal error: ") + error.what(),
                             "run again with --verbose and report what it prints"));
    return static_cast<int>(ExitStatus::failure);
  }
}
