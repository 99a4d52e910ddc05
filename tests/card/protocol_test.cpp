// Protocol selection and transmission against the emulated reader and card,
// through the smart card library as an application's requests reach them:
// PTS with its fallback, the timing it programs, and APDUs over T=1 and T=0.

#include "card_fixture.h"

#include <algorithm>
#include <cstdio>

namespace tav712::testing {
namespace {

emulator::EmulatorKnobs knobsFor(const char *profile)
{
    emulator::EmulatorKnobs knobs;
    knobs.profile = profile;
    return knobs;
}

// Started, opened and cold-reset card; the next proposal is Fl/Dl as given
// (Fl 1 = F 372; Dl 3 = D 4), marked as not the library's default.
std::unique_ptr<CardHarness> poweredCard(const emulator::EmulatorKnobs &knobs, UCHAR fl = 1, UCHAR dl = 3,
                                         std::uint64_t seed = 1)
{
    auto card = std::make_unique<CardHarness>(HarnessOptions{.seed = seed, .line = EmulatorLine{knobs}});
    EXPECT_EQ(card->startAndOpen(), STATUS_SUCCESS);
    EXPECT_EQ(card->power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    card->h().call([&] {
        PTS_DATA &pts = card->smartcard()->CardCapabilities.PtsData;
        pts.Type = PTS_TYPE_USER;
        pts.Fl = fl;
        pts.Dl = dl;
    });
    card->h().recorder()->clear();
    return card;
}

// The send commands (header 0x40 | n) the driver wrote, as hex.
std::vector<std::string> cardSends(CardHarness &card)
{
    std::vector<std::string> sends;
    for (const Bytes &write : card.h().recorder()->writes()) {
        if (!write.empty() && (write[0] & 0xC0) == 0x40) {
            sends.push_back(hex(write));
        }
    }
    return sends;
}

bool wroteCommand(CardHarness &card, const std::string &command)
{
    for (const Bytes &write : card.h().recorder()->writes()) {
        if (hex(write) == command) {
            return true;
        }
    }
    return false;
}

struct TimingRow {
    const char *profile;
    ULONG protocol;
    ULONG guardEtu;
    UCHAR mode;
    ULONG charWaitingEtu;
    ULONG blockWaitingEtu;
    ULONG readCharTimeoutMs;
    ULONG readTotalTimeoutMs;
};

// F 372, D 4 after the PTS: the reader's registers and the serial time-outs.
TEST(ProtocolSelection, EchoedProposalProgramsTheCardsTiming)
{
    const TimingRow rows[] = {
        {"t1", SCARD_PROTOCOL_T1, 12, 0, 9023, 67596, 326, 2174},
        {"t0", SCARD_PROTOCOL_T0, 13, 3, 42240, 42240, 1346, 1396},
    };
    for (const TimingRow &row : rows) {
        SCOPED_TRACE(row.profile);
        auto card = poweredCard(knobsFor(row.profile));
        IoctlResult result = card->setProtocol(row.protocol);
        ASSERT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, 4u);
        EXPECT_EQ(ulongFrom(result.output), row.protocol);
        UCHAR request[4];
        BuildPtsRequest(row.protocol, 1, 3, request);
        EXPECT_EQ(cardSends(*card).front(), "44 " + hex(Bytes(request, request + 4)));

        PSMARTCARD_EXTENSION smartcard = card->smartcard();
        EXPECT_EQ(smartcard->ReaderCapabilities.CurrentState, ULONG{SCARD_SPECIFIC});
        EXPECT_EQ(smartcard->CardCapabilities.Fl, 1);
        EXPECT_EQ(smartcard->CardCapabilities.Dl, 3);
        emulator::Reader &reader = *card->h().reader();
        EXPECT_EQ(reader.guardTimeEtu(), row.guardEtu);
        EXPECT_EQ(reader.registerValue(2) & 3, row.mode);
        EXPECT_EQ(reader.characterWaitingEtu(), row.charWaitingEtu);
        EXPECT_EQ(reader.blockWaitingEtu(), row.blockWaitingEtu);
        EXPECT_EQ(card->reader()->ReadCharTimeout, row.readCharTimeoutMs);
        EXPECT_EQ(card->reader()->ReadTotalTimeout, row.readTotalTimeoutMs);

        // The serial port got the same time-outs.
        const Bytes timeouts = [&] {
            Bytes bytes;
            for (ULONG value : {row.readCharTimeoutMs, 0u, row.readTotalTimeoutMs, 0u, 1000u}) {
                Bytes part = ulongBytes(value);
                bytes.insert(bytes.end(), part.begin(), part.end());
            }
            return bytes;
        }();
        auto requests = card->h().recorder()->requests();
        EXPECT_TRUE(std::any_of(requests.begin(), requests.end(), [&](const SerialRequest &sent) {
            return sent.isControl(IOCTL_SERIAL_SET_TIMEOUTS) && sent.input == timeouts;
        }));
    }
}

TEST(ProtocolSelection, SpecificCardIsAnsweredWithoutAnExchange)
{
    auto card = poweredCard(knobsFor("t1"));
    ASSERT_EQ(card->setProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    card->h().recorder()->clear();
    IoctlResult again = card->setProtocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    EXPECT_EQ(again.status, STATUS_SUCCESS);
    EXPECT_EQ(ulongFrom(again.output), ULONG{SCARD_PROTOCOL_T1});
    EXPECT_TRUE(card->h().recorder()->writes().empty());
}

TEST(ProtocolSelection, BothProtocolsAcceptedProposesT1)
{
    auto card = poweredCard(knobsFor("dual"), 1, 1);
    IoctlResult result = card->setProtocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(cardSends(*card).front(), "44 FF 11 11 FF");
    EXPECT_EQ(ulongFrom(result.output), ULONG{SCARD_PROTOCOL_T1});
}

TEST(ProtocolSelection, ProtocolTheCardLacksIsRefusedWithoutAnExchange)
{
    auto card = poweredCard(knobsFor("t0"));
    IoctlResult result = card->setProtocol(SCARD_PROTOCOL_T1);
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(cardSends(*card).empty());
    EXPECT_EQ(card->smartcard()->CardCapabilities.Protocol.Selected, 0u);
}

struct FallbackRow {
    const char *name;
    emulator::PtsBehaviour behaviour;
    std::uint8_t otherFactors;
    NTSTATUS status;
    std::vector<std::string> proposals;
};

// A refused non-default proposal is retried once, with the default proposal
// after a cold reset; a refused default proposal powers the card down.
TEST(ProtocolSelection, RefusedProposalFallsBackOnceToTheDefault)
{
    const FallbackRow rows[] = {
        {"answer with other factors, then accepts the default", emulator::PtsBehaviour::otherFactors, 0x11,
         STATUS_SUCCESS, {"44 FF 11 13 FD", "44 FF 11 11 FF"}},
        {"answer without PTS1", emulator::PtsBehaviour::withoutPts1, 0x11, STATUS_DEVICE_PROTOCOL_ERROR,
         {"44 FF 11 13 FD", "44 FF 11 11 FF"}},
        {"silent", emulator::PtsBehaviour::silent, 0x11, STATUS_DEVICE_PROTOCOL_ERROR,
         {"44 FF 11 13 FD", "44 FF 11 11 FF"}},
        {"wrong check character", emulator::PtsBehaviour::badCheck, 0x11, STATUS_DEVICE_PROTOCOL_ERROR,
         {"44 FF 11 13 FD", "44 FF 11 11 FF"}},
    };
    for (const FallbackRow &row : rows) {
        SCOPED_TRACE(row.name);
        emulator::EmulatorKnobs knobs = knobsFor("t1");
        knobs.pts = row.behaviour;
        knobs.ptsFactors = row.otherFactors;
        auto card = poweredCard(knobs);
        IoctlResult result = card->setProtocol(SCARD_PROTOCOL_T1);
        EXPECT_EQ(result.status, row.status);
        EXPECT_EQ(cardSends(*card), row.proposals);
        EXPECT_TRUE(wroteCommand(*card, "83 1D")) << "cold reset between the proposals";
        PSMARTCARD_EXTENSION smartcard = card->smartcard();
        if (row.status == STATUS_SUCCESS) {
            EXPECT_EQ(ulongFrom(result.output), ULONG{SCARD_PROTOCOL_T1});
            EXPECT_EQ(smartcard->ReaderCapabilities.CurrentState, ULONG{SCARD_SPECIFIC});
            EXPECT_EQ(smartcard->CardCapabilities.Dl, 1);
            EXPECT_EQ(card->reader()->ReadTotalTimeout, 2176u) << "T=1 at D 1";
        } else {
            EXPECT_EQ(result.information, 0u);
            EXPECT_EQ(smartcard->CardCapabilities.Protocol.Selected, 0u);
            auto writes = card->h().recorder()->writes();
            EXPECT_EQ(hex(writes.back()), "84 00") << "card powered down last";
        }
    }
}

TEST(ProtocolSelection, RefusedDefaultProposalPowersDownWithoutRetry)
{
    emulator::EmulatorKnobs knobs = knobsFor("t1");
    knobs.pts = emulator::PtsBehaviour::silent;
    auto card = poweredCard(knobs, 1, 1);
    card->h().call([&] { card->smartcard()->CardCapabilities.PtsData.Type = PTS_TYPE_DEFAULT; });
    EXPECT_EQ(card->setProtocol(SCARD_PROTOCOL_T1).status, STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(cardSends(*card), std::vector<std::string>{"44 FF 11 11 FF"});
    EXPECT_FALSE(wroteCommand(*card, "83 1D"));
}

// The selected protocol goes back as a ULONG; a smaller reply buffer is
// refused before the card is touched.
TEST(ProtocolSelection, ReplyBufferUnderFourBytesIsNeverWritten)
{
    auto card = poweredCard(knobsFor("t1"));
    UCHAR reply[3] = {0xEE, 0xEE, 0xEE};
    ULONG information = 0xEEEE;
    NTSTATUS status = card->h().call([&] {
        PSMARTCARD_EXTENSION smartcard = card->smartcard();
        smartcard->MinorIoControlCode = SCARD_PROTOCOL_T1;
        smartcard->IoRequest.ReplyBuffer = reply;
        smartcard->IoRequest.ReplyBufferLength = sizeof(reply);
        smartcard->IoRequest.Information = &information;
        NTSTATUS result = SetProtocol(smartcard);
        smartcard->IoRequest.ReplyBuffer = nullptr;
        smartcard->IoRequest.Information = nullptr;
        return result;
    });
    EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(hex(Bytes(reply, reply + 3)), "EE EE EE");
    EXPECT_TRUE(cardSends(*card).empty());
}

// ---- T=1 ----------------------------------------------------------------

const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};

std::unique_ptr<CardHarness> t1Card(emulator::EmulatorKnobs knobs, std::uint64_t seed = 1)
{
    auto card = poweredCard(knobs, 1, 1, seed);
    EXPECT_EQ(card->setProtocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    card->h().recorder()->clear();
    return card;
}

TEST(TransmitT1, OneBlockEachWay)
{
    auto card = t1Card(knobsFor("t1"));
    IoctlResult result = card->transmit(SCARD_PROTOCOL_T1, kSelectMf);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(hex(result.output), "90 00");
    // The library's first exchange also tells the card our IFSD.
    EXPECT_EQ(cardSends(*card).back().substr(0, 15), "4B 00 00 07 00 ");

    card->h().recorder()->clear();
    IoctlResult again = card->transmit(SCARD_PROTOCOL_T1, kSelectMf);
    ASSERT_EQ(again.status, STATUS_SUCCESS);
    EXPECT_EQ(hex(again.output), "90 00");
    // Exactly one block out: NAD 0, I-block N(S) 1, LEN 7, the APDU, LRC.
    ASSERT_EQ(cardSends(*card).size(), 1u);
    EXPECT_EQ(cardSends(*card).front().substr(0, 15), "4B 00 40 07 00 ");
}

TEST(TransmitT1, ChainsLongCommandsAndAnswers)
{
    auto card = t1Card(knobsFor("t1"));
    ASSERT_EQ(card->transmit(SCARD_PROTOCOL_T1, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x7F, 0x10}).status, STATUS_SUCCESS);
    ASSERT_EQ(card->transmit(SCARD_PROTOCOL_T1, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x6F, 0x03}).status, STATUS_SUCCESS);

    // 64 bytes of command data: more than the card's IFSC of 32.
    Bytes update = {0x00, 0xD6, 0x00, 0x00, 64};
    for (int i = 0; i < 64; i++) {
        update.push_back(static_cast<std::uint8_t>(0xC0 ^ i));
    }
    card->h().recorder()->clear();
    IoctlResult written = card->transmit(SCARD_PROTOCOL_T1, update);
    ASSERT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(hex(written.output), "90 00");
    EXPECT_GE(cardSends(*card).size(), 3u) << "chained I-blocks";

    // 256 bytes back: more than one block of at most 254.
    IoctlResult read = card->transmit(SCARD_PROTOCOL_T1, {0x00, 0xB0, 0x00, 0x00, 0x00});
    ASSERT_EQ(read.status, STATUS_SUCCESS);
    ASSERT_EQ(read.output.size(), 258u);
    for (int i = 0; i < 64; i++) {
        EXPECT_EQ(read.output[static_cast<size_t>(i)], 0xC0 ^ i) << i;
    }
    EXPECT_EQ(read.output[100], 100 % 251);
    EXPECT_EQ(hex(Bytes(read.output.end() - 2, read.output.end())), "90 00");
}

// The card asks for k times its block waiting time: only the wait for the
// next prologue is stretched, and the base time-out is back afterwards.
TEST(TransmitT1, WaitingTimeExtensionStretchesOnlyThePrologueWait)
{
    emulator::EmulatorKnobs knobs = knobsFor("t1");
    knobs.card.wtx = 3;
    auto card = t1Card(knobs);
    const ULONG base = card->reader()->ReadTotalTimeout;
    platform::PendingRequest request = card->ioctlAsync(IOCTL_SMARTCARD_TRANSMIT, [&] {
        Bytes input = ulongBytes(SCARD_PROTOCOL_T1);
        Bytes header = ulongBytes(8);
        input.insert(input.end(), header.begin(), header.end());
        input.insert(input.end(), kSelectMf.begin(), kSelectMf.end());
        return input;
    }(), 64);
    ULONG longest = 0;
    for (int step = 0; step < 20000 && !request.done(); step++) {
        card->h().runFor(std::chrono::milliseconds(1));
        longest = std::max(longest, card->reader()->ReadTotalTimeout);
    }
    IoctlResult result = request.wait();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(longest, 3 * base);
    EXPECT_EQ(card->reader()->ReadTotalTimeout, base);
    EXPECT_EQ(card->smartcard()->T1.Wtx, 0);
}

TEST(TransmitT1, CardsIfsRequestDuringTheExchangeIsAnswered)
{
    emulator::EmulatorKnobs knobs = knobsFor("t1");
    knobs.card.ifsRequest = 0x40;
    auto card = t1Card(knobs);
    IoctlResult result = card->transmit(SCARD_PROTOCOL_T1, kSelectMf);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(hex(result.output), "90 00");
}

// LEN 0xFF, and a reader data error on one byte of the answer: a 254 ms
// pause, then the library sees an empty or corrupted block and asks again.
TEST(TransmitT1, BrokenAnswerBlocksAreRecoveredByTheLibrary)
{
    // Bytes the card sends up to its first answer block: ATR and PTS answer.
    std::uint32_t beforeAnswer = 0;
    {
        auto probe = t1Card(knobsFor("t1"));
        beforeAnswer = probe->h().reader()->card()->bytesSent();
    }
    struct Row {
        const char *name;
        emulator::CardKnobs cardKnobs;
    };
    emulator::CardKnobs lenFf;
    lenFf.lenFfBlocks = {1};
    emulator::CardKnobs dataErrorOnLen;
    dataErrorOnLen.parityErrorBytes = {beforeAnswer + 3};
    emulator::CardKnobs dataErrorOnEdc;
    dataErrorOnEdc.parityErrorBytes = {beforeAnswer + 6};
    for (const Row &row : {Row{"LEN 0xFF", lenFf}, Row{"data error on LEN", dataErrorOnLen},
                           Row{"data error on the EDC", dataErrorOnEdc}}) {
        SCOPED_TRACE(row.name);
        emulator::EmulatorKnobs knobs = knobsFor("t1");
        knobs.card = row.cardKnobs;
        auto card = t1Card(knobs);
        double before = card->h().nowMs();
        IoctlResult result = card->transmit(SCARD_PROTOCOL_T1, kSelectMf);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(hex(result.output), "90 00");
        EXPECT_GE(card->h().nowMs() - before, 254);
        EXPECT_GE(cardSends(*card).size(), 2u) << "the library asked again";
    }
}

TEST(TransmitT1, SilentCardIsPoweredDownWhenTheLibraryGivesUp)
{
    std::uint32_t beforeAnswer = 0;
    {
        auto probe = t1Card(knobsFor("t1"));
        beforeAnswer = probe->h().reader()->card()->bytesSent();
    }
    emulator::EmulatorKnobs knobs = knobsFor("t1");
    knobs.card.silentAfter = beforeAnswer;
    auto card = t1Card(knobs);
    IoctlResult result = card->transmit(SCARD_PROTOCOL_T1, kSelectMf);
    EXPECT_EQ(result.status, STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(hex(card->h().recorder()->writes().back()), "84 00");
    EXPECT_EQ(card->smartcard()->CardCapabilities.Protocol.Selected, 0u);
    EXPECT_EQ(card->transmit(SCARD_PROTOCOL_T1, kSelectMf).status, STATUS_INVALID_DEVICE_STATE)
        << "no protocol after the power-down";
}

// ---- T=0 ----------------------------------------------------------------

std::unique_ptr<CardHarness> t0Card(emulator::EmulatorKnobs knobs)
{
    auto card = poweredCard(knobs, 1, 1);
    EXPECT_EQ(card->setProtocol(SCARD_PROTOCOL_T0).status, STATUS_SUCCESS);
    card->h().recorder()->clear();
    return card;
}

struct T0Row {
    const char *name;
    emulator::T0AckStyle ack;
    std::uint32_t nulls;
    bool withResponseData;
};

// Command data and response data under whole and single-byte acknowledges,
// with NULL procedure bytes in front.
TEST(TransmitT0, CommandCasesUnderEveryAcknowledgeStyle)
{
    const T0Row rows[] = {
        {"whole", emulator::T0AckStyle::full, 0, true},
        {"single", emulator::T0AckStyle::singleBytes, 0, true},
        {"mixed", emulator::T0AckStyle::mixed, 0, true},
        // NULLs in front of every procedure byte. (The bytes after the
        // response data are read as SW1 SW2 without a procedure-byte test,
        // so NULLs there are not served: only command data here.)
        {"whole with NULLs", emulator::T0AckStyle::full, 3, false},
        {"single with NULLs", emulator::T0AckStyle::singleBytes, 3, false},
    };
    for (const T0Row &row : rows) {
        SCOPED_TRACE(row.name);
        emulator::EmulatorKnobs knobs = knobsFor("t0");
        knobs.t0Ack = row.ack;
        knobs.t0Nulls = row.nulls;
        auto card = t0Card(knobs);
        // Command data, no response data.
        IoctlResult selected = card->transmit(SCARD_PROTOCOL_T0, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0xE2});
        ASSERT_EQ(selected.status, STATUS_SUCCESS);
        EXPECT_EQ(hex(selected.output), "90 00");
        if (!row.withResponseData) {
            continue;
        }
        // Response data.
        IoctlResult read = card->transmit(SCARD_PROTOCOL_T0, {0x00, 0xB0, 0x00, 0x00, 0x0A});
        ASSERT_EQ(read.status, STATUS_SUCCESS);
        EXPECT_EQ(read.output.size(), 12u);
        EXPECT_EQ(hex(Bytes(read.output.end() - 2, read.output.end())), "90 00");
        // Neither: a status word straight after the header.
        IoctlResult wrong = card->transmit(SCARD_PROTOCOL_T0, {0x00, 0xB0, 0x00, 0x00, 0x20});
        EXPECT_EQ(wrong.output.size(), 2u) << hex(wrong.output);
    }
}

TEST(TransmitT0, DataErrorOnTheLastStatusByteIsATimeoutAndPowersDown)
{
    const Bytes selectEf = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0xE2};
    emulator::EmulatorKnobs knobs = knobsFor("t0");
    knobs.t0Ack = emulator::T0AckStyle::full;
    std::uint32_t sent = 0;
    {
        auto probe = t0Card(knobs);
        EXPECT_EQ(probe->transmit(SCARD_PROTOCOL_T0, selectEf).status, STATUS_SUCCESS);
        sent = probe->h().reader()->card()->bytesSent();
    }
    // Procedure byte, 10 data bytes, SW1, SW2.
    knobs.card.parityErrorBytes = {sent + 13};
    auto card = t0Card(knobs);
    ASSERT_EQ(card->transmit(SCARD_PROTOCOL_T0, selectEf).status, STATUS_SUCCESS);
    IoctlResult read = card->transmit(SCARD_PROTOCOL_T0, {0x00, 0xB0, 0x00, 0x00, 0x0A});
    EXPECT_EQ(read.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(hex(card->h().recorder()->writes().back()), "84 00");
    EXPECT_EQ(card->smartcard()->CardCapabilities.Protocol.Selected, 0u);
}

TEST(TransmitT0, TailLargerThanTheReplyIsRefusedAndTheCardStaysPowered)
{
    emulator::EmulatorKnobs knobs = knobsFor("t0");
    knobs.t0Ack = emulator::T0AckStyle::full;
    auto card = t0Card(knobs);
    ASSERT_EQ(card->transmit(SCARD_PROTOCOL_T0, {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0xE2}).status, STATUS_SUCCESS);
    UCHAR command[5] = {0x00, 0xB0, 0x00, 0x00, 0x0A};
    UCHAR reply[16];
    ULONG replyLength = 8;
    NTSTATUS status = card->h().call([&] {
        card->smartcard()->T0.Le = 10;
        return T0Exchange(card->smartcard(), command, sizeof(command), reply, &replyLength);
    });
    EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(replyLength, 8u) << "written only on success";
    EXPECT_EQ(card->smartcard()->CardCapabilities.Protocol.Selected, ULONG{SCARD_PROTOCOL_T0});
}

TEST(Transmit, WithoutAProtocolIsRefused)
{
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
