// Reads: they end when their count is met, or with STATUS_TIMEOUT at the
// exact instant the interval or total time-out runs out.

#include "port_fixture.h"

namespace serial::testing {
namespace {

constexpr ULONG kMax = 0xFFFFFFFFu;

using PortRead = PortTest;

struct ReadCase {
  const char* name;
  ULONG interval, multiplier, constant;
  ULONG length;
  Duration readAt{};   // when the read starts
  Duration bytesAt{};  // when the first of the bytes has arrived
  std::vector<std::uint8_t> bytes;
  NTSTATUS status;
  std::vector<std::uint8_t> output;
  Duration endsAt;
};

class PortReadTable : public PortTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(PortReadTable, EndsByItsCountOrItsTimeoutAtTheExactInstant) {
  const ReadCase& c = GetParam();
  setTimeouts(c.interval, c.multiplier, c.constant);
  line_->sendAt(start_ + c.bytesAt, c.bytes);
  advanceTo(start_ + c.readAt);
  const auto read = startRead(c.length);
  runUntilIdle();
  ASSERT_TRUE(read->done);
  EXPECT_EQ(read->status, c.status);
  EXPECT_EQ(read->output, c.output);
  EXPECT_EQ(read->information, c.output.size());
  EXPECT_EQ(read->completedAt - start_, c.endsAt);
  EXPECT_EQ(commStatus().AmountInInQueue, c.bytes.size() - c.output.size()) << "the rest waits in the input queue";
}

const std::vector<std::uint8_t> kNone;

INSTANTIATE_TEST_SUITE_P(
    Cases, PortReadTable,
    ::testing::Values(
        // The reader driver's settings.
        ReadCase{"TotalCountsTheMultiplierPerByteAskedFor", 0, 10, 5, 3, {}, {}, kNone, STATUS_TIMEOUT, kNone, 35ms},
        ReadCase{"IntervalRunsFromTheLastByteAndKeepsWhatCame",
                 50,
                 0,
                 1000,
                 4,
                 {},
                 10ms,
                 {0x90, 0x3B},
                 STATUS_TIMEOUT,
                 {0x90, 0x3B},
                 10ms + kCharacter + 50ms},
        ReadCase{"IntervalDoesNotRunBeforeTheFirstByte", 50, 0, 0, 1, {}, 5s, {0x42}, STATUS_SUCCESS, {0x42}, 5s},
        ReadCase{"CountMetEndsAtTheLastBytesInstant",
                 50,
                 0,
                 100,
                 3,
                 {},
                 20ms,
                 {0x10, 0x10, 0x41, 0x77},
                 STATUS_SUCCESS,
                 {0x10, 0x10, 0x41},
                 20ms + 2 * kCharacter},
        ReadCase{"QueuedBytesComeWithoutWaiting", 50, 0, 100, 2, 10ms, 1ms, {1, 2, 3}, STATUS_SUCCESS, {1, 2}, 10ms},
        ReadCase{"ZeroLengthSucceedsAtOnce", 0, 0, 0, 0, {}, {}, kNone, STATUS_SUCCESS, kNone, 0ms},
        // MAXULONG interval, no totals: return at once with what is queued.
        ReadCase{"MaxIntervalReturnsWhatIsQueued", kMax, 0, 0, 4, 10ms, 1ms, {7}, STATUS_SUCCESS, {7}, 10ms},
        // MAXULONG interval and multiplier: the first byte, or the constant.
        ReadCase{"MaxIntervalAndMultiplierEndOnTheFirstByte",
                 kMax,
                 kMax,
                 250,
                 8,
                 {},
                 30ms,
                 {0xAA, 0xBB},
                 STATUS_SUCCESS,
                 {0xAA},
                 30ms},
        ReadCase{"MaxIntervalAndMultiplierTimeOutOnSilence",
                 kMax,
                 kMax,
                 250,
                 8,
                 {},
                 {},
                 kNone,
                 STATUS_TIMEOUT,
                 kNone,
                 250ms}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(PortRead, ReadsAreServedInOrderEachWithItsOwnTimeout) {
  setTimeouts(0, 0, 100);
  const auto first = startRead(2);
  const auto second = startRead(1);
  line_->sendAt(start_ + 10ms, {1, 2, 3});
  runUntilIdle();
  EXPECT_EQ(first->output, (std::vector<std::uint8_t>{1, 2}));
  EXPECT_EQ(second->output, std::vector<std::uint8_t>{3});
  EXPECT_EQ(second->status, STATUS_SUCCESS);
}

TEST_F(PortRead, NewTimeoutsApplyToTheNextReadNotTheOneUnderWay) {
  setTimeouts(0, 0, 100);
  const auto running = startRead(1);
  setTimeouts(0, 0, 300);
  runUntilIdle();
  EXPECT_EQ(running->completedAt - start_, 100ms);
  const Instant next = now();
  EXPECT_EQ(read(1).completedAt - next, 300ms);
}

}  // namespace
}  // namespace serial::testing
