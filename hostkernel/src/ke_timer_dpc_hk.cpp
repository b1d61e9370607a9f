// Test API of the virtual clock, timers and DPCs.
#include "ke_timer_dpc_internal.h"

#include <stdexcept>

using namespace hk::timer;

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

void HkCheckNoPendingTimersIn(const void* Begin, size_t Length)
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
                       "memory freed with DPC " + HkAddress(dpc) + " still queued");
        }
    }
}

void HkCheckNoTimersIn(const void* Begin, size_t Length)
{
    HkCheckNoPendingTimersIn(Begin, Length);
    TimerQueue& queue = Queue();
    std::lock_guard<std::mutex> guard(queue.Lock);
    for (PKDPC dpc : queue.RunningDpcs) {
        if (Overlaps(dpc, sizeof(KDPC), Begin, Length)) {
            HkBugCheck(HkStop::TimerOrDpcInvalid::FreedWithDpcRunning,
                       "memory freed while DPC " + HkAddress(dpc) + " is running");
        }
    }
}

void HkWatchFreedUnderRunningDpcs(const void* Begin, size_t Length, const std::string& Label)
{
    TimerQueue& queue = Queue();
    std::lock_guard<std::mutex> guard(queue.Lock);
    const auto* begin = static_cast<const unsigned char*>(Begin);
    for (PKDPC dpc : queue.RunningDpcs) {
        if (Overlaps(dpc, sizeof(KDPC), Begin, Length)) {
            queue.FreedUnderRunningDpcs.push_back({dpc, begin, {begin, begin + Length}, Label});
        }
    }
}
