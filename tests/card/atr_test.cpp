// Card power and answer-to-reset on a scripted reader: every command the
// driver sends is expected byte for byte and the card's ATR is played with
// exact timing, so the ATR walk, its time-outs and the failure paths show.

#include "card_fixture.h"

#include <cstdio>
#include <string>

namespace tav712::testing {
namespace {

// The register set-up before a reset, the cold reset's power-down, and the
// reset itself, each command acknowledged by the reader.
std::string resetCommands(bool cold)
{
    std::string script =
        "> 82 6F\n< 90\n"                                      // control register for the ATR
        "> C1\n< 00\n> C2\n< 6F\n> 81 0D\n< 90\n> 82 6F\n< 90\n"  // guard time 13
        "> 85 80 25 00\n< 90\n"                                // character waiting time 9600
        "> C2\n< 6F\n> 82 6C\n< 90\n";                         // mode 0
    if (cold) {
        script += "> 84 00\n< 90\n";
    }
    return script + "> 83 1D\n< 90\n";
}

const std::string kPowerDown = "> 84 00\n< 90\n";

struct AtrRun {
    IoctlResult result;
    double elapsedMs = 0;
};

class AtrTest : public ::testing::Test {
protected:
    void startScript(const std::string &script, ULONG currentState = SCARD_SWALLOWED)
    {
        card_.reset();
        card_ = std::make_unique<CardHarness>(HarnessOptions{.line = ScriptLine{script}});
        ASSERT_EQ(card_->h().openLink(), STATUS_SUCCESS);
        card_->h().call([&] { card_->smartcard()->ReaderCapabilities.CurrentState = currentState; });
    }
    AtrRun power(ULONG minorCode, ULONG replyLength = 64)
    {
        AtrRun run;
        double before = card_->h().nowMs();
        run.result = card_->cardPower(minorCode, replyLength);
        run.elapsedMs = card_->h().nowMs() - before;
        return run;
    }
    void expectScriptPlayed()
    {
        card_->h().runUntilIdle();
        EXPECT_TRUE(card_->h().script()->finished());
        EXPECT_TRUE(card_->h().script()->mismatches().empty())
            << card_->h().script()->mismatches().front();
    }
    Bytes recordedAtr()
    {
        const auto &atr = card_->smartcard()->CardCapabilities.ATR;
        return Bytes(atr.Buffer, atr.Buffer + atr.Length);
    }
    const ATR_INTERFACE_BYTE &entry(int index) { return card_->reader()->AtrInterfaceBytes[index]; }

