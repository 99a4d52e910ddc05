// The kernel image loader on a small image written by the test: relocation,
// import binding, section protections, symbol names, the emulated
// privileged instructions against the platform's IRQL, and the images it
// refuses, each with a message naming why.

#include <gtest/gtest.h>
#include <platform/driver_code.h>
#include <platform/image.h>
#include <platform/testing.h>

#include <fstream>
#include <sstream>

#include "common/test_cases.h"
#include "tiny_image.h"

namespace image_test {
namespace {

using platform::image::ImageError;
using platform::image::LoadedImage;

template <typename Function>
Function* function(const LoadedImage& image, std::uint32_t rva) {
  return reinterpret_cast<Function*>(image.base() + rva);
}
using ReadIrql = KIRQL NTAPI();
using WriteIrql = VOID NTAPI(KIRQL);

// The protection of the mapping that holds `address`, as /proc/self/maps
// gives it ("r-xp").
std::string protectionAt(std::uintptr_t address) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
    char dash = 0;
    std::string protection;
    fields >> std::hex >> begin >> dash >> end >> protection;
    if (address >= begin && address < end) return protection;
  }
  return "unmapped";
}

class ImageLoader : public platform::testing::SystemTest {
 protected:
  std::unique_ptr<LoadedImage> image = LoadedImage::load(writeImage("tiny.sys", tinyImage()));
};

TEST_F(ImageLoader, RelocatesBindsAndProtectsTheImage) {
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(image->driverEntry()), image->base() + kEntry);
  // The pointer in .rdata, linked for 0x140000000, points into this mapping.
  EXPECT_EQ(function<std::uintptr_t NTAPI()>(*image, kRelocatedPointer)(), image->base() + kAssertFails);
  ASSERT_EQ(image->imports().size(), 1u);
  EXPECT_EQ(image->imports()[0].module + "!" + image->imports()[0].function, "ntoskrnl.exe!KeGetCurrentIrql");
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  EXPECT_EQ(function<ReadIrql>(*image, kCallImport)(), DISPATCH_LEVEL);  // through the bound import
  KfLowerIrql(old);
  EXPECT_EQ(protectionAt(image->base()), "r--p");
  EXPECT_EQ(protectionAt(image->base() + 0x1000), "r-xp");
  EXPECT_EQ(protectionAt(image->base() + 0x2000), "rw-p");
  EXPECT_EQ(protectionAt(image->base() + 0x3000), "r--p");
}

TEST_F(ImageLoader, NamesCodeByItsSymbols) {
  EXPECT_EQ(image->describe(reinterpret_cast<void*>(image->base() + kAssertFails + 2)), "tiny.sys!AssertFails+0x2");
  // Before the first symbol: image and offset.
  EXPECT_EQ(platform::image::describeImageCode(reinterpret_cast<void*>(image->base() + kReadIrql)), "tiny.sys+0x1000");
  EXPECT_EQ(platform::image::describeImageCode(reinterpret_cast<void*>(&protectionAt)), std::nullopt);
}

