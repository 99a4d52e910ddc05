// Card power and answer-to-reset on a scripted reader: every command the
// driver sends is expected byte for byte and the card's ATR is played with
// exact timing, so the ATR walk, its time-outs and the failure paths show.

#include "card_fixture.h"

#include <cstdio>
#include <string>

namespace tav712::testing {
namespace {

// The register set-up before a reset, the cold reset's power-down, and the
// reset itself, each command answered by the reader.
std::string resetCommands(bool cold, const std::string& resetReply = "90") {
  std::string script =
      "> 82 6F\n< 90\n"                                         // control register for the ATR
      "> C1\n< 00\n> C2\n< 6F\n> 81 0D\n< 90\n> 82 6F\n< 90\n"  // guard time 13
      "> 85 80 25 00\n< 90\n"                                   // character waiting time 9600
      "> C2\n< 6F\n> 82 6C\n< 90\n";                            // mode 0
  if (cold) {
    script += "> 84 00\n< 90\n";
  }
  return script + "> 83 1D\n< " + resetReply + "\n";
}

const std::string kPowerDown = "> 84 00\n< 90\n";
const std::string kExampleAtr = "3B B2 11 00 81 31 FE 45 65 66 AB";
constexpr ULONG kNoLength = 0xEEEEEEEE;  // the reported length when none is written

// "3B Fh" with `groups` full interface groups (TD announcing the next, the
// last naming T=1), `historical` bytes of 0x48 and a TCK.
std::string groupsAtr(int groups, int historical) {
  char t0[4];
  std::snprintf(t0, sizeof(t0), "%02X", 0xF0 | historical);
  std::string atr = std::string("3B ") + t0;
  for (int g = 1; g <= groups; g++) {
    atr += g < groups ? " A1 B1 C1 F1" : " A1 B1 C1 01";
  }
  for (int k = 0; k < historical; k++) {
    atr += " 48";
  }
  return atr + " 00";
}

struct AtrRun {
  IoctlResult result;
  double elapsedMs = 0;
};

class AtrTest : public ::testing::Test {
 protected:
  void startScript(const std::string& script, ULONG currentState = SCARD_SWALLOWED) {
    card_.reset();
    card_ = std::make_unique<CardHarness>(HarnessOptions{.line = ScriptLine{script}});
    ASSERT_EQ(card_->h().openLink(), STATUS_SUCCESS);
    card_->h().call([&] { card_->smartcard()->ReaderCapabilities.CurrentState = currentState; });
  }
  // Plays the script through a CardPower call and requires every byte of
  // it to have been exchanged.
  AtrRun power(ULONG minorCode, ULONG replyLength = 64) {
    AtrRun run;
    double before = card_->h().nowMs();
    run.result = card_->cardPower(minorCode, replyLength);
    run.elapsedMs = card_->h().nowMs() - before;
    card_->h().runUntilIdle();
    EXPECT_TRUE(card_->h().script()->finished());
    EXPECT_TRUE(card_->h().script()->mismatches().empty()) << card_->h().script()->mismatches().front();
    return run;
  }
  AtrRun coldReset(const std::string& cardAnswer, ULONG replyLength = 64) {
    startScript(resetCommands(true) + cardAnswer);
    return power(SCARD_COLD_RESET, replyLength);
  }
  Bytes recordedAtr() {
    const auto& atr = card_->smartcard()->CardCapabilities.ATR;
    return Bytes(atr.Buffer, atr.Buffer + atr.Length);
  }
  // TA1 TB1 TC1 TD1 TA2 .. TD3 as recorded, "--" where absent.
  std::string interfaceBytes() {
    std::string text;
    for (const ATR_INTERFACE_BYTE& entry : card_->reader()->AtrInterfaceBytes) {
      text += (text.empty() ? "" : " ") + (entry.Present ? hex({entry.Value}) : std::string("--"));
    }
    return text;
  }

