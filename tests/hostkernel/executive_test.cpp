// IRQL, spin locks, events and waits of the stand-in, with real threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "hostkernel.h"
#include "stop_rule.h"
#include "verifier.h"

namespace {

using namespace std::chrono_literals;

class StandIn : public ::testing::Test {
protected:
    void SetUp() override { HkReset(); }
    void TearDown() override { HkReset(); }
};
using Irql = StandIn;
using SpinLock = StandIn;
using Event = StandIn;

// ---------------------------------------------------------------- IRQL

TEST_F(Irql, RaiseAndLowerReturnToThePreviousLevel)
{
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    KIRQL fromApc;
    KeRaiseIrql(DISPATCH_LEVEL, &fromApc);
    EXPECT_EQ(fromApc, APC_LEVEL);
    KIRQL same;
    KeRaiseIrql(DISPATCH_LEVEL, &same); // raising to the current level is legal
    EXPECT_EQ(same, DISPATCH_LEVEL);
    KeLowerIrql(fromApc);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(Irql, RaisingDownOrLoweringUpStops)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(StopRule([&] { KeRaiseIrql(APC_LEVEL, &old); }), HkStop::IrqlNotGreaterOrEqual::RaisedToLowerIrql);
    KeLowerIrql(APC_LEVEL);
    EXPECT_EQ(StopRule([] { KeLowerIrql(DISPATCH_LEVEL); }), HkStop::IrqlNotLessOrEqual::LoweredToHigherIrql);
}

TEST_F(Irql, BelongsToTheThread)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KIRQL seen = HIGH_LEVEL;
    std::thread other([&] { seen = KeGetCurrentIrql(); });
    other.join();
    EXPECT_EQ(seen, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(old);
}

// ---------------------------------------------------------------- spin locks

TEST_F(SpinLock, ExcludesOtherThreadsAtDispatchLevel)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0; // deliberately not atomic: the lock must protect it
    std::atomic<bool> wrongIrql{false};
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            wrongIrql = wrongIrql || KeGetCurrentIrql() != DISPATCH_LEVEL;
            counter = counter + 1;
            KeReleaseSpinLock(&lock, old);
            wrongIrql = wrongIrql || KeGetCurrentIrql() != PASSIVE_LEVEL;
        }
    };
    std::thread first(work);
    std::thread second(work);
    first.join();
    second.join();
    EXPECT_EQ(counter, 40000);
    EXPECT_FALSE(wrongIrql);
}

TEST_F(SpinLock, ContendedLockWaitsForTheHolder)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        KIRQL otherOld;
        KeAcquireSpinLock(&lock, &otherOld);
        acquired = true;
        KeReleaseSpinLock(&lock, otherOld);
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(acquired);
    KeReleaseSpinLock(&lock, old);
    other.join();
    EXPECT_TRUE(acquired);
}

TEST_F(SpinLock, MisusesStop)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(StopRule([&] {
                  KIRQL again;
                  KeAcquireSpinLock(&lock, &again);
              }),
              HkStop::SpinLockAlreadyOwned::AcquiredByOwner);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(StopRule([&] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); }), HkStop::SpinLockNotOwned::ReleasedByNonOwner);

    // Releasing a lock another thread holds is the same misuse.
    KeAcquireSpinLock(&lock, &old);
    HkRule::Misuse stop = NoStop;
    std::thread other([&] { stop = StopRule([&] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); }); });
    other.join();
    EXPECT_EQ(stop, HkStop::SpinLockNotOwned::ReleasedByNonOwner);
    KeReleaseSpinLock(&lock, old);
}

