// The virtual clock behind KeQuerySystemTime, and timers and DPCs on it:
// tests set and advance the clock, so every run that depends on time is
// reproducible. Timers expire only when a test moves the clock forward
// (HkAdvanceClock / HkRunClockTo); their DPCs then run on the thread that
// moved it, at DISPATCH_LEVEL, with the clock at the expiry time.
#include "internal.h"

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>

namespace {

std::atomic<int64_t> VirtualNow{0};
// 2000-01-01 in 100-ns units since 1601: a plausible time for the platform.
constexpr int64_t DefaultSystemTimeBase = 0x01BF53EB256D4000LL;
std::atomic<int64_t> SystemTimeBase{DefaultSystemTimeBase};

// Object types and sizes KeInitializeTimer / KeInitializeDpc write, so that
// an object never initialised is recognised.
constexpr UCHAR TimerNotificationObject = 8;
constexpr UCHAR TimerSynchronizationObject = 9;
constexpr UCHAR TimerSize = sizeof(KTIMER) / sizeof(LONG);
constexpr CSHORT DpcObject = 0x13;
constexpr UCHAR MediumImportance = 1;

struct PendingTimer {
    int64_t Due; // virtual time
    uint64_t Order;
    PKDPC Dpc;
};

struct TimerQueue {
    std::mutex Lock;
    std::map<PKTIMER, PendingTimer> Pending;
    std::deque<PKDPC> QueuedDpcs;
    std::multiset<PKDPC> RunningDpcs;
    uint64_t NextOrder = 0;
    int64_t Tick = 0;
    bool HoldDpcs = false;
};

TimerQueue& Queue()
{
    static TimerQueue& queue = *new TimerQueue; // never destroyed: outlives every thread and exit-time check
    return queue;
}

// One thread moves the clock at a time; a DPC must not move it itself.
std::mutex AdvanceLock;
thread_local bool Advancing = false;

std::string Address(const void* P)
{
    std::ostringstream text;
    text << P;
    return text.str();
}

int64_t ExpiryTime(const TimerQueue& queue, int64_t Due)
{
    if (queue.Tick <= 0) {
        return Due;
    }
    int64_t ticks = Due / queue.Tick; // rounds toward zero: up for negatives
    if (ticks * queue.Tick < Due) {
        ++ticks;
    }
    return ticks * queue.Tick;
}

bool IsQueued(const TimerQueue& queue, PKDPC Dpc)
{
    for (PKDPC queued : queue.QueuedDpcs) {
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
    std::string text = "timer " + Address(Timer) + " pending, due at " + std::to_string(Pending.Due);
    if (Pending.Dpc != nullptr) {
        text += " (DPC " + Address(Pending.Dpc) + ", routine " +
                Address(reinterpret_cast<const void*>(Pending.Dpc->DeferredRoutine)) + ")";
    }
    return text;
}

struct Registrar {
    Registrar()
    {
        HkRegisterReset("ke_timer_dpc", [] {
            TimerQueue& queue = Queue();
            std::lock_guard<std::mutex> guard(queue.Lock);
            queue.Pending.clear();
            queue.QueuedDpcs.clear();
            queue.RunningDpcs.clear();
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
                found += "DPC " + Address(dpc) + " queued, never ran; ";
            }
            return found;
        });
    }
} registrar;

// Runs one DPC on this thread at DISPATCH_LEVEL, as the platform's DPC
// dispatcher does; no stand-in lock is held meanwhile.
void RunDpc(PKDPC Dpc)
{
    TimerQueue& queue = Queue();
    const KIRQL before = HkIrql();
    HkSetIrql(DISPATCH_LEVEL);
    KIRQL after;
    try {
        Dpc->DeferredRoutine(Dpc, Dpc->DeferredContext, Dpc->SystemArgument1, Dpc->SystemArgument2);
        after = HkIrql();
    } catch (...) {
        HkSetIrql(before);
        std::lock_guard<std::mutex> guard(queue.Lock);
        queue.RunningDpcs.erase(queue.RunningDpcs.find(Dpc));
        throw;
    }
    HkSetIrql(before);
    {
        std::lock_guard<std::mutex> guard(queue.Lock);
        queue.RunningDpcs.erase(queue.RunningDpcs.find(Dpc));
    }
    if (after != DISPATCH_LEVEL) {
        HkBugCheck(HkStop::IrqlMismatchOnReturn::DpcRoutineChangedIrql,
                   "DPC routine " + Address(reinterpret_cast<const void*>(Dpc->DeferredRoutine)) +
                       " returned at IRQL " + std::to_string(after) + ", not DISPATCH_LEVEL");
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

// Marks the calling thread as the one moving the clock for its lifetime.
class AdvanceScope {
public:
    AdvanceScope()
    {
        if (Advancing) {
            throw std::logic_error("the virtual clock was moved from inside a DPC");
        }
        guard_ = std::unique_lock<std::mutex>(AdvanceLock);
        Advancing = true;
    }
    ~AdvanceScope() { Advancing = false; }

private:
    std::unique_lock<std::mutex> guard_;
};

void AdvanceTo(int64_t Target)
{
    AdvanceScope scope;
    TimerQueue& queue = Queue();
    for (;;) {
        bool runDpcs = false;
        {
            std::lock_guard<std::mutex> guard(queue.Lock);
            auto next = queue.Pending.end();
            int64_t nextExpiry = 0;
            for (auto it = queue.Pending.begin(); it != queue.Pending.end(); ++it) {
                const int64_t expiry = ExpiryTime(queue, it->second.Due);
                if (next == queue.Pending.end() || expiry < nextExpiry ||
                    (expiry == nextExpiry && it->second.Order < next->second.Order)) {
                    next = it;
                    nextExpiry = expiry;
                }
            }
            if (next == queue.Pending.end() || nextExpiry > Target) {
                break;
            }
            PKTIMER timer = next->first;
            PKDPC dpc = next->second.Dpc;
            queue.Pending.erase(next);
            if (nextExpiry > VirtualNow) {
                VirtualNow = nextExpiry;
            }
            timer->Header.Inserted = 0;
            timer->Header.SignalState = 1;
            // A DPC object is queued at most once at a time.
            if (dpc != nullptr && !IsQueued(queue, dpc)) {
                const int64_t systemTime = SystemTimeBase + VirtualNow;
                dpc->SystemArgument1 = reinterpret_cast<PVOID>(static_cast<uintptr_t>(static_cast<uint32_t>(systemTime)));
                dpc->SystemArgument2 =
                    reinterpret_cast<PVOID>(static_cast<uintptr_t>(static_cast<uint32_t>(systemTime >> 32)));
                dpc->DpcData = dpc; // non-NULL while queued, as on the platform
                queue.QueuedDpcs.push_back(dpc);
            }
            runDpcs = !queue.HoldDpcs;
        }
        if (runDpcs) {
            RunQueuedDpcs();
        }
    }
    if (Target > VirtualNow) {
        VirtualNow = Target;
    }
}

void CheckTimer(PKTIMER Timer, const char* Routine)
{
    if (Timer == nullptr || Timer->Header.Size != TimerSize ||
        (Timer->Header.Type != TimerNotificationObject && Timer->Header.Type != TimerSynchronizationObject)) {
        HkBugCheck(HkStop::TimerOrDpcInvalid::NotATimer,
                   std::string(Routine) + " on " + Address(Timer) + ", which is not an initialised timer");
    }
}

} // namespace

void HkSetClock(int64_t Now)
{
    VirtualNow = Now;
}

int64_t HkClock()
{
    return VirtualNow;
}

void HkSetSystemTimeBase(int64_t Base)
{
    SystemTimeBase = Base;
}

int64_t HkSystemTimeBase()
{
    return SystemTimeBase;
}

void HkAdvanceClock(int64_t Delta)
{
    if (Delta < 0) {
        throw std::invalid_argument("HkAdvanceClock: the virtual clock only moves forward");
    }
    AdvanceTo(VirtualNow + Delta);
}

void HkRunClockTo(int64_t Time)
{
    if (Time < VirtualNow) {
        throw std::invalid_argument("HkRunClockTo: the virtual clock only moves forward");
    }
    AdvanceTo(Time);
}

std::optional<int64_t> HkNextTimerDue()
{
    TimerQueue& queue = Queue();
    std::lock_guard<std::mutex> guard(queue.Lock);
    std::optional<int64_t> earliest;
    for (const auto& [timer, pending] : queue.Pending) {
        const int64_t expiry = ExpiryTime(queue, pending.Due);
        if (!earliest || expiry < *earliest) {
            earliest = expiry;
        }
    }
    return earliest;
}

size_t HkPendingTimerCount()
{
    TimerQueue& queue = Queue();
    std::lock_guard<std::mutex> guard(queue.Lock);
    return queue.Pending.size();
}

void HkSetTimerTick(int64_t Tick)
{
    TimerQueue& queue = Queue();
    std::lock_guard<std::mutex> guard(queue.Lock);
    queue.Tick = Tick;
}

void HkHoldDpcs(bool Hold)
{
    TimerQueue& queue = Queue();
    std::lock_guard<std::mutex> guard(queue.Lock);
    queue.HoldDpcs = Hold;
}

size_t HkQueuedDpcCount()
{
    TimerQueue& queue = Queue();
    std::lock_guard<std::mutex> guard(queue.Lock);
    return queue.QueuedDpcs.size();
}

size_t HkRunQueuedDpcs()
{
    AdvanceScope scope;
    return RunQueuedDpcs();
}

void HkCheckNoTimersIn(const void* Begin, size_t Length)
{
    TimerQueue& queue = Queue();
    std::lock_guard<std::mutex> guard(queue.Lock);
    for (const auto& [timer, pending] : queue.Pending) {
        if (Overlaps(timer, sizeof(KTIMER), Begin, Length) ||
            (pending.Dpc != nullptr && Overlaps(pending.Dpc, sizeof(KDPC), Begin, Length))) {
            HkBugCheck(HkStop::TimerOrDpcInvalid::FreedWithTimerPending,
                       "memory freed with a " + DescribeTimer(timer, pending));
        }
    }
    for (PKDPC dpc : queue.QueuedDpcs) {
        if (Overlaps(dpc, sizeof(KDPC), Begin, Length)) {
            HkBugCheck(HkStop::TimerOrDpcInvalid::FreedWithDpcQueued,
                       "memory freed with DPC " + Address(dpc) + " still queued");
        }
    }
    for (PKDPC dpc : queue.RunningDpcs) {
        if (Overlaps(dpc, sizeof(KDPC), Begin, Length)) {
            HkBugCheck(HkStop::TimerOrDpcInvalid::FreedWithDpcRunning,
                       "memory freed while DPC " + Address(dpc) + " is running");
        }
    }
}

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
                   "KeInitializeTimer on timer " + Address(Timer) + ", which is pending");
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
                   "KeSetTimer with " + Address(Dpc) + ", which is not an initialised DPC");
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
                   "KeInitializeDpc on DPC " + Address(Dpc) + ", which is queued");
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
