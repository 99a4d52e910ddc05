// The library behind a driver-shaped double, reached as an application
// reaches a reader: open the interface, send smart card control requests.
#include "reader_double.h"
#include "smclib_fixture.h"

#include <platform/testing.h>

#include <chrono>
#include <cstring>
#include <string>

namespace smclib_test {
namespace {

using namespace std::chrono_literals;

Bytes ulong(ULONG value) {
  Bytes bytes(4);
  std::memcpy(bytes.data(), &value, 4);
  return bytes;
}

ULONG ulongAt(const Bytes& bytes) {
  ULONG value = 0;
  if (bytes.size() >= 4) std::memcpy(&value, bytes.data(), 4);
  return value;
}

Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes ioHeader(ULONG protocol, ULONG length = 8) { return cat(ulong(protocol), ulong(length)); }

enum class Stage { NoCard, CardPresent, Reset, SpecificT1 };

class ReaderTest : public platform::testing::SystemTest {
 protected:
  void SetUp() override {
    readerDouble = ReaderDouble{};
    readerDouble.atr = t1Atr(32, false);
    readerDouble.t1Card = std::make_unique<T1CardPeer>(T1CardPeer::Script{}, [](const Bytes& command) {
      return cat(command, {0x90, 0x00});
    });
    bus = system.pnp().loadDriver("smcbus", BusDoubleEntry).driver;
    reader = system.pnp().loadDriver("smcreader", ReaderDoubleEntry).driver;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\SmcBus0");
    ASSERT_EQ(IoCreateDevice(bus, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &pdo), STATUS_SUCCESS);
    pdo->Flags &= ~ULONG{DO_DEVICE_INITIALIZING};
    ASSERT_EQ(system.pnp().addDevice(reader, pdo), STATUS_SUCCESS);
    ASSERT_EQ(system.pnp().start(pdo), STATUS_SUCCESS);
    auto links = system.io().interfaces(readerInterfaceGuid());
    ASSERT_EQ(links.size(), 1u);
    auto opened = system.io().open(links.front());
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    handle = opened.handle;
  }

  void TearDown() override {
    if (handle) system.io().close(handle);
    if (pdo != nullptr) {
      if (pdo->AttachedDevice != nullptr) {
        EXPECT_EQ(system.pnp().remove(pdo), STATUS_SUCCESS);
      }
      IoDeleteDevice(pdo);
    }
    system.pnp().unloadDriver(reader);
    system.pnp().unloadDriver(bus);
    readerDouble.t1Card.reset();
  }

  platform::IoResult ioctl(ULONG code, const Bytes& input, ULONG outputLength) {
    return system.io().deviceControl(handle, code, input, outputLength);
  }

  void card(bool present) {
    system.scheduler().run([present] { reportCard(present); }, "card event");
  }

  void reach(Stage stage) {
    if (stage == Stage::NoCard) return;
    card(true);
    if (stage == Stage::CardPresent) return;
    ASSERT_EQ(ioctl(IOCTL_SMARTCARD_POWER, ulong(SCARD_COLD_RESET), 64).status, STATUS_SUCCESS);
    if (stage == Stage::Reset) return;
    ASSERT_EQ(ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, ulong(SCARD_PROTOCOL_T1), 4).status, STATUS_SUCCESS);
  }

  ULONG state() { return ulongAt(ioctl(IOCTL_SMARTCARD_GET_STATE, {}, 4).output); }

  // A card-tracking request left waiting in the library.
  auto park(ULONG code) {
    auto waiting = system.io().deviceControlAsync(handle, code, {}, 0);
    system.scheduler().runUntilIdle();
    return waiting;
  }

