// The handler's entry points as pcscd calls them, on the built-in emulator
// (DEVICENAME "emulator:<knobs>") in real time. Every wait is bounded.

#include <gtest/gtest.h>

#include "ifd_codes.h"

#include <atomic>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using PollFunction = RESPONSECODE (*)(DWORD, int);

constexpr DWORD lun = 0;

class IfdHandler : public testing::Test {
 protected:
  void open(const std::string& device, DWORD reader = lun) {
    std::vector<char> name(device.begin(), device.end());
    name.push_back('\0');
    ASSERT_EQ(IFDHCreateChannelByName(reader, name.data()), IFD_SUCCESS) << device;
    opened_.push_back(reader);
  }
  void close(DWORD reader) {
    EXPECT_EQ(IFDHCloseChannel(reader), IFD_SUCCESS);
    std::erase(opened_, reader);
  }
  void TearDown() override {
    while (!opened_.empty()) close(opened_.back());
  }

  static RESPONSECODE powerUp(Bytes* atr = nullptr, DWORD reader = lun) {
    UCHAR buffer[MAX_ATR_SIZE];
    DWORD length = sizeof buffer;
    const RESPONSECODE code = IFDHPowerICC(reader, IFD_POWER_UP, buffer, &length);
    if (atr != nullptr) atr->assign(buffer, buffer + length);
    return code;
  }

  static RESPONSECODE transmit(DWORD protocol, Bytes command, Bytes& response, DWORD reader = lun,
                               DWORD capacity = 300) {
    SCARD_IO_HEADER send{protocol, 0};
    SCARD_IO_HEADER receive{0, 0};
    std::vector<UCHAR> buffer(capacity);
    DWORD length = capacity;
    const RESPONSECODE code = IFDHTransmitToICC(reader, send, command.data(), static_cast<DWORD>(command.size()),
                                                buffer.data(), &length, &receive);
    response.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
    return code;
  }

  // The function pcscd's polling thread calls, as the handler offers it.
  static PollFunction pollingFunction() {
    UCHAR value[sizeof(void*)];
    DWORD length = sizeof value;
    if (IFDHGetCapabilities(lun, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length, value) != IFD_SUCCESS) return nullptr;
    PollFunction poll = nullptr;
    std::memcpy(&poll, value, sizeof poll);
    return poll;
  }

