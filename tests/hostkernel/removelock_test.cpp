// Remove locks: the platform's counting and the checked build's tag
// tracking, which the stand-in always applies.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "io_test_support.h"

using namespace iotest;

namespace {

const ULONG Pvtg = 0x67747650; // "Pvtg" in memory order

class RemoveLock : public IoTest {
protected:
    void SetUp() override
    {
        IoTest::SetUp();
        IoInitializeRemoveLock(&lock, Pvtg, 0, 10);
    }
    NTSTATUS Acquire(PVOID Tag) { return IoAcquireRemoveLockEx(&lock, Tag, "sermdep", 42, sizeof(IO_REMOVE_LOCK)); }
    IO_REMOVE_LOCK lock;
    int a = 0, b = 0;
};

TEST_F(RemoveLock, CountsFromTheBiasAndFailsAcquisitionsAfterReleaseAndWait)
{
    EXPECT_FALSE(lock.Common.Removed);
    EXPECT_EQ(lock.Common.IoCount, 1);
    EXPECT_EQ(Acquire(&a), STATUS_SUCCESS);
    EXPECT_EQ(Acquire(&a), STATUS_SUCCESS); // the same tag twice is two holds
    EXPECT_EQ(lock.Common.IoCount, 3);
    EXPECT_EQ(HkRemoveLockHolds(&lock), 2u);
    IoReleaseRemoveLock(&lock, &a);
    IoReleaseRemoveLock(&lock, &a);
    EXPECT_EQ(HkRemoveLockHolds(&lock), 0u);

    EXPECT_EQ(Acquire(&b), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&lock, &b); // nobody else holds it: returns at once
    EXPECT_TRUE(lock.Common.Removed);
    EXPECT_EQ(lock.Common.IoCount, 0);
    EXPECT_EQ(Acquire(&a), STATUS_DELETE_PENDING);
    EXPECT_EQ(HkRemoveLockHolds(&lock), 0u); // not held after a failed acquisition
    EXPECT_EQ(lock.Common.IoCount, 0);
    EXPECT_EQ(HkVerifierReport(), "");
}

TEST_F(RemoveLock, ReleaseAndWaitBlocksUntilTheLastOtherHolderReleases)
{
    ASSERT_EQ(Acquire(&a), STATUS_SUCCESS); // a request in flight
    ASSERT_EQ(Acquire(&b), STATUS_SUCCESS); // the remove request
    std::atomic<bool> released{false};
    HkRunAsync(
        [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            released = true;
            IoReleaseRemoveLock(&lock, &a); // its completion, at DISPATCH_LEVEL
        },
        DISPATCH_LEVEL);
    IoReleaseRemoveLockAndWait(&lock, &b);
    EXPECT_TRUE(released);
    HkWaitAsyncIdle();
    EXPECT_EQ(HkVerifierReport(), "");
}

TEST_F(RemoveLock, IdleCheckAndLeakReportNameTheHoldsWithTheirLabels)
{
    ASSERT_EQ(Acquire(&a), STATUS_SUCCESS);
    EXPECT_NE(HkLeftBehind().find("sermdep:42"), std::string::npos) << HkLeftBehind();
    ExpectStop(HkStop::DetectedViolation::RemoveLockHeldWhenIdle, [] { HkCheckRemoveLocksIdle(); });
}

TEST_F(RemoveLock, StopsReleasesWithATagNeverAcquired)
{
    ASSERT_EQ(Acquire(&a), STATUS_SUCCESS);
    ExpectStop(HkStop::DetectedViolation::RemoveLockTagNotHeld, [&] { IoReleaseRemoveLock(&lock, &b); });
    IoInitializeRemoveLock(&lock, Pvtg, 0, 10);
    ExpectStop(HkStop::DetectedViolation::RemoveLockTagNotHeld, [&] { IoReleaseRemoveLock(&lock, &a); });
    IoInitializeRemoveLock(&lock, Pvtg, 0, 10);
    ExpectStop(HkStop::DetectedViolation::RemoveLockTagNotHeld, [&] { IoReleaseRemoveLockAndWait(&lock, &a); });
}

TEST_F(RemoveLock, StopsMoreHoldsThanTheHighWatermark)
{
    // The count starts at one, so a watermark of 10 admits nine holds.
    for (int i = 0; i < 9; ++i) {
        ASSERT_EQ(Acquire(&a), STATUS_SUCCESS);
    }
    ExpectStop(HkStop::DetectedViolation::RemoveLockAboveHighWatermark, [&] { Acquire(&a); });
}

TEST_F(RemoveLock, StopsSizeMismatchesUninitialisedLocksAndReinitialisation)
{
    ExpectStop(HkStop::DetectedViolation::RemoveLockSizeWrong, [&] { IoAcquireRemoveLockEx(&lock, &a, "", 1, 88); });
    IO_REMOVE_LOCK never{};
    ExpectStop(HkStop::DetectedViolation::RemoveLockNotInitialized, [&] { IoAcquireRemoveLock(&never, &a); });
    IoInitializeRemoveLock(&lock, Pvtg, 0, 10);
    Acquire(&a);
    IoReleaseRemoveLockAndWait(&lock, &a);
    ExpectStop(HkStop::DetectedViolation::RemoveLockReinitializedAfterWait,
               [&] { IoInitializeRemoveLock(&lock, Pvtg, 0, 10); });
}

TEST_F(RemoveLock, StopsHoldsOlderThanMaxLockedMinutes)
{
    IoInitializeRemoveLock(&lock, Pvtg, 1, 10);
    Acquire(&a);
    Acquire(&b);
    HkSetClock(HkClock() + 2LL * 60 * 10000000);
    ExpectStop(HkStop::DetectedViolation::RemoveLockHeldTooLong, [&] { IoReleaseRemoveLock(&lock, &b); });
}

TEST_F(RemoveLock, StopsDeletingADeviceWhoseExtensionHoldsAHeldLock)
{
    PDRIVER_OBJECT driver = LoadScripted();
    PDEVICE_OBJECT device = NewDevice(driver, {}, nullptr, sizeof(IO_REMOVE_LOCK));
    auto* inside = static_cast<PIO_REMOVE_LOCK>(device->DeviceExtension);
    IoInitializeRemoveLock(inside, Pvtg, 0, 10);
    IoAcquireRemoveLock(inside, &a);
    ExpectStop(HkStop::DetectedViolation::RemoveLockDeletedWhileHeld, [&] { IoDeleteDevice(device); });
}

} // namespace