    std::unique_ptr<CardHarness> card_;
};

TEST_F(AtrTest, ExampleAtrIsWalkedGroupByGroup)
{
    // TS T0 | TA1 TB1 TD1 | TD2 | TA3 TB3 | two historical bytes | TCK
    startScript(resetCommands(true) + "< 3B B2 11 00 81 31 FE 45 65 66 AB\n");
    AtrRun run = power(SCARD_COLD_RESET);
    expectScriptPlayed();
    ASSERT_EQ(run.result.status, STATUS_SUCCESS);
    const Bytes atr = {0x3B, 0xB2, 0x11, 0x00, 0x81, 0x31, 0xFE, 0x45, 0x65, 0x66, 0xAB};
    EXPECT_EQ(run.result.information, 11u);
    EXPECT_EQ(hex(Bytes(run.result.output.begin(), run.result.output.begin() + 11)), hex(atr));
    EXPECT_EQ(hex(recordedAtr()), hex(atr));
    EXPECT_EQ(card_->smartcard()->CardCapabilities.Protocol.Selected, 0u);

    const bool present[12] = {true, true, false, true, false, false, false, true, true, true, false, false};
    const UCHAR values[12] = {0x11, 0x00, 0, 0x81, 0, 0, 0, 0x31, 0xFE, 0x45, 0, 0};
    for (int i = 0; i < 12; i++) {
        EXPECT_EQ(entry(i).Present != 0, present[i]) << "entry " << i;
        if (present[i]) {
            EXPECT_EQ(entry(i).Value, values[i]) << "entry " << i;
        }
    }
    // The serial time-outs follow the card (T=0 formula while no protocol
    // is selected): F 372, D 1, WI 10.
    EXPECT_EQ(card_->reader()->ReadCharTimeout, 1346u);
    EXPECT_EQ(card_->reader()->ReadTotalTimeout, 1396u);
}

TEST_F(AtrTest, InverseConventionTsIsRecordedAs3F)
{
    startScript(resetCommands(true) + "< 03 60 00 00\n");
    AtrRun run = power(SCARD_COLD_RESET);
    expectScriptPlayed();
    EXPECT_EQ(run.result.information, 4u);
    EXPECT_EQ(run.result.output.at(0), 0x3F);
}

struct FailureRow {
    const char *name;
    std::string cardAnswer;  // script lines after the reset command
    NTSTATUS status;
    ULONG readTotalTimeoutMs;  // as left by the failure
    double elapsedMinMs;       // from the call to its end
};

// Each failure powers the card down and leaves the ATR cleared.
TEST_F(AtrTest, FailedResetPowersTheCardDown)
{
    const FailureRow rows[] = {
        {"silent card", "", STATUS_UNRECOGNIZED_MEDIA, 120, 120 + 200},
        {"missing historical byte", "< 3B 02 41\n", STATUS_UNRECOGNIZED_MEDIA, 1200, 200},
        {"bad TS", "< 3A 00\n", STATUS_DATA_ERROR, 1200, 200},
        {"reader error on the reset", "", STATUS_DATA_ERROR, 100, 200},
    };
    for (const FailureRow &row : rows) {
        SCOPED_TRACE(row.name);
        std::string script = resetCommands(true);
        if (std::string(row.name) == "reader error on the reset") {
            script.replace(script.rfind("< 90"), 4, "< 84");
        }
        startScript(script + row.cardAnswer + kPowerDown);
        AtrRun run = power(SCARD_COLD_RESET);
        expectScriptPlayed();
        EXPECT_EQ(run.result.status, row.status);
        EXPECT_EQ(run.result.information, 0xEEEEEEEEu) << "no length reported";
        EXPECT_TRUE(recordedAtr().empty());
        EXPECT_EQ(card_->reader()->ReadTotalTimeout, row.readTotalTimeoutMs);
        EXPECT_GE(run.elapsedMs, row.elapsedMinMs);
    }
}

// TD1 names T=1 and no TD2: a TCK is due; when it does not come within
// 1200 + 1200 ms the ATR is taken without it.
TEST_F(AtrTest, MissingTckIsAcceptedAfterItsTimeout)
{
    startScript(resetCommands(true) + "< 3B 80 01\n");
    AtrRun run = power(SCARD_COLD_RESET);
    expectScriptPlayed();
    EXPECT_EQ(run.result.status, STATUS_SUCCESS);
    EXPECT_EQ(run.result.information, 3u);
    EXPECT_GE(run.elapsedMs, 2400);
    EXPECT_LT(run.elapsedMs, 2400 + 300);
}

// A TCK that comes after its time-out stays in the receive buffer, and a
// protocol selection then refuses to read it as the card's PTS answer.
TEST_F(AtrTest, LateTckMakesTheNextProtocolSelectionFail)
{
    startScript(resetCommands(true) + "< 3B 80 01\n< +3000ms 81\n");
    AtrRun run = power(SCARD_COLD_RESET);
    ASSERT_EQ(run.result.status, STATUS_SUCCESS);
    card_->h().runFor(std::chrono::seconds(2));
    expectScriptPlayed();
    EXPECT_EQ(card_->reader()->ReceivedBytes, 1u);

    ULONG information = 0xEEEE;
    ULONG reply = 0xEEEE;
    NTSTATUS status = card_->h().call([&] {
        PSMARTCARD_EXTENSION smartcard = card_->smartcard();
        smartcard->MinorIoControlCode = SCARD_PROTOCOL_T1;
        smartcard->IoRequest.ReplyBuffer = reinterpret_cast<PUCHAR>(&reply);
        smartcard->IoRequest.ReplyBufferLength = sizeof(reply);
        smartcard->IoRequest.Information = &information;
        return SetProtocol(smartcard);
    });
    EXPECT_EQ(status, STATUS_DEVICE_PROTOCOL_ERROR);
    EXPECT_EQ(information, 0xEEEEu) << "nothing changed";
    EXPECT_EQ(reply, 0xEEEEu);
}

// TD2 names T=0 although TD1 names T=1: no TCK is read.
TEST_F(AtrTest, Td2DecidesAboutTheTck)
{
    startScript(resetCommands(true) + "< 3B 80 81 00\n");
    AtrRun run = power(SCARD_COLD_RESET);
    expectScriptPlayed();
    EXPECT_EQ(run.result.information, 4u);
    EXPECT_LT(run.elapsedMs, 400) << "no wait for a TCK";
}

TEST_F(AtrTest, DataErrorInsideTheAtrLeavesAZeroInItsPlace)
{
    startScript(resetCommands(true) + "< 3B 02 10 88 42\n");
    AtrRun run = power(SCARD_COLD_RESET);
    expectScriptPlayed();
    EXPECT_EQ(run.result.status, STATUS_SUCCESS);
    EXPECT_EQ(hex(Bytes(run.result.output.begin(), run.result.output.begin() + 4)), "3B 02 00 42");
}

TEST_F(AtrTest, TwoByteAtrIsAcceptedButNotRecorded)
{
    startScript(resetCommands(true) + "< 3B 00\n");
    AtrRun run = power(SCARD_COLD_RESET);
    expectScriptPlayed();
    EXPECT_EQ(run.result.status, STATUS_SUCCESS);
    EXPECT_EQ(run.result.information, 0xEEEEEEEEu);
    EXPECT_EQ(run.result.output.at(0), 0xEE) << "reply untouched";
    EXPECT_TRUE(recordedAtr().empty());
}

TEST_F(AtrTest, AtrLongerThanTheReplyIsRecordedButNotCopied)
{
    startScript(resetCommands(true) + "< 3B B2 11 00 81 31 FE 45 65 66 AB\n");
    AtrRun run = power(SCARD_COLD_RESET, 10);
    expectScriptPlayed();
    EXPECT_EQ(run.result.status, STATUS_SUCCESS);
    EXPECT_EQ(run.result.information, 0xEEEEEEEEu);
    EXPECT_EQ(run.result.output.at(0), 0xEE);
    EXPECT_EQ(recordedAtr().size(), 11u);
}

// Interface groups beyond the third are read and skipped: historical bytes
// and TCK are found in place and nothing is written past TA1..TD3.
std::string groupsAtr(int groups, int historical)
{
    char t0[8];
    std::snprintf(t0, sizeof(t0), "%02X", 0xF0 | historical);
    std::string atr = std::string("3B ") + t0;
    for (int g = 1; g <= groups; g++) {
        atr += g < groups ? " A1 B1 C1 F1" : " A1 B1 C1 01";
    }
    for (int k = 0; k < historical; k++) {
        atr += " 48";
    }
    return atr + " 00";  // TCK
}

TEST_F(AtrTest, GroupsBeyondTheThirdAreSkipped)
{
    // 2 + 4 x 4 + 15 historical bytes = 33 bytes with the TCK... and 34.
    startScript(resetCommands(true) + "< " + groupsAtr(4, 14) + "\n");
    AtrRun run = power(SCARD_COLD_RESET);
    expectScriptPlayed();
    EXPECT_EQ(run.result.information, 33u);
    EXPECT_EQ(run.result.output.at(31), 0x48) << "last historical byte in place";
    for (int i = 0; i < 12; i++) {
        EXPECT_TRUE(entry(i).Present) << i;
    }
    EXPECT_EQ(entry(11).Value, 0xF1) << "TD3 announces the fourth group";

    startScript(resetCommands(true) + "< " + groupsAtr(4, 15) + "\n");
    run = power(SCARD_COLD_RESET);
    expectScriptPlayed();
    EXPECT_EQ(run.result.status, STATUS_BUFFER_TOO_SMALL) << "34 bytes are more than an ATR may hold";
    EXPECT_EQ(run.result.information, 34u) << "the reply copy is made first";
    EXPECT_TRUE(recordedAtr().empty());
}

TEST_F(AtrTest, AtrBeyondTheReadBufferIsRefused)
{
    startScript(resetCommands(true) + "< " + groupsAtr(14, 15) + "\n" + kPowerDown);
    AtrRun run = power(SCARD_COLD_RESET);
    expectScriptPlayed();
    EXPECT_EQ(run.result.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(recordedAtr().empty());
}

TEST_F(AtrTest, WarmResetOfAPoweredCardSkipsThePowerDown)
{
    startScript(resetCommands(false) + "< 3B 02 41 42\n", SCARD_POWERED);
    AtrRun run = power(SCARD_WARM_RESET);
    expectScriptPlayed();
    EXPECT_EQ(run.result.status, STATUS_SUCCESS);
    EXPECT_LT(run.elapsedMs, 200);

    // Not powered: the warm reset is carried out as a cold one.
    startScript(resetCommands(true) + "< 3B 02 41 42\n", SCARD_SWALLOWED);
    run = power(SCARD_WARM_RESET);
    expectScriptPlayed();
    EXPECT_EQ(run.result.status, STATUS_SUCCESS);
    EXPECT_GE(run.elapsedMs, 200);
}

TEST_F(AtrTest, PowerDownLeavesTheCardPresentAndTheReplyUntouched)
{
    startScript(kPowerDown, SCARD_SPECIFIC);
    card_->h().call([&] { card_->smartcard()->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1; });
    AtrRun run = power(SCARD_POWER_DOWN);
    expectScriptPlayed();
    EXPECT_EQ(run.result.status, STATUS_SUCCESS);
    EXPECT_GE(run.elapsedMs, 200);
    EXPECT_EQ(run.result.information, 0xEEEEEEEEu);
    EXPECT_EQ(card_->smartcard()->ReaderCapabilities.CurrentState, ULONG{SCARD_PRESENT});
    EXPECT_EQ(card_->smartcard()->CardCapabilities.Protocol.Selected, 0u);
}

TEST_F(AtrTest, OtherMinorCodeIsRefusedWithoutReaderTraffic)
{
    startScript("");
    AtrRun run = power(7);
    expectScriptPlayed();
    EXPECT_EQ(run.result.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(run.result.information, 0xEEEEEEEEu);
    EXPECT_TRUE(card_->h().script()->hostBytes().empty());
}

}  // namespace
}  // namespace tav712::testing
