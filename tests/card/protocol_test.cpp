// Protocol selection and transmission against the emulated reader and card,
// through the smart card library as an application's requests reach them:
// PTS with its fallback, the timing it programs, and APDUs over T=1 and T=0.

#include "card_fixture.h"

#include <algorithm>
#include <functional>
#include <utility>

namespace tav712::testing {
namespace {

emulator::EmulatorKnobs knobsFor(const char* profile,
                                 const std::function<void(emulator::EmulatorKnobs&)>& change = {}) {
  emulator::EmulatorKnobs knobs;
  knobs.profile = profile;
  if (change) {
    change(knobs);
  }
  return knobs;
}

// Started, opened and cold-reset card; the next proposal is Fl/Dl as given
// (Fl 1 = F 372; Dl 3 = D 4), marked as not the library's default.
std::unique_ptr<CardHarness> poweredCard(const emulator::EmulatorKnobs& knobs, UCHAR fl = 1, UCHAR dl = 3) {
  auto card = std::make_unique<CardHarness>(HarnessOptions{.line = EmulatorLine{knobs}});
  EXPECT_EQ(card->startAndOpen(), STATUS_SUCCESS);
  EXPECT_EQ(card->power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
  card->h().call([&] {
    PTS_DATA& pts = card->smartcard()->CardCapabilities.PtsData;
    pts.Type = PTS_TYPE_USER;
    pts.Fl = fl;
    pts.Dl = dl;
  });
  card->h().recorder()->clear();
  return card;
}

// The send commands (header 0x40 | n) the driver wrote, as hex.
std::vector<std::string> cardSends(CardHarness& card) {
  std::vector<std::string> sends;
  for (const Bytes& write : card.h().recorder()->writes()) {
    if (!write.empty() && (write[0] & 0xC0) == 0x40) {
      sends.push_back(hex(write));
    }
  }
  return sends;
}

bool wroteCommand(CardHarness& card, const Bytes& command) {
  return std::ranges::count(card.h().recorder()->writes(), command) > 0;
}

struct TimingRow {
  const char* profile;
  ULONG protocol;
  ULONG guardEtu;
  UCHAR mode;
  ULONG charWaitingEtu;
  ULONG blockWaitingEtu;
  ULONG readCharTimeoutMs;
  ULONG readTotalTimeoutMs;
};

// F 372, D 4 after the PTS: the reader's registers and the serial time-outs.
TEST(ProtocolSelection, EchoedProposalProgramsTheCardsTiming) {
  const TimingRow rows[] = {
      {"t1", SCARD_PROTOCOL_T1, 12, 0, 9023, 67596, 326, 2174},
      {"t0", SCARD_PROTOCOL_T0, 13, 3, 42240, 42240, 1346, 1396},
  };
  for (const TimingRow& row : rows) {
    SCOPED_TRACE(row.profile);
    auto card = poweredCard(knobsFor(row.profile));
    IoctlResult result = card->setProtocol(row.protocol);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(ulongFrom(result.output), row.protocol);
    emulator::Reader& reader = *card->h().reader();
    EXPECT_EQ(reader.guardTimeEtu(), row.guardEtu);
    EXPECT_EQ(reader.registerValue(2) & 3, row.mode);
    EXPECT_EQ(reader.characterWaitingEtu(), row.charWaitingEtu);
    EXPECT_EQ(reader.blockWaitingEtu(), row.blockWaitingEtu);
    EXPECT_EQ(card->reader()->ReadCharTimeout, row.readCharTimeoutMs);
    EXPECT_EQ(card->reader()->ReadTotalTimeout, row.readTotalTimeoutMs);

    // The serial port got the same time-outs.
    const Bytes timeouts = ulongBytes({row.readCharTimeoutMs, 0, row.readTotalTimeoutMs, 0, 1000});
    auto requests = card->h().recorder()->requests();
    EXPECT_TRUE(std::any_of(requests.begin(), requests.end(), [&](const SerialRequest& sent) {
      return sent.isControl(IOCTL_SERIAL_SET_TIMEOUTS) && sent.input == timeouts;
    }));
  }
}

TEST(ProtocolSelection, BothProtocolsAcceptedProposesT1) {
  auto card = poweredCard(knobsFor("dual"), 1, 1);
  IoctlResult result = card->setProtocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(cardSends(*card), std::vector<std::string>{"44 FF 11 11 FF"});
  EXPECT_EQ(ulongFrom(result.output), ULONG{SCARD_PROTOCOL_T1});
}

TEST(ProtocolSelection, ProtocolTheCardLacksIsRefusedWithoutAnExchange) {
  auto card = poweredCard(knobsFor("t0"));
  EXPECT_EQ(card->setProtocol(SCARD_PROTOCOL_T1).status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_TRUE(cardSends(*card).empty());
  EXPECT_EQ(card->smartcard()->CardCapabilities.Protocol.Selected, 0u);
}

// A refused non-default proposal (F 372, D 4) is retried once, with the
// default proposal after a cold reset; a refused default proposal powers the
// card down without a third try (the failing rows refuse both).
TEST(ProtocolSelection, RefusedProposalFallsBackOnceToTheDefault) {
  const std::pair<const char*, emulator::PtsBehaviour> rows[] = {
      {"answer with other factors, then accepts the default", emulator::PtsBehaviour::otherFactors},
      {"answer without PTS1", emulator::PtsBehaviour::withoutPts1},
      {"silent", emulator::PtsBehaviour::silent},
      {"wrong check character", emulator::PtsBehaviour::badCheck},
  };
  for (const auto& [name, behaviour] : rows) {
    SCOPED_TRACE(name);
    auto card = poweredCard(knobsFor("t1", [&, pts = behaviour](auto& knobs) {
      knobs.pts = pts;
      knobs.ptsFactors = 0x11;
    }));
    IoctlResult result = card->setProtocol(SCARD_PROTOCOL_T1);
    EXPECT_EQ(cardSends(*card), (std::vector<std::string>{"44 FF 11 13 FD", "44 FF 11 11 FF"}));
    EXPECT_TRUE(wroteCommand(*card, {0x83, 0x1D})) << "cold reset between the proposals";
    PSMARTCARD_EXTENSION smartcard = card->smartcard();
    if (behaviour == emulator::PtsBehaviour::otherFactors) {
      ASSERT_EQ(result.status, STATUS_SUCCESS);
      EXPECT_EQ(ulongFrom(result.output), ULONG{SCARD_PROTOCOL_T1});
      EXPECT_EQ(card->reader()->ReadTotalTimeout, 2176u) << "T=1 at D 1";
    } else {
      EXPECT_EQ(result.status, STATUS_DEVICE_PROTOCOL_ERROR);
      EXPECT_EQ(smartcard->CardCapabilities.Protocol.Selected, 0u);
      EXPECT_EQ(hex(card->h().recorder()->writes().back()), "84 00") << "card powered down last";
    }
  }
}

// The card is pulled right after its PTS answer: the removal the reader
// reports while the selection finishes wins, and the card is not reported
// back as specific (nor as present by the power-down that follows).
TEST(ProtocolSelection, CardPulledAfterItsPtsAnswerStaysAbsent) {
  const std::uint32_t atrBytes = poweredCard(knobsFor("t1"))->h().reader()->card()->bytesSent();
  const std::uint32_t ptsAnswerBytes = 4;  // FF 11 11 FF
  auto card = poweredCard(
      knobsFor("t1", [&](auto& knobs) { knobs.reader.removeAfterCardByte = atrBytes + ptsAnswerBytes; }), 1, 1);
  (VOID) card->setProtocol(SCARD_PROTOCOL_T1);
  card->h().runUntilIdle();
  EXPECT_EQ(card->smartcard()->ReaderCapabilities.CurrentState, ULONG{SCARD_ABSENT});
  EXPECT_EQ(card->cardPower(SCARD_POWER_DOWN).status, STATUS_SUCCESS);
  EXPECT_EQ(card->smartcard()->ReaderCapabilities.CurrentState, ULONG{SCARD_ABSENT});
}

// The selected protocol goes back as a ULONG; a smaller reply buffer is
// refused before the card is touched.
TEST(ProtocolSelection, ReplyBufferUnderFourBytesIsNeverWritten) {
  auto card = poweredCard(knobsFor("t1"));
  IoctlResult result = card->callService(SetProtocol, SCARD_PROTOCOL_T1, 3);
  EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(hex(result.output), "EE EE EE");
  EXPECT_TRUE(cardSends(*card).empty());
}

// ---- T=1 ----------------------------------------------------------------

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};

std::unique_ptr<CardHarness> t1Card(const emulator::EmulatorKnobs& knobs) {
  auto card = poweredCard(knobs, 1, 1);
  EXPECT_EQ(card->setProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
  card->h().recorder()->clear();
  return card;
}

// Bytes a T=1 card sends before its first answer block: ATR and PTS answer.
std::uint32_t t1BytesBeforeTheFirstAnswer() { return t1Card(knobsFor("t1"))->h().reader()->card()->bytesSent(); }

// 256 bytes back: more than one block of at most 254 through the reader,
// each closed by the EDC the card's ATR names (LRC, or the two CRC bytes:
// a block of 259).
class TransmitT1WithEdc : public ::testing::TestWithParam<const char*> {};

TEST_P(TransmitT1WithEdc, AnswerLongerThanOneBlockArrivesWhole) {
  auto card = t1Card(knobsFor(GetParam()));
  ASSERT_EQ(card->transmit(SCARD_PROTOCOL_T1, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x7F, 0x10}).status, STATUS_SUCCESS);
  ASSERT_EQ(card->transmit(SCARD_PROTOCOL_T1, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x03}).status, STATUS_SUCCESS);
  IoctlResult read = card->transmit(SCARD_PROTOCOL_T1, {0x00, 0xB0, 0x00, 0x00, 0x00});
  ASSERT_EQ(read.output.size(), 258u);
  EXPECT_EQ(read.output[100], 100 % 251);
  EXPECT_EQ(hex(Bytes(read.output.end() - 2, read.output.end())), "90 00");
}

INSTANTIATE_TEST_SUITE_P(Edc, TransmitT1WithEdc, ::testing::Values("t1", "t1-crc"), [](const auto& paramInfo) {
  return std::string(paramInfo.param == std::string("t1") ? "Lrc" : "Crc");
});

// The card asks for k times its block waiting time: only the wait for the
// next prologue is stretched, and the base time-out is back afterwards.
TEST(TransmitT1, WaitingTimeExtensionStretchesOnlyThePrologueWait) {
  auto card = t1Card(knobsFor("t1", [](auto& knobs) { knobs.card.wtx = 3; }));
  const ULONG base = card->reader()->ReadTotalTimeout;
  platform::PendingRequest request =
      card->ioctlAsync(IOCTL_SMARTCARD_TRANSMIT, CardHarness::transmitInput(SCARD_PROTOCOL_T1, kSelectMf), 64);
  ULONG longest = 0;
  for (int step = 0; step < 20000 && !request.done(); step++) {
    card->h().runFor(std::chrono::milliseconds(1));
    longest = std::max(longest, card->reader()->ReadTotalTimeout);
  }
  EXPECT_EQ(request.wait().status, STATUS_SUCCESS);
  EXPECT_EQ(longest, 3 * base);
  EXPECT_EQ(card->reader()->ReadTotalTimeout, base);
  EXPECT_EQ(card->smartcard()->T1.Wtx, 0);
}

// The reader is unplugged while the driver waits out a long waiting-time
// extension: the port closes, and the waiting receive must end with it as a
// reader that went away, not run out its stretched time-out (30 x the block
// waiting time) and then have the library send retries into the void.
TEST(TransmitT1, UnpluggedReaderEndsAnExtendedWaitAtOnce) {
  auto card = t1Card(knobsFor("t1", [](auto& knobs) { knobs.card.wtx = 30; }));
  const ULONG base = card->reader()->ReadTotalTimeout;
  platform::PendingRequest request =
      card->ioctlAsync(IOCTL_SMARTCARD_TRANSMIT, CardHarness::transmitInput(SCARD_PROTOCOL_T1, kSelectMf), 64);
  for (int step = 0; step < 20000 && !request.done() && card->reader()->ReadTotalTimeout == base; step++) {
    card->h().runFor(std::chrono::milliseconds(1));
  }
  ASSERT_FALSE(request.done());
  ASSERT_EQ(card->reader()->ReadTotalTimeout, 30 * base) << "the receive should wait under the extension";
  card->h().runFor(std::chrono::milliseconds(10));
  ASSERT_FALSE(request.done());

  const double unplugged = card->h().nowMs();
  card->h().reader()->unplug();
  for (int step = 0; step < 1000 && !request.done(); step++) {
    card->h().runFor(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(request.done()) << "the receive outlived the closed port by a second";
  EXPECT_LE(card->h().nowMs() - unplugged, 5.0);
  EXPECT_EQ(request.wait().status, STATUS_DEVICE_REMOVED);
  EXPECT_EQ(card->reader()->ReadTotalTimeout, base);
}

// The PCB of every T=1 block sent to the card, in order.
std::vector<std::string> pcbsSent(CardHarness& card) {
  std::vector<std::string> pcbs;
  for (const Bytes& write : card.h().recorder()->writes()) {
    if (write.size() >= 4 && (write[0] & 0xC0) == 0x40) {
      pcbs.push_back(hex(Bytes{write[2]}));
    }
  }
  return pcbs;
}

// Answers the library recovers from: LEN 0xFF or a reader data error (a
// 254 ms pause, then the library sees an empty or corrupted block and asks
// again). The reader puts 0x00 in place of a byte it could not receive: on
// SW2, which is 0x00, only the driver's mark on the block tells the error.
TEST(TransmitT1, IrregularAnswerBlocksAreRecoveredByTheLibrary) {
  const std::uint32_t beforeAnswer = t1BytesBeforeTheFirstAnswer();
  // Then the card's S(IFS response), 5 bytes, and its answer NAD PCB LEN 90 00 LRC.
  const std::uint32_t answerSw2 = beforeAnswer + 5 + 5;
  const std::pair<const char*, std::function<void(emulator::CardKnobs&)>> rows[] = {
      {"LEN 0xFF", [](auto& card) { card.lenFfBlocks = {1}; }},
      {"data error on LEN", [&](auto& card) { card.parityErrorBytes = {beforeAnswer + 3}; }},
      {"data error on SW2", [&](auto& card) { card.parityErrorBytes = {answerSw2}; }},
  };
  for (const auto& [name, change] : rows) {
    SCOPED_TRACE(name);
    auto card = t1Card(knobsFor("t1", [&, &apply = change](auto& knobs) { apply(knobs.card); }));
    double before = card->h().nowMs();
    IoctlResult result = card->transmit(SCARD_PROTOCOL_T1, kSelectMf);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(hex(result.output), "90 00");
    EXPECT_GE(card->h().nowMs() - before, 254);
    // IFSD request and I-block, then the answer or the request to repeat.
    EXPECT_GE(cardSends(*card).size(), 3u) << "the library answered or asked again";
    if (std::string(name) == "data error on SW2") {
      EXPECT_EQ(pcbsSent(*card), (std::vector<std::string>{"C1", "00", "81"})) << "an R-block for an EDC error";
    }
  }
}

// A T=1 card whose character waiting time is short (TB3 0x41: CWI 1, BWI 4):
// the receive of a prologue waits ReadTotalTimeout + 3 x 51 ms, while the
// reader's time-out marker for a missing answer comes at the end of the block
// waiting time. A worker run that went on waiting in a read after the marker
// would outlast that receive and spill into the next block's exchange.
emulator::EmulatorKnobs shortCharWaitCard(const std::function<void(emulator::CardKnobs&)>& change) {
  return knobsFor("t1", [&](auto& knobs) {
    knobs.coldAtr = Bytes{0x3B, 0x95, 0x13, 0x81, 0x31, 0x20, 0x41, 0x54, 0x37, 0x31, 0x32, 0x31, 0x06};
    change(knobs.card);
  });
}

// The card loses its answer once. The reader reports its time-out at the end
// of the block waiting time; the library asks for the answer again with an
// R-block and gets it, and the command succeeds.
TEST(TransmitT1, AnAnswerLostOnceIsAskedForAgainAndDelivered) {
  // Block 1 is the card's S(IFS response), block 2 its answer.
  auto card = t1Card(shortCharWaitCard([](auto& knobs) { knobs.lostBlocks = {2}; }));
  IoctlResult result = card->transmit(SCARD_PROTOCOL_T1, kSelectMf);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(hex(result.output), "90 00");
  EXPECT_EQ(pcbsSent(*card), (std::vector<std::string>{"C1", "00", "82"}))
      << "S(IFS request), the I-block, one R-block";
  EXPECT_EQ(card->smartcard()->CardCapabilities.Protocol.Selected, ULONG{SCARD_PROTOCOL_T1}) << "still powered";
  EXPECT_EQ(card->transmit(SCARD_PROTOCOL_T1, kSelectMf).status, STATUS_SUCCESS) << "the next command";
}

// A card that stops answering after the IFS exchange: every block waits for
// the reader's time-out; the library asks twice with R-blocks, then tries
// resynchronisation three times before it gives up and the card is powered
// down.
TEST(TransmitT1, CardThatStopsAnsweringGetsRBlocksThenResynch) {
  const std::uint32_t ifsExchangeDone = t1Card(shortCharWaitCard([](auto&) {}))->h().reader()->card()->bytesSent() + 5;
  auto card = t1Card(shortCharWaitCard([&](auto& knobs) { knobs.silentAfter = ifsExchangeDone; }));
  IoctlResult result = card->transmit(SCARD_PROTOCOL_T1, kSelectMf);
  EXPECT_EQ(result.status, STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_EQ(pcbsSent(*card), (std::vector<std::string>{"C1", "00", "82", "82", "C0", "C0", "C0"}));
  EXPECT_EQ(hex(card->h().recorder()->writes().back()), "84 00") << "powered down";
}

TEST(TransmitT1, SilentCardIsPoweredDownWhenTheLibraryGivesUp) {
  const std::uint32_t beforeAnswer = t1BytesBeforeTheFirstAnswer();
  auto card = t1Card(knobsFor("t1", [&](auto& knobs) { knobs.card.silentAfter = beforeAnswer; }));
  IoctlResult result = card->transmit(SCARD_PROTOCOL_T1, kSelectMf);
  EXPECT_EQ(result.status, STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_EQ(hex(card->h().recorder()->writes().back()), "84 00");
  EXPECT_EQ(card->smartcard()->CardCapabilities.Protocol.Selected, 0u);
  EXPECT_EQ(card->transmit(SCARD_PROTOCOL_T1, kSelectMf).status, STATUS_INVALID_DEVICE_STATE)
      << "no protocol after the power-down";
}

// The reader answers a block's send with its error code, and the card, which
// got the block, answers it all the same: the card is powered down, so that
// its answer is never taken for the next command's.
TEST(TransmitT1, BlockWhoseSendFailedPowersTheCardDown) {
  const std::uint32_t replies = t1Card(knobsFor("t1"))->h().reader()->repliesSent();
  auto card = t1Card(knobsFor("t1", [&](auto& knobs) { knobs.reader.errorReplies = {replies + 1}; }));
  EXPECT_EQ(card->transmit(SCARD_PROTOCOL_T1, kSelectMf).status, STATUS_DATA_ERROR);
  EXPECT_EQ(hex(card->h().recorder()->writes().back()), "84 00") << "powered down";
  EXPECT_EQ(card->transmit(SCARD_PROTOCOL_T1, kSelectMf).status, STATUS_INVALID_DEVICE_STATE)
      << "no answer without a reset";
}

// ---- T=0 ----------------------------------------------------------------

const Bytes kSelectEf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0xE2};
const Bytes kRead10 = {0x00, 0xB0, 0x00, 0x00, 0x0A};

// A T=0 card acknowledging as given, with an EF selected.
std::unique_ptr<CardHarness> t0Card(emulator::T0AckStyle ack, const std::vector<std::uint32_t>& parityErrorBytes = {}) {
  auto card = poweredCard(knobsFor("t0",
                                   [&](auto& knobs) {
                                     knobs.t0Ack = ack;
                                     knobs.card.parityErrorBytes = parityErrorBytes;
                                   }),
                          1, 1);
  EXPECT_EQ(card->setProtocol(SCARD_PROTOCOL_T0).status, STATUS_SUCCESS);
  IoctlResult selected = card->transmit(SCARD_PROTOCOL_T0, kSelectEf);  // command data, no response data
  EXPECT_EQ(selected.status, STATUS_SUCCESS);
  EXPECT_EQ(hex(selected.output), "90 00");
  card->h().recorder()->clear();
  return card;
}

TEST(TransmitT0, DataErrorOnTheLastStatusByteIsATimeoutAndPowersDown) {
  const std::uint32_t sent = t0Card(emulator::T0AckStyle::full)->h().reader()->card()->bytesSent();
  // Procedure byte, 10 data bytes, SW1, SW2.
  auto card = t0Card(emulator::T0AckStyle::full, {sent + 13});
  EXPECT_EQ(card->transmit(SCARD_PROTOCOL_T0, kRead10).status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(hex(card->h().recorder()->writes().back()), "84 00");
  EXPECT_EQ(card->smartcard()->CardCapabilities.Protocol.Selected, 0u);
}

// The reader answers the command's send with its error code while the card,
// which got the header, answers it after all: the card is powered down, so
// that the rest of its answer is not taken for the next command's.
TEST(TransmitT0, CommandBrokenOffByAReaderErrorPowersTheCardDown) {
  const std::uint32_t replies = t0Card(emulator::T0AckStyle::full)->h().reader()->repliesSent();
  auto card = poweredCard(knobsFor("t0", [&](auto& knobs) { knobs.reader.errorReplies = {replies + 1}; }), 1, 1);
  ASSERT_EQ(card->setProtocol(SCARD_PROTOCOL_T0).status, STATUS_SUCCESS);
  ASSERT_EQ(card->transmit(SCARD_PROTOCOL_T0, kSelectEf).status, STATUS_SUCCESS);
  card->h().recorder()->clear();

  EXPECT_EQ(card->transmit(SCARD_PROTOCOL_T0, kRead10).status, STATUS_DATA_ERROR);
  EXPECT_EQ(hex(card->h().recorder()->writes().back()), "84 00") << "powered down";
  EXPECT_EQ(card->transmit(SCARD_PROTOCOL_T0, kRead10).status, STATUS_INVALID_DEVICE_STATE)
      << "no answer without a reset";
}

// The card sends a NULL before every procedure byte, the one before SW1
// after the response data included.
TEST(TransmitT0, NullBytesBetweenTheDataAndTheStatusAreSkipped) {
  auto card = poweredCard(knobsFor("t0", [](auto& knobs) { knobs.t0Nulls = 1; }), 1, 1);
  ASSERT_EQ(card->setProtocol(SCARD_PROTOCOL_T0).status, STATUS_SUCCESS);
  IoctlResult challenge = card->transmit(SCARD_PROTOCOL_T0, {0x00, 0x84, 0x00, 0x00, 0x08});
  ASSERT_EQ(challenge.status, STATUS_SUCCESS);
  ASSERT_EQ(challenge.output.size(), 10u);
  EXPECT_EQ(hex(Bytes(challenge.output.end() - 2, challenge.output.end())), "90 00");
  EXPECT_EQ(card->smartcard()->CardCapabilities.Protocol.Selected, ULONG{SCARD_PROTOCOL_T0});
}

TEST(TransmitT0, TailLargerThanTheReplyIsRefusedAndTheCardStaysPowered) {
  auto card = t0Card(emulator::T0AckStyle::full);
  Bytes command = kRead10;
  UCHAR reply[16];
  ULONG replyLength = 8;
  NTSTATUS status = card->h().call([&] {
    card->smartcard()->T0.Le = 10;
    return T0Exchange(card->smartcard(), command.data(), static_cast<ULONG>(command.size()), reply, &replyLength);
  });
  EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(replyLength, 8u) << "written only on success";
  EXPECT_EQ(card->smartcard()->CardCapabilities.Protocol.Selected, ULONG{SCARD_PROTOCOL_T0});
}

TEST(Transmit, WithoutAProtocolIsRefused) {
  CardHarness card;
  ASSERT_EQ(card.startAndOpen(), STATUS_SUCCESS);
  for (ULONG protocol : {0u, 4u, ULONG{SCARD_PROTOCOL_RAW}}) {
    NTSTATUS status = card.h().call([&] {
      card.smartcard()->CardCapabilities.Protocol.Selected = protocol;
      return Transmit(card.smartcard());
    });
    EXPECT_EQ(status, protocol == SCARD_PROTOCOL_RAW ? STATUS_UNSUCCESSFUL : STATUS_INVALID_DEVICE_REQUEST);
  }
}

}  // namespace
}  // namespace tav712::testing
