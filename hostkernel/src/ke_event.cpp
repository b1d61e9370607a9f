// Events and waits with real threads. The event's signal state lives in the
// KEVENT itself (a driver may keep events on its stack); waiters queue per
// event so that a set hands a synchronization event to exactly one waiter
// and a notification event releases every waiter present, as the platform's
// dispatcher does.
//
// Timeouts: a zero timeout polls. A non-zero timeout elapses on the virtual
// clock: the wait returns STATUS_TIMEOUT once another thread has moved the
// clock to the deadline (HkAdvanceClock); until then it blocks. Every
// blocking wait is bounded by the watchdog in real time, so a wait nobody can
// satisfy stops the test as a deadlock instead of hanging it.
#include "internal.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>

namespace {

constexpr double DefaultWatchdogSeconds = 10.0;
constexpr auto PollSlice = std::chrono::milliseconds(5);

struct Waiter {
    bool Satisfied = false;
};

struct Dispatcher {
    std::mutex Lock;
    std::condition_variable Changed;
    std::map<DISPATCHER_HEADER*, std::list<Waiter*>> Waiters;
};

Dispatcher& TheDispatcher()
{
    static Dispatcher& state = *new Dispatcher; // never destroyed: outlives every thread and exit-time check
    return state;
}

std::atomic<double> WatchdogSeconds{DefaultWatchdogSeconds};
thread_local int CriticalRegionDepth = 0;

struct Registrar {
    Registrar()
    {
        HkRegisterReset("ke_event", [] {
            WatchdogSeconds = DefaultWatchdogSeconds;
            CriticalRegionDepth = 0; // a stop may have unwound out of a region
            Dispatcher& state = TheDispatcher();
            std::lock_guard<std::mutex> guard(state.Lock);
            state.Waiters.clear();
        });
    }
} registrar;

constexpr UCHAR EventSize = sizeof(KEVENT) / sizeof(LONG);

std::string Address(const void* P)
{
    std::ostringstream text;
    text << P;
    return text.str();
}

// KeInitializeEvent writes Type and Size; zeroed or stale memory fails here.
DISPATCHER_HEADER* CheckedEvent(PVOID Object, const char* Routine)
{
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    if (header == nullptr || header->Size != EventSize ||
        (header->Type != NotificationEvent && header->Type != SynchronizationEvent)) {
        HkBugCheck(HkStop::DetectedViolation::NotAnEvent,
                   std::string(Routine) + " on " + Address(Object) +
                       ", which is not an initialised event (the stand-in waits on events only)");
    }
    return header;
}

void RemoveWaiter(Dispatcher& state, DISPATCHER_HEADER* Header, Waiter* Self)
{
    auto queue = state.Waiters.find(Header);
    if (queue == state.Waiters.end()) {
        return;
    }
    queue->second.remove(Self);
    if (queue->second.empty()) {
        state.Waiters.erase(queue);
    }
}

// A thread of a user-mode request that blocks while it holds a remove lock
// taken for that request can be suspended there by its process (a normal
// kernel APC), and removal would then wait for it for ever. Inside a
// critical region normal kernel APCs are held off.
void CheckSuspendableWait(PVOID Object)
{
    PIRP request = HkUserRequestOnThisThread();
    if (request == nullptr || CriticalRegionDepth > 0 || HkIrql() != PASSIVE_LEVEL) {
        return;
    }
    const std::string held = HkRemoveLockHeldWithTag(request);
    if (!held.empty()) {
        HkBugCheck(HkStop::DetectedViolation::SuspendableWaitHoldingRemoveLock,
                   "KeWaitForSingleObject on " + Address(Object) +
                       " outside a critical region in the thread of a "
                       "user-mode request that holds " +
                       held +
                       ": suspending that thread would stall removal "
                       "(KeEnterCriticalRegion first)");
    }
}

} // namespace

int HkCriticalRegionDepth()
{
    return CriticalRegionDepth;
}

void HkSetWaitWatchdog(double Seconds)
{
    WatchdogSeconds = Seconds;
}

double HkWaitWatchdog()
{
    return WatchdogSeconds;
}