  PDRIVER_OBJECT bus = nullptr;
  PDRIVER_OBJECT reader = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  platform::Handle handle;
};

// ---------------------------------------------------------------- buffers

struct BufferCase {
  std::string name;
  Stage stage;
  ULONG code;
  Bytes input;
  ULONG outputLength;
  NTSTATUS expected;  // a success fills the output exactly; a failure returns nothing
};

void PrintTo(const BufferCase& bufferCase, std::ostream* os) { *os << bufferCase.name; }

class BufferChecks : public ReaderTest, public ::testing::WithParamInterface<BufferCase> {};

TEST_P(BufferChecks, GiveTheirStatusAndNoMore) {
  const BufferCase& c = GetParam();
  reach(c.stage);
  const auto result = ioctl(c.code, c.input, c.outputLength);
  EXPECT_EQ(result.status, c.expected);
  EXPECT_EQ(result.information, NT_SUCCESS(c.expected) ? c.outputLength : 0u);
}

const Bytes kApdu = {0x00, 0xB0, 0x00, 0x00, 0x04};
const ULONG kAtrLength = 7;  // t1Atr(): TS T0 TD1 TD2 TA3 TB3 TCK
const Bytes kT1Apdu = cat(ioHeader(2), kApdu);
using enum Stage;

const BufferCase kBufferCases[] = {
    {"PowerWithShortInput", CardPresent, IOCTL_SMARTCARD_POWER, {1, 0, 0}, 64, STATUS_INVALID_PARAMETER},
    {"PowerWithUnknownCode", CardPresent, IOCTL_SMARTCARD_POWER, ulong(3), 64, STATUS_INVALID_DEVICE_REQUEST},
    {"ResetWithOutputOneShort", CardPresent, IOCTL_SMARTCARD_POWER, ulong(SCARD_COLD_RESET), kAtrLength - 1,
     STATUS_BUFFER_TOO_SMALL},
    {"ResetWithExactOutput", CardPresent, IOCTL_SMARTCARD_POWER, ulong(SCARD_WARM_RESET), kAtrLength, STATUS_SUCCESS},
    {"AttributeWithoutTag", NoCard, IOCTL_SMARTCARD_GET_ATTRIBUTE, {}, 64, STATUS_INVALID_PARAMETER},
    {"AttributeOneByteShort", NoCard, IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong(SCARD_ATTR_VENDOR_NAME), 7,
     STATUS_BUFFER_TOO_SMALL},
    {"UnknownAttribute", NoCard, IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong(0x00090999), 64, STATUS_NOT_SUPPORTED},
    {"CardAttributeWithoutCard", NoCard, IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong(SCARD_ATTR_ATR_STRING), 64,
     STATUS_NO_MEDIA_IN_DEVICE},
    {"CardAttributeBeforeReset", CardPresent, IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong(SCARD_ATTR_CURRENT_F), 64,
     STATUS_INVALID_DEVICE_STATE},
    {"SetAttributeWithoutValue", NoCard, IOCTL_SMARTCARD_SET_ATTRIBUTE, ulong(SCARD_ATTR_SUPRESS_T1_IFS_REQUEST), 0,
     STATUS_INVALID_PARAMETER},
    {"SetReadOnlyAttribute", NoCard, IOCTL_SMARTCARD_SET_ATTRIBUTE, cat(ulong(SCARD_ATTR_MAX_IFSD), ulong(32)), 0,
     STATUS_NOT_SUPPORTED},
    {"ProtocolWithShortOutput", Reset, IOCTL_SMARTCARD_SET_PROTOCOL, ulong(SCARD_PROTOCOL_T1), 3,
     STATUS_BUFFER_TOO_SMALL},
    {"ProtocolOnlyDefaultFlag", Reset, IOCTL_SMARTCARD_SET_PROTOCOL, ulong(SCARD_PROTOCOL_DEFAULT), 4,
     STATUS_INVALID_DEVICE_REQUEST},
    {"ProtocolBeforeReset", CardPresent, IOCTL_SMARTCARD_SET_PROTOCOL, ulong(SCARD_PROTOCOL_T1), 4,
     STATUS_INVALID_DEVICE_STATE},
    {"ProtocolDefaultAndT1", Reset, IOCTL_SMARTCARD_SET_PROTOCOL, ulong(SCARD_PROTOCOL_DEFAULT | SCARD_PROTOCOL_T1), 4,
     STATUS_SUCCESS},
    {"TransmitWithoutHeader",
     SpecificT1,
     IOCTL_SMARTCARD_TRANSMIT,
     {2, 0, 0, 0, 8, 0, 0},
     64,
     STATUS_INVALID_PARAMETER},
    {"TransmitHeaderLengthTooSmall", SpecificT1, IOCTL_SMARTCARD_TRANSMIT, cat(ioHeader(2, 4), kApdu), 64,
     STATUS_INVALID_PARAMETER},
    {"TransmitHeaderLengthBeyondInput", SpecificT1, IOCTL_SMARTCARD_TRANSMIT, cat(ioHeader(2, 20), kApdu), 64,
     STATUS_INVALID_PARAMETER},
    {"TransmitOutputWithoutRoomForHeader", SpecificT1, IOCTL_SMARTCARD_TRANSMIT, kT1Apdu, 7, STATUS_BUFFER_TOO_SMALL},
    {"TransmitAnswerLongerThanOutput", SpecificT1, IOCTL_SMARTCARD_TRANSMIT, kT1Apdu, 8 + 6, STATUS_BUFFER_TOO_SMALL},
    {"TransmitOtherProtocol", SpecificT1, IOCTL_SMARTCARD_TRANSMIT, cat(ioHeader(1), kApdu), 64,
     STATUS_INVALID_DEVICE_REQUEST},
    {"TransmitOversizedCommand", SpecificT1, IOCTL_SMARTCARD_TRANSMIT, cat(ioHeader(2), Bytes(70000, 0x11)), 64,
     STATUS_INVALID_PARAMETER},
    {"TransmitExactOutput", SpecificT1, IOCTL_SMARTCARD_TRANSMIT, kT1Apdu, 8 + 7, STATUS_SUCCESS},
    {"StateIntoThreeBytes", NoCard, IOCTL_SMARTCARD_GET_STATE, {}, 3, STATUS_BUFFER_TOO_SMALL},
    {"EjectWithoutMechanism", Reset, IOCTL_SMARTCARD_EJECT, {}, 0, STATUS_NOT_SUPPORTED},
    {"CodeOfAnotherDeviceType",
     NoCard,
     CTL_CODE(FILE_DEVICE_SERIAL_PORT, 2049, METHOD_BUFFERED, FILE_ANY_ACCESS),
     {},
     64,
     STATUS_INVALID_DEVICE_REQUEST},
    {"NeitherMethodCode",
     NoCard,
     CTL_CODE(FILE_DEVICE_SMARTCARD, 1, METHOD_NEITHER, FILE_ANY_ACCESS),
     {},
     64,
     STATUS_INVALID_DEVICE_REQUEST},
    {"CodeJustBelowVendorRange", NoCard, SCARD_CTL_CODE(2047), {}, 8, STATUS_INVALID_DEVICE_REQUEST},
};

INSTANTIATE_TEST_SUITE_P(Requests, BufferChecks, ::testing::ValuesIn(kBufferCases),
                         [](const auto& paramInfo) { return paramInfo.param.name; });

// ------------------------------------------------------------ attributes

struct AttributeCase {
  std::string name;
  ULONG tag;
  Bytes value;
};

void PrintTo(const AttributeCase& attribute, std::ostream* os) { *os << attribute.name; }

class Attributes : public ReaderTest, public ::testing::WithParamInterface<AttributeCase> {};

TEST_P(Attributes, AreEncodedByteForByte) {
  reach(Stage::SpecificT1);
  const auto result = ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong(GetParam().tag), 64);
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.output, GetParam().value);
}