  std::unique_ptr<CardHarness> card_;
};

TEST_F(AtrTest, ExampleAtrIsWalkedGroupByGroup) {
  // TS T0 | TA1 TB1 TD1 | TD2 | TA3 TB3 | two historical bytes | TCK
  AtrRun run = coldReset("< " + kExampleAtr + "\n");
  ASSERT_EQ(run.result.status, STATUS_SUCCESS);
  EXPECT_EQ(run.result.information, 11u);
  EXPECT_EQ(hex(Bytes(run.result.output.begin(), run.result.output.begin() + 11)), kExampleAtr);
  EXPECT_EQ(hex(recordedAtr()), kExampleAtr);
  EXPECT_EQ(card_->smartcard()->CardCapabilities.Protocol.Selected, 0u);

  EXPECT_EQ(interfaceBytes(), "11 00 -- 81 -- -- -- 31 FE 45 -- --");
  // The serial time-outs follow the card (T=0 formula while no protocol
  // is selected): F 372, D 1, WI 10.
  EXPECT_EQ(card_->reader()->ReadCharTimeout, 1346u);
  EXPECT_EQ(card_->reader()->ReadTotalTimeout, 1396u);
}

constexpr double kAnyMs = 1e9;

struct ResetCase {
  const char* name;
  std::string cardAnswer;  // script lines after the reset command
  NTSTATUS status;
  ULONG information;
  std::string replyStart;  // "EE": the reply is untouched
  size_t recordedLength;   // of CardCapabilities.ATR
  double minMs = 0;        // from the call to its end
  double maxMs = kAnyMs;
  ULONG readTotalTimeoutMs = 0;  // as left behind; 0: not checked
  std::string resetReply = "90";
  ULONG replyLength = 64;
};

// A failed reset powers the card down (kPowerDown in the script) and leaves
// the ATR cleared.
TEST_F(AtrTest, ResetAnswersAndFailures) {
  const ResetCase rows[] = {
      {"inverse convention TS is recorded as 3F", "< 03 60 00 00\n", STATUS_SUCCESS, 4, "3F 60 00 00", 4},
      // TD1 names T=1 and no TD2 follows: a TCK is due, and when it does
      // not come within 1200 + 1200 ms the ATR is taken without it.
      {"missing TCK is accepted after its time-out", "< 3B 80 01\n", STATUS_SUCCESS, 3, "3B 80 01", 3, 2400,
       2400 + 300},
      {"TD2 naming T=0 means no TCK", "< 3B 80 81 00\n", STATUS_SUCCESS, 4, "3B 80 81 00", 4, 0, 400},
      // A data error the reader reports anywhere in the ATR fails the reset
      // (the reader puts a zero in the character's place), whether or not
      // the ATR has a check byte that would show it.
      {"data error on a historical byte", "< 3B 02 10 88 42\n" + kPowerDown, STATUS_DATA_ERROR, kNoLength, "EE", 0},
      {"data error on an interface byte", "< 3B 20 10 88\n" + kPowerDown, STATUS_DATA_ERROR, kNoLength, "EE", 0},
      {"data error on the TCK", "< 3B 80 01 10 88\n" + kPowerDown, STATUS_DATA_ERROR, kNoLength, "EE", 0},
      {"two-byte ATR is accepted but not recorded", "< 3B 00\n", STATUS_SUCCESS, kNoLength, "EE", 0},
      {"ATR longer than the reply is recorded but not copied", "< " + kExampleAtr + "\n", STATUS_SUCCESS, kNoLength,
       "EE", 11, 0, kAnyMs, 0, "90", 10},
      {"ATR beyond the read buffer", "< " + groupsAtr(14, 15) + "\n" + kPowerDown, STATUS_BUFFER_TOO_SMALL, kNoLength,
       "EE", 0},
      {"silent card", kPowerDown, STATUS_UNRECOGNIZED_MEDIA, kNoLength, "EE", 0, 120 + 200, kAnyMs, 120},
      {"TS alone", "< 3B\n" + kPowerDown, STATUS_UNRECOGNIZED_MEDIA, kNoLength, "EE", 0, 200, kAnyMs, 1200},
      {"missing historical byte", "< 3B 02 41\n" + kPowerDown, STATUS_UNRECOGNIZED_MEDIA, kNoLength, "EE", 0, 200,
       kAnyMs, 1200},
      {"bad TS", "< 3A 00\n" + kPowerDown, STATUS_DATA_ERROR, kNoLength, "EE", 0, 200, kAnyMs, 1200},
      {"reader error on the reset", kPowerDown, STATUS_DATA_ERROR, kNoLength, "EE", 0, 200, kAnyMs, 100, "84"},
  };
  for (const ResetCase& row : rows) {
    SCOPED_TRACE(row.name);
    startScript(resetCommands(true, row.resetReply) + row.cardAnswer);
    AtrRun run = power(SCARD_COLD_RESET, row.replyLength);
    EXPECT_EQ(run.result.status, row.status);
    EXPECT_EQ(run.result.information, row.information);
    const Bytes& reply = run.result.output;
    EXPECT_EQ(hex(Bytes(reply.begin(), reply.begin() + (row.replyStart.size() + 1) / 3)), row.replyStart);
    EXPECT_EQ(recordedAtr().size(), row.recordedLength);
    EXPECT_GE(run.elapsedMs, row.minMs);
    EXPECT_LT(run.elapsedMs, row.maxMs);
    if (row.readTotalTimeoutMs != 0) {
      EXPECT_EQ(card_->reader()->ReadTotalTimeout, row.readTotalTimeoutMs);
    }
  }
}

// A TCK that comes after its time-out stays in the receive buffer, and a
// protocol selection then refuses to read it as the card's PTS answer.
TEST_F(AtrTest, LateTckMakesTheNextProtocolSelectionFail) {
  startScript(resetCommands(true) + "< 3B 80 01\n< +3000ms 81\n");
  ASSERT_EQ(card_->cardPower(SCARD_COLD_RESET).status, STATUS_SUCCESS);
  card_->h().runFor(std::chrono::seconds(2));
  EXPECT_TRUE(card_->h().script()->finished());
  EXPECT_EQ(card_->reader()->ReceivedBytes, 1u);

  IoctlResult selection = card_->callService(SetProtocol, SCARD_PROTOCOL_T1, sizeof(ULONG));
  EXPECT_EQ(selection.status, STATUS_DEVICE_PROTOCOL_ERROR);
  EXPECT_EQ(selection.information, kNoLength) << "nothing changed";
  EXPECT_EQ(hex(selection.output), "EE EE EE EE");
}

// Interface groups beyond the third are read and skipped: historical bytes
// and TCK are found in place and nothing is written past TA1..TD3.
TEST_F(AtrTest, GroupsBeyondTheThirdAreSkipped) {
  // 2 + 4 x 4 + 14 historical bytes + TCK = 33 bytes.
  const std::string atr = groupsAtr(4, 14);
  AtrRun run = coldReset("< " + atr + "\n");
  EXPECT_EQ(run.result.information, 33u);
  EXPECT_EQ(hex(Bytes(run.result.output.begin(), run.result.output.begin() + 33)), atr);
  EXPECT_EQ(interfaceBytes(), "A1 B1 C1 F1 A1 B1 C1 F1 A1 B1 C1 F1") << "TD3 announces the fourth group";

  run = coldReset("< " + groupsAtr(4, 15) + "\n");
  EXPECT_EQ(run.result.status, STATUS_BUFFER_TOO_SMALL) << "34 bytes are more than an ATR may hold";
  EXPECT_EQ(run.result.information, 34u) << "the reply copy is made first";
  EXPECT_TRUE(recordedAtr().empty());
}

// A byte the card garbled while it was being powered down for the cold
// reset is no part of its answer.
TEST_F(AtrTest, DataErrorBeforeTheResetDoesNotFailTheAnswer) {
  std::string script = resetCommands(true);
  const std::string powerDown = "> 84 00\n< 90\n";
  script.replace(script.find(powerDown), powerDown.size(), "> 84 00\n< 90 10 88\n");
  startScript(script + "< 3B 02 41 42\n");
  AtrRun run = power(SCARD_COLD_RESET);
  EXPECT_EQ(run.result.status, STATUS_SUCCESS);
  EXPECT_EQ(hex(recordedAtr()), "3B 02 41 42");
}

TEST_F(AtrTest, WarmResetOfAPoweredCardSkipsThePowerDown) {
  startScript(resetCommands(false) + "< 3B 02 41 42\n", SCARD_POWERED);
  AtrRun run = power(SCARD_WARM_RESET);
  EXPECT_EQ(run.result.status, STATUS_SUCCESS);
  EXPECT_LT(run.elapsedMs, 200);

  // Not powered: the warm reset is carried out as a cold one.
  startScript(resetCommands(true) + "< 3B 02 41 42\n", SCARD_SWALLOWED);
  run = power(SCARD_WARM_RESET);
  EXPECT_EQ(run.result.status, STATUS_SUCCESS);
  EXPECT_GE(run.elapsedMs, 200);
}

TEST_F(AtrTest, PowerDownLeavesTheCardPresentAndTheReplyUntouched) {
  startScript(kPowerDown, SCARD_SPECIFIC);
  card_->h().call([&] { card_->smartcard()->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1; });
  AtrRun run = power(SCARD_POWER_DOWN);
  EXPECT_EQ(run.result.status, STATUS_SUCCESS);
  EXPECT_GE(run.elapsedMs, 200);
  EXPECT_EQ(run.result.information, kNoLength);
  EXPECT_EQ(card_->smartcard()->ReaderCapabilities.CurrentState, ULONG{SCARD_PRESENT});
  EXPECT_EQ(card_->smartcard()->CardCapabilities.Protocol.Selected, 0u);
}

}  // namespace
}  // namespace tav712::testing
