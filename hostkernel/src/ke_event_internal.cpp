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
#include "ke_event_internal.h"

#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <sstream>

namespace hk::event {
namespace {

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

thread_local int ThreadCriticalRegionDepth = 0;

struct Registrar {
    Registrar()
    {
        HkRegisterReset("ke_event", [] {
            WatchdogSeconds = DefaultWatchdogSeconds;
            ThreadCriticalRegionDepth = 0; // a stop may have unwound out of a region
            Dispatcher& state = TheDispatcher();
            std::lock_guard<std::mutex> guard(state.Lock);
            state.Waiters.clear();
        });
    }
} registrar;


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

// Caller holds the dispatcher's lock.
bool TakeSignalLocked(DISPATCHER_HEADER* Header)
{
    if (Header->SignalState == 0) {
        return false;
    }
    if (Header->Type == SynchronizationEvent) {
        Header->SignalState = 0;
    }
    return true;
}

// Caller holds the dispatcher's lock in Guard; the event is not signalled.
NTSTATUS BlockLocked(std::unique_lock<std::mutex>& Guard, DISPATCHER_HEADER* Header, PVOID Object,
                     std::optional<int64_t> Deadline)
{
    Dispatcher& state = TheDispatcher();
    Waiter self;
    state.Waiters[Header].push_back(&self);
    const double limit = WatchdogSeconds;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        state.Changed.wait_for(Guard, PollSlice);
        if (self.Satisfied) {
            return STATUS_SUCCESS;
        }
        if (Deadline && HkClock() >= *Deadline) {
            RemoveWaiter(state, Header, &self);
            return STATUS_TIMEOUT;
        }
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() >= limit) {
            RemoveWaiter(state, Header, &self);
            Guard.unlock();
            HkBugCheck(HkStop::DetectedViolation::EventWaitDeadlock, "deadlock: KeWaitForSingleObject on event " +
                                                                         HkAddress(Object) + " not signalled within " +
                                                                         std::to_string(limit) + " s of real time");
        }
    }
}

} // namespace

std::atomic<double> WatchdogSeconds{DefaultWatchdogSeconds};

int& CriticalRegionDepth()
{
    return ThreadCriticalRegionDepth;
}

DISPATCHER_HEADER* CheckedEvent(PVOID Object, const char* Routine)
{
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    if (header == nullptr || header->Size != EventSize ||
        (header->Type != NotificationEvent && header->Type != SynchronizationEvent)) {
        HkBugCheck(HkStop::DetectedViolation::NotAnEvent,
                   std::string(Routine) + " on " + HkAddress(Object) +
                       ", which is not an initialised event (the stand-in waits on events only)");
    }
    return header;
}

void Initialize(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    Dispatcher& state = TheDispatcher();
    std::lock_guard<std::mutex> guard(state.Lock);
    if (state.Waiters.count(&Event->Header) != 0) {
        HkBugCheck(HkStop::DetectedViolation::EventReinitializedWhileWaited,
                   "KeInitializeEvent on " + HkAddress(Event) + " while a thread waits on it");
    }
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Absolute = 0;
    Event->Header.Size = EventSize;
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG Signal(DISPATCHER_HEADER* Header)
{
    Dispatcher& state = TheDispatcher();
    std::lock_guard<std::mutex> guard(state.Lock);
    const LONG previous = Header->SignalState;
    auto queue = state.Waiters.find(Header);
    if (Header->Type == SynchronizationEvent && queue != state.Waiters.end()) {
        // Handed straight to the first waiter: the event stays not signalled.
        queue->second.front()->Satisfied = true;
        queue->second.pop_front();
        if (queue->second.empty()) {
            state.Waiters.erase(queue);
        }
    } else {
        Header->SignalState = 1;
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

LONG Reset(DISPATCHER_HEADER* Header)
{
    std::lock_guard<std::mutex> guard(TheDispatcher().Lock);
    const LONG previous = Header->SignalState;
    Header->SignalState = 0;
    return previous;
}

LONG ReadState(DISPATCHER_HEADER* Header)
{
    std::lock_guard<std::mutex> guard(TheDispatcher().Lock);
    return Header->SignalState;
}

// A thread of a user-mode request that blocks while it holds a remove lock
// taken for that request can be suspended there by its process (a normal
// kernel APC), and removal would then wait for it for ever. Inside a
// critical region normal kernel APCs are held off.
void CheckSuspendableWait(PVOID Object)
{
    PIRP request = HkUserRequestOnThisThread();
    if (request == nullptr || ThreadCriticalRegionDepth > 0 || HkIrql() != PASSIVE_LEVEL) {
        return;
    }
    const std::string held = HkRemoveLockHeldWithTag(request);
    if (!held.empty()) {
        HkBugCheck(HkStop::DetectedViolation::SuspendableWaitHoldingRemoveLock,
                   "KeWaitForSingleObject on " + HkAddress(Object) +
                       " outside a critical region in the thread of a user-mode request that holds " + held +
                       ": suspending that thread would stall removal (KeEnterCriticalRegion first)");
    }
}

NTSTATUS WaitForSignal(DISPATCHER_HEADER* Header, PVOID Object, bool Poll, std::optional<int64_t> Deadline)
{
    std::unique_lock<std::mutex> guard(TheDispatcher().Lock);
    if (TakeSignalLocked(Header)) {
        return STATUS_SUCCESS;
    }
    if (Poll || (Deadline && HkClock() >= *Deadline)) {
        return STATUS_TIMEOUT;
    }
    return BlockLocked(guard, Header, Object, Deadline);
}

} // namespace hk::event

int HkCriticalRegionDepth()
{
    return hk::event::CriticalRegionDepth();
}