TEST_F(ImageLoader, ReadsAndWritesCr8AsTheThreadsIrql) {
  EXPECT_EQ(function<ReadIrql>(*image, kReadIrql)(), PASSIVE_LEVEL);
  function<WriteIrql>(*image, kWriteIrql)(DISPATCH_LEVEL);  // KeRaiseIrql inline
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_EQ(function<ReadIrql>(*image, kReadIrql)(), DISPATCH_LEVEL);
  EXPECT_EQ(function<ReadIrql>(*image, kReadIrqlToR8)(), DISPATCH_LEVEL);
  function<WriteIrql>(*image, kWriteIrql)(APC_LEVEL);  // KeLowerIrql inline
  EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
  function<WriteIrql>(*image, kWriteIrql)(PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(ImageLoader, ReportsIntTwoCAsAFailedAssertionAndGoesOn) {
  platform::testing::ExpectViolation expect(system.verifier(), platform::rule::kAssertion);
  EXPECT_EQ(function<ULONG NTAPI()>(*image, kAssertFails)(), 7u);
  EXPECT_TRUE(system.trace().contains(platform::TraceCategory::Verifier, "tiny.sys!AssertFails+0x0"))
      << system.trace().format();
}

TEST_F(ImageLoader, NamesItsRoutinesInVerifierReports) {
  platform::testing::ExpectViolation expect(system.verifier(), platform::rule::kIrqlUnchanged);
  auto loaded = system.pnp().loadDriver("tiny", function<DRIVER_INITIALIZE>(*image, kEntryRaisingIrql));
  KfLowerIrql(PASSIVE_LEVEL);
  // Named after the nearest function symbol before it (the tiny image has
  // one; a linked driver has one for every function).
  EXPECT_TRUE(system.trace().contains(platform::TraceCategory::Verifier, "DriverEntry (tiny.sys!AssertFails+0x50)"))
      << system.trace().format();
  system.pnp().unloadDriver(loaded.driver);
}

// The DDK's KeInitializeSpinLock is inline and writes 0: an image's zero
// lock is an initialised one. A lock in pool the image never initialised
// (pool is filled with 0xA5) is still reported.
class ImageSpinLocks : public platform::testing::SystemTest {
 protected:
  std::unique_ptr<LoadedImage> image =
      LoadedImage::load(writeImage("locks.sys", tinyImage({.importFunction = "KeAcquireSpinLockRaiseToDpc"})));
  KIRQL acquire(KSPIN_LOCK& lock) {
    return platform::callDriverCode(function<KIRQL NTAPI(PKSPIN_LOCK)>(*image, kCallImportInFrame), &lock);
  }
};

TEST_F(ImageSpinLocks, TakeAZeroLockAsInitialised) {
  KSPIN_LOCK lock = 0;
  KIRQL old = acquire(lock);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&lock, old);
}

TEST_F(ImageSpinLocks, ReportALockNeverInitialised) {
  platform::testing::ExpectViolation expect(system.verifier(), platform::rule::kEventInit);
  KSPIN_LOCK lock = 0xA5A5A5A5A5A5A5A5ULL;
  KeReleaseSpinLock(&lock, acquire(lock));
}

// A platform exception raised under image code (here by the import itself,
// as a wait raises ThreadAborted at shutdown) leaves the image's frames,
// which the host cannot unwind, and goes on from the call into the image;
// platform frames between two image calls unwind as usual.
struct ThrowingImport {
  static inline int depth = 0;
  static inline int platformFramesUnwound = 0;
  static inline const LoadedImage* image = nullptr;

  static KIRQL NTAPI call() {
    struct Unwound {
      ~Unwound() { ++platformFramesUnwound; }
    } platformFrame;
    if (depth++ == 0) return platform::callDriverCode(function<ReadIrql>(*image, kCallImportInFrame));
    throw std::runtime_error("aborted under the image");
  }
};

TEST(ImageLoaderBoundary, PlatformExceptionsLeaveImageFramesWithoutUnwindingThem) {
  platform::image::ExportTable exports;
  exports.add("ntoskrnl.exe", "KeGetCurrentIrql",
              reinterpret_cast<const void*>(platform::guardedImport<&ThrowingImport::call>));
  auto image = LoadedImage::load(writeImage("tiny.sys", tinyImage()), exports);
  ThrowingImport::image = image.get();
  EXPECT_THROW(platform::callDriverCode(function<ReadIrql>(*image, kCallImportInFrame)), std::runtime_error);
  EXPECT_EQ(ThrowingImport::platformFramesUnwound, 2);
  // The boundaries are gone: the next call into the image returns normally.
  EXPECT_EQ(platform::callDriverCode(function<ReadIrql>(*image, kReadIrql)), PASSIVE_LEVEL);
}

// Only the forms listed are emulated: any other privileged instruction ends
// the process as it would without the loader (the fault goes to the handler
// installed before).
TEST(ImageLoaderDeathTest, LeavesOtherPrivilegedInstructionsFaulting) {
  auto image = LoadedImage::load(writeImage("tiny.sys", tinyImage()));
  // Killed by SIGSEGV, or ended by a sanitizer's report of it.
  EXPECT_DEATH(function<ReadIrql>(*image, kReadCr0)(), "");
}

TEST(ImageLoaderUnload, UnmapsTheImage) {
  auto image = LoadedImage::load(writeImage("tiny.sys", tinyImage()));
  const std::uintptr_t code = image->base() + 0x1000;
  image.reset();
  EXPECT_EQ(protectionAt(code), "unmapped");
  EXPECT_EQ(LoadedImage::containing(reinterpret_cast<void*>(code)), nullptr);
}

struct RefusedCase {
  const char* name;
  TinyImageOptions options;
  std::size_t truncateTo;  // 0: the whole file
  const char* message;
};

void PrintTo(const RefusedCase& row, std::ostream* os) { *os << row.name; }

class ImageLoaderRefuses : public testing::TestWithParam<RefusedCase> {};

TEST_P(ImageLoaderRefuses, NamingWhy) {
  auto bytes = tinyImage(GetParam().options);
  if (GetParam().truncateTo != 0) bytes.resize(GetParam().truncateTo);
  try {
    LoadedImage::load(writeImage("refused.sys", bytes));
    ADD_FAILURE() << "loaded";
  } catch (const ImageError& error) {
    EXPECT_EQ(std::string(error.what()), std::string("refused.sys: ") + GetParam().message);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ImageLoaderRefuses,
    testing::Values(
        RefusedCase{"MissingExport",
                    {.importFunction = "ExAllocatePool2"},
                    0,
                    "imports what the platform does not export: ntoskrnl.exe!ExAllocatePool2"},
        RefusedCase{"UnknownModule",
                    {.importModule = "win32k.sys"},
                    0,
                    "imports what the platform does not export: win32k.sys (a module the platform does not provide)"},
        RefusedCase{"NotX64", {.machine = 0x14C}, 0, "machine 0x14c is not x64 (0x8664)"},
        RefusedCase{"NotNative", {.subsystem = 2}, 0, "subsystem 2 is not native (1): not a kernel image"},
        RefusedCase{"CutShort", {}, 0x500, "section .text is cut short in the file"},
        RefusedCase{"NotPe", {}, 0x40, "not a PE image (no PE signature)"}),
    tav712::testing::RowName{});

}  // namespace
}  // namespace image_test
