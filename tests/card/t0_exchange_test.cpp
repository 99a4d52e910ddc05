// The T=0 procedure-byte dialogue on a scripted reader: the card's
// procedure bytes are played exactly, so every case of the dialogue shows in
// the bytes sent and the reply assembled.

#include "card_fixture.h"

#include <string>

namespace tav712::testing {
namespace {

const Bytes kRead2 = {0x00, 0xB0, 0x00, 0x00, 0x02};  // READ BINARY, Le 2
const Bytes kRead4 = {0x00, 0xB0, 0x00, 0x00, 0x04};
const Bytes kUpdate2 = {0x00, 0xD6, 0x00, 0x00, 0x02};  // UPDATE BINARY, Lc 2

struct ExchangeRow {
  const char* name;
  Bytes header;
  Bytes data;            // command data after the header
  std::string dialogue;  // script after the header was sent and accepted
  NTSTATUS status;
  std::string reply;  // on success
};

TEST(T0Exchange, ProcedureBytesDriveTheDialogue) {
  const ExchangeRow rows[] = {
      {"status word at once", kRead4, {}, "< 6C 02\n", STATUS_SUCCESS, "6C 02"},
      {"whole acknowledge, then response data and status",
       kRead2,
       {},
       "< 60 60 B0 11 22 90 00\n",
       STATUS_SUCCESS,
       "11 22 90 00"},
      {"acknowledge with the low bit set", kRead2, {}, "< B1 11 22 90 00\n", STATUS_SUCCESS, "11 22 90 00"},
      // After the data the card sends procedure bytes again: NULLs, then SW1.
      {"NULL bytes between the response data and SW1 are skipped",
       kRead2,
       {},
       "< B0 11 22 60 60 90 00\n",
       STATUS_SUCCESS,
       "11 22 90 00"},
      {"NULL byte after single-byte transfers is skipped",
       {0x00, 0xB0, 0x00, 0x00, 0x01},
       {},
       "< 4F 11 60 90 00\n",
       STATUS_SUCCESS,
       "11 90 00"},
      {"acknowledge with nothing left to move waits for SW1",
       kRead2,
       {},
       "< B0 11 22 B0 90 00\n",
       STATUS_SUCCESS,
       "11 22 90 00"},
      {"status word after single-byte transfers drops the data",
       kRead4,
       {},
       "< 4F 11 4F 22 6A 82\n",
       STATUS_SUCCESS,
       "6A 82"},
      {"whole acknowledge for command data",
       kUpdate2,
       {0x01, 0x02},
       "< D6\n> 42 01 02\n< 90 90 00\n",
       STATUS_SUCCESS,
       "90 00"},
      {"single-byte acknowledges for command data",
       kUpdate2,
       {0x01, 0x10},
       "< 29\n> 41 01\n< 90 60 28\n> 41 10\n< 90 90 00\n",
       STATUS_SUCCESS,
       "90 00"},
      // Odd INS codes are ordinary instructions (READ BINARY B1, GET DATA
      // CB): the echoed INS acknowledges them; INS+1 does not.
      {"odd INS echoed is an acknowledge",
       {0x00, 0xB1, 0x00, 0x00, 0x02},
       {},
       "< B1 11 22 90 00\n",
       STATUS_SUCCESS,
       "11 22 90 00"},
      {"odd INS complemented is a single-byte acknowledge",
       {0x00, 0xCB, 0x00, 0x00, 0x01},
       {},
       "< 34 11 90 00\n",
       STATUS_SUCCESS,
       "11 90 00"},
      {"status word equal to the complement of an odd INS+1",
       {0x00, 0x8F, 0x00, 0x00, 0x02},
       {},
       "< 6F 00\n",
       STATUS_SUCCESS,
       "6F 00"},
      {"data error on a procedure byte", kRead2, {}, "< 10 88\n", STATUS_IO_TIMEOUT, ""},
      {"card falls silent inside the response data", kRead2, {}, "< B0 11\n", STATUS_IO_TIMEOUT, ""},
      {"card falls silent after a single-byte acknowledge", kRead2, {}, "< 4F\n", STATUS_IO_TIMEOUT, ""},
      {"silent card", kRead2, {}, "", STATUS_IO_TIMEOUT, ""},
      {"send refused by the reader", kRead2, {}, "", STATUS_UNSUCCESSFUL, ""},
      {"command shorter than a header", {0x00, 0xB0, 0x00, 0x00}, {}, "", STATUS_INVALID_DEVICE_REQUEST, ""},
  };
  for (const ExchangeRow& row : rows) {
    SCOPED_TRACE(row.name);
    // The header goes out as one send command, answered 0x90 (0x00 in
    // the refused row); a command shorter than a header never goes out.
    const bool refused = row.status == STATUS_UNSUCCESSFUL;
    const bool headerShort = row.header.size() < 5;
    CardHarness card({.line = ScriptLine{headerShort ? std::string()
                                                     : "> 45 " + hex(row.header) + (refused ? "\n< 00\n" : "\n< 90\n") +
                                                           row.dialogue}});
    ASSERT_EQ(card.h().openLink(), STATUS_SUCCESS);
    Bytes command = concat({row.header, row.data});
    Bytes reply(64, 0xEE);
    ULONG replyLength = static_cast<ULONG>(reply.size());
    NTSTATUS status = card.h().call([&] {
      card.smartcard()->T0.Le = row.data.empty() && !headerShort ? row.header[4] : 0;
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
