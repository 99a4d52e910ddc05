// Requests through a two-driver stack: completion routines bottom-up,
// STATUS_MORE_PROCESSING_REQUIRED handing the IRP back at the virtual instant
// the lower driver completes, a pending request cancelled and its caller's
// event set, buffered copy-back.
#include <chrono>

#include "common/test_cases.h"
#include "kernel_test_support.h"

namespace kernel_test {
namespace {

using namespace std::chrono_literals;
using Steps = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;

using IrpFlowTest = BuiltStackTest;

TEST_F(IrpFlowTest, CompletionRoutinesRunBottomUpAfterTheLowerDriverCompletes) {
  mini::upperConfig.forward = mini::UpperForward::CopyWithCompletion;
  mini::lowerConfig.status = STATUS_DATA_ERROR;

  auto result = sendBuiltRequest(kBufferedIoctl, {1, 2}, 0);

  EXPECT_EQ(mini::steps, (Steps{"upper dispatch", "lower dispatch 14", "upper completion"}));
  EXPECT_EQ(result.returned, STATUS_DATA_ERROR);
  EXPECT_EQ(result.ioStatus.Status, STATUS_DATA_ERROR);
}

TEST_F(IrpFlowTest, MoreProcessingRequiredHandsTheIrpBackUntilTheOwnerCompletesIt) {
  mini::upperConfig.forward = mini::UpperForward::WaitForLower;
  mini::upperConfig.replaceStatusAfterWait = STATUS_DEVICE_BUSY;
  mini::lowerConfig.mode = mini::LowerMode::Pend;
  system.scheduler().callAfter(5ms, [] { mini::completeParked(STATUS_SUCCESS, 0); });

  auto result = sendBuiltRequest(kBufferedIoctl, {}, 0);

  // The upper driver's completion routine stopped completion; its dispatch
  // routine got the IRP back, changed the status and completed it again.
  EXPECT_EQ(mini::steps, (Steps{"upper dispatch", "lower dispatch 14", "lower completes parked", "upper completion",
                                "upper completes"}));
  EXPECT_EQ(result.returned, STATUS_DEVICE_BUSY);
  EXPECT_EQ(result.ioStatus.Status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(system.scheduler().now().time_since_epoch(), 5ms);
}

// The waiting owner may run as soon as its completion routine has set the
// event, before the lower driver's IoCompleteRequest has returned (another
// processor picks it up), and complete the IRP again at once: the
// forward-and-wait pattern, which no seed may report as a second completion.
class ForwardAndWaitSeeds : public StackTest, public ::testing::WithParamInterface<std::uint64_t> {
 protected:
  ForwardAndWaitSeeds() : StackTest(platform::SystemOptions{.seed = GetParam()}) {}
  void SetUp() override { buildStack(); }
  void TearDown() override { removeAndUnload(); }
};

TEST_P(ForwardAndWaitSeeds, TheOwnerCompletesAgainWhileTheLowerCompletionUnwinds) {
  mini::upperConfig.forward = mini::UpperForward::WaitForLower;
  mini::lowerConfig.mode = mini::LowerMode::Pend;
  system.scheduler().callAfter(5ms, [] { mini::completeParked(STATUS_SUCCESS, 0); });

  auto result = sendBuiltRequest(kBufferedIoctl, {}, 0);

  EXPECT_EQ(result.ioStatus.Status, STATUS_SUCCESS);
  EXPECT_TRUE(system.verifier().violations().empty());
}

INSTANTIATE_TEST_SUITE_P(Seeds, ForwardAndWaitSeeds, tav712::testing::seedRange(1, 16), tav712::testing::SeedName{});

TEST_F(IrpFlowTest, CancelledPendingRequestRunsInvokeOnCancelRoutines) {
  mini::upperConfig.forward = mini::UpperForward::CopyWithCompletion;
  mini::lowerConfig.mode = mini::LowerMode::Pend;
  system.scheduler().callAfter(
      3ms, [] { IoCancelIrp(mini::parkedIrps.front()); }, PASSIVE_LEVEL);

  auto result = sendBuiltRequest(kBufferedIoctl, {}, 0);

  EXPECT_EQ(mini::steps, (Steps{"upper dispatch", "lower dispatch 14", "lower cancel", "upper completion"}));
  EXPECT_EQ(result.returned, STATUS_PENDING);
  EXPECT_EQ(result.ioStatus.Status, STATUS_CANCELLED);
  EXPECT_EQ(system.scheduler().now().time_since_epoch(), 3ms);
}

// (Buffered requests turned into reads and writes, as the reader driver sends
// them, are driven byte for byte by the serial port's read and write tests.)
struct CopyBackCase {
  const char* name;
  ULONG outputLength;
  Bytes reply;
  ULONG_PTR information;
  NTSTATUS status;
  Bytes expectedOutput;
};

class BufferedCopyBackTest : public IrpFlowTest, public ::testing::WithParamInterface<CopyBackCase> {};

TEST_P(BufferedCopyBackTest, CopiesBackInformationBytesAtMostTheOutputLength) {
  const CopyBackCase& c = GetParam();
  mini::upperConfig.forward = mini::UpperForward::Skip;
  mini::lowerConfig.reply = c.reply;
  mini::lowerConfig.information = c.information;
  mini::lowerConfig.status = c.status;

  auto result = sendBuiltRequest(kBufferedIoctl, {0xAA}, c.outputLength);

  // The upper driver skipped its stack location: none of its completion
  // routines runs. The caller's bytes went down in the system buffer.
  EXPECT_EQ(mini::steps, (Steps{"upper dispatch", "lower dispatch 14"}));
  EXPECT_EQ(mini::lastInput, Bytes{0xAA});
  EXPECT_EQ(result.ioStatus.Status, c.status);
  EXPECT_EQ(result.ioStatus.Information, c.information);
  EXPECT_EQ(result.output, c.expectedOutput);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BufferedCopyBackTest,
    ::testing::Values(CopyBackCase{"PartAnswer", 4, {1, 2, 3}, 2, STATUS_SUCCESS, {1, 2, 0xEE, 0xEE}},
                      CopyBackCase{"WarningStillCopiesWhatCame", 3, {5, 6, 7}, 1, STATUS_TIMEOUT, {5, 0xEE, 0xEE}},
                      CopyBackCase{"ErrorCopiesNothing", 2, {7, 8}, 0, STATUS_IO_TIMEOUT, {0xEE, 0xEE}}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

}  // namespace
}  // namespace kernel_test
