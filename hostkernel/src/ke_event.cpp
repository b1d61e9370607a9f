// The kernel's events, waits and critical regions, as the driver calls them.
#include "ke_event_internal.h"

using namespace hk::event;

extern "C" {

VOID NTAPI KeEnterCriticalRegion(VOID)
{
    HkRequireIrqlAtMost(APC_LEVEL, "KeEnterCriticalRegion");
    ++CriticalRegionDepth();
}

VOID NTAPI KeLeaveCriticalRegion(VOID)
{
    HkRequireIrqlAtMost(APC_LEVEL, "KeLeaveCriticalRegion");
    if (CriticalRegionDepth() == 0) {
        HkBugCheck(HkStop::DetectedViolation::LeftUnenteredCriticalRegion,
                   "KeLeaveCriticalRegion without a KeEnterCriticalRegion on this thread");
    }
    --CriticalRegionDepth();
}

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    HkRequireIrqlAtMost(DISPATCH_LEVEL, "KeInitializeEvent");
    Initialize(Event, Type, State);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    HkRequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    DISPATCHER_HEADER* header = CheckedEvent(Event, "KeSetEvent");
    if (Wait) {
        HkBugCheck(HkStop::DetectedViolation::SetEventWithWait,
                   "KeSetEvent with Wait = TRUE is not modelled by the stand-in");
    }
    return Signal(header);
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    HkRequireIrqlAtMost(DISPATCH_LEVEL, "KeClearEvent");
    Reset(CheckedEvent(Event, "KeClearEvent"));
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    HkRequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    return Reset(CheckedEvent(Event, "KeResetEvent"));
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    return ReadState(CheckedEvent(Event, "KeReadStateEvent"));
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable); // no APCs are delivered here, so alerts never happen
    const bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    // Only a poll may happen at DISPATCH_LEVEL: anything else would switch
    // away from a DPC or a spin lock.
    HkRequireIrqlAtMost(poll ? DISPATCH_LEVEL : APC_LEVEL, "KeWaitForSingleObject");
    DISPATCHER_HEADER* header = CheckedEvent(Object, "KeWaitForSingleObject");

    // Negative: an interval from now; otherwise an absolute system time.
    std::optional<int64_t> deadline;
    if (Timeout != nullptr && !poll) {
        deadline = Timeout->QuadPart < 0 ? HkClock() - Timeout->QuadPart : Timeout->QuadPart - HkSystemTimeBase();
    }
    // Whether or not this wait blocks: the next one under the same lock may.
    if (!poll) {
        CheckSuspendableWait(Object);
    }
    return WaitForSignal(header, Object, poll, deadline);
}

} // extern "C"
