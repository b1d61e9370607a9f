// What the timer and DPC files share: the virtual clock and the queue of
// pending timers and DPCs.
#pragma once

#include "internal.h"

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <vector>

namespace hk::timer {

extern std::atomic<int64_t> VirtualNow;
// 2000-01-01 in 100-ns units since 1601: a plausible time for the platform.
inline constexpr int64_t DefaultSystemTimeBase = 0x01BF53EB256D4000LL;
extern std::atomic<int64_t> SystemTimeBase;

// Object types and sizes KeInitializeTimer / KeInitializeDpc write, so that
// an object never initialised is recognised.
inline constexpr UCHAR TimerNotificationObject = 8;
inline constexpr UCHAR TimerSynchronizationObject = 9;
inline constexpr UCHAR TimerSize = sizeof(KTIMER) / sizeof(LONG);
inline constexpr CSHORT DpcObject = 0x13;
inline constexpr UCHAR MediumImportance = 1;

struct PendingTimer {
    int64_t Due; // virtual time
    uint64_t Order;
    PKDPC Dpc;
};

// Memory freed while the DPC whose object lies in it was running, as it was
// left at the free.
struct FreedUnderDpc {
    PKDPC Dpc;
    const unsigned char* Begin;
    std::vector<unsigned char> AsFreed;
    std::string Label;
};

struct TimerQueue {
    std::mutex Lock;
    std::map<PKTIMER, PendingTimer> Pending;
    std::deque<PKDPC> QueuedDpcs;
    std::multiset<PKDPC> RunningDpcs;
    std::vector<FreedUnderDpc> FreedUnderRunningDpcs;
    uint64_t NextOrder = 0;
    int64_t Tick = 0;
    bool HoldDpcs = false;
};

TimerQueue& Queue();

// When a timer due at Due fires, after rounding up to the tick.
int64_t ExpiryTime(const TimerQueue& Timers, int64_t Due);
bool IsQueued(const TimerQueue& Timers, PKDPC Dpc);
bool Overlaps(const void* Object, size_t Size, const void* Begin, size_t Length);
std::string DescribeTimer(PKTIMER Timer, const PendingTimer& Pending);
// Stops the test unless Timer was initialised.
void CheckTimer(PKTIMER Timer, const char* Routine);

// Marks the calling thread as the one moving the clock for its lifetime;
// one thread at a time, and never a DPC.
class AdvanceScope {
public:
    AdvanceScope();
    ~AdvanceScope();

private:
    std::unique_lock<std::mutex> guard_;
};

// Moves the clock to Target, firing every timer due by then in order.
void AdvanceTo(int64_t Target);
// Runs the queued DPCs on this thread; returns how many ran.
size_t RunQueuedDpcs();

} // namespace hk::timer
