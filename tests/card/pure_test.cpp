// Pure pieces of the card services: the card-state class change, the PTS
// request bytes, the ATR indicator nibble and the vendor answer layout.

#include <gtest/gtest.h>

#include "card/CardServices.h"

#include <array>
#include <cstring>

namespace {

// old state x new state -> changed, for every value 0..6.
TEST(CardStateClass, ChangesOnlyBetweenNoCardAndCardClassOrFromUnknown)
{
    for (ULONG oldState = SCARD_UNKNOWN; oldState <= SCARD_SPECIFIC; oldState++) {
        for (ULONG newState = SCARD_UNKNOWN; newState <= SCARD_SPECIFIC; newState++) {
            bool expected;
            if (oldState == SCARD_UNKNOWN) {
                expected = true;
            } else if (oldState == SCARD_ABSENT) {
                expected = newState >= SCARD_PRESENT;
            } else {
                expected = newState <= SCARD_ABSENT;
            }
            EXPECT_EQ(CardStateChanged(oldState, newState) != FALSE, expected)
                << "old " << oldState << " new " << newState;
        }
    }
}

struct PtsCase {
    ULONG protocol;
    UCHAR fl;
    UCHAR dl;
    std::array<UCHAR, 4> bytes;
};

TEST(PtsRequest, CarriesProtocolFactorsAndCheckCharacter)
{
    const PtsCase cases[] = {
        {SCARD_PROTOCOL_T1, 1, 1, {0xFF, 0x11, 0x11, 0xFF}},
        {SCARD_PROTOCOL_T0, 1, 1, {0xFF, 0x10, 0x11, 0xFE}},
        {SCARD_PROTOCOL_T1, 9, 4, {0xFF, 0x11, 0x94, 0x7A}},
        {SCARD_PROTOCOL_T0, 0, 0, {0xFF, 0x10, 0x00, 0xEF}},
    };
    for (const PtsCase &c : cases) {
        UCHAR request[PTS_REQUEST_LENGTH] = {};
        BuildPtsRequest(c.protocol, c.fl, c.dl, request);
        EXPECT_EQ(0, std::memcmp(request, c.bytes.data(), 4))
            << std::hex << int(request[0]) << ' ' << int(request[1]) << ' ' << int(request[2]) << ' '
            << int(request[3]);
    }
}

TEST(AtrIndicator, CountsTheAnnouncedInterfaceBytes)
{
    const std::array<ULONG, 16> expected = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4};
    for (UCHAR y = 0; y < 16; y++) {
        EXPECT_EQ(AtrInterfaceByteCount(y), expected[y]) << int(y);
    }
}

TEST(VendorVersion, IsEightLittleEndianBytes)
{
    VENDOR_VERSION_INFO info{};
    info.LibraryVersion = 0x150;
    info.DriverMajor = 1;
    info.FirmwareMajor = 2;
    info.FirmwareMinor = 3;
    const UCHAR expected[8] = {0x50, 0x01, 0x00, 0x00, 0x01, 0x00, 0x02, 0x03};
    static_assert(sizeof(info) == 8);
    EXPECT_EQ(0, std::memcmp(&info, expected, 8));
    EXPECT_EQ(IOCTL_VENDOR_GET_VERSION, 0x00312004u);
}

}  // namespace
