// The driver's event-log messages: the codes header the driver includes, the
// host table and the message compiler's table all come from tav712log.mc and
// must carry exactly these codes and texts.
#include <ntdef.h>

#include "EventLogMessages.h"
#include "tav712log.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

struct ExpectedMessage {
  NTSTATUS driverCode;  // as the driver's codes header defines it
  std::uint32_t code;
  const char* name;
  std::optional<std::string> text;
};

#define EXPECTED_MESSAGE(name, code, text) \
  { name, code, #name, text }

const ExpectedMessage expectedMessages[] = {
    EXPECTED_MESSAGE(MSG_CREATE_DEVICE_FAILED, 0xC0040001u,
                     "A new device cannot be created due to an system call failure.\r\n"),
    EXPECTED_MESSAGE(MSG_NO_MEMORY, 0xC0040002u, "The system does not have enough memory.\r\n"),
    EXPECTED_MESSAGE(MSG_SERIAL_PORT_CONNECT_FAILED, 0xC0040004u,
                     "Internal error: Cannot connect to assigned serial port.\r\n"),
    EXPECTED_MESSAGE(MSG_TOO_MANY_DEVICES, 0xC0040005u,
                     "The maximum number of devices has already been created. \r\nA new device cannot be created.\r\n"),
    EXPECTED_MESSAGE(MSG_LIBRARY_VERSION_MISMATCH, 0x40040006u,
                     "The version of the dependency driver smclib.sys is not compatbile to this driver.\r\n"),
    EXPECTED_MESSAGE(MSG_BUFFER_TOO_SMALL, 0xC0100003u, "An internal i/o buffer is too small.\r\n"),
    EXPECTED_MESSAGE(MSG_DEVICE_POWER_FAILED, 0x8004000Au,
                     "The reader's power state could not be changed; the system's power change went ahead "
                     "without it.\r\n"),
    EXPECTED_MESSAGE(MSG_SERIAL_OPEN_FAILED, 0x40040007u, std::nullopt),
    EXPECTED_MESSAGE(MSG_SERIAL_CONFIG_FAILED, 0x40040008u, std::nullopt),
    EXPECTED_MESSAGE(MSG_READER_INIT_FAILED, 0x40040009u, std::nullopt),
};
#undef EXPECTED_MESSAGE

TEST(EventLogMessages, DriverCodesAndHostTableHoldEveryCodeWithItsNameAndText) {
  ASSERT_EQ(tav712::eventLogMessages().size(), std::size(expectedMessages));
  for (const auto& expected : expectedMessages) {
    SCOPED_TRACE(expected.name);
    EXPECT_EQ(static_cast<std::uint32_t>(expected.driverCode), expected.code);
    const auto* message = tav712::findEventLogMessage(expected.code);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->name, expected.name);
    EXPECT_EQ(message->text, expected.text);
  }
  EXPECT_EQ(tav712::findEventLogMessage(0xC0040003u), nullptr);
}

#ifdef TAV712_WINDMC_TABLE
// MESSAGE_RESOURCE_DATA as the message compiler writes it: a count of
// blocks, blocks of {low id, high id, offset}, entries of {length, flags,
// text} with the text padded by NULs.
std::map<std::uint32_t, std::string> readMessageResource(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const auto u32 = [&](std::size_t at) {
    std::uint32_t value = 0;
    if (at + 4 <= data.size()) std::memcpy(&value, data.data() + at, 4);
    return value;
  };
  const auto u16 = [&](std::size_t at) {
    std::uint16_t value = 0;
    if (at + 2 <= data.size()) std::memcpy(&value, data.data() + at, 2);
    return value;
  };
  std::map<std::uint32_t, std::string> entries;
  const std::uint32_t blocks = u32(0);
  for (std::uint32_t block = 0; block < blocks && block < 64; ++block) {
    const std::uint32_t lowId = u32(4 + block * 12);
    const std::uint32_t highId = u32(8 + block * 12);
    std::size_t at = u32(12 + block * 12);
    for (std::uint32_t id = lowId; id <= highId && at + 4 <= data.size(); ++id) {
      const std::uint16_t length = u16(at);
      EXPECT_EQ(u16(at + 2), 0) << "entry " << std::hex << id << " is not single-byte text";
      if (length < 4 || at + length > data.size()) break;
      std::string text(reinterpret_cast<const char*>(data.data() + at + 4), length - 4u);
      text.erase(text.find_last_not_of('\0') + 1);
      entries[id] = text;
      at += length;
    }
  }
  return entries;
}

TEST(EventLogMessages, MessageCompilerTableMatchesTheHostTable) {
  const auto entries = readMessageResource(TAV712_WINDMC_TABLE);
  std::map<std::uint32_t, std::string> expected;
  for (const auto& message : expectedMessages)
    if (message.text) expected[message.code] = *message.text;
  EXPECT_EQ(entries, expected);
}
#endif

}  // namespace
