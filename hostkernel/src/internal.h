// Interfaces between the stand-in's components, each kept in the component's
// _internal.cpp. Not for tests or drivers.
#pragma once

#include "hostkernel.h"
#include "../verifier/verifier.h"

#include <functional>
#include <string>

// ---- messages (hk_core): a pointer as stops and leak reports print it.
std::string HkAddress(const void* P);

// ---- IRQL (ke_irql): per thread; a new thread starts at PASSIVE_LEVEL.
KIRQL HkIrql();
void HkSetIrql(KIRQL Irql); // for the stand-in itself (DPCs, completions on other threads)
// Stops the test when the caller is above MaxIrql.
void HkRequireIrqlAtMost(KIRQL MaxIrql, const char* Routine);

// ---- fault plan (ex_pool): every allocating service asks before it
// allocates. Site is the service's name; Caller the driver's return address.
bool HkShouldFailAllocation(const char* Site, const void* Caller);

// ---- critical regions (ke_event) and the user-mode request whose
// dispatch runs on this thread (io_irp): together they let a wait tell
// whether a suspended thread could stall removal.
int HkCriticalRegionDepth();
PIRP HkUserRequestOnThisThread();
// The remove lock held with Tag, described, or "" when none is.
std::string HkRemoveLockHeldWithTag(const void* Tag);

// ---- timers and DPCs (ke_timer_dpc): memory going away. The first stops
// the test if a pending timer or a queued DPC lies in it. The second is for
// memory freed while a DPC whose object lies in it is still running: the
// platform no longer touches the object of a DPC it has called, and the
// routine may return after its last touch, so only writes into the memory
// after the free are a fault; they stop the test when the routine returns.
void HkCheckNoPendingTimersIn(const void* Begin, size_t Length);
void HkWatchFreedUnderRunningDpcs(const void* Begin, size_t Length, const std::string& Label);

// ---- pause points (hk_pause): each service calls this at its point, see
// HkPause in hostkernel.h.
void HkPassPausePoint(const char* Point, const void* Subject);

// ---- resets: each component registers one; HkReset() calls them all.
void HkRegisterReset(const char* Component, std::function<void()> Reset);

// ---- end-of-test checks: each component registers one, which returns a
// description of everything left behind (empty when clean).
void HkRegisterLeakCheck(const char* Component, std::function<std::string()> Check);
