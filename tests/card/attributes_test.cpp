// Reader attributes as the library reports them, and the vendor request.

#include "card_fixture.h"

#include <cstring>

namespace tav712::testing {
namespace {

TEST(ReaderAttributes, FillTheLibraryRecordForANewDevice)
{
    CardHarness card;
    PSMARTCARD_EXTENSION smartcard = card.smartcard();
    EXPECT_EQ(smartcard->Version, 0x150u);
    EXPECT_EQ(smartcard->ReaderFunction[RDF_CARD_POWER], CardPower);
    EXPECT_EQ(smartcard->ReaderFunction[RDF_TRANSMIT], Transmit);
    EXPECT_EQ(smartcard->ReaderFunction[RDF_CARD_TRACKING], CardTracking);
    EXPECT_EQ(smartcard->ReaderFunction[RDF_SET_PROTOCOL], SetProtocol);
    EXPECT_EQ(smartcard->ReaderFunction[RDF_IOCTL_VENDOR], VendorIoctl);
    for (int slot : {RDF_CARD_EJECT, RDF_READER_SWALLOW, RDF_DEBUG_LEVEL, RDF_CARD_CONFISCATE, RDF_ATR_PARSE}) {
        EXPECT_EQ(smartcard->ReaderFunction[slot], nullptr) << slot;
    }

    EXPECT_EQ(smartcard->VendorAttr.VendorName.Length, 8);
    EXPECT_EQ(0, std::memcmp(smartcard->VendorAttr.VendorName.Buffer, "Obelmar\0", 8));
    EXPECT_EQ(smartcard->VendorAttr.IfdType.Length, 11);
    EXPECT_EQ(0, std::memcmp(smartcard->VendorAttr.IfdType.Buffer, "PnP TAV712\0", 11));
    EXPECT_EQ(smartcard->VendorAttr.IfdSerialNo.Length, 0);
    EXPECT_EQ(smartcard->VendorAttr.IfdVersion.BuildNumber, 0);
    EXPECT_EQ(smartcard->VendorAttr.UnitNo, card.h().deviceExtension()->DeviceInstance);

    const SCARD_READER_CAPABILITIES &reader = smartcard->ReaderCapabilities;
    EXPECT_EQ(reader.SupportedProtocols, ULONG{SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1});
    EXPECT_EQ(reader.ReaderType, ULONG{SCARD_READER_TYPE_SERIAL});
    EXPECT_EQ(reader.MechProperties, 0u);
    EXPECT_EQ(reader.Channel, 0u);
    EXPECT_EQ(reader.PowerMgmtSupport, 0u);
    EXPECT_EQ(reader.CLKFrequency.Default, 3580u);
    EXPECT_EQ(reader.CLKFrequency.Max, 3580u);
    EXPECT_EQ(reader.DataRate.Default, 9600u);
    EXPECT_EQ(reader.DataRate.Max, 9600u);
    ASSERT_EQ(reader.DataRatesSupported.Entries, 1);
    EXPECT_EQ(reader.DataRatesSupported.List[0], 9600u);
    EXPECT_EQ(reader.MaxIFSD, 254u);
    EXPECT_EQ(smartcard->SmartcardRequest.BufferSize, 576u);
    EXPECT_EQ(smartcard->SmartcardReply.BufferSize, 576u);
}

TEST(ReaderAttributes, FirmwareVersionIsRecordedOnRequest)
{
    CardHarness card;
    ASSERT_EQ(card.startAndOpen(), STATUS_SUCCESS);
    EXPECT_EQ(card.smartcard()->VendorAttr.IfdVersion.VersionMajor, 0) << "not read yet at creation";
    card.h().call([&] { RecordFirmwareVersion(card.smartcard()); });
    EXPECT_EQ(card.smartcard()->VendorAttr.IfdVersion.VersionMajor, 2);
    EXPECT_EQ(card.smartcard()->VendorAttr.IfdVersion.VersionMinor, 3);
}

struct VendorRow {
    ULONG code;
    ULONG outputLength;
    NTSTATUS status;
    ULONG_PTR information;
};

TEST(VendorRequest, AnswersTheVersionInEightBytesAndRefusesTheRest)
{
    CardHarness card;  // firmware register 0x23
    ASSERT_EQ(card.startAndOpen(), STATUS_SUCCESS);
    const VendorRow rows[] = {
        {IOCTL_VENDOR_GET_VERSION, 8, STATUS_SUCCESS, 8},
        {IOCTL_VENDOR_GET_VERSION, 7, STATUS_BUFFER_TOO_SMALL, 0},
        {IOCTL_VENDOR_GET_VERSION, 0, STATUS_BUFFER_TOO_SMALL, 0},
        {IOCTL_VENDOR_GET_VERSION, 32, STATUS_SUCCESS, 8},
        {CTL_CODE(FILE_DEVICE_SMARTCARD, 2050, METHOD_BUFFERED, FILE_ANY_ACCESS), 8,
         STATUS_INVALID_DEVICE_REQUEST, 0},
        {CTL_CODE(FILE_DEVICE_SMARTCARD, 2049, METHOD_BUFFERED, FILE_READ_ACCESS), 8,
         STATUS_INVALID_DEVICE_REQUEST, 0},
    };
    const Bytes version = {0x50, 0x01, 0x00, 0x00, 0x01, 0x00, 0x02, 0x03};
    for (const VendorRow &row : rows) {
        SCOPED_TRACE(::testing::Message() << std::hex << row.code << " out " << std::dec << row.outputLength);
        IoctlResult result = card.ioctl(row.code, {}, row.outputLength);
        EXPECT_EQ(result.status, row.status);
        EXPECT_EQ(result.information, row.information);
        if (row.status == STATUS_SUCCESS) {
            EXPECT_EQ(hex(result.output), hex(version));
        } else {
            EXPECT_TRUE(result.output.empty());
        }
    }
}

}  // namespace
}  // namespace tav712::testing
