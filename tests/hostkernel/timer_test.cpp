// Timers and DPCs on the virtual clock.
#include <gtest/gtest.h>

#include <vector>

#include "hostkernel.h"
#include "stop_rule.h"
#include "verifier.h"

namespace {

const int64_t Ms = 10000; // 100-ns units

struct DpcCall {
    int Id;
    int64_t Clock;
    KIRQL Irql;
    uintptr_t Argument1;
    uintptr_t Argument2;
};

std::vector<DpcCall> Calls;

VOID NTAPI RecordDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    Calls.push_back({static_cast<int>(reinterpret_cast<intptr_t>(DeferredContext)), HkClock(), KeGetCurrentIrql(),
                     reinterpret_cast<uintptr_t>(SystemArgument1), reinterpret_cast<uintptr_t>(SystemArgument2)});
}

// A timer with its DPC, as a driver keeps them in its device extension.
struct TimerWithDpc {
    KTIMER Timer;
    KDPC Dpc;
    explicit TimerWithDpc(int Id, PKDEFERRED_ROUTINE Routine = RecordDpc)
    {
        KeInitializeTimer(&Timer);
        KeInitializeDpc(&Dpc, Routine, reinterpret_cast<PVOID>(static_cast<intptr_t>(Id)));
    }
    BOOLEAN Set(int64_t Due) { return SetWith(Due, &Dpc); }
    BOOLEAN SetWith(int64_t Due, PKDPC WithDpc)
    {
        LARGE_INTEGER due;
        due.QuadPart = Due;
        return KeSetTimer(&Timer, due, WithDpc);
    }
};

std::vector<int> Ids()
{
    std::vector<int> ids;
    for (const DpcCall& call : Calls) {
        ids.push_back(call.Id);
    }
    return ids;
}

class Timer : public ::testing::Test {
protected:
    void SetUp() override
    {
        HkReset();
        Calls.clear();
    }
    void TearDown() override { HkReset(); }
};

TEST_F(Timer, RelativeTimerRunsItsDpcAtDispatchLevelAtTheDueTime)
{
    HkSetClock(5 * Ms);
    TimerWithDpc t(7);
    EXPECT_FALSE(t.Set(-100 * Ms));
    EXPECT_EQ(HkNextTimerDue(), 105 * Ms);
    EXPECT_EQ(HkPendingTimerCount(), 1u);

    HkAdvanceClock(100 * Ms - 1);
    EXPECT_TRUE(Calls.empty());
    HkAdvanceClock(300 * Ms);
    ASSERT_EQ(Calls.size(), 1u);
    const int64_t systemTime = HkSystemTimeBase() + 105 * Ms;
    EXPECT_EQ(Calls[0].Id, 7);
    EXPECT_EQ(Calls[0].Clock, 105 * Ms);
    EXPECT_EQ(Calls[0].Irql, DISPATCH_LEVEL);
    EXPECT_EQ(Calls[0].Argument1, static_cast<uint32_t>(systemTime));
    EXPECT_EQ(Calls[0].Argument2, static_cast<uint32_t>(systemTime >> 32));
    EXPECT_EQ(HkClock(), 405 * Ms - 1); // the clock ends where it was sent, past the expiry
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(HkPendingTimerCount(), 0u);
    EXPECT_FALSE(HkNextTimerDue().has_value());
    EXPECT_EQ(t.Timer.Header.SignalState, 1);
}

TEST_F(Timer, PositiveDueTimeIsAnAbsoluteSystemTime)
{
    HkSetClock(10 * Ms);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    TimerWithDpc t(1);
    t.Set(now.QuadPart + 50 * Ms);
    EXPECT_EQ(HkNextTimerDue(), 60 * Ms);
    HkRunClockTo(60 * Ms);
    ASSERT_EQ(Calls.size(), 1u);
    EXPECT_EQ(Calls[0].Clock, 60 * Ms);
}

TEST_F(Timer, SettingAPendingTimerReplacesItsDueTimeAndDpc)
{
    TimerWithDpc t(1);
    KDPC other;
    KeInitializeDpc(&other, RecordDpc, reinterpret_cast<PVOID>(2));
    EXPECT_FALSE(t.Set(-100 * Ms));
    HkAdvanceClock(50 * Ms);
    EXPECT_TRUE(t.SetWith(-100 * Ms, &other));
    HkAdvanceClock(60 * Ms); // past the first due time: nothing
    EXPECT_TRUE(Calls.empty());
    HkAdvanceClock(100 * Ms);
    ASSERT_EQ(Calls.size(), 1u);
    EXPECT_EQ(Calls[0].Id, 2);
    EXPECT_EQ(Calls[0].Clock, 150 * Ms);
}

TEST_F(Timer, CancelReportsWhetherTheTimerWasPending)
{
    TimerWithDpc t(1);
    EXPECT_FALSE(KeCancelTimer(&t.Timer));
    t.Set(-10 * Ms);
    EXPECT_TRUE(KeCancelTimer(&t.Timer));
    EXPECT_FALSE(KeCancelTimer(&t.Timer));
    HkAdvanceClock(100 * Ms);
    EXPECT_TRUE(Calls.empty());
}

