// Reads: they end when their count is met, or with STATUS_TIMEOUT at the
// exact instant the interval or total time-out runs out.

#include "port_fixture.h"

namespace serial::testing {
namespace {

constexpr ULONG kMax = 0xFFFFFFFFu;

using PortRead = PortTest;

TEST_F(PortRead, TotalTimeoutEndsAnUnansweredReadAtItsExactInstant) {
  setTimeouts(50, 0, 100);  // the reader driver's settings
  const auto read = startRead(1);
  runUntilIdle();
  ASSERT_TRUE(read->done);
  EXPECT_EQ(read->status, STATUS_TIMEOUT);
  EXPECT_EQ(read->information, 0u);
  EXPECT_EQ(read->completedAt - start_, 100ms);
}

TEST_F(PortRead, TotalTimeoutCountsTheMultiplierPerByteAskedFor) {
  setTimeouts(0, 10, 5);
  const auto read = startRead(3);
  runUntilIdle();
  EXPECT_EQ(read->status, STATUS_TIMEOUT);
  EXPECT_EQ(read->completedAt - start_, 35ms);
}

TEST_F(PortRead, IntervalTimeoutRunsFromTheLastByteAndKeepsWhatCame) {
  setTimeouts(50, 0, 1000);
  const auto read = startRead(4);
  line_->sendAt(start_ + 10ms, {0x90, 0x3B});
  runUntilIdle();
  EXPECT_EQ(read->status, STATUS_TIMEOUT);
  EXPECT_EQ(read->output, (std::vector<std::uint8_t>{0x90, 0x3B}));
  EXPECT_EQ(read->completedAt - start_, 10ms + kCharacter + 50ms);
}

TEST_F(PortRead, IntervalDoesNotRunBeforeTheFirstByte) {
  setTimeouts(50, 0, 0);
  const auto read = startRead(1);
  line_->sendAt(start_ + 5s, {0x42});
  runUntilIdle();
  EXPECT_EQ(read->status, STATUS_SUCCESS);
  EXPECT_EQ(read->completedAt - start_, 5s);
}

TEST_F(PortRead, ACountMetEndsTheReadAtTheLastBytesInstant) {
  setTimeouts(50, 0, 100);
  const auto read = startRead(3);
  line_->sendAt(start_ + 20ms, {0x10, 0x10, 0x41, 0x77});
  runUntilIdle();
  EXPECT_EQ(read->status, STATUS_SUCCESS);
  EXPECT_EQ(read->output, (std::vector<std::uint8_t>{0x10, 0x10, 0x41}));
  EXPECT_EQ(read->completedAt - start_, 20ms + 2 * kCharacter);
  // The fourth byte waits in the input queue.
  EXPECT_EQ(commStatus().AmountInInQueue, 1u);
}

TEST_F(PortRead, QueuedBytesAreDeliveredWithoutWaiting) {
  setTimeouts(50, 0, 100);
  line_->sendAt(start_ + 1ms, {1, 2, 3});
  runUntilIdle();
  const Instant before = now();
  const Outcome read = this->read(2);
  EXPECT_EQ(read.status, STATUS_SUCCESS);
  EXPECT_EQ(read.output, (std::vector<std::uint8_t>{1, 2}));
  EXPECT_EQ(read.completedAt, before);
}

TEST_F(PortRead, MaxIntervalWithoutTotalsReturnsAtOnceEvenWithNothing) {
  setTimeouts(kMax, 0, 0);
  const Outcome empty = read(4);
  EXPECT_EQ(empty.status, STATUS_SUCCESS);
  EXPECT_EQ(empty.information, 0u);
  EXPECT_EQ(empty.completedAt, start_);
  line_->sendAt(now() + 1ms, {7});
  runUntilIdle();
  EXPECT_EQ(read(4).output, std::vector<std::uint8_t>{7});
}

TEST_F(PortRead, MaxIntervalAndMultiplierReturnOnTheFirstByteOrTimeOut) {
  setTimeouts(kMax, kMax, 250);
  const auto first = startRead(8);
  line_->sendAt(start_ + 30ms, {0xAA, 0xBB});
  advanceTo(start_ + 30ms);
  ASSERT_TRUE(first->done);
  EXPECT_EQ(first->status, STATUS_SUCCESS);
  EXPECT_EQ(first->output, std::vector<std::uint8_t>{0xAA});
  runUntilIdle();
  const Instant second = now();
  const Outcome queued = read(8);  // the byte already queued comes at once
  EXPECT_EQ(queued.output, std::vector<std::uint8_t>{0xBB});
  EXPECT_EQ(queued.completedAt, second);
  const Outcome silent = read(8);
  EXPECT_EQ(silent.status, STATUS_TIMEOUT);
  EXPECT_EQ(silent.completedAt - second, 250ms);
}

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

TEST_F(PortRead, AZeroLengthReadSucceedsAtOnce) {
  const Outcome read = this->read(0);
  EXPECT_EQ(read.status, STATUS_SUCCESS);
  EXPECT_EQ(read.completedAt, start_);
}

}  // namespace
}  // namespace serial::testing
