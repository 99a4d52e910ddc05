// The wait-on-mask request: one at a time; it completes with the events that
// occurred, and with an empty mask when the wait mask is set again. (A wait
// cancelled when it outlives its time-out, and one ended by the close, are
// driven by the reader link's serial channel and failed-start tests.)

#include <optional>

#include "common/test_cases.h"
#include "port_fixture.h"

namespace serial::testing {
namespace {

class PortWait : public PortTest {
 protected:
  std::shared_ptr<Outcome> startWait(std::optional<ULONG> newMask = std::nullopt) {
    if (newMask) {
      EXPECT_EQ(control(IOCTL_SERIAL_SET_WAIT_MASK, *newMask).status, STATUS_SUCCESS);
    }
    return startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  }
  static ULONG maskOf(const Outcome& outcome) {
    ULONG mask = 0xFFFFFFFF;
    if (outcome.output.size() == sizeof mask) std::memcpy(&mask, outcome.output.data(), sizeof mask);
    return mask;
  }
};

struct EventCase {
  const char* name;
  ULONG waitMask;
  std::vector<std::uint8_t> bytesAt1ms;
  std::optional<Duration> dsrDropsAt;
  std::vector<std::uint8_t> written;
  ULONG events;
  Duration endsAt;
};

class PortWaitEvents : public PortWait, public ::testing::WithParamInterface<EventCase> {};

TEST_P(PortWaitEvents, EndsWithTheFirstEventInTheMask) {
  const EventCase& c = GetParam();
  const auto wait = startWait(c.waitMask);
  EXPECT_FALSE(wait->done);
  line_->sendAt(start_ + 1ms, c.bytesAt1ms);
  if (c.dsrDropsAt) line_->dsrAt(start_ + *c.dsrDropsAt, false);
  if (!c.written.empty()) startWrite(c.written);
  runUntilIdle();
  EXPECT_EQ(wait->status, STATUS_SUCCESS);
  EXPECT_EQ(wait->information, sizeof(ULONG));
  EXPECT_EQ(maskOf(*wait), c.events);
  EXPECT_EQ(wait->completedAt - start_, c.endsAt);
}

constexpr ULONG kRxcharOrDsr = SERIAL_EV_RXCHAR | SERIAL_EV_DSR;

INSTANTIATE_TEST_SUITE_P(
    Cases, PortWaitEvents,
    ::testing::Values(EventCase{"EventsOutsideTheMaskDoNotEndIt", SERIAL_EV_DSR, {1, 2}, 9ms, {}, SERIAL_EV_DSR, 9ms},
                      EventCase{"TxemptyWhenTheLastQueuedByteHasLeft",
                                SERIAL_EV_TXEMPTY,
                                {},
                                {},
                                {1, 2},
                                SERIAL_EV_TXEMPTY,
                                2 * kCharacter}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(PortWait, SettingTheMaskAgainEndsThePendingWaitWithAnEmptyMask) {
  const auto wait = startWait(kRxcharOrDsr);
  EXPECT_FALSE(wait->done);
  ASSERT_EQ(control(IOCTL_SERIAL_SET_WAIT_MASK, 0).status, STATUS_SUCCESS);
  ASSERT_TRUE(wait->done);
  EXPECT_EQ(wait->status, STATUS_SUCCESS);
  EXPECT_EQ(maskOf(*wait), 0u);
  EXPECT_EQ(wait->completedAt, start_);
}

TEST_F(PortWait, EventsWithNoWaitPendingAreKeptForTheNextWaitAndReportedOnce) {
  ASSERT_EQ(control(IOCTL_SERIAL_SET_WAIT_MASK, kRxcharOrDsr).status, STATUS_SUCCESS);
  line_->sendAt(start_ + 1ms, {1});
  line_->dsrAt(start_ + 2ms, false);
  runUntilIdle();
  const Outcome wait = control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
  EXPECT_EQ(wait.status, STATUS_SUCCESS);
  EXPECT_EQ(maskOf(wait), kRxcharOrDsr);
  EXPECT_FALSE(startWait()->done);
  ASSERT_EQ(control(IOCTL_SERIAL_SET_WAIT_MASK, 0).status, STATUS_SUCCESS);
}

TEST_F(PortWait, OnlyOneWaitAtATimeAndNeverForAnEmptyMask) {
  EXPECT_EQ(control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4).status, STATUS_INVALID_PARAMETER);
  const auto first = startWait(SERIAL_EV_RXCHAR);
  EXPECT_EQ(control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4).status, STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(first->done);
  line_->sendAt(start_ + 1ms, {5});
  runUntilIdle();
  EXPECT_EQ(maskOf(*first), static_cast<ULONG>(SERIAL_EV_RXCHAR));
}

// A cancel and a time-out due at the same instant: whichever the scheduler
// runs first wins, and the read completes exactly once either way.
class PortRace : public PortTest, public ::testing::WithParamInterface<std::uint64_t> {
 protected:
  PortRace() : PortTest({.seed = GetParam()}) {}
};

TEST_P(PortRace, CancelAgainstTimeoutCompletesTheReadOnce) {
  setTimeouts(0, 0, 10);
  struct Done {
    KEVENT event;
    int completions = 0;
  } done;
  NTSTATUS status = STATUS_PENDING;
  Instant completedAt{};
  PDEVICE_OBJECT target = pdo_;
  platform::Scheduler& scheduler = system_.scheduler();
  scheduler.run([&] {
    // The IRP is the test's own, so that cancelling it stays valid after
    // it completed: it is freed only once the canceller is done.
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    std::uint8_t buffer[1] = {};
    irp->AssociatedIrp.SystemBuffer = buffer;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_READ;
    next->Parameters.Read.Length = 1;
    KeInitializeEvent(&done.event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID context) NTAPI -> NTSTATUS {
          auto* finished = static_cast<Done*>(context);
          ++finished->completions;
          KeSetEvent(&finished->event, IO_NO_INCREMENT, FALSE);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &done, TRUE, TRUE, TRUE);
    const platform::ThreadHandle canceller = scheduler.spawn("canceller", [irp] {
      LARGE_INTEGER tenMs{.QuadPart = -10 * 10'000};
      KeDelayExecutionThread(KernelMode, FALSE, &tenMs);
      IoCancelIrp(irp);
    });
    IofCallDriver(target, irp);
    KeWaitForSingleObject(&done.event, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
    completedAt = scheduler.now();
    scheduler.join(canceller);
    IoFreeIrp(irp);
  });
  EXPECT_EQ(done.completions, 1);
  EXPECT_TRUE(status == STATUS_TIMEOUT || status == STATUS_CANCELLED) << std::hex << status;
  EXPECT_EQ(completedAt - start_, 10ms);
  EXPECT_EQ(port_->snapshot().pendingReads, 0u);
  // The port goes on serving reads.
  line_->sendAt(now() + 1ms, {0x5A});
  EXPECT_EQ(read(1).output, std::vector<std::uint8_t>{0x5A});
}

INSTANTIATE_TEST_SUITE_P(Seeds, PortRace, tav712::testing::seedRange(1, 16), tav712::testing::SeedName{});

}  // namespace
}  // namespace serial::testing
