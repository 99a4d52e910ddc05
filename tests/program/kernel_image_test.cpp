// tav712 over the kernel image, the tav712.sys that scripts/check-kernel-build
// links with mingw-w64 (at -O2, and at -O0 with assertions) and keeps in
// build/kernel-image: the same story and the same answers, byte for byte on
// the serial line, as over the driver built for this host. Skipped until
// that script has linked the images.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "process.h"

namespace program_test {
namespace {

struct ImageCase {
  const char* name;
  const char* file;
};

class KernelImage : public testing::TestWithParam<ImageCase> {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(image_))
      GTEST_SKIP() << "no kernel image at " << image_ << ": scripts/check-kernel-build links it";
  }

  // The same command line over the host build and over the image.
  void expectSameRun(std::vector<std::string> arguments) {
    const auto host = runTav712(arguments);
    arguments.insert(arguments.begin(), {"--driver-image", image_});
    const auto overImage = runTav712(arguments);
    EXPECT_EQ(overImage.exitStatus, host.exitStatus) << overImage.err;
    EXPECT_EQ(overImage.out, host.out);
    EXPECT_EQ(overImage.err, host.err);
  }

  const std::string image_ = std::string(TAV712_KERNEL_IMAGE_DIR) + "/" + GetParam().file;
};

TEST_P(KernelImage, DemoTellsTheHostBuildsStory) { expectSameRun({"demo", "--seed", "5"}); }

TEST_P(KernelImage, ExchangesT0ApdusAsTheHostBuild) {
  expectSameRun({"--card", "t0", "--trace", "apdu", "00A4040006A00000071201", "00B0000010"});
}

TEST_P(KernelImage, ExchangesT1ApdusAsTheHostBuild) {
  expectSameRun({"--card", "t1", "--trace", "apdu", "00A4040006A00000071201", "0084000008"});
}

// A failure on the way: the card goes silent in its answer-to-reset.
TEST_P(KernelImage, ReportsAMuteCardAsTheHostBuild) { expectSameRun({"--knob", "silent-after=0", "atr"}); }

INSTANTIATE_TEST_SUITE_P(Program, KernelImage,
                         testing::Values(ImageCase{"Optimised", "tav712-O2.sys"},
                                         ImageCase{"DebugWithAssertions", "tav712-O0.sys"}),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

}  // namespace
}  // namespace program_test
