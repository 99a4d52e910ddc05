// The T=0 procedure-byte dialogue on a scripted reader: the card's
// procedure bytes are played exactly, so every case of the dialogue shows in
// the bytes sent and the reply assembled.

#include "card_fixture.h"

#include <string>

namespace tav712::testing {
namespace {

struct ExchangeRow {
    const char *name;
    Bytes command;    // header and command data
    ULONG le;         // response data expected
    std::string dialogue;  // script after the link is open
    NTSTATUS status;
    std::string reply;     // on success
};

TEST(T0Exchange, ProcedureBytesDriveTheDialogue)
{
    const ExchangeRow rows[] = {
        {"status word at once", {0x00, 0xB0, 0x00, 0x00, 0x04}, 4,
         "> 45 00 B0 00 00 04\n< 90 6C 02\n", STATUS_SUCCESS, "6C 02"},
        {"whole acknowledge, then response data and status", {0x00, 0xB0, 0x00, 0x00, 0x02}, 2,
         "> 45 00 B0 00 00 02\n< 90 60 60 B0 11 22 90 00\n", STATUS_SUCCESS, "11 22 90 00"},
        {"acknowledge with the low bit set", {0x00, 0xB0, 0x00, 0x00, 0x02}, 2,
         "> 45 00 B0 00 00 02\n< 90 B1 11 22 90 00\n", STATUS_SUCCESS, "11 22 90 00"},
        {"single-byte acknowledges for response data", {0x00, 0xB0, 0x00, 0x00, 0x02}, 2,
         "> 45 00 B0 00 00 02\n< 90 4F 11 60 4F 22 90 00\n", STATUS_SUCCESS, "11 22 90 00"},
        {"last two bytes taken as the status without a procedure test", {0x00, 0xB0, 0x00, 0x00, 0x01}, 1,
         "> 45 00 B0 00 00 01\n< 90 4F 11 60 00\n", STATUS_SUCCESS, "11 60 00"},
        {"status word after single-byte transfers drops the data", {0x00, 0xB0, 0x00, 0x00, 0x04}, 4,
         "> 45 00 B0 00 00 04\n< 90 4F 11 4F 22 6A 82\n", STATUS_SUCCESS, "6A 82"},
        {"whole acknowledge for command data", {0x00, 0xD6, 0x00, 0x00, 0x02, 0x01, 0x02}, 0,
         "> 45 00 D6 00 00 02\n< 90 D6\n> 42 01 02\n< 90 90 00\n", STATUS_SUCCESS, "90 00"},
        {"single-byte acknowledges for command data", {0x00, 0xD6, 0x00, 0x00, 0x02, 0x01, 0x10}, 0,
         "> 45 00 D6 00 00 02\n< 90 29\n> 41 01\n< 90 60 28\n> 41 10\n< 90 90 00\n", STATUS_SUCCESS, "90 00"},
        {"odd INS echoed is a status word", {0x00, 0xB1, 0x00, 0x00, 0x02}, 2,
         "> 45 00 B1 00 00 02\n< 90 B1 6A\n", STATUS_SUCCESS, "B1 6A"},
        {"data error on SW2", {0x00, 0xB0, 0x00, 0x00, 0x02}, 2,
         "> 45 00 B0 00 00 02\n< 90 B0 11 22 90 10 88\n", STATUS_IO_TIMEOUT, ""},
        {"data error on a procedure byte", {0x00, 0xB0, 0x00, 0x00, 0x02}, 2,
         "> 45 00 B0 00 00 02\n< 90 10 88\n", STATUS_IO_TIMEOUT, ""},
        {"silent card", {0x00, 0xB0, 0x00, 0x00, 0x02}, 2, "> 45 00 B0 00 00 02\n< 90\n", STATUS_IO_TIMEOUT, ""},
        {"send refused by the reader", {0x00, 0xB0, 0x00, 0x00, 0x02}, 2, "> 45 00 B0 00 00 02\n< 00\n",
         STATUS_UNSUCCESSFUL, ""},
    };
    for (const ExchangeRow &row : rows) {
        SCOPED_TRACE(row.name);
        CardHarness card({.line = ScriptLine{row.dialogue}});
        ASSERT_EQ(card.h().openLink(), STATUS_SUCCESS);
        Bytes command = row.command;
        Bytes reply(64, 0xEE);
        ULONG replyLength = static_cast<ULONG>(reply.size());
        NTSTATUS status = card.h().call([&] {
            card.smartcard()->T0.Le = row.le;
            return T0Exchange(card.smartcard(), command.data(), static_cast<ULONG>(command.size()), reply.data(),
                              &replyLength);
        });
        card.h().runUntilIdle();
        EXPECT_TRUE(card.h().script()->finished());
        EXPECT_EQ(status, row.status);
        if (row.status == STATUS_SUCCESS) {
            EXPECT_EQ(hex(Bytes(reply.begin(), reply.begin() + replyLength)), row.reply);
        } else {
            EXPECT_EQ(replyLength, 64u) << "length written only on success";
        }
    }
}

}  // namespace
}  // namespace tav712::testing
