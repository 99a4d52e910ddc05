// Reader attributes as the library reports them, and the vendor request.

#include "card_fixture.h"

#include <cstring>

namespace tav712::testing {
namespace {

// What the library reports for a new device; the card services it calls are
// exercised by every other card test.
TEST(ReaderAttributes, FillTheLibraryRecordForANewDevice)
{
    CardHarness card;
    PSMARTCARD_EXTENSION smartcard = card.smartcard();
    for (int slot : {RDF_CARD_EJECT, RDF_READER_SWALLOW, RDF_DEBUG_LEVEL, RDF_CARD_CONFISCATE, RDF_ATR_PARSE}) {
        EXPECT_EQ(smartcard->ReaderFunction[slot], nullptr) << slot;
    }
    // The lengths count the terminating NUL.
    EXPECT_EQ(smartcard->VendorAttr.VendorName.Length, 8);
    EXPECT_EQ(0, std::memcmp(smartcard->VendorAttr.VendorName.Buffer, "Obelmar\0", 8));
    EXPECT_EQ(smartcard->VendorAttr.IfdType.Length, 11);
    EXPECT_EQ(0, std::memcmp(smartcard->VendorAttr.IfdType.Buffer, "PnP TAV712\0", 11));
    EXPECT_EQ(smartcard->VendorAttr.UnitNo, card.h().deviceExtension()->DeviceInstance);

    const SCARD_READER_CAPABILITIES &reader = smartcard->ReaderCapabilities;
    EXPECT_EQ(reader.SupportedProtocols, ULONG{SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1});
    EXPECT_EQ(reader.ReaderType, ULONG{SCARD_READER_TYPE_SERIAL});
    EXPECT_EQ(reader.CLKFrequency.Max, 3580u);
    EXPECT_EQ(reader.DataRate.Max, 9600u);
    ASSERT_EQ(reader.DataRatesSupported.Entries, 1);
    EXPECT_EQ(reader.DataRatesSupported.List[0], 9600u);
    EXPECT_EQ(reader.MaxIFSD, 254u);
    EXPECT_EQ(smartcard->SmartcardReply.BufferSize, 576u);
}

struct VendorRow {
    ULONG code;
    ULONG outputLength;
    NTSTATUS status;
};

// The firmware register holds 0x23: version 2.3.
TEST(VendorRequest, AnswersTheVersionInEightBytesAndRefusesTheRest)
{
    CardHarness card;
    ASSERT_EQ(card.startAndOpen(), STATUS_SUCCESS);
    const VendorRow rows[] = {
        {IOCTL_VENDOR_GET_VERSION, 8, STATUS_SUCCESS},
        {IOCTL_VENDOR_GET_VERSION, 7, STATUS_BUFFER_TOO_SMALL},
        {IOCTL_VENDOR_GET_VERSION, 0, STATUS_BUFFER_TOO_SMALL},
        {IOCTL_VENDOR_GET_VERSION, 32, STATUS_SUCCESS},
        {CTL_CODE(FILE_DEVICE_SMARTCARD, 2050, METHOD_BUFFERED, FILE_ANY_ACCESS), 8, STATUS_INVALID_DEVICE_REQUEST},
        {CTL_CODE(FILE_DEVICE_SMARTCARD, 2049, METHOD_BUFFERED, FILE_READ_ACCESS), 8, STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const VendorRow &row : rows) {
        SCOPED_TRACE(::testing::Message() << std::hex << row.code << " out " << std::dec << row.outputLength);
        IoctlResult result = card.ioctl(row.code, {}, row.outputLength);
        EXPECT_EQ(result.status, row.status);
        const bool answered = row.status == STATUS_SUCCESS;
        EXPECT_EQ(result.information, answered ? 8u : 0u);
        EXPECT_EQ(hex(result.output), answered ? "50 01 00 00 01 00 02 03" : "");
    }

    // The library record keeps 0.0 until the version is recorded on request.
    EXPECT_EQ(card.smartcard()->VendorAttr.IfdVersion.VersionMajor, 0);
    card.h().call([&] { RecordFirmwareVersion(card.smartcard()); });
    EXPECT_EQ(card.smartcard()->VendorAttr.IfdVersion.VersionMajor, 2);
    EXPECT_EQ(card.smartcard()->VendorAttr.IfdVersion.VersionMinor, 3);
}

}  // namespace
}  // namespace tav712::testing
