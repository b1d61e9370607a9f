// The virtual clock behind KeQuerySystemTime, and timers and DPCs on it:
// tests set and advance the clock, so every run that depends on time is
// reproducible. Timers expire only when a test moves the clock forward
// (HkAdvanceClock / HkRunClockTo); their DPCs then run on the thread that
// moved it, at DISPATCH_LEVEL, with the clock at the expiry time.
#include "ke_timer_dpc_internal.h"

#include <sstream>
#include <stdexcept>

namespace hk::timer {

std::atomic<int64_t> VirtualNow{0};
std::atomic<int64_t> SystemTimeBase{DefaultSystemTimeBase};

namespace {

// One thread moves the clock at a time; a DPC must not move it itself.
std::mutex AdvanceLock;
thread_local bool Advancing = false;

struct Registrar {
    Registrar()
    {
        HkRegisterReset("ke_timer_dpc", [] {
            TimerQueue& queue = Queue();
            std::lock_guard<std::mutex> guard(queue.Lock);
            queue.Pending.clear();
            queue.QueuedDpcs.clear();
            queue.RunningDpcs.clear();
            queue.FreedUnderRunningDpcs.clear();
            queue.NextOrder = 0;
            queue.Tick = 0;
            queue.HoldDpcs = false;
            SystemTimeBase = DefaultSystemTimeBase;
        });
        HkRegisterLeakCheck("ke_timer_dpc", [] {
            TimerQueue& queue = Queue();
            std::lock_guard<std::mutex> guard(queue.Lock);
            std::string found;
            for (const auto& [timer, pending] : queue.Pending) {
                found += DescribeTimer(timer, pending) + "; ";
            }
            for (PKDPC dpc : queue.QueuedDpcs) {
                found += "DPC " + HkAddress(dpc) + " queued, never ran; ";
            }
            return found;
        });
    }
} registrar;

// Caller holds Timers.Lock, Dpc has returned. Describes the first write
// its routine made into memory freed while it ran, or "" when none.
std::string WrittenAfterFree(TimerQueue& Timers, PKDPC Dpc, PKDEFERRED_ROUTINE Routine)
{
    std::string found;
    auto& watched = Timers.FreedUnderRunningDpcs;
    for (auto it = watched.begin(); it != watched.end();) {
        if (it->Dpc != Dpc) {
            ++it;
            continue;
        }
        for (size_t at = 0; at < it->AsFreed.size() && found.empty(); ++at) {
            if (it->Begin[at] != it->AsFreed[at]) {
                found = "DPC routine " + HkAddress(reinterpret_cast<const void*>(Routine)) +
                        " wrote at offset " + std::to_string(at) + " of " + it->Label +
                        " after that memory was freed while the routine ran";
            }
        }
        it = watched.erase(it);
    }
    return found;
}

void RunDpc(PKDPC Dpc)
{
    TimerQueue& queue = Queue();
    const KIRQL before = HkIrql();
    HkSetIrql(DISPATCH_LEVEL);
    KIRQL after;
    const PKDEFERRED_ROUTINE routine = Dpc->DeferredRoutine; // the object may be freed while it runs
    try {
        routine(Dpc, Dpc->DeferredContext, Dpc->SystemArgument1, Dpc->SystemArgument2);
        after = HkIrql();
    } catch (...) {
        HkSetIrql(before);
        std::lock_guard<std::mutex> guard(queue.Lock);
        queue.RunningDpcs.erase(queue.RunningDpcs.find(Dpc));
        WrittenAfterFree(queue, Dpc, routine); // the stop that ended it says more
        throw;
    }
    HkSetIrql(before);
    std::string written;
    {
        std::lock_guard<std::mutex> guard(queue.Lock);
        queue.RunningDpcs.erase(queue.RunningDpcs.find(Dpc));
        written = WrittenAfterFree(queue, Dpc, routine);
    }
    if (!written.empty()) {
        HkBugCheck(HkStop::TimerOrDpcInvalid::FreedWithDpcRunning, written);
    }
    if (after != DISPATCH_LEVEL) {
        HkBugCheck(HkStop::IrqlMismatchOnReturn::DpcRoutineChangedIrql,
                   "DPC routine " + HkAddress(reinterpret_cast<const void*>(routine)) +
                       " returned at IRQL " + std::to_string(after) + ", not DISPATCH_LEVEL");
    }
}

// Caller holds Timers.Lock. The pending timer that fires first, or end().
std::map<PKTIMER, PendingTimer>::iterator NextToFire(TimerQueue& Timers, int64_t& Expiry)
{
    auto next = Timers.Pending.end();
    for (auto it = Timers.Pending.begin(); it != Timers.Pending.end(); ++it) {
        const int64_t expiry = ExpiryTime(Timers, it->second.Due);
        if (next == Timers.Pending.end() || expiry < Expiry ||
            (expiry == Expiry && it->second.Order < next->second.Order)) {
            next = it;
            Expiry = expiry;
        }
    }
    return next;
}

// Caller holds Timers.Lock. A DPC object is queued at most once at a time.
void QueueDpc(TimerQueue& Timers, PKDPC Dpc)
{
    if (Dpc == nullptr || IsQueued(Timers, Dpc)) {
        return;
    }
    const int64_t systemTime = SystemTimeBase + VirtualNow;
    Dpc->SystemArgument1 = reinterpret_cast<PVOID>(static_cast<uintptr_t>(static_cast<uint32_t>(systemTime)));
    Dpc->SystemArgument2 = reinterpret_cast<PVOID>(static_cast<uintptr_t>(static_cast<uint32_t>(systemTime >> 32)));
    Dpc->DpcData = Dpc; // non-NULL while queued, as on the platform
    Timers.QueuedDpcs.push_back(Dpc);
}

enum class Fired { None, HoldDpcs, RunDpcs };

// Fires the first timer due by Target, with the clock moved to its expiry.
Fired FireNextTimer(int64_t Target)
{
    TimerQueue& queue = Queue();
    std::lock_guard<std::mutex> guard(queue.Lock);
    int64_t expiry = 0;
    auto next = NextToFire(queue, expiry);
    if (next == queue.Pending.end() || expiry > Target) {
        return Fired::None;
    }
    PKTIMER timer = next->first;
    PKDPC dpc = next->second.Dpc;
    queue.Pending.erase(next);
    if (expiry > VirtualNow) {
        VirtualNow = expiry;
    }
    timer->Header.Inserted = 0;
    timer->Header.SignalState = 1;
    QueueDpc(queue, dpc);
    return queue.HoldDpcs ? Fired::HoldDpcs : Fired::RunDpcs;
}

} // namespace

TimerQueue& Queue()
{
    static TimerQueue& queue = *new TimerQueue; // never destroyed: outlives every thread and exit-time check
    return queue;
}


int64_t ExpiryTime(const TimerQueue& Timers, int64_t Due)
{
    if (Timers.Tick <= 0) {
        return Due;
    }
    int64_t ticks = Due / Timers.Tick; // rounds toward zero: up for negatives
    if (ticks * Timers.Tick < Due) {
        ++ticks;
    }
    return ticks * Timers.Tick;
}

bool IsQueued(const TimerQueue& Timers, PKDPC Dpc)
{
    for (PKDPC queued : Timers.QueuedDpcs) {
        if (queued == Dpc) {
            return true;
        }
    }
    return false;
}

bool Overlaps(const void* Object, size_t Size, const void* Begin, size_t Length)
{
    const auto object = reinterpret_cast<uintptr_t>(Object);
    const auto begin = reinterpret_cast<uintptr_t>(Begin);
    return object < begin + Length && begin < object + Size;
}

std::string DescribeTimer(PKTIMER Timer, const PendingTimer& Pending)
{
    std::string text = "timer " + HkAddress(Timer) + " pending, due at " + std::to_string(Pending.Due);
    if (Pending.Dpc != nullptr) {
        text += " (DPC " + HkAddress(Pending.Dpc) + ", routine " +
                HkAddress(reinterpret_cast<const void*>(Pending.Dpc->DeferredRoutine)) + ")";
    }
    return text;
}

void CheckTimer(PKTIMER Timer, const char* Routine)
{
    if (Timer == nullptr || Timer->Header.Size != TimerSize ||
        (Timer->Header.Type != TimerNotificationObject && Timer->Header.Type != TimerSynchronizationObject)) {
        HkBugCheck(HkStop::TimerOrDpcInvalid::NotATimer,
                   std::string(Routine) + " on " + HkAddress(Timer) + ", which is not an initialised timer");
    }
}

AdvanceScope::AdvanceScope()
{
    if (Advancing) {
        throw std::logic_error("the virtual clock was moved from inside a DPC");
    }
    guard_ = std::unique_lock<std::mutex>(AdvanceLock);
    Advancing = true;
}

AdvanceScope::~AdvanceScope()
{
    Advancing = false;
}

void AdvanceTo(int64_t Target)
{
    AdvanceScope scope;
    for (;;) {
        const Fired fired = FireNextTimer(Target);
        if (fired == Fired::None) {
            break;
        }
        if (fired == Fired::RunDpcs) {
            RunQueuedDpcs();
        }
    }
    if (Target > VirtualNow) {
        VirtualNow = Target;
    }
}

size_t RunQueuedDpcs()
{
    TimerQueue& queue = Queue();
    size_t ran = 0;
    for (;;) {
        PKDPC dpc;
        {
            std::lock_guard<std::mutex> guard(queue.Lock);
            if (queue.QueuedDpcs.empty()) {
                return ran;
            }
            dpc = queue.QueuedDpcs.front();
            queue.QueuedDpcs.pop_front();
            dpc->DpcData = nullptr;
            queue.RunningDpcs.insert(dpc);
        }
        RunDpc(dpc);
        ++ran;
    }
}

} // namespace hk::timer
