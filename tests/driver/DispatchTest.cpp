// Request dispatch as an application meets it: the cleanup of a handle
// cancels the card-tracking request that the library parked, and the count
// of requests inside the library follows them in and out.
#include "FrameTest.h"

#include <gtest/gtest.h>

namespace tav712::testing {
namespace {

using namespace std::chrono_literals;

class Dispatch : public FrameTest {};

TEST_F(Dispatch, CleanupCancelsTheParkedTrackingRequest) {
    ReaderPort& port = startedReader();
    platform::Handle handle = open(port);

    // A card is in the reader: waiting for its absence parks the request.
    auto tracking = system.io().deviceControlAsync(handle, IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    system.scheduler().advanceBy(2s);
    ASSERT_FALSE(tracking.done());
    EXPECT_NE(extension(port)->SmartcardExtension.OsData->NotificationIrp, nullptr);
    EXPECT_EQ(extension(port)->IoCount, 0) << "a parked request is not inside the library";

    EXPECT_EQ(system.io().cleanup(handle), STATUS_SUCCESS);
    EXPECT_EQ(extension(port)->SmartcardExtension.OsData->NotificationIrp, nullptr);
    ASSERT_TRUE(system.scheduler().runUntil([&] { return tracking.done(); }, 1s))
        << "cleanup completed the parked request";
    EXPECT_EQ(tracking.wait().status, STATUS_CANCELLED);
    EXPECT_EQ(extension(port)->SmartcardExtension.OsData->NotificationIrp, nullptr);
    EXPECT_EQ(close(handle), STATUS_SUCCESS);
}

TEST_F(Dispatch, CleanupWithoutTrackingRequestChangesNothing) {
    ReaderPort& port = startedReader();
    platform::Handle handle = open(port);
    EXPECT_EQ(system.io().cleanup(handle), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&extension(port)->ReaderClosed), 0) << "the handle is still open until its close";
    EXPECT_EQ(close(handle), STATUS_SUCCESS);
    EXPECT_NE(KeReadStateEvent(&extension(port)->ReaderClosed), 0);
}

TEST_F(Dispatch, ParkedRequestCompletesWhenTheCardIsPulled) {
    ReaderPort& port = startedReader();
    platform::Handle handle = open(port);
    auto tracking = system.io().deviceControlAsync(handle, IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
    system.scheduler().advanceBy(1s);
    ASSERT_FALSE(tracking.done());

    port.reader->removeCard();
    EXPECT_EQ(tracking.wait().status, STATUS_SUCCESS);
    EXPECT_EQ(cardState(handle), static_cast<ULONG>(SCARD_ABSENT));
    EXPECT_EQ(close(handle), STATUS_SUCCESS);
}

TEST_F(Dispatch, RequestsCountInAndOutOfTheLibrary) {
    ReaderPort& port = startedReader();
    platform::Handle handle = open(port);
    auto request = requestInsideLibrary(port, handle);
    EXPECT_EQ(extension(port)->IoCount, 1);
    // A second request while one is inside passes the gate without waiting,
    // even with the gate closed.
    KeClearEvent(&extension(port)->ReaderStarted);
    auto second = system.io().deviceControlAsync(handle, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
    EXPECT_EQ(second.wait().status, STATUS_SUCCESS);
    EXPECT_EQ(request.wait().status, STATUS_SUCCESS);
    EXPECT_EQ(extension(port)->IoCount, 0);
    KeSetEvent(&extension(port)->ReaderStarted, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(close(handle), STATUS_SUCCESS);
}

}  // namespace
}  // namespace tav712::testing
