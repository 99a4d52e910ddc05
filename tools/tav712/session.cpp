#include "session.h"

#include <cstdio>

#include "emulator/atr.h"
#include "hex.h"
#include "status_words.h"

namespace tav712 {

std::string cardStateName(ULONG state) {
  switch (state) {
    case SCARD_UNKNOWN: return "unknown";
    case SCARD_ABSENT: return "absent";
    case SCARD_PRESENT: return "present";
    case SCARD_SWALLOWED: return "swallowed (in the reader, unpowered)";
    case SCARD_POWERED: return "powered";
    case SCARD_NEGOTIABLE: return "negotiable (reset, protocol not chosen)";
    case SCARD_SPECIFIC: return "specific (protocol chosen)";
    default: return "state " + std::to_string(state);
  }
}

std::string protocolName(ULONG protocol) {
  switch (protocol) {
    case SCARD_PROTOCOL_T0: return "T=0";
    case SCARD_PROTOCOL_T1: return "T=1";
    case SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1: return "T=0 or T=1";
    case SCARD_PROTOCOL_RAW: return "raw";
    default: return "protocol " + std::to_string(protocol);
  }
}

StackOptions stackOptionsFrom(const Options& options) {
  StackOptions stack;
  stack.seed = options.seed;
  stack.portPath = options.port;
  stack.driverImage = options.driverImage;
  stack.knobs.profile = options.card;
  stack.knobs.cardInserted = !options.noCard;
  stack.knobs.card.seed = options.seed;
  if (!emulator::isCardProfileName(options.card)) {
    std::string names;
    for (const auto& name : emulator::cardProfileNames()) names += (names.empty() ? "" : ", ") + name;
    throw ToolError(ExitStatus::usage, "unknown card profile \"" + options.card + "\"", "use one of " + names);
  }
  for (const auto& knobs : options.knobs) {
    if (const auto problem = emulator::applyKnobs(knobs, stack.knobs)) {
      throw ToolError(ExitStatus::usage, "--knob " + knobs + ": " + *problem,
                      "see the knob list in 'tav712 --help' and the README");
    }
  }
  return stack;
}

Session::Session(const Options& options, Reporter& reporter) : options_(options), reporter_(reporter) {
  stack_ = std::make_unique<ReaderStack>(stackOptionsFrom(options));
  auto& scheduler = stack_->system().scheduler();
  reporter_.follow([&scheduler] { return std::chrono::nanoseconds(scheduler.now().time_since_epoch()); },
                   &stack_->system().trace());
}

Session::~Session() {
  client_.reset();
  reporter_.unfollow();
}

void Session::bringUp() {
  const std::string where = options_.port.empty() ? "the emulated reader" : options_.port;
  NTSTATUS status = stack_->loadDriver();
  if (!NT_SUCCESS(status)) throw failure(status, Stage::system, "loading the driver");
  status = stack_->addReader();
  if (!NT_SUCCESS(status)) throw failure(status, Stage::system, "adding the reader");
  status = stack_->start();
  if (!NT_SUCCESS(status)) throw failure(status, Stage::readerStart, "starting the reader on " + where);
  client_ = std::make_unique<ReaderClient>(stack_->system());
  if (!client_->open()) throw failure(client_->openStatus(), Stage::system, "opening the reader");
  const auto version = client_->vendorVersion();
  std::string firmware = "unknown";
  if (version.ok()) {
    const auto info = ReaderClient::asVendorVersion(version.output);
    firmware = std::to_string(info.firmwareMajor) + "." + std::to_string(info.firmwareMinor);
    reporter_.result().set("firmware", firmware);
  }
  reporter_.step("reader started on " + where + ", firmware " + firmware + ", interface enabled and opened");
}

Bytes Session::powerUp(bool warm) {
  const auto reply = client_->power(warm ? SCARD_WARM_RESET : SCARD_COLD_RESET);
  if (!reply.ok()) throw failure(reply.status, Stage::cardReset, warm ? "warm reset" : "cold reset");
  protocol_ = 0;
  reporter_.step(std::string(warm ? "warm" : "cold") + " reset, ATR " + formatHex(reply.output));
  const auto atr = emulator::parseAtr(reply.output);
  for (const auto& line : emulator::describeAtr(atr)) reporter_.detail(line);
  reporter_.result().set("atr", formatHex(reply.output));
  return reply.output;
}

ULONG Session::negotiate(const std::string& protocol) {
  const ULONG mask = protocol == "t0"   ? SCARD_PROTOCOL_T0
                     : protocol == "t1" ? SCARD_PROTOCOL_T1
                                        : (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
  const auto reply = client_->setProtocol(mask);
  if (!reply.ok()) throw failure(reply.status, Stage::protocolSelection, "selecting " + protocolName(mask));
  protocol_ = ReaderClient::asUlong(reply.output);
  reporter_.step("protocol " + protocolName(protocol_) + " selected");
  reporter_.result().set("protocol", protocolName(protocol_));
  return protocol_;
}

ApduOutcome Session::sendApdu(const Bytes& apdu) {
  auto transmit = [this](std::span<const std::uint8_t> command) {
    const auto reply = client_->transmit(protocol_, command);
    if (!reply.ok()) throw failure(reply.status, Stage::exchange, "sending " + formatHex(command));
    return reply.output;
  };
  return exchangeApdu(apdu, transmit, true);
}

void Session::tellApdu(const ApduOutcome& outcome) {
  for (std::size_t i = 0; i < outcome.exchanges.size(); ++i) {
    const auto& exchange = outcome.exchanges[i];
    const bool followUp = i > 0;
    reporter_.step((followUp ? "  then " : "") + std::string("> ") + formatHex(exchange.command));
    reporter_.detail("< " + formatHex(exchange.response));
  }
  char sw[8];
  std::snprintf(sw, sizeof sw, "%02X %02X", outcome.sw1, outcome.sw2);
  reporter_.detail(std::string("SW ") + sw + ": " + describeStatusWord(outcome.sw1, outcome.sw2));
}

ToolError Session::failure(NTSTATUS status, Stage stage, const std::string& operation) {
  FailureContext context(stage, operation);
  if (stage == Stage::exchange) context.protocol = protocolName(protocol_);
  if (client_ && client_->open()) {
    // A reader whose line hung up or whose DSR dropped makes the request
    // in flight fail as if the card were at fault; the port then closes
    // and the reader's interface goes off at once. Give that a moment to
    // show before blaming the card.
    context.readerGone =
        stack_->system().scheduler().runUntil([this] { return !client_->interfaceEnabled(); }, readerGoneGrace);
    if (!context.readerGone && stage == Stage::exchange) {
      const auto state = client_->state();
      if (state.ok() && ReaderClient::asUlong(state.output) >= SCARD_PRESENT) {
        context.cardPowered = ReaderClient::asUlong(state.output) >= SCARD_POWERED;
      }
    }
  }
  return errorFor(status, context);
}

std::vector<std::string> Session::traceTail(std::size_t count) const {
  const auto entries = stack_->system().trace().entries();
  std::vector<std::string> tail;
  const std::size_t first = entries.size() > count ? entries.size() - count : 0;
  for (std::size_t i = first; i < entries.size(); ++i) tail.push_back(platform::Trace::formatEntry(entries[i]));
  return tail;
}

}  // namespace tav712