TEST_F(SpinLock, CancelSpinLockIsOneGlobalLock)
{
    KIRQL old;
    IoAcquireCancelSpinLock(&old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(StopRule([] {
                  KIRQL again;
                  IoAcquireCancelSpinLock(&again);
              }),
              HkStop::SpinLockAlreadyOwned::AcquiredByOwner);
    IoReleaseCancelSpinLock(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(StopRule([] { IoReleaseCancelSpinLock(PASSIVE_LEVEL); }), HkStop::SpinLockNotOwned::ReleasedByNonOwner);
}

TEST_F(SpinLock, NeverReleasedStopsAsDeadlock)
{
    HkSetWaitWatchdog(0.1);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    std::atomic<bool> held{false};
    std::atomic<bool> done{false};
    std::thread holder([&] {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        held = true;
        while (!done) {
            std::this_thread::sleep_for(1ms);
        }
        KeReleaseSpinLock(&lock, old);
    });
    while (!held) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(StopRule([&] {
                  KIRQL old;
                  KeAcquireSpinLock(&lock, &old);
              }),
              HkStop::DetectedViolation::SpinLockDeadlock);
    done = true;
    holder.join();
}

// ---------------------------------------------------------------- events and waits

TEST_F(Event, SetResetAndClearReportThePreviousState)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_NE(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_NE(KeResetEvent(&event), 0);
    EXPECT_EQ(KeResetEvent(&event), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(Event, NotificationEventReleasesEveryWaiterAndStaysSignalled)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> released{0};
    auto waiter = [&] {
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS) {
            ++released;
        }
    };
    std::thread first(waiter);
    std::thread second(waiter);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(released, 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    first.join();
    second.join();
    EXPECT_EQ(released, 2);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
}

TEST_F(Event, SynchronizationEventSatisfiesOneWaitAndResets)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);

    HkSetWaitWatchdog(2);
    std::atomic<int> released{0};
    auto waiter = [&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        ++released;
    };
    std::thread first(waiter);
    std::thread second(waiter);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    while (released < 1) {
        std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(released, 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    first.join();
    second.join();
    EXPECT_EQ(released, 2);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(Event, WaitAboveApcLevelStopsUnlessItPolls)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(StopRule([&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); }),
              HkStop::IrqlNotLessOrEqual::CalledAboveMaximumIrql);
    timeout.QuadPart = -10000;
    EXPECT_EQ(StopRule([&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout); }),
              HkStop::IrqlNotLessOrEqual::CalledAboveMaximumIrql);
    timeout.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    KeLowerIrql(old);
}

TEST_F(Event, UninitialisedEventStops)
{
    KEVENT event;
    memset(&event, 0, sizeof(event));
    EXPECT_EQ(StopRule([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }), HkStop::DetectedViolation::NotAnEvent);
}

TEST_F(Event, WaitNobodySatisfiesStopsAsDeadlock)
{
    HkSetWaitWatchdog(0.1);
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    EXPECT_EQ(StopRule([&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); }),
              HkStop::DetectedViolation::EventWaitDeadlock);
    EXPECT_EQ(HkVerifierFailures().size(), 1u);
}

TEST_F(Event, TimeoutElapsesOnTheVirtualClock)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -1000000; // 100 ms relative
    NTSTATUS status = STATUS_PENDING;
    std::thread waiter([&] { status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout); });
    std::this_thread::sleep_for(20ms);
    HkAdvanceClock(999999);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(status, STATUS_PENDING);
    HkAdvanceClock(1);
    waiter.join();
    EXPECT_EQ(status, STATUS_TIMEOUT);

    // An absolute deadline already passed times out at once; a signalled
    // event wins over any timeout.
    timeout.QuadPart = HkSystemTimeBase() + HkClock();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
}

} // namespace

// PAGED_CODE() stops pageable code entered above APC_LEVEL.
TEST(PagedCode, StopsAboveApcLevel)
{
    HkReset();
    PAGED_CODE();
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    PAGED_CODE();
    KeLowerIrql(old);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(StopRule([] { PAGED_CODE(); }), HkStop::IrqlNotLessOrEqual::PagedCodeAboveApcLevel);
    KeLowerIrql(old);
    HkVerifierResetFailures();
}