extern "C" {

VOID NTAPI KeEnterCriticalRegion(VOID)
{
    HkRequireIrqlAtMost(APC_LEVEL, "KeEnterCriticalRegion");
    ++CriticalRegionDepth;
}

VOID NTAPI KeLeaveCriticalRegion(VOID)
{
    HkRequireIrqlAtMost(APC_LEVEL, "KeLeaveCriticalRegion");
    if (CriticalRegionDepth == 0) {
        HkBugCheck(HkStop::DetectedViolation::LeftUnenteredCriticalRegion,
                   "KeLeaveCriticalRegion without a KeEnterCriticalRegion on this thread");
    }
    --CriticalRegionDepth;
}

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    HkRequireIrqlAtMost(DISPATCH_LEVEL, "KeInitializeEvent");
    Dispatcher& state = TheDispatcher();
    std::lock_guard<std::mutex> guard(state.Lock);
    if (state.Waiters.count(&Event->Header) != 0) {
        HkBugCheck(HkStop::DetectedViolation::EventReinitializedWhileWaited,
                   "KeInitializeEvent on " + Address(Event) + " while a thread waits on it");
    }
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Absolute = 0;
    Event->Header.Size = EventSize;
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
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
    Dispatcher& state = TheDispatcher();
    std::lock_guard<std::mutex> guard(state.Lock);
    const LONG previous = header->SignalState;
    auto queue = state.Waiters.find(header);
    if (header->Type == SynchronizationEvent && queue != state.Waiters.end()) {
        // Handed straight to the first waiter: the event stays not signalled.
        queue->second.front()->Satisfied = true;
        queue->second.pop_front();
        if (queue->second.empty()) {
            state.Waiters.erase(queue);
        }
    } else {
        header->SignalState = 1;
        if (queue != state.Waiters.end()) {
            for (Waiter* waiter : queue->second) {
                waiter->Satisfied = true;
            }
            state.Waiters.erase(queue);
        }
    }
    state.Changed.notify_all();
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    HkRequireIrqlAtMost(DISPATCH_LEVEL, "KeClearEvent");
    DISPATCHER_HEADER* header = CheckedEvent(Event, "KeClearEvent");
    std::lock_guard<std::mutex> guard(TheDispatcher().Lock);
    header->SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    HkRequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
    DISPATCHER_HEADER* header = CheckedEvent(Event, "KeResetEvent");
    std::lock_guard<std::mutex> guard(TheDispatcher().Lock);
    const LONG previous = header->SignalState;
    header->SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    DISPATCHER_HEADER* header = CheckedEvent(Event, "KeReadStateEvent");
    std::lock_guard<std::mutex> guard(TheDispatcher().Lock);
    return header->SignalState;
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

    std::optional<int64_t> deadline;
    if (Timeout != nullptr && !poll) {
        deadline = Timeout->QuadPart < 0 ? HkClock() - Timeout->QuadPart : Timeout->QuadPart - HkSystemTimeBase();
    }

    // Whether or not this wait blocks: the next one under the same lock may.
    if (!poll) {
        CheckSuspendableWait(Object);
    }
    Dispatcher& state = TheDispatcher();
    std::unique_lock<std::mutex> guard(state.Lock);
    if (header->SignalState != 0) {
        if (header->Type == SynchronizationEvent) {
            header->SignalState = 0;
        }
        return STATUS_SUCCESS;
    }
    if (poll || (deadline && HkClock() >= *deadline)) {
        return STATUS_TIMEOUT;
    }

    Waiter self;
    state.Waiters[header].push_back(&self);
    const double limit = WatchdogSeconds;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        state.Changed.wait_for(guard, PollSlice);
        if (self.Satisfied) {
            return STATUS_SUCCESS;
        }
        if (deadline && HkClock() >= *deadline) {
            RemoveWaiter(state, header, &self);
            return STATUS_TIMEOUT;
        }
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= limit) {
            RemoveWaiter(state, header, &self);
            guard.unlock();
            HkBugCheck(HkStop::DetectedViolation::EventWaitDeadlock, "deadlock: KeWaitForSingleObject on event " +
                                                                         Address(Object) + " not signalled within " +
                                                                         std::to_string(limit) + " s of real time");
        }
    }
}

} // extern "C"
