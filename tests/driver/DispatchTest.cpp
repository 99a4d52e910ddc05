// Request dispatch as an application meets it: the cleanup of a handle
// cancels the card-tracking request that the library parked, a parked
// request ends when the card is pulled, and a request inside the library is
// counted, lets a second one pass the gate and makes the stop and sleep
// queries refuse.
#include "FrameTest.h"

#include <gtest/gtest.h>

namespace tav712::testing {
namespace {

class Dispatch : public FrameTest {
protected:
    // A card is in the reader: waiting for its absence parks the request.
    platform::PendingRequest parkedTracking(const ReaderPort& port, platform::Handle handle) {
        auto tracking = system.io().deviceControlAsync(handle, IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
        system.scheduler().advanceBy(2s);
        EXPECT_FALSE(tracking.done());
        EXPECT_NE(extension(port)->SmartcardExtension.OsData->NotificationIrp, nullptr);
        EXPECT_EQ(extension(port)->IoCount, 0) << "a parked request is not inside the library";
        return tracking;
    }
};

TEST_F(Dispatch, CleanupCancelsTheParkedTrackingRequestAndTheCloseEndsTheHandle) {
    ReaderPort& port = startedReader();
    platform::Handle handle = open(port);
    auto tracking = parkedTracking(port, handle);

    EXPECT_EQ(system.io().cleanup(handle), STATUS_SUCCESS);
    EXPECT_EQ(extension(port)->SmartcardExtension.OsData->NotificationIrp, nullptr);
    ASSERT_TRUE(system.scheduler().runUntil([&] { return tracking.done(); }, 1s))
        << "cleanup completed the parked request";
    EXPECT_EQ(tracking.wait().status, STATUS_CANCELLED);
    EXPECT_EQ(KeReadStateEvent(&extension(port)->ReaderClosed), 0) << "the handle is open until its close";
    EXPECT_EQ(close(handle), STATUS_SUCCESS);
    EXPECT_NE(KeReadStateEvent(&extension(port)->ReaderClosed), 0);
}

TEST_F(Dispatch, ParkedRequestCompletesWhenTheCardIsPulled) {
    ReaderPort& port = startedReader();
    platform::Handle handle = open(port);
    auto tracking = parkedTracking(port, handle);
    port.reader->removeCard();
    EXPECT_EQ(tracking.wait().status, STATUS_SUCCESS);
    EXPECT_EQ(cardState(handle), static_cast<ULONG>(SCARD_ABSENT));
    EXPECT_EQ(close(handle), STATUS_SUCCESS);
}

TEST_F(Dispatch, ARequestInsideTheLibraryIsCountedAndMakesTheStopAndSleepQueriesRefuse) {
    ReaderPort& port = startedReader();
    platform::Handle handle = open(port);
    auto request = requestInsideLibrary(port, handle);
    EXPECT_EQ(extension(port)->IoCount, 1);
    EXPECT_EQ(system.pnp().send(port.physicalDevice(), IRP_MN_QUERY_STOP_DEVICE), STATUS_DEVICE_BUSY);
    EXPECT_EQ(system.power().querySystemPower(port.physicalDevice(), PowerSystemHibernate), STATUS_DEVICE_BUSY);
    EXPECT_TRUE(gateOpen(port)) << "the refused queries leave the gate open";

    // A second request while one is inside passes the gate without waiting,
    // even with the gate closed.
    KeClearEvent(&extension(port)->ReaderStarted);
    auto second = system.io().deviceControlAsync(handle, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
    EXPECT_EQ(second.wait().status, STATUS_SUCCESS);
    EXPECT_EQ(request.wait().status, STATUS_SUCCESS);
    EXPECT_EQ(extension(port)->IoCount, 0);
    KeSetEvent(&extension(port)->ReaderStarted, IO_NO_INCREMENT, FALSE);

    // Idle again: the sleep query is accepted.
    EXPECT_EQ(system.power().querySystemPower(port.physicalDevice(), PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_EQ(close(handle), STATUS_SUCCESS);
}

}  // namespace
}  // namespace tav712::testing