TEST_F(Timer, TimersExpireInDueTimeOrderTiesInSettingOrder)
{
    TimerWithDpc late(3), early(1), middle(2), tie(4);
    late.Set(-300 * Ms);
    early.Set(-100 * Ms);
    middle.Set(-200 * Ms);
    tie.Set(-200 * Ms);
    HkAdvanceClock(1000 * Ms);
    EXPECT_EQ(Ids(), (std::vector<int>{1, 2, 4, 3}));
    EXPECT_EQ(Calls[0].Clock, 100 * Ms);
    EXPECT_EQ(Calls[3].Clock, 300 * Ms);
}

// The driver's speaker timer pattern: the DPC re-arms its own timer.
TimerWithDpc* Rearming = nullptr;
VOID NTAPI RearmingDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2)
{
    RecordDpc(Dpc, DeferredContext, SystemArgument1, SystemArgument2);
    Rearming->Set(-100 * Ms);
}

TEST_F(Timer, DpcMayRearmItsOwnTimer)
{
    TimerWithDpc t(1, RearmingDpc);
    Rearming = &t;
    t.Set(-100 * Ms);
    HkAdvanceClock(350 * Ms);
    ASSERT_EQ(Calls.size(), 3u);
    EXPECT_EQ(Calls[2].Clock, 300 * Ms);
    EXPECT_EQ(HkNextTimerDue(), 400 * Ms);
    KeCancelTimer(&t.Timer);
}

TEST_F(Timer, CancelDoesNotRecallAQueuedDpcAndADpcQueuesOnce)
{
    HkHoldDpcs(true);
    TimerWithDpc t(1);
    t.Set(-10 * Ms);
    HkAdvanceClock(10 * Ms);
    EXPECT_EQ(HkQueuedDpcCount(), 1u);
    t.Set(-10 * Ms);
    HkAdvanceClock(10 * Ms); // expires again while its DPC is still queued
    EXPECT_EQ(HkQueuedDpcCount(), 1u);
    EXPECT_FALSE(KeCancelTimer(&t.Timer));
    EXPECT_EQ(HkRunQueuedDpcs(), 1u);
    ASSERT_EQ(Calls.size(), 1u);
    EXPECT_EQ(Calls[0].Irql, DISPATCH_LEVEL);
}

TEST_F(Timer, TicksDelayExpiryToTheNextTick)
{
    HkSetTimerTick(156250); // 15.625 ms
    TimerWithDpc t(1);
    t.Set(-100 * Ms);
    EXPECT_EQ(HkNextTimerDue(), 7 * 156250);
    HkAdvanceClock(200 * Ms);
    ASSERT_EQ(Calls.size(), 1u);
    EXPECT_EQ(Calls[0].Clock, 7 * 156250);
}

VOID NTAPI LoweringDpc(PKDPC, PVOID, PVOID, PVOID)
{
    KeLowerIrql(PASSIVE_LEVEL);
}

TEST_F(Timer, DpcReturningAtAnotherIrqlStops)
{
    TimerWithDpc t(1, LoweringDpc);
    t.Set(-1);
    EXPECT_EQ(StopRule([] { HkAdvanceClock(1); }), HkStop::IrqlMismatchOnReturn::DpcRoutineChangedIrql);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(Timer, UninitialisedTimerOrDpcStops)
{
    KTIMER timer;
    memset(&timer, 0, sizeof(timer));
    LARGE_INTEGER due;
    due.QuadPart = -1;
    EXPECT_EQ(StopRule([&] { KeSetTimer(&timer, due, nullptr); }), HkStop::TimerOrDpcInvalid::NotATimer);
    KeInitializeTimer(&timer);
    KDPC dpc;
    memset(&dpc, 0, sizeof(dpc));
    EXPECT_EQ(StopRule([&] { KeSetTimer(&timer, due, &dpc); }), HkStop::TimerOrDpcInvalid::NotADpc);
}

TEST_F(Timer, PendingTimerOrQueuedDpcInFreedMemoryStops)
{
    auto* extension = new TimerWithDpc(1);
    extension->Set(-10 * Ms);
    EXPECT_EQ(StopRule([&] { HkCheckNoTimersIn(extension, sizeof(*extension)); }),
              HkStop::TimerOrDpcInvalid::FreedWithTimerPending);
    KeCancelTimer(&extension->Timer);
    HkCheckNoTimersIn(extension, sizeof(*extension));

    // A timer elsewhere whose DPC object lives in the memory counts too.
    KTIMER outside;
    KeInitializeTimer(&outside);
    LARGE_INTEGER due;
    due.QuadPart = -10 * Ms;
    KeSetTimer(&outside, due, &extension->Dpc);
    EXPECT_EQ(StopRule([&] { HkCheckNoTimersIn(extension, sizeof(*extension)); }),
              HkStop::TimerOrDpcInvalid::FreedWithTimerPending);

    HkHoldDpcs(true);
    HkAdvanceClock(10 * Ms);
    EXPECT_EQ(StopRule([&] { HkCheckNoTimersIn(&extension->Dpc, 1); }), HkStop::TimerOrDpcInvalid::FreedWithDpcQueued);
    HkRunQueuedDpcs();
    HkCheckNoTimersIn(extension, sizeof(*extension));
    delete extension;
}

TEST_F(Timer, PendingTimerIsLeftBehind)
{
    TimerWithDpc t(1);
    t.Set(-10 * Ms);
    EXPECT_NE(HkLeftBehind().find("pending"), std::string::npos);
    KeCancelTimer(&t.Timer);
    EXPECT_EQ(HkLeftBehind(), "");
}

} // namespace
