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
    std::uint32_t code;
    const char* name;
    std::optional<std::string> text;
};

const ExpectedMessage expectedMessages[] = {
    {0xC0040001u, "MSG_CREATE_DEVICE_FAILED", "A new device cannot be created due to an system call failure.\r\n"},
    {0xC0040002u, "MSG_NO_MEMORY", "The system does not have enough memory.\r\n"},
    {0xC0040004u, "MSG_SERIAL_PORT_CONNECT_FAILED", "Internal error: Cannot connect to assigned serial port.\r\n"},
    {0xC0040005u, "MSG_TOO_MANY_DEVICES",
     "The maximum number of devices has already been created. \r\nA new device cannot be created.\r\n"},
    {0x40040006u, "MSG_LIBRARY_VERSION_MISMATCH",
     "The version of the dependency driver smclib.sys is not compatbile to this driver.\r\n"},
    {0xC0100003u, "MSG_BUFFER_TOO_SMALL", "An internal i/o buffer is too small.\r\n"},
    {0x40040007u, "MSG_SERIAL_OPEN_FAILED", std::nullopt},
    {0x40040008u, "MSG_SERIAL_CONFIG_FAILED", std::nullopt},
    {0x40040009u, "MSG_READER_INIT_FAILED", std::nullopt},
};

// The codes as the driver sees them, by name.
const std::map<std::string, NTSTATUS> driverCodes = {
    {"MSG_CREATE_DEVICE_FAILED", MSG_CREATE_DEVICE_FAILED},
    {"MSG_NO_MEMORY", MSG_NO_MEMORY},
    {"MSG_SERIAL_PORT_CONNECT_FAILED", MSG_SERIAL_PORT_CONNECT_FAILED},
    {"MSG_TOO_MANY_DEVICES", MSG_TOO_MANY_DEVICES},
    {"MSG_LIBRARY_VERSION_MISMATCH", MSG_LIBRARY_VERSION_MISMATCH},
    {"MSG_BUFFER_TOO_SMALL", MSG_BUFFER_TOO_SMALL},
    {"MSG_SERIAL_OPEN_FAILED", MSG_SERIAL_OPEN_FAILED},
    {"MSG_SERIAL_CONFIG_FAILED", MSG_SERIAL_CONFIG_FAILED},
    {"MSG_READER_INIT_FAILED", MSG_READER_INIT_FAILED},
};

TEST(EventLogMessages, HostTableHoldsEveryCodeWithItsNameAndText) {
    ASSERT_EQ(tav712::eventLogMessages().size(), std::size(expectedMessages));
    for (const auto& expected : expectedMessages) {
        SCOPED_TRACE(expected.name);
        const auto* message = tav712::findEventLogMessage(expected.code);
        ASSERT_NE(message, nullptr);
        EXPECT_EQ(message->name, expected.name);
        EXPECT_EQ(message->text, expected.text);
    }
    EXPECT_EQ(tav712::findEventLogMessage(0xC0040003u), nullptr);
}

TEST(EventLogMessages, DriverCodesMatchTheTable) {
    ASSERT_EQ(driverCodes.size(), std::size(expectedMessages));
    for (const auto& expected : expectedMessages) {
        SCOPED_TRACE(expected.name);
        ASSERT_TRUE(driverCodes.contains(expected.name));
        EXPECT_EQ(static_cast<std::uint32_t>(driverCodes.at(expected.name)), expected.code);
    }
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
