// The vendor request: the firmware version through the library's vendor hook.

#include "card_fixture.h"

namespace tav712::testing {
namespace {

struct VendorRow {
  ULONG code;
  ULONG outputLength;
  NTSTATUS status;
};

// The firmware register holds 0x2C: version 2.12, a minor version with its
// top bit set.
TEST(VendorRequest, AnswersTheVersionInEightBytesAndRefusesTheRest) {
  emulator::EmulatorKnobs knobs;
  knobs.reader.firmwareVersion = 0x2C;
  CardHarness card({.line = EmulatorLine{knobs}});
  ASSERT_EQ(card.startAndOpen(), STATUS_SUCCESS);
  const VendorRow rows[] = {
      {IOCTL_VENDOR_GET_VERSION, 8, STATUS_SUCCESS},
      {IOCTL_VENDOR_GET_VERSION, 7, STATUS_BUFFER_TOO_SMALL},
      {CTL_CODE(FILE_DEVICE_SMARTCARD, 2050, METHOD_BUFFERED, FILE_ANY_ACCESS), 8, STATUS_INVALID_DEVICE_REQUEST},
      {CTL_CODE(FILE_DEVICE_SMARTCARD, 2049, METHOD_BUFFERED, FILE_READ_ACCESS), 8, STATUS_INVALID_DEVICE_REQUEST},
  };
  for (const VendorRow& row : rows) {
    SCOPED_TRACE(::testing::Message() << std::hex << row.code << " out " << std::dec << row.outputLength);
    IoctlResult result = card.ioctl(row.code, {}, row.outputLength);
    EXPECT_EQ(result.status, row.status);
    const bool answered = row.status == STATUS_SUCCESS;
    EXPECT_EQ(result.information, answered ? 8u : 0u);
    EXPECT_EQ(hex(result.output), answered ? "50 01 00 00 01 00 02 0C" : "");
  }
}

}  // namespace
}  // namespace tav712::testing
