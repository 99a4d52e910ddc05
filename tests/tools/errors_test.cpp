// What a failed driver request tells people: the cause in words, what to
// try and an exit status the README documents, for every status in every
// stage; and the cases where the stage, the protocol, the card's power or a
// vanished reader change the meaning.

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <set>
#include <sstream>

#include "errors.h"
#include "options.h"

namespace tav712 {
namespace {

struct Case {
  const char* name;
  NTSTATUS status;
  FailureContext context;
  ExitStatus exit;
  const char* inMessage;
  const char* notInMessage;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

FailureContext exchange(const char* protocol, std::optional<bool> cardPowered) {
  FailureContext context(Stage::exchange, "sending 00 B0 00 00 10");
  context.protocol = protocol;
  context.cardPowered = cardPowered;
  return context;
}

FailureContext gone(Stage stage) {
  FailureContext context(stage, "the step");
  context.readerGone = true;
  return context;
}

class ErrorMeaning : public testing::TestWithParam<Case> {};

TEST_P(ErrorMeaning, SaysWhatTheFailureMeans) {
  const Case& c = GetParam();
  const ToolError error = errorFor(c.status, c.context);
  const std::string message = error.what();
  EXPECT_EQ(error.status(), c.exit) << message;
  EXPECT_EQ(message.rfind(c.context.operation + " failed: ", 0), 0u) << message;
  EXPECT_NE(message.find(c.inMessage), std::string::npos) << message;
  if (c.notInMessage != nullptr) {
    EXPECT_EQ(message.find(c.notInMessage), std::string::npos) << message;
  }
  EXPECT_FALSE(error.hint().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ErrorMeaning,
    testing::Values(
        // Only a card the driver powered down is said to be powered down:
        // a T=0 card whose answer broke the protocol stays powered.
        Case{"T0ProtocolErrorCardStillPowered", STATUS_DEVICE_PROTOCOL_ERROR, exchange("T=0", true),
             ExitStatus::cardFailed, "the card is still powered", "powered down"},
        Case{"T1ProtocolErrorCardPoweredDown", STATUS_DEVICE_PROTOCOL_ERROR, exchange("T=1", false),
             ExitStatus::cardFailed, "the T=1 protocol; the card has been powered down", nullptr},
        Case{"ProtocolErrorPowerUnknown", STATUS_DEVICE_PROTOCOL_ERROR, exchange("T=1", std::nullopt),
             ExitStatus::cardFailed, "stopped following the T=1 protocol (STATUS_DEVICE_PROTOCOL_ERROR)", "powered"},
        Case{"MuteCardInAnExchange", STATUS_IO_TIMEOUT, exchange("T=0", false), ExitStatus::cardFailed,
             "the card did not answer; the card has been powered down", nullptr},
        // A reader that went away is the cause, whatever the request ended with.
        Case{"GoneDuringAnExchange", STATUS_IO_TIMEOUT, gone(Stage::exchange), ExitStatus::readerNotAnswering,
             "the reader is gone", "card"},
        Case{"GoneDuringAnExchangeProtocolError", STATUS_DEVICE_PROTOCOL_ERROR, gone(Stage::exchange),
             ExitStatus::readerNotAnswering, "the reader is gone", "card"},
        Case{"GoneDuringProtocolSelection", STATUS_DEVICE_PROTOCOL_ERROR, gone(Stage::protocolSelection),
             ExitStatus::readerNotAnswering, "the reader is gone", "refused"},
        Case{"GoneDuringTheReset", STATUS_UNRECOGNIZED_MEDIA, gone(Stage::cardReset), ExitStatus::readerNotAnswering,
             "the reader is gone", nullptr},
        Case{"DeviceRemoved", STATUS_DEVICE_REMOVED, FailureContext(Stage::query, "waiting for the card"),
             ExitStatus::readerNotAnswering, "the reader is gone", nullptr},
        // The failures that used to print a bare status name.
        Case{"CorruptedAtr", STATUS_DATA_ERROR, FailureContext(Stage::cardReset, "cold reset"), ExitStatus::cardFailed,
             "the answer-to-reset arrived corrupted", nullptr},
        Case{"AtrTooLong", STATUS_BUFFER_TOO_SMALL, FailureContext(Stage::cardReset, "cold reset"),
             ExitStatus::cardFailed, "longer than the 33 bytes", nullptr},
        Case{"ReaderRefusedASend", STATUS_UNSUCCESSFUL, exchange("T=1", true), ExitStatus::readerNotAnswering,
             "a reply no TAV712 gives", nullptr},
        Case{"AnswerTooLargeForTheBuffers", STATUS_BUFFER_TOO_SMALL, exchange("T=1", true), ExitStatus::badInput,
             "larger than the reader's buffers", nullptr},
        Case{"UnknownStatus", static_cast<NTSTATUS>(0xC0001234U), exchange("T=1", true), ExitStatus::failure,
             "a status the program does not expect here (0xC0001234)", nullptr},
        // Stage decides.
        Case{"StartFails", STATUS_IO_TIMEOUT, FailureContext(Stage::readerStart, "starting the reader on /dev/ttyS0"),
             ExitStatus::readerNotAnswering, "the reader does not answer", "card"},
        Case{"ProtocolRefused", STATUS_NOT_SUPPORTED, FailureContext(Stage::protocolSelection, "selecting T=1"),
             ExitStatus::protocolRefused, "refused", nullptr},
        Case{"MuteAtReset", STATUS_UNRECOGNIZED_MEDIA, FailureContext(Stage::cardReset, "cold reset"),
             ExitStatus::cardFailed, "did not answer the reset", nullptr},
        Case{"NoCard", STATUS_NO_MEDIA_IN_DEVICE, FailureContext(Stage::cardReset, "cold reset"), ExitStatus::noCard,
             "no card in the reader", nullptr},
        Case{"HeldByAnotherProgram", STATUS_ACCESS_DENIED, FailureContext(Stage::system, "opening the reader"),
             ExitStatus::portUnavailable, "open in another program", nullptr}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

// The exit statuses of a list "Exit status: 0 ok, 1 failure, ... 10 time-out.".
std::set<int> exitStatusesListedIn(const std::string& all) {
  const auto start = all.find("Exit status:");
  const auto end = all.find('.', start);
  std::set<int> statuses;
  if (start == std::string::npos || end == std::string::npos) return statuses;
  const std::string list = all.substr(start, end - start);
  // Each entry is a number, a space and a word: "7 card failure".
  for (std::size_t at = 0; at < list.size();) {
    const std::size_t digitsEnd = list.find_first_not_of("0123456789", at);
    if (digitsEnd == std::string::npos) break;
    if (digitsEnd != at && digitsEnd + 1 < list.size() && list[digitsEnd] == ' ' &&
        std::islower(static_cast<unsigned char>(list[digitsEnd + 1])) != 0) {
      statuses.insert(std::stoi(list.substr(at, digitsEnd - at)));
    }
    at = digitsEnd == at ? at + 1 : digitsEnd;
  }
  return statuses;
}

std::string readmeText() {
  std::ifstream readme(TAV712_README);
  std::stringstream text;
  text << readme.rdbuf();
  return text.str();
}

// Every status the kernel names, and one it does not, in every stage: each
// gets words beyond its name, a hint and a documented exit status.
TEST(ErrorMeaning, IsTotalWithWordsAHintAndADocumentedExitStatus) {
  const std::set<int> documented = exitStatusesListedIn(readmeText());
  ASSERT_EQ(documented.size(), 11u) << "cannot read the exit status list of " << TAV712_README;
  EXPECT_EQ(exitStatusesListedIn(usageText()), documented) << "--help and the README list other exit statuses";
  const NTSTATUS statuses[] = {STATUS_UNSUCCESSFUL,
                               STATUS_NOT_IMPLEMENTED,
                               STATUS_INVALID_HANDLE,
                               STATUS_INVALID_PARAMETER,
                               STATUS_NO_SUCH_DEVICE,
                               STATUS_INVALID_DEVICE_REQUEST,
                               STATUS_END_OF_FILE,
                               STATUS_NO_MEDIA_IN_DEVICE,
                               STATUS_UNRECOGNIZED_MEDIA,
                               STATUS_NO_MEMORY,
                               STATUS_ACCESS_DENIED,
                               STATUS_BUFFER_TOO_SMALL,
                               STATUS_OBJECT_NAME_NOT_FOUND,
                               STATUS_SHARING_VIOLATION,
                               STATUS_DATA_OVERRUN,
                               STATUS_DATA_ERROR,
                               STATUS_CRC_ERROR,
                               STATUS_DELETE_PENDING,
                               STATUS_INSUFFICIENT_RESOURCES,
                               STATUS_DEVICE_NOT_READY,
                               STATUS_IO_TIMEOUT,
                               STATUS_NOT_SUPPORTED,
                               STATUS_CANCELLED,
                               STATUS_INVALID_DEVICE_STATE,
                               STATUS_IO_DEVICE_ERROR,
                               STATUS_DEVICE_PROTOCOL_ERROR,
                               STATUS_DEVICE_NOT_CONNECTED,
                               STATUS_DEVICE_DOES_NOT_EXIST,
                               STATUS_NOT_FOUND,
                               STATUS_DEVICE_REMOVED,
                               STATUS_POWER_STATE_INVALID,
                               STATUS_BUFFER_OVERFLOW,
                               STATUS_DEVICE_BUSY,
                               STATUS_TIMEOUT,
                               static_cast<NTSTATUS>(0xC0FFEE00U)};
  const Stage stages[] = {Stage::system,   Stage::readerStart, Stage::cardReset, Stage::protocolSelection,
                          Stage::exchange, Stage::query};
  for (const Stage stage : stages) {
    for (const NTSTATUS status : statuses) {
      for (const bool readerGone : {false, true}) {
        FailureContext context(stage, "the step");
        context.readerGone = readerGone;
        const ToolError error = errorFor(status, context);
        const std::string message = error.what();
        const std::string prefix = "the step failed: ";
        SCOPED_TRACE(message);
        ASSERT_EQ(message.rfind(prefix, 0), 0u);
        // Words come before the status name in parentheses.
        EXPECT_GT(message.find(" (" + statusName(status) + ")"), prefix.size() + 10);
        EXPECT_FALSE(error.hint().empty());
        EXPECT_NE(error.status(), ExitStatus::ok);
        EXPECT_TRUE(documented.contains(static_cast<int>(error.status())));
      }
    }
  }
}

}  // namespace
}  // namespace tav712