const AttributeCase kAttributes[] = {
    {"VendorName", SCARD_ATTR_VENDOR_NAME, {'O', 'b', 'e', 'l', 'm', 'a', 'r', 0}},
    {"IfdVersion", SCARD_ATTR_VENDOR_IFD_VERSION, {0x04, 0x03, 0x02, 0x01}},
    {"SerialNumber", SCARD_ATTR_VENDOR_IFD_SERIAL_NO, {'S', 'N', '-', '4', '2'}},
    {"ChannelId", SCARD_ATTR_CHANNEL_ID, {3, 0, 1, 0}},
    {"CurrentProtocol", SCARD_ATTR_CURRENT_PROTOCOL_TYPE, {2, 0, 0, 0}},
    {"CurrentF", SCARD_ATTR_CURRENT_F, {0x74, 0x01, 0, 0}},
    {"CurrentBwt", SCARD_ATTR_CURRENT_BWT, {4, 0, 0, 0}},
    {"AtrString", SCARD_ATTR_ATR_STRING, t1Atr(32, false)},
    {"IccPresence", SCARD_ATTR_ICC_PRESENCE, {2}},
};

INSTANTIATE_TEST_SUITE_P(Tags, Attributes, ::testing::ValuesIn(kAttributes),
                         [](const auto& paramInfo) { return paramInfo.param.name; });

TEST_F(ReaderTest, SuppressedIfsRequestKeepsIfsd32) {
  reach(Stage::SpecificT1);
  ASSERT_EQ(ioctl(IOCTL_SMARTCARD_SET_ATTRIBUTE, cat(ulong(SCARD_ATTR_SUPRESS_T1_IFS_REQUEST), {1}), 0).status,
            STATUS_SUCCESS);
  ASSERT_EQ(ioctl(IOCTL_SMARTCARD_TRANSMIT, kT1Apdu, 64).status, STATUS_SUCCESS);
  EXPECT_EQ(readerDouble.t1Card->receivedPcbs.front(), 0x00);  // an I-block first
  EXPECT_EQ(ulongAt(ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong(SCARD_ATTR_CURRENT_IFSD), 4).output), 32u);
}