  // A T=0 session on a powered card, and its first APDU.
  static void selectApplication(DWORD reader) {
    ASSERT_EQ(powerUp(nullptr, reader), IFD_SUCCESS);
    ASSERT_EQ(IFDHSetProtocolParameters(reader, SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_SUCCESS);
    Bytes response;
    ASSERT_EQ(transmit(0, selectCommand, response, reader), IFD_SUCCESS);
    EXPECT_EQ(response, (Bytes{0x90, 0x00}));
  }

  static inline const Bytes selectCommand{0x00, 0xA4, 0x04, 0x0C, 0x06, 0xA0, 0x00, 0x00, 0x07, 0x12, 0x01};
  std::vector<DWORD> opened_;
};

TEST_F(IfdHandler, ServesACardThroughTheDriver) {
  open("emulator:profile=dual");
  EXPECT_EQ(IFDHICCPresence(lun), IFD_ICC_PRESENT);

  Bytes atr;
  ASSERT_EQ(powerUp(&atr), IFD_SUCCESS);
  ASSERT_GE(atr.size(), 2u);
  EXPECT_EQ(atr[0], 0x3B);
  UCHAR value[64];
  DWORD length = sizeof value;
  ASSERT_EQ(IFDHGetCapabilities(lun, TAG_IFD_ATR, &length, value), IFD_SUCCESS);
  EXPECT_EQ(Bytes(value, value + length), atr);

  ASSERT_EQ(IFDHSetProtocolParameters(lun, SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_SUCCESS);
  Bytes response;
  ASSERT_EQ(transmit(0, selectCommand, response), IFD_SUCCESS);
  EXPECT_EQ(response, (Bytes{0x90, 0x00}));
  ASSERT_EQ(transmit(0, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x01}, response), IFD_SUCCESS);
  ASSERT_EQ(transmit(0, {0x00, 0xB0, 0x00, 0x00, 0x04}, response), IFD_SUCCESS);
  EXPECT_EQ(response, (Bytes{0x00, 0x01, 0x02, 0x03, 0x90, 0x00}));

  length = sizeof value;
  ASSERT_EQ(IFDHGetCapabilities(lun, SCARD_ATTR_VENDOR_NAME, &length, value), IFD_SUCCESS);
  EXPECT_STREQ(reinterpret_cast<const char*>(value), "Obelmar");
  length = sizeof value;
  EXPECT_EQ(IFDHGetCapabilities(lun, 0x00090100, &length, value), IFD_ERROR_TAG);

  EXPECT_EQ(IFDHPowerICC(lun, IFD_POWER_DOWN, nullptr, nullptr), IFD_SUCCESS);
}

TEST_F(IfdHandler, VendorRequestAndNothingElse) {
  open("emulator:profile=t0");
  UCHAR answer[16];
  DWORD returned = 0;
  ASSERT_EQ(IFDHControl(lun, SCARD_CTL_CODE(2049), nullptr, 0, answer, sizeof answer, &returned), IFD_SUCCESS);
  EXPECT_EQ(Bytes(answer, answer + returned), (Bytes{0x50, 0x01, 0x00, 0x00, 0x01, 0x00, 0x02, 0x03}));
  EXPECT_EQ(IFDHControl(lun, SCARD_CTL_CODE(3400), nullptr, 0, answer, sizeof answer, &returned),
            IFD_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(returned, 0u);
}

TEST_F(IfdHandler, EmptySlotRefusesPowerUp) {
  open("emulator:no-card");
  EXPECT_EQ(IFDHICCPresence(lun), IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(powerUp(), IFD_ERROR_POWER_ACTION);
}

TEST_F(IfdHandler, CardGoingMuteMidTransmitIsATimeout) {
  // The ATR (8 bytes) and the PTS answer (4) come; nothing after them.
  open("emulator:profile=t0,silent-after=12");
  ASSERT_EQ(powerUp(), IFD_SUCCESS);
  ASSERT_EQ(IFDHSetProtocolParameters(lun, SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_SUCCESS);
  Bytes response;
  EXPECT_EQ(transmit(0, {0x00, 0xB0, 0x00, 0x00, 0x04}, response), IFD_RESPONSE_TIMEOUT);
  EXPECT_TRUE(response.empty());
}

TEST_F(IfdHandler, CardMovementEndsThePollingFunction) {
  open("emulator:profile=t0,remove-at-ms=1500");  // late enough for a busy machine
  const PollFunction poll = pollingFunction();
  ASSERT_NE(poll, nullptr);
  EXPECT_EQ(IFDHICCPresence(lun), IFD_ICC_PRESENT);
  EXPECT_EQ(poll(lun, 10'000), IFD_SUCCESS);
  EXPECT_EQ(IFDHICCPresence(lun), IFD_ICC_NOT_PRESENT);
}

TEST_F(IfdHandler, UnpluggedReaderIsNoSuchDevice) {
  open("emulator:profile=t0,dsr-drop-ms=1500");
  const PollFunction poll = pollingFunction();
  ASSERT_NE(poll, nullptr);
  // The tracking request ends when the port closes behind it, or runs out.
  poll(lun, 5'000);
  EXPECT_EQ(IFDHICCPresence(lun), IFD_NO_SUCH_DEVICE);
  EXPECT_EQ(powerUp(), IFD_NO_SUCH_DEVICE);
}

TEST_F(IfdHandler, TransmitThatCannotFitIsRefusedAtOnce) {
  // A card that goes mute after the PTS: whatever reaches it ends in a
  // time-out, so a refusal shows the command never left the handler.
  open("emulator:profile=t0,silent-after=12");
  ASSERT_EQ(powerUp(), IFD_SUCCESS);
  ASSERT_EQ(IFDHSetProtocolParameters(lun, SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_SUCCESS);
  Bytes response;
  // READ BINARY asking for 256 bytes, with room for 100.
  EXPECT_EQ(transmit(0, {0x00, 0xB0, 0x00, 0x00, 0x00}, response, lun, 100), IFD_ERROR_INSUFFICIENT_BUFFER);
  // An extended command by T=0, which carries short commands only.
  Bytes extended{0x00, 0xD6, 0x00, 0x00, 0x00, 0x01, 0x2C};
  extended.insert(extended.end(), 300, 0x5A);
  EXPECT_EQ(transmit(0, extended, response), IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_TRUE(response.empty());
  EXPECT_EQ(IFDHICCPresence(lun), IFD_ICC_PRESENT);
}

TEST_F(IfdHandler, ServesEveryReaderAtTheSameTime) {
  constexpr DWORD muteReader = 1;
  open("emulator:profile=dual");
  open("emulator:profile=t0,silent-after=12", muteReader);
  UCHAR value[1];
  DWORD length = sizeof value;
  ASSERT_EQ(IFDHGetCapabilities(lun, TAG_IFD_SIMULTANEOUS_ACCESS, &length, value), IFD_SUCCESS);
  EXPECT_EQ(value[0], 10);
  ASSERT_EQ(IFDHGetCapabilities(lun, TAG_IFD_THREAD_SAFE, &length, value), IFD_SUCCESS);
  EXPECT_EQ(value[0], 1);

  ASSERT_EQ(powerUp(nullptr, muteReader), IFD_SUCCESS);
  ASSERT_EQ(IFDHSetProtocolParameters(muteReader, SCARD_PROTOCOL_T0, 0, 0, 0, 0), IFD_SUCCESS);
  // The mute card's transmit waits seconds for its time-out; the other
  // reader serves a whole session meanwhile.
  std::atomic<bool> muteEnded = false;
  std::thread slow([&] {
    Bytes response;
    EXPECT_EQ(transmit(0, {0x00, 0xB0, 0x00, 0x00, 0x04}, response, muteReader), IFD_RESPONSE_TIMEOUT);
    muteEnded = true;
  });
  selectApplication(lun);
  Bytes response;
  EXPECT_EQ(transmit(0, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x01}, response), IFD_SUCCESS);
  EXPECT_EQ(transmit(0, {0x00, 0xB0, 0x00, 0x00, 0x04}, response), IFD_SUCCESS);
  EXPECT_EQ(response, (Bytes{0x00, 0x01, 0x02, 0x03, 0x90, 0x00}));
  EXPECT_FALSE(muteEnded) << "the readers were served one after the other";
  slow.join();
}

TEST_F(IfdHandler, UnpluggedReaderLeavesTheOthersServing) {
  constexpr DWORD unplugged = 0x00010000;
  open("emulator:profile=t0", lun);
  // Late enough for the reader's start even on a busy machine.
  open("emulator:profile=t0,dsr-drop-ms=1500", unplugged);
  selectApplication(lun);
  UCHAR value[sizeof(void*)];
  DWORD length = sizeof value;
  ASSERT_EQ(IFDHGetCapabilities(unplugged, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT, &length, value), IFD_SUCCESS);
  PollFunction poll = nullptr;
  std::memcpy(&poll, value, sizeof poll);
  poll(unplugged, 5'000);
  ASSERT_EQ(IFDHICCPresence(unplugged), IFD_NO_SUCH_DEVICE);

  Bytes response;
  EXPECT_EQ(IFDHICCPresence(lun), IFD_ICC_PRESENT);
  EXPECT_EQ(transmit(0, selectCommand, response), IFD_SUCCESS);
  close(unplugged);
  EXPECT_EQ(transmit(0, selectCommand, response), IFD_SUCCESS);
  EXPECT_EQ(response, (Bytes{0x90, 0x00}));
  // pcscd may give the unplugged reader's channel again, to a new reader.
  open("emulator:profile=t0", unplugged);
  selectApplication(unplugged);
}

TEST(IfdHandlerChannel, UnknownDeviceIsRefused) {
  char name[] = "/dev/no-such-tty";
  EXPECT_EQ(IFDHCreateChannelByName(7, name), IFD_NO_SUCH_DEVICE);
  EXPECT_EQ(IFDHICCPresence(7), IFD_NO_SUCH_DEVICE);
}

}  // namespace
