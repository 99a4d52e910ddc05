// The soak in the default suite: every seed that once failed, and a slice of
// seeds derived from the commit, so that each commit explores lives no
// earlier one ran. A failure names the seed and the line that replays it.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string_view>

#include "common/test_cases.h"
#include "soak_life.h"
#include "soak_plan.h"

namespace tav712::soak {
namespace {

// Seeds that found a fault, kept after the fault was mended:
//   131  the verifier took the owner's completion of a forwarded power-up,
//        woken before the port's completion had returned, for a second one
//   241  a cancel-remove failed when the interface could not be enabled again
//   253  a start that found its interface still enabled failed half-way
//   434  a reader error in place of the start's card-state reply left the
//        card unknown for good
//   3559 a removal refused right after the cable was pulled enabled the
//        interface again on the port being closed
//   2817882547039439557 (from a commit's slice) the interface could not be
//        disabled when the cable was pulled; the card was pulled meanwhile,
//        and a handle opened after the cable came back heard "present"
//   5003449 the cable was pulled and plugged in again while a run waited for
//        bytes; the next wait saw received characters and the DSR change
//        together, and the link stayed open on a reader whose card had gone
//   5059638 the card was pulled right after its PTS answer; the selection
//        then recorded it as specific over the removal the reader reported
//   17008 a T=0 command broken off by a reader error left the card inside
//        it; the rest of its answer was taken for a later command's, which
//        then "succeeded" with a status word the card never gave it
//   1003826 a reply came late, and the card-transfer marker behind it ended
//        the next register read; the replies that followed each went to the
//        command after theirs, and an APDU "succeeded" with 90 69
//   1016093 the cable was pulled during a restart; the card-state read failed
//        on the closed port and the state from before the stop stood
//   1056052 a T=1 block went to the card although its send failed; the card
//        answered it, and the next APDU got that answer as its own
//   72   a stop powered the card down, and after the restart the card still
//        counted as negotiable, its answer-to-reset kept
constexpr std::array<std::uint64_t, 13> onceFailed{
    131, 241, 253, 434, 3559, 2817882547039439557ULL, 5003449, 5059638, 17008, 1003826, 1016093, 1056052, 72};
// Seeds that found a fault with the scheduler's late wake-ups on:
//   30   a reply stored before its receive waited left a wake-up behind
//        that ended the next command's receive at once (also 103, 248)
//   66   a tracking request that reached the library after its handle's
//        cleanup was parked, and the close waited for a card event
//   127  a port's transmit interrupt, held at a yield point while the stack
//        went away, kept the port alive past its emulated reader, whose line
//        then handed the reader a byte and detached from it after its end
//   396  the wake-up of a block's end marker, handed over after the next
//        command was sent, ended that command's receive
//   825  a reader error on the wake's second card-state read left a card in
//        the reader reported absent
//   2161 a worker run purged the port after arming the next wait, and the
//        purge reached the port after the stop had closed it and the
//        removal deleted it
//   11643739488339847032 (from a commit's slice, caught by ASan) the
//        emulated reader's byte interrupt, held at a yield point inside the
//        host's call, went on with the reader after the stack had freed it
//   2910091424106171095 (from a commit's slice) the card was pulled while
//        its protocol was being selected; the selection then recorded it as
//        specific over the removal
//   5026966 the card went in while the wake-up read the card state; the
//        wake-up's "no card", recorded late, overwrote the insertion
constexpr std::array<std::uint64_t, 9> onceFailedWithLateWakeups{
    30, 66, 127, 396, 825, 2161, 11643739488339847032ULL, 2910091424106171095ULL, 5026966};

// Seeds in the commit's slice, each with the late wake-ups it draws: about
// 10 s in the normal build and under a minute under ASan, on one core.
constexpr std::uint64_t sliceSeeds = 1500;

void expectPasses(std::uint64_t seed, bool lateWakeups = false) {
  Plan plan = drawPlan(seed);
  // Without them a seed runs as soak does by default; with them as
  // soak --late-wakeups (half the seeds draw a bound).
  if (!lateWakeups) plan.lateWakeupBound = {};
  const LifeResult life = live(plan);
  if (life.passed()) return;
  std::string failures;
  for (const auto& failure : life.failures) failures += "\n  " + failure;
  ADD_FAILURE() << "seed " << seed << " failed:" << failures << "\nreplay: " << replayLine(seed)
                << (lateWakeups ? " --late-wakeups" : "") << "\nplan: " << plan.describe()
                << "\nkernel trace, last lines:\n"
                << life.traceTail;
}

class OnceFailed : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(OnceFailed, PassesNow) { expectPasses(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Seeds, OnceFailed, ::testing::ValuesIn(onceFailed), tav712::testing::SeedName{});

class OnceFailedWithLateWakeups : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(OnceFailedWithLateWakeups, PassesNow) { expectPasses(GetParam(), true); }

INSTANTIATE_TEST_SUITE_P(Seeds, OnceFailedWithLateWakeups, ::testing::ValuesIn(onceFailedWithLateWakeups),
                         tav712::testing::SeedName{});

// FNV-1a of the commit id: the first seed of the slice.
std::uint64_t sliceStart(std::string_view commit) {
  std::uint64_t hash = 0xCBF29CE484222325ULL;
  for (const char c : commit) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3ULL;
  return hash;
}

TEST(CommitSlice, SeedsFromTheCommitPass) {
  const std::uint64_t first = sliceStart(TAV712_SOAK_COMMIT);
  RecordProperty("first_seed", std::to_string(first));
  for (std::uint64_t seed = first; seed < first + sliceSeeds; ++seed) expectPasses(seed, true);
}

}  // namespace
}  // namespace tav712::soak
