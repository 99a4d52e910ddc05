// T=0 framing: command APDUs of every case become TPDUs, answers are checked
// and copied back, and nothing is written past a buffer.
#include "smclib_fixture.h"

#include <gtest/gtest.h>

#include <string>

namespace smclib_test {
namespace {

struct T0Request {
  std::string name;
  Bytes apdu;
  ULONG replyCapacity;
  NTSTATUS expected;
  Bytes tpdu = {};
  ULONG lc = 0, le = 0;
};

void PrintTo(const T0Request& request, std::ostream* os) { *os << request.name; }

class T0Requests : public ::testing::TestWithParam<T0Request> {};

TEST_P(T0Requests, FrameTheCommand) {
  const T0Request& c = GetParam();
  ExtensionFixture fixture;
  Bytes apdu = c.apdu;
  Bytes reply(c.replyCapacity);
  ULONG information = 0;
  fixture.extension.IoRequest = {&information, apdu.data(), static_cast<ULONG>(apdu.size()), reply.data(),
                                 c.replyCapacity};
  ASSERT_EQ(SmartcardT0Request(&fixture.extension), c.expected);
  if (c.expected != STATUS_SUCCESS) {
    EXPECT_EQ(fixture.extension.SmartcardRequest.BufferLength, 0u);
    return;
  }
  EXPECT_EQ(Bytes(fixture.requestBuffer.begin(),
                  fixture.requestBuffer.begin() + fixture.extension.SmartcardRequest.BufferLength),
            c.tpdu);
  EXPECT_EQ(fixture.extension.T0.Lc, c.lc);
  EXPECT_EQ(fixture.extension.T0.Le, c.le);
}

const T0Request kRequests[] = {
    {"Case1", {0x00, 0x70, 0x00, 0x00}, 2, STATUS_SUCCESS, {0x00, 0x70, 0x00, 0x00, 0x00}},
    {"Case2", {0x00, 0xB0, 0x00, 0x00, 0x10}, 18, STATUS_SUCCESS, {0x00, 0xB0, 0x00, 0x00, 0x10}, 0, 16},
    {"Case2With256Bytes", {0x00, 0xB0, 0x00, 0x00, 0x00}, 258, STATUS_SUCCESS, {0x00, 0xB0, 0x00, 0x00, 0x00}, 0, 256},
    {"Case3",
     {0x00, 0xD6, 0x00, 0x00, 0x02, 0xAA, 0xBB},
     2,
     STATUS_SUCCESS,
     {0x00, 0xD6, 0x00, 0x00, 0x02, 0xAA, 0xBB},
     2},
    {"Case4SentAsCase3",
     {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00, 0x20},
     2,
     STATUS_SUCCESS,
     {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00},
     2},
    {"TooShort", {0x00, 0xA4, 0x04}, 2, STATUS_INVALID_PARAMETER},
    {"LengthDisagreesWithLc", {0x00, 0xD6, 0x00, 0x00, 0x05, 0xAA}, 2, STATUS_INVALID_PARAMETER},
    {"ExtendedLength", {0x00, 0xD6, 0x00, 0x00, 0x00, 0x00, 0x01, 0xAA}, 2, STATUS_INVALID_PARAMETER},
    {"ReplyBufferTooSmallForLe", {0x00, 0xB0, 0x00, 0x00, 0x10}, 17, STATUS_BUFFER_TOO_SMALL},
};

INSTANTIATE_TEST_SUITE_P(Cases, T0Requests, ::testing::ValuesIn(kRequests),
                         [](const auto& paramInfo) { return paramInfo.param.name; });

struct T0Answer {
  std::string name;
  ULONG le;
  Bytes answer;
  ULONG replyCapacity;
  NTSTATUS expected;
};

void PrintTo(const T0Answer& answer, std::ostream* os) { *os << answer.name; }

class T0Answers : public ::testing::TestWithParam<T0Answer> {};

TEST_P(T0Answers, AreCheckedAndCopied) {
  const T0Answer& c = GetParam();
  ExtensionFixture fixture;
  Bytes reply(c.replyCapacity + 4, 0xEE);  // guard bytes behind the caller's buffer
  ULONG information = 0;
  fixture.extension.IoRequest = {&information, nullptr, 0, reply.data(), c.replyCapacity};
  fixture.extension.T0.Le = c.le;
  std::copy(c.answer.begin(), c.answer.end(), fixture.replyBuffer.begin());
  fixture.extension.SmartcardReply.BufferLength = static_cast<ULONG>(c.answer.size());
  EXPECT_EQ(SmartcardT0Reply(&fixture.extension), c.expected);
  if (c.expected == STATUS_SUCCESS) {
    EXPECT_EQ(information, c.answer.size());
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + information), c.answer);
  } else {
    EXPECT_EQ(information, 0u);
  }
  EXPECT_EQ(Bytes(reply.end() - 4, reply.end()), Bytes(4, 0xEE));
}

const T0Answer kAnswers[] = {
    {"StatusOnly", 0, {0x90, 0x00}, 2, STATUS_SUCCESS},
    {"DataAndStatus", 2, {0x12, 0x34, 0x90, 0x00}, 4, STATUS_SUCCESS},
    {"WrongLengthStatusInsteadOfData", 16, {0x6C, 0x08}, 18, STATUS_SUCCESS},
    {"NoStatusWord", 0, {0x90}, 2, STATUS_DEVICE_PROTOCOL_ERROR},
    {"NullIsNoStatus", 0, {0x60, 0x00}, 2, STATUS_DEVICE_PROTOCOL_ERROR},
    {"InvalidSw1", 0, {0x12, 0x00}, 2, STATUS_DEVICE_PROTOCOL_ERROR},
    {"MoreThanLeBytes", 1, {0x01, 0x02, 0x90, 0x00}, 8, STATUS_DEVICE_PROTOCOL_ERROR},
    {"FewerThanLeBytes", 3, {0x01, 0x02, 0x90, 0x00}, 8, STATUS_DEVICE_PROTOCOL_ERROR},
    {"AnswerLargerThanCallerBuffer", 2, {0x12, 0x34, 0x90, 0x00}, 3, STATUS_BUFFER_TOO_SMALL},
};

INSTANTIATE_TEST_SUITE_P(Answers, T0Answers, ::testing::ValuesIn(kAnswers),
                         [](const auto& paramInfo) { return paramInfo.param.name; });

}  // namespace
}  // namespace smclib_test
