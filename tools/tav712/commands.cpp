#include "commands.h"

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "hex.h"
#include "script.h"
#include "session.h"
#include "status_words.h"

namespace tav712 {
namespace {

// Brings a session up and runs the command's body on it.
template <typename Body>
void withSession(const Options& options, Reporter& reporter, Body body) {
  Session session(options, reporter);
  try {
    session.bringUp();
    body(session);
  } catch (const ToolError&) {
    if (options.verbose) reporter.keepTraceTail(session.traceTail(30));
    throw;
  }
}

enum class AttributeKind { text, number, version, bytes };

struct AttributeName {
  ULONG tag;
  const char* name;
  AttributeKind kind;
};

constexpr std::array attributeNames{
    AttributeName{SCARD_ATTR_VENDOR_NAME, "vendor name", AttributeKind::text},
    AttributeName{SCARD_ATTR_VENDOR_IFD_TYPE, "reader type", AttributeKind::text},
    AttributeName{SCARD_ATTR_VENDOR_IFD_VERSION, "reader version", AttributeKind::version},
    AttributeName{SCARD_ATTR_VENDOR_IFD_SERIAL_NO, "serial number", AttributeKind::text},
    AttributeName{SCARD_ATTR_DEVICE_UNIT, "unit", AttributeKind::number},
    AttributeName{SCARD_ATTR_CHANNEL_ID, "channel id", AttributeKind::number},
    AttributeName{SCARD_ATTR_PROTOCOL_TYPES, "protocols", AttributeKind::number},
    AttributeName{SCARD_ATTR_DEFAULT_CLK, "default clock (kHz)", AttributeKind::number},
    AttributeName{SCARD_ATTR_MAX_CLK, "max clock (kHz)", AttributeKind::number},
    AttributeName{SCARD_ATTR_DEFAULT_DATA_RATE, "default data rate (bps)", AttributeKind::number},
    AttributeName{SCARD_ATTR_MAX_DATA_RATE, "max data rate (bps)", AttributeKind::number},
    AttributeName{SCARD_ATTR_MAX_IFSD, "max IFSD", AttributeKind::number},
    AttributeName{SCARD_ATTR_POWER_MGMT_SUPPORT, "power management", AttributeKind::number},
    AttributeName{SCARD_ATTR_CHARACTERISTICS, "characteristics", AttributeKind::number},
    AttributeName{SCARD_ATTR_ICC_PRESENCE, "card presence", AttributeKind::number},
    AttributeName{SCARD_ATTR_ICC_INTERFACE_STATUS, "card contacts active", AttributeKind::number},
    AttributeName{SCARD_ATTR_ATR_STRING, "ATR", AttributeKind::bytes},
    AttributeName{SCARD_ATTR_CURRENT_PROTOCOL_TYPE, "current protocol", AttributeKind::number},
    AttributeName{SCARD_ATTR_CURRENT_CLK, "current clock (kHz)", AttributeKind::number},
    AttributeName{SCARD_ATTR_CURRENT_F, "F", AttributeKind::number},
    AttributeName{SCARD_ATTR_CURRENT_D, "D", AttributeKind::number},
    AttributeName{SCARD_ATTR_CURRENT_N, "N (extra guard time)", AttributeKind::number},
    AttributeName{SCARD_ATTR_CURRENT_W, "W (work waiting integer)", AttributeKind::number},
    AttributeName{SCARD_ATTR_CURRENT_IFSC, "IFSC", AttributeKind::number},
    AttributeName{SCARD_ATTR_CURRENT_IFSD, "IFSD", AttributeKind::number},
    AttributeName{SCARD_ATTR_CURRENT_BWT, "BWT", AttributeKind::number},
    AttributeName{SCARD_ATTR_CURRENT_CWT, "CWT", AttributeKind::number},
    AttributeName{SCARD_ATTR_CURRENT_EBC_ENCODING, "EDC (0 LRC, 1 CRC)", AttributeKind::number},
};

std::string attributeValue(const AttributeName& attribute, const Bytes& value) {
  switch (attribute.kind) {
    case AttributeKind::text: {
      std::string text(value.begin(), value.end());
      while (!text.empty() && text.back() == '\0') text.pop_back();
      return "\"" + text + "\"";
    }
    case AttributeKind::number:
    case AttributeKind::version: {
      if (value.size() > 4) return formatHex(value);
      ULONG number = 0;
      for (std::size_t i = 0; i < value.size(); ++i) number |= static_cast<ULONG>(value[i]) << (8 * i);
      if (attribute.kind == AttributeKind::number) return std::to_string(number);
      // Major in the top byte, minor below it, build number in the low word.
      return std::to_string(number >> 24) + "." + std::to_string((number >> 16) & 0xFF) + "." +
             std::to_string(number & 0xFFFF);
    }
    case AttributeKind::bytes: return formatHex(value);
  }
  return {};
}

}  // namespace

void runStatus(const Options& options, Reporter& reporter) {
  withSession(options, reporter, [&](Session& session) {
    auto& client = session.client();
    const auto vendor = client.attribute(SCARD_ATTR_VENDOR_NAME);
    const auto type = client.attribute(SCARD_ATTR_VENDOR_IFD_TYPE);
    const auto state = client.state();
    std::string vendorText(vendor.output.begin(), vendor.output.end());
    std::string typeText(type.output.begin(), type.output.end());
    while (!vendorText.empty() && vendorText.back() == '\0') vendorText.pop_back();
    while (!typeText.empty() && typeText.back() == '\0') typeText.pop_back();
    reporter.step("reader: " + vendorText + " " + typeText);
    if (!state.ok()) throw session.failure(state.status, Stage::query, "reading the card state");
    const ULONG cardState = ReaderClient::asUlong(state.output);
    reporter.step("card: " + cardStateName(cardState));
    reporter.result().set("vendor", vendorText).set("type", typeText).set("cardState", cardStateName(cardState));
  });
}

void runWait(const Options& options, Reporter& reporter) {
  const bool insertion = options.arguments.empty() || options.arguments.front() == "insert";
  withSession(options, reporter, [&](Session& session) {
    reporter.step(insertion ? "waiting for a card (tracking request parked)" : "waiting for the card to go");
    const NTSTATUS status = session.client().waitForCard(insertion, std::chrono::milliseconds(options.timeoutMs));
    if (status == STATUS_CANCELLED) {
      throw ToolError(ExitStatus::timeout,
                      std::string("no card ") + (insertion ? "inserted" : "removed") + " within " +
                          std::to_string(options.timeoutMs) + " ms",
                      "use --timeout to wait longer");
    }
    if (!NT_SUCCESS(status)) throw session.failure(status, Stage::query, "waiting for the card");
    reporter.step(insertion ? "card inserted" : "card removed");
    reporter.result().set("event", insertion ? "inserted" : "removed");
  });
}

void runAtr(const Options& options, Reporter& reporter) {
  withSession(options, reporter, [&](Session& session) {
    if (options.warm) session.powerUp(false);
    session.powerUp(options.warm);
  });
}

void runProtocol(const Options& options, Reporter& reporter) {
  withSession(options, reporter, [&](Session& session) {
    session.powerUp(false);
    session.negotiate(options.protocol);
  });
}

void runApdu(const Options& options, Reporter& reporter) {
  std::vector<Bytes> apdus;
  for (const auto& text : options.arguments) {
    apdus.push_back(parseHex(text));
    checkCommandApdu(apdus.back());
  }
  withSession(options, reporter, [&](Session& session) {
    session.powerUp(false);
    session.negotiate(options.protocol);
    Json responses = Json::array();
    for (const auto& apdu : apdus) {
      const auto outcome = session.sendApdu(apdu);
      session.tellApdu(outcome);
      char sw[8];
      std::snprintf(sw, sizeof sw, "%02X%02X", outcome.sw1, outcome.sw2);
      responses.push(Json::object()
                         .set("command", formatHex(apdu))
                         .set("data", formatHex(outcome.data))
                         .set("sw", sw)
                         .set("meaning", describeStatusWord(outcome.sw1, outcome.sw2)));
    }
    reporter.result().set("responses", responses);
  });
}

void runScript(const Options& options, Reporter& reporter) {
  const std::string& fileName = options.arguments.front();
  std::ifstream file(fileName);
  if (!file) {
    throw ToolError(ExitStatus::badInput, "cannot read the script " + fileName, "check the file's path");
  }
  std::stringstream text;
  text << file.rdbuf();
  const auto lines = parseScript(text.str(), fileName);
  withSession(options, reporter, [&](Session& session) {
    session.powerUp(false);
    session.negotiate(options.protocol);
    int passed = 0;
    for (const auto& line : lines) {
      const auto outcome = session.sendApdu(line.apdu);
      session.tellApdu(outcome);
      if (line.expected && !line.expected->matches(outcome.sw1, outcome.sw2)) {
        char sw[8];
        std::snprintf(sw, sizeof sw, "%02X%02X", outcome.sw1, outcome.sw2);
        reporter.result().set("passed", passed).set("failedLine", line.lineNumber);
        throw ToolError(ExitStatus::scriptMismatch,
                        fileName + ":" + std::to_string(line.lineNumber) + ": expected " + line.expected->text +
                            ", got " + sw + " (" + describeStatusWord(outcome.sw1, outcome.sw2) + ")",
                        "compare the card's answer with the script's expectation");
      }
      ++passed;
    }
    reporter.step(std::to_string(passed) + " of " + std::to_string(lines.size()) + " commands as expected");
    reporter.result().set("passed", passed);
  });
}

void runAttributes(const Options& options, Reporter& reporter) {
  withSession(options, reporter, [&](Session& session) {
    session.powerUp(false);
    Json attributes = Json::object();
    for (const auto& attribute : attributeNames) {
      const auto reply = session.client().attribute(attribute.tag, 64);
      if (!reply.ok()) continue;
      const std::string value = attributeValue(attribute, reply.output);
      reporter.detail(std::string(attribute.name) + ": " + value);
      attributes.set(attribute.name, value);
    }
    reporter.result().set("attributes", attributes);
  });
}

void runVersion(const Options& options, Reporter& reporter) {
  withSession(options, reporter, [&](Session& session) {
    const auto reply = session.client().vendorVersion();
    if (!reply.ok()) throw session.failure(reply.status, Stage::query, "the vendor version request");
    const auto version = ReaderClient::asVendorVersion(reply.output);
    char library[16];
    std::snprintf(library, sizeof library, "0x%X", version.libraryVersion);
    reporter.step(std::string("library interface ") + library + ", driver " + std::to_string(version.driverMajor) +
                  "." + std::to_string(version.driverMinor) + ", reader firmware " +
                  std::to_string(version.firmwareMajor) + "." + std::to_string(version.firmwareMinor));
    reporter.detail("answer: " + formatHex(reply.output));
    reporter.result().set("answer", formatHex(reply.output));
  });
}

void runTrace(const Options& options, Reporter& reporter) {
  Reporter& out = reporter;  // built with the trace on for this command
  withSession(options, out, [&](Session& session) {
    const auto duration = std::chrono::milliseconds(options.durationMs.value_or(2000));
    out.step("watching the line for " + std::to_string(duration.count()) + " ms (card events, then a reset)");
    auto& scheduler = session.stack().system().scheduler();
    scheduler.runUntil([] { return false; }, duration);
    out.flushTrace();
    const auto state = session.client().state();
    if (state.ok() && ReaderClient::asUlong(state.output) >= SCARD_SWALLOWED) session.powerUp(false);
  });
}

}  // namespace tav712
