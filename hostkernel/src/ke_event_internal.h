// What the event files share: the dispatcher's waiters, the watchdog and
// the critical regions of each thread.
#pragma once

#include "internal.h"

#include <atomic>
#include <optional>

namespace hk::event {

inline constexpr double DefaultWatchdogSeconds = 10.0;
extern std::atomic<double> WatchdogSeconds;
inline constexpr UCHAR EventSize = sizeof(KEVENT) / sizeof(LONG);

// The calling thread's depth of KeEnterCriticalRegion.
int& CriticalRegionDepth();
// KeInitializeEvent writes Type and Size; zeroed or stale memory stops here.
DISPATCHER_HEADER* CheckedEvent(PVOID Object, const char* Routine);
// Writes the event's header; stops the test while a thread waits on it.
void Initialize(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
// Signals the event: a synchronization event goes to its first waiter, a
// notification event releases every waiter. Returns the previous state.
LONG Signal(DISPATCHER_HEADER* Header);
LONG Reset(DISPATCHER_HEADER* Header);
LONG ReadState(DISPATCHER_HEADER* Header);
// A user-mode request's thread that blocks while holding its remove lock
// outside a critical region stops the test.
void CheckSuspendableWait(PVOID Object);
// Takes the signal when the event is signalled; otherwise blocks until it
// is, the virtual clock reaches Deadline (STATUS_TIMEOUT) or the watchdog
// stops the test. Poll never blocks.
NTSTATUS WaitForSignal(DISPATCHER_HEADER* Header, PVOID Object, bool Poll, std::optional<int64_t> Deadline);

} // namespace hk::event