// ------------------------------------------------------------ state model

TEST_F(ReaderTest, StatesFollowPowerAndProtocol) {
  EXPECT_EQ(state(), static_cast<ULONG>(SCARD_UNKNOWN));
  card(true);
  EXPECT_EQ(state(), static_cast<ULONG>(SCARD_PRESENT));
  const auto reset = ioctl(IOCTL_SMARTCARD_POWER, ulong(SCARD_COLD_RESET), 64);
  EXPECT_EQ(reset.output, t1Atr(32, false));
  EXPECT_EQ(state(), static_cast<ULONG>(SCARD_NEGOTIABLE));
  const auto selected = ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, ulong(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), 4);
  EXPECT_EQ(ulongAt(selected.output), static_cast<ULONG>(SCARD_PROTOCOL_T1));
  EXPECT_EQ(state(), static_cast<ULONG>(SCARD_SPECIFIC));
  EXPECT_EQ(ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, ulong(SCARD_PROTOCOL_T0), 4).status, STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(ioctl(IOCTL_SMARTCARD_POWER, ulong(SCARD_POWER_DOWN), 0).status, STATUS_SUCCESS);
  EXPECT_EQ(state(), static_cast<ULONG>(SCARD_PRESENT));
  card(false);
  EXPECT_EQ(state(), static_cast<ULONG>(SCARD_ABSENT));
  EXPECT_EQ(ioctl(IOCTL_SMARTCARD_POWER, ulong(SCARD_COLD_RESET), 64).status, STATUS_NO_MEDIA_IN_DEVICE);
}

TEST_F(ReaderTest, SpecificModeCardIsSpecificAfterReset) {
  readerDouble.atr = withTck({0x3B, 0x90, 0x13, 0x91, 0x01, 0x31, 0x20, 0x45});
  reach(Stage::Reset);
  EXPECT_EQ(state(), static_cast<ULONG>(SCARD_SPECIFIC));
  EXPECT_EQ(ioctl(IOCTL_SMARTCARD_TRANSMIT, kT1Apdu, 64).status, STATUS_SUCCESS);
}

TEST_F(ReaderTest, FailedResetLeavesTheCardUnpowered) {
  reach(Stage::SpecificT1);
  readerDouble.resetStatus = STATUS_UNRECOGNIZED_MEDIA;
  EXPECT_EQ(ioctl(IOCTL_SMARTCARD_POWER, ulong(SCARD_COLD_RESET), 64).status, STATUS_UNRECOGNIZED_MEDIA);
  EXPECT_EQ(ulongAt(ioctl(IOCTL_SMARTCARD_GET_LAST_ERROR, {}, 4).output),
            static_cast<ULONG>(STATUS_UNRECOGNIZED_MEDIA));
  EXPECT_EQ(state(), static_cast<ULONG>(SCARD_PRESENT));
  EXPECT_EQ(ioctl(IOCTL_SMARTCARD_TRANSMIT, kT1Apdu, 64).status, STATUS_INVALID_DEVICE_STATE);
}

TEST_F(ReaderTest, AtrWithoutContentIsNotAReset) {
  readerDouble.atr = {0x3B, 0x00};
  reach(Stage::CardPresent);
  EXPECT_EQ(ioctl(IOCTL_SMARTCARD_POWER, ulong(SCARD_COLD_RESET), 64).status, STATUS_UNRECOGNIZED_MEDIA);
  EXPECT_EQ(state(), static_cast<ULONG>(SCARD_PRESENT));
}

TEST_F(ReaderTest, ResetAsksForTheOptimalProposalAgain) {
  readerDouble.atr = {0x3B, 0x10, 0x13};
  reach(Stage::CardPresent);
  auto& smartcard = readerDouble.smartcard();
  smartcard.CardCapabilities.PtsData.Type = PTS_TYPE_USER;
  ASSERT_EQ(ioctl(IOCTL_SMARTCARD_POWER, ulong(SCARD_COLD_RESET), 64).status, STATUS_SUCCESS);
  EXPECT_NE(smartcard.CardCapabilities.PtsData.Type, PTS_TYPE_USER);
}

// --------------------------------------------------------- card tracking

