#include "card_fixture.h"

#include <cstdio>

#include "driver/Driver.h"
#include "link/ReaderStart.h"

namespace tav712::testing {

CardHarness::CardHarness(HarnessOptions options) : harness_(std::make_unique<DriverHarness>(std::move(options)))
{
    PDRIVER_OBJECT driver = harness_->driverObject();
    driver->MajorFunction[IRP_MJ_CREATE] = CreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = CreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Cleanup;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
}

CardHarness::~CardHarness()
{
    if (handle_) {
        harness_->system().io().close(handle_);
    }
}

NTSTATUS CardHarness::startAndOpen()
{
    NTSTATUS status = harness_->call([&] { return StartDevice(harness_->deviceObject()); }, "start");
    if (status != STATUS_SUCCESS) {
        return status;
    }
    auto links = harness_->system().io().interfaces(GUID_DEVINTERFACE_SMARTCARD_READER);
    if (links.empty()) {
        return STATUS_UNSUCCESSFUL;
    }
    platform::OpenResult opened = harness_->system().io().open(links.front());
    handle_ = opened.handle;
    return opened.status;
}

IoctlResult CardHarness::ioctl(ULONG code, const Bytes &input, ULONG outputLength)
{
    return harness_->system().io().deviceControl(handle_, code, input, outputLength);
}

platform::PendingRequest CardHarness::ioctlAsync(ULONG code, const Bytes &input, ULONG outputLength)
{
    return harness_->system().io().deviceControlAsync(handle_, code, input, outputLength);
}

NTSTATUS CardHarness::cleanup()
{
    return harness_->system().io().cleanup(handle_);
}

IoctlResult CardHarness::power(ULONG minorCode, ULONG outputLength)
{
    return ioctl(IOCTL_SMARTCARD_POWER, ulongBytes(minorCode), outputLength);
}

IoctlResult CardHarness::setProtocol(ULONG mask)
{
    return ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, ulongBytes(mask), sizeof(ULONG));
}

IoctlResult CardHarness::transmit(ULONG protocol, const Bytes &apdu, ULONG responseCapacity)
{
    Bytes input = ulongBytes(protocol);
    Bytes headerLength = ulongBytes(8);
    input.insert(input.end(), headerLength.begin(), headerLength.end());
    input.insert(input.end(), apdu.begin(), apdu.end());
    IoctlResult result = ioctl(IOCTL_SMARTCARD_TRANSMIT, input, responseCapacity + 8);
    if (result.status == STATUS_SUCCESS && result.output.size() >= 8) {
        result.output.erase(result.output.begin(), result.output.begin() + 8);
    } else {
        result.output.clear();
    }
    return result;
}

IoctlResult CardHarness::cardPower(ULONG minorCode, ULONG replyLength)
{
    IoctlResult result;
    result.output.assign(replyLength, 0xEE);
    ULONG information = 0xEEEEEEEE;
    harness_->call([&] {
        PSMARTCARD_EXTENSION smartcard = harness_->smartcardExtension();
        smartcard->MinorIoControlCode = minorCode;
        smartcard->IoRequest.ReplyBuffer = result.output.empty() ? nullptr : result.output.data();
        smartcard->IoRequest.ReplyBufferLength = replyLength;
        smartcard->IoRequest.Information = &information;
        result.status = CardPower(smartcard);
        smartcard->IoRequest.ReplyBuffer = nullptr;
        smartcard->IoRequest.ReplyBufferLength = 0;
        smartcard->IoRequest.Information = nullptr;
    }, "card power");
    result.information = information;
    return result;
}

Bytes ulongBytes(ULONG value)
{
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

ULONG ulongFrom(const Bytes &bytes, size_t offset)
{
    return static_cast<ULONG>(bytes.at(offset) | bytes.at(offset + 1) << 8 | bytes.at(offset + 2) << 16 |
                              static_cast<ULONG>(bytes.at(offset + 3)) << 24);
}

std::string hex(const Bytes &bytes)
{
    std::string text;
    char piece[4];
    for (std::uint8_t byte : bytes) {
        std::snprintf(piece, sizeof(piece), text.empty() ? "%02X" : " %02X", byte);
        text += piece;
    }
    return text;
}

}  // namespace tav712::testing
