// Card state: CurrentState follows the reader, and the card-tracking request
// that the library parks is completed exactly once, by a state change, a
// cancellation or the cleanup of its handle.

#include "card_fixture.h"
#include "common/test_cases.h"

namespace tav712::testing {
namespace {

void setState(CardHarness& card, ULONG state) {
  card.h().call([&] { card.smartcard()->ReaderCapabilities.CurrentState = state; });
}

ULONG state(CardHarness& card) { return card.smartcard()->ReaderCapabilities.CurrentState; }

// A tracking request that waits for the other class than the current one.
platform::PendingRequest parkTracking(CardHarness& card) {
  ULONG code = state(card) > SCARD_ABSENT ? IOCTL_SMARTCARD_IS_ABSENT : IOCTL_SMARTCARD_IS_PRESENT;
  platform::PendingRequest request = card.ioctlAsync(code, {}, 0);
  card.h().runUntilIdle();
  EXPECT_FALSE(request.done()) << "the library parks the request";
  EXPECT_NE(card.smartcard()->OsData->NotificationIrp, nullptr);
  return request;
}

struct StateRow {
  ULONG oldState;
  ULONG event;  // 0: read the reader's register 4
  ULONG newState;
  bool completes;
  bool cardInReader = true;
  bool readerSilent = false;
};

// Insertion (2) and removal (1) events within and across the classes, then
// event 0, where the reader's register 4 decides: a card already known
// as powered or specific keeps its state, and a failed register read counts
// as "no card" for the comparison but leaves CurrentState alone.
TEST(CardState, ChangesStateAndCompletesTrackingOnlyOnClassChange) {
  const StateRow rows[] = {
      {SCARD_UNKNOWN, SCARD_PRESENT, SCARD_PRESENT, true}, {SCARD_POWERED, SCARD_PRESENT, SCARD_PRESENT, false},
      {SCARD_SPECIFIC, SCARD_ABSENT, SCARD_ABSENT, true},  {SCARD_ABSENT, 0, SCARD_SWALLOWED, true},
      {SCARD_ABSENT, 0, SCARD_ABSENT, false, false},       {SCARD_SPECIFIC, 0, SCARD_SPECIFIC, false},
      {SCARD_SPECIFIC, 0, SCARD_ABSENT, true, false},      {SCARD_SPECIFIC, 0, SCARD_SPECIFIC, true, true, true},
  };
  for (const StateRow& row : rows) {
    SCOPED_TRACE(::testing::Message() << "old " << row.oldState << " event " << row.event << " card "
                                      << row.cardInReader << " silent " << row.readerSilent);
    emulator::EmulatorKnobs knobs;
    knobs.cardInserted = row.cardInReader;
    CardHarness card({.line = EmulatorLine{knobs}});
    ASSERT_EQ(card.startAndOpen(), STATUS_SUCCESS);
    setState(card, row.oldState);
    platform::PendingRequest tracking = parkTracking(card);
    if (row.readerSilent) {
      card.h().reader()->fallSilent();  // no reply to the register read
    }

    card.h().call([&] { UpdateCardState(card.smartcard(), row.event); });
    card.h().runUntilIdle();
    EXPECT_EQ(state(card), row.newState);
    EXPECT_EQ(tracking.done(), row.completes);
    if (row.completes) {
      EXPECT_EQ(tracking.wait().status, STATUS_SUCCESS);
      EXPECT_EQ(card.smartcard()->OsData->NotificationIrp, nullptr);
    } else {
      EXPECT_EQ(card.cleanup(), STATUS_SUCCESS);
      EXPECT_EQ(tracking.wait().status, STATUS_CANCELLED);
    }
  }
}

// A card pulled out while in use is known as absent (the removal event came
// first) when the power-down that ends its request runs: the power-down
// must not report it back as present, nor complete the tracking request
// that waits for an insertion.
TEST(CardState, PowerDownOfAPulledCardLeavesItAbsent) {
  emulator::EmulatorKnobs knobs;
  knobs.cardInserted = false;
  CardHarness card({.line = EmulatorLine{knobs}});
  ASSERT_EQ(card.startAndOpen(), STATUS_SUCCESS);
  ASSERT_EQ(state(card), ULONG{SCARD_ABSENT});
  platform::PendingRequest tracking = parkTracking(card);

  EXPECT_EQ(card.cardPower(SCARD_POWER_DOWN).status, STATUS_SUCCESS);
  card.h().runUntilIdle();
  EXPECT_EQ(state(card), ULONG{SCARD_ABSENT});
  EXPECT_FALSE(tracking.done()) << "no insertion happened";
  EXPECT_EQ(card.cleanup(), STATUS_SUCCESS);
  EXPECT_EQ(tracking.wait().status, STATUS_CANCELLED);
}

// A removal event, a cancellation and a cleanup race for the parked
// request; whatever the interleaving, it ends exactly once (the verifier
// fails a second completion) and nothing is left parked. Returns how it
// ended.
NTSTATUS trackingRace(std::uint64_t seed) {
  CardHarness card({.seed = seed});
  EXPECT_EQ(card.startAndOpen(), STATUS_SUCCESS);
  platform::PendingRequest tracking = parkTracking(card);
  auto updater = card.h().spawn("removal event", [&] { UpdateCardState(card.smartcard(), SCARD_ABSENT); });
  auto canceller = card.h().spawn("cancel", [&] { tracking.cancel(); });
  NTSTATUS cleanupStatus = card.cleanup();
  card.h().join(updater);
  card.h().join(canceller);
  platform::IoResult result = tracking.wait();

  EXPECT_EQ(cleanupStatus, STATUS_SUCCESS);
  EXPECT_TRUE(result.status == STATUS_SUCCESS || result.status == STATUS_CANCELLED) << std::hex << result.status;
  EXPECT_EQ(card.smartcard()->OsData->NotificationIrp, nullptr);
  EXPECT_EQ(state(card), ULONG{SCARD_ABSENT});
  return result.status;
}

class TrackingRaceUnderSeeds : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(TrackingRaceUnderSeeds, RequestEndsExactlyOnceWhateverWins) { trackingRace(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Seeds, TrackingRaceUnderSeeds, seedRange(1, 60), SeedName{});

// The sweep above means something only if its seeds let each side win.
TEST(CardState, TrackingRaceSeedsReachBothOutcomes) {
  int byEvent = 0;
  int byCancel = 0;
  for (std::uint64_t seed = 1; seed <= 60; seed++) {
    (trackingRace(seed) == STATUS_SUCCESS ? byEvent : byCancel)++;
  }
  EXPECT_GT(byEvent, 0);
  EXPECT_GT(byCancel, 0);
}

// The reader answers a card-state read "no card" and reports an insertion
// right behind its reply. With late wake-ups the reader of the reply may
// record it only after the insertion was recorded; the insertion came later
// in the stream and stands, for both readings of register 4.
TEST(CardState, AnInsertionBehindAReadingOutlivesIt) {
  const std::pair<const char*, void (*)(PSMARTCARD_EXTENSION)> readings[] = {
      {"update", [](PSMARTCARD_EXTENSION smartcard) { UpdateCardState(smartcard, 0); }},
      {"after wake", ReadCardStateAsNewlyInserted},
  };
  for (const auto& [name, readCardState] : readings) {
    for (std::uint64_t seed = 1; seed <= 16; seed++) {
      SCOPED_TRACE(::testing::Message() << name << ", seed " << seed);
      CardHarness card(
          {.seed = seed, .line = ScriptLine{"> C4\n< 00 10 85\n"}, .lateWakeupBound = std::chrono::milliseconds(3)});
      ASSERT_EQ(card.h().openLink(), STATUS_SUCCESS);
      setState(card, SCARD_ABSENT);
      card.h().call([&, read = readCardState] { read(card.smartcard()); });
      card.h().runUntilIdle();
      EXPECT_EQ(state(card), ULONG{SCARD_PRESENT});
    }
  }
}

// A request cancelled after the library parked it but before CardTracking
// made it cancellable is ended by CardTracking, not left parked.
TEST(CardState, RequestCancelledBeforeItBecameCancellableIsCompleted) {
  CardHarness card;
  ASSERT_EQ(card.startAndOpen(), STATUS_SUCCESS);
  platform::PendingRequest tracking = parkTracking(card);
  card.h().call([&] {
    PIRP irp = card.smartcard()->OsData->NotificationIrp;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(irp, nullptr);
    irp->Cancel = TRUE;  // as IoCancelIrp leaves a request without a cancel routine
    IoReleaseCancelSpinLock(irql);
    EXPECT_EQ(CardTracking(card.smartcard()), STATUS_PENDING);
  });
  EXPECT_EQ(tracking.wait().status, STATUS_CANCELLED);
  EXPECT_EQ(card.smartcard()->OsData->NotificationIrp, nullptr);
}

}  // namespace
}  // namespace tav712::testing
