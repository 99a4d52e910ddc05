// The wait-on-mask request: one at a time; it completes with the events that
// occurred, and with an empty mask when the wait mask is set again.

#include "port_fixture.h"

namespace serial::testing {
namespace {

using PortWait = PortTest;

ULONG maskOf(const Outcome& outcome) {
  ULONG mask = 0xFFFFFFFF;
  if (outcome.output.size() == sizeof mask) std::memcpy(&mask, outcome.output.data(), sizeof mask);
  return mask;
}

TEST_F(PortWait, CompletesWithRxcharWhenAByteArrives) {
  ASSERT_EQ(control(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR | SERIAL_EV_DSR).status, STATUS_SUCCESS);
  const auto wait = startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  EXPECT_FALSE(wait->done);
  line_->sendAt(start_ + 7ms, {0x90});
  runUntilIdle();
  EXPECT_EQ(wait->status, STATUS_SUCCESS);
  EXPECT_EQ(wait->information, sizeof(ULONG));
  EXPECT_EQ(maskOf(*wait), static_cast<ULONG>(SERIAL_EV_RXCHAR));
  EXPECT_EQ(wait->completedAt - start_, 7ms);
}

TEST_F(PortWait, CompletesWithDsrWhenTheLineChanges) {
  ASSERT_EQ(control(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR | SERIAL_EV_DSR).status, STATUS_SUCCESS);
  const auto wait = startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  line_->dsrAt(start_ + 40ms, false);
  runUntilIdle();
  EXPECT_EQ(maskOf(*wait), static_cast<ULONG>(SERIAL_EV_DSR));
  EXPECT_EQ(wait->completedAt - start_, 40ms);
  EXPECT_FALSE(port_->snapshot().dsr);
}

TEST_F(PortWait, SettingTheMaskAgainEndsThePendingWaitWithAnEmptyMask) {
  ASSERT_EQ(control(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR | SERIAL_EV_DSR).status, STATUS_SUCCESS);
  const auto wait = startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  EXPECT_FALSE(wait->done);
  ASSERT_EQ(control(IOCTL_SERIAL_SET_WAIT_MASK, 0).status, STATUS_SUCCESS);
  ASSERT_TRUE(wait->done);
  EXPECT_EQ(wait->status, STATUS_SUCCESS);
  EXPECT_EQ(maskOf(*wait), 0u);
  EXPECT_EQ(wait->completedAt, start_);
}

TEST_F(PortWait, EventsOutsideTheMaskDoNotEndTheWait) {
  ASSERT_EQ(control(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_DSR).status, STATUS_SUCCESS);
  const auto wait = startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  line_->sendAt(start_ + 1ms, {1, 2});
  line_->dsrAt(start_ + 9ms, false);
  runUntilIdle();
  EXPECT_EQ(maskOf(*wait), static_cast<ULONG>(SERIAL_EV_DSR));
  EXPECT_EQ(wait->completedAt - start_, 9ms);
}

TEST_F(PortWait, EventsWithNoWaitPendingAreKeptForTheNextWait) {
  ASSERT_EQ(control(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR | SERIAL_EV_DSR).status, STATUS_SUCCESS);
  line_->sendAt(start_ + 1ms, {1});
  line_->dsrAt(start_ + 2ms, false);
  runUntilIdle();
  const Outcome wait = control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  EXPECT_EQ(wait.status, STATUS_SUCCESS);
  EXPECT_EQ(maskOf(wait), static_cast<ULONG>(SERIAL_EV_RXCHAR | SERIAL_EV_DSR));
  // They are reported once.
  const auto next = startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  EXPECT_FALSE(next->done);
  ASSERT_EQ(control(IOCTL_SERIAL_SET_WAIT_MASK, 0).status, STATUS_SUCCESS);
}

TEST_F(PortWait, OnlyOneWaitAtATimeAndNeverForAnEmptyMask) {
  EXPECT_EQ(control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4).status, STATUS_INVALID_PARAMETER);
  ASSERT_EQ(control(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR).status, STATUS_SUCCESS);
  const auto first = startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  EXPECT_EQ(control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4).status, STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(first->done);
  line_->sendAt(start_ + 1ms, {5});
  runUntilIdle();
  EXPECT_EQ(maskOf(*first), static_cast<ULONG>(SERIAL_EV_RXCHAR));
}

TEST_F(PortWait, APendingWaitCanBeCancelled) {
  ASSERT_EQ(control(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR).status, STATUS_SUCCESS);
  const auto wait = startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  EXPECT_TRUE(cancel(*wait));
  runUntilIdle();
  EXPECT_EQ(wait->status, STATUS_CANCELLED);
  EXPECT_FALSE(port_->snapshot().waitPending);
  // The port takes the next wait.
  const auto next = startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  line_->sendAt(now() + 1ms, {1});
  runUntilIdle();
  EXPECT_EQ(next->status, STATUS_SUCCESS);
}

TEST_F(PortWait, ClosingThePortEndsThePendingWait) {
  ASSERT_EQ(control(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR).status, STATUS_SUCCESS);
  const auto wait = startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  EXPECT_EQ(sendMajor(IRP_MJ_CLOSE), STATUS_SUCCESS);
  runUntilIdle();
  EXPECT_EQ(wait->status, STATUS_CANCELLED);
  EXPECT_EQ(port_->snapshot().waitMask, 0u);
}

}  // namespace
}  // namespace serial::testing