TEST_F(ReaderTest, TrackingCompletesAtOnceWhenTheStateMatches) {
  EXPECT_EQ(ioctl(IOCTL_SMARTCARD_IS_ABSENT, {}, 0).status, STATUS_SUCCESS);
  card(true);
  EXPECT_EQ(ioctl(IOCTL_SMARTCARD_IS_PRESENT, {}, 0).status, STATUS_SUCCESS);  // not left pending
}

TEST_F(ReaderTest, SecondWaiterIsRefused) {
  auto first = park(IOCTL_SMARTCARD_IS_PRESENT);
  EXPECT_EQ(ioctl(IOCTL_SMARTCARD_IS_PRESENT, {}, 0).status, STATUS_DEVICE_BUSY);
  first.cancel();
  EXPECT_EQ(first.wait().status, STATUS_CANCELLED);
}

TEST_F(ReaderTest, TrackingWithoutCallbackIsNotSupported) {
  readerDouble.smartcard().ReaderFunction[RDF_CARD_TRACKING] = nullptr;
  EXPECT_EQ(ioctl(IOCTL_SMARTCARD_IS_PRESENT, {}, 0).status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(readerDouble.smartcard().OsData->NotificationIrp, nullptr);
}

// ---------------------------------------------- remove lock, log, set-up

TEST_F(ReaderTest, ReleaseAndWaitWaitsForEveryHolder) {
  auto& smartcard = readerDouble.smartcard();
  system.scheduler().run([&] {
    ASSERT_EQ(SmartcardAcquireRemoveLock(&smartcard), STATUS_SUCCESS);
    system.scheduler().callAfter(
        5ms, [&] { SmartcardReleaseRemoveLock(&smartcard); }, DISPATCH_LEVEL);
  });
  const auto before = system.scheduler().now();
  // The PnP removal releases the device's hold and waits for the holder.
  EXPECT_EQ(system.pnp().remove(pdo), STATUS_SUCCESS);
  EXPECT_EQ(system.scheduler().now() - before, 5ms);
  EXPECT_EQ(readerDouble.device, nullptr);
}

// An entry keeps code, object, insertion string and dump data; a string too
// long for an entry is cut, not dropped.
TEST_F(ReaderTest, LogErrorWritesWhatFitsAnEntry) {
  UNICODE_STRING com3;
  const std::u16string longText(400, u'x');
  UNICODE_STRING tooLong{static_cast<USHORT>(longText.size() * 2), static_cast<USHORT>(longText.size() * 2),
                         const_cast<PWSTR>(longText.data())};
  system.scheduler().run([&] {
    RtlInitUnicodeString(&com3, u"COM3");
    SmartcardLogError(readerDouble.device, static_cast<NTSTATUS>(0xC0040004u), &com3, 7);
    SmartcardLogError(readerDouble.device, static_cast<NTSTATUS>(0xC0040004u), &tooLong, 0);
  });
  const auto entries = system.eventLog().entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].code, static_cast<NTSTATUS>(0xC0040004u));
  EXPECT_EQ(entries[0].object, readerDouble.device);
  EXPECT_EQ(entries[0].dumpData, std::vector<ULONG>{7});
  EXPECT_EQ(entries[0].strings.substr(0, 4), u"COM3");
  EXPECT_FALSE(entries[1].strings.empty());
  EXPECT_LT(entries[1].strings.size(), longText.size());
}

class InitializeTest : public platform::testing::SystemTest {};

TEST_F(InitializeTest, FailsCleanlyAndLeavesNothingAllocated) {
  for (auto kind : {platform::fault::kSmartcardInitialize, platform::fault::kPool}) {
    for (std::uint64_t call = 1; call <= 4; ++call) {
      system.faults().reset();
      system.faults().failCall(kind, call);
      ExtensionFixture fixture;
      fixture.extension.SmartcardRequest.Buffer = nullptr;
      fixture.extension.SmartcardReply.Buffer = nullptr;
      NTSTATUS status = STATUS_UNSUCCESSFUL;
      system.scheduler().run([&] { status = SmartcardInitialize(&fixture.extension); });
      if (NT_SUCCESS(status)) {
        EXPECT_NE(fixture.extension.OsData, nullptr);
        system.scheduler().run([&] { SmartcardExit(&fixture.extension); });
      } else {
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
      }
      EXPECT_EQ(fixture.extension.OsData, nullptr);
      EXPECT_EQ(system.poolBlocks(SMARTCARD_POOL_TAG), 0u) << kind << " call " << call;
    }
  }
}

}  // namespace
}  // namespace smclib_test
