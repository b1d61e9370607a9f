// The kernel's system time, timers and DPCs, as the driver calls them.
#include "ke_timer_dpc_internal.h"

using namespace hk::timer;

extern "C" {

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = SystemTimeBase + VirtualNow;
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer)
{
    HkRequireIrqlAtMost(DISPATCH_LEVEL, "KeInitializeTimer");
    TimerQueue& queue = Queue();
    std::lock_guard<std::mutex> guard(queue.Lock);
    if (queue.Pending.count(Timer) != 0) {
        HkBugCheck(HkStop::TimerOrDpcInvalid::TimerReinitializedWhilePending,
                   "KeInitializeTimer on timer " + HkAddress(Timer) + ", which is pending");
    }
    Timer->Header.Type = TimerNotificationObject;
    Timer->Header.Absolute = 0;
    Timer->Header.Size = TimerSize;
    Timer->Header.Inserted = 0;
    Timer->Header.SignalState = 0;
    Timer->Header.WaitListHead.Flink = &Timer->Header.WaitListHead;
    Timer->Header.WaitListHead.Blink = &Timer->Header.WaitListHead;
    Timer->DueTime.QuadPart = 0;
    Timer->TimerListEntry.Flink = nullptr;
    Timer->TimerListEntry.Blink = nullptr;
    Timer->Dpc = nullptr;
    Timer->Period = 0;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    HkRequireIrqlAtMost(DISPATCH_LEVEL, "KeSetTimer");
    CheckTimer(Timer, "KeSetTimer");
    if (Dpc != nullptr && Dpc->Type != DpcObject) {
        HkBugCheck(HkStop::TimerOrDpcInvalid::NotADpc,
                   "KeSetTimer with " + HkAddress(Dpc) + ", which is not an initialised DPC");
    }
    // Negative: an interval from now; otherwise an absolute system time.
    const int64_t due = DueTime.QuadPart < 0 ? VirtualNow - DueTime.QuadPart : DueTime.QuadPart - SystemTimeBase;
    TimerQueue& queue = Queue();
    std::lock_guard<std::mutex> guard(queue.Lock);
    const bool wasPending = queue.Pending.erase(Timer) != 0;
    queue.Pending[Timer] = PendingTimer{due, queue.NextOrder++, Dpc};
    Timer->Header.Inserted = 1;
    Timer->Header.Absolute = DueTime.QuadPart >= 0;
    Timer->Header.SignalState = 0;
    Timer->DueTime.QuadPart = static_cast<ULONGLONG>(SystemTimeBase + due);
    Timer->Dpc = Dpc;
    Timer->Period = 0;
    return wasPending;
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer)
{
    HkRequireIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
    CheckTimer(Timer, "KeCancelTimer");
    TimerQueue& queue = Queue();
    std::lock_guard<std::mutex> guard(queue.Lock);
    const bool wasPending = queue.Pending.erase(Timer) != 0;
    Timer->Header.Inserted = 0;
    return wasPending;
}

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    TimerQueue& queue = Queue();
    std::lock_guard<std::mutex> guard(queue.Lock);
    if (IsQueued(queue, Dpc)) {
        HkBugCheck(HkStop::TimerOrDpcInvalid::DpcReinitializedWhileQueued,
                   "KeInitializeDpc on DPC " + HkAddress(Dpc) + ", which is queued");
    }
    Dpc->Type = DpcObject;
    Dpc->Number = 0;
    Dpc->Importance = MediumImportance;
    Dpc->DpcListEntry.Flink = nullptr;
    Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

} // extern "C"
