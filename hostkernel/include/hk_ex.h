// Test-facing API of the executive part of the stand-in: IRQL, waits,
// timers and DPCs on the virtual clock, pool, fault plan, strings.
// See hostkernel.h for the rest.
#pragma once

#include <ntddk.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// ---- IRQL, spin locks, waits
// A wait with a non-zero timeout returns STATUS_TIMEOUT once the virtual
// clock, moved by another thread, reaches its deadline; until then it blocks.
// Real seconds a blocking wait (KeWaitForSingleObject, a contended spin
// lock) may take before the test is stopped as a deadlock. Default 10 s.
void HkSetWaitWatchdog(double Seconds);
double HkWaitWatchdog();
// Whether the calling thread holds the spin lock.
bool HkSpinLockHeld(PKSPIN_LOCK SpinLock);

// ---- timers and DPCs on the virtual clock (100-ns units)
// Moves the clock forward, firing every timer whose due time is reached in
// due-time order (ties in the order they were set); the clock stands at each
// due time while that timer's DPC runs on the calling thread at
// DISPATCH_LEVEL. A timer due at or before the current time fires on the
// next call, even HkAdvanceClock(0).
void HkAdvanceClock(int64_t Delta);
void HkRunClockTo(int64_t Time);
// Virtual time of the earliest pending timer (after tick rounding).
std::optional<int64_t> HkNextTimerDue();
size_t HkPendingTimerCount();
// Timers expire at clock ticks: a timer fires at the first multiple of Tick
// at or after its due time (the platform's 10 / 15.6 ms). 0 = exactly.
void HkSetTimerTick(int64_t Tick);
// While held, expiries queue DPCs without running them, so a test can act
// between the expiry and the DPC (the DPC still queued on another CPU).
void HkHoldDpcs(bool Hold);
size_t HkQueuedDpcCount();
size_t HkRunQueuedDpcs(); // returns how many ran
// Stops with TIMER_OR_DPC_INVALID if a pending timer, or a queued or
// running DPC, lies in [Begin, Begin + Length): that memory is going away.
void HkCheckNoTimersIn(const void* Begin, size_t Length);

// ---- pool
struct HkPoolUsage {
    size_t Blocks;
    size_t Bytes;
};
HkPoolUsage HkPoolOutstanding();
// Tag and type of a live block; std::out_of_range when P is not one.
ULONG HkPoolBlockTag(const void* P);
POOL_TYPE HkPoolBlockType(const void* P);
size_t HkPoolAllocationCount(); // successful allocations since the reset
// The largest block asked for since the reset, granted or not. A request
// larger than any Windows 2000 pool fails, as it would there.
struct HkPoolRequest {
    size_t Bytes = 0;
    ULONG Tag = 0;
    std::string Where; // service and caller
};
HkPoolRequest HkPoolLargestRequest();
// The block is meant to outlive the scenario (the saved registry path, the
// read request): the leak check leaves it out. std::out_of_range if P is
// not a live block.
void HkDeclareLongLived(const void* P);
// Checks every live block's guards and every quarantined block's poison now;
// stops with SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION at the first damage.
void HkPoolCheckIntegrity();
// Releases the quarantine of freed blocks, checking each one's poison.
void HkPoolFlushQuarantine();
// Tag constants as the platform writes them ('Ddk ' in memory order).
inline constexpr ULONG HkTagDdk = 0x206B6444;  // "Ddk "
inline constexpr ULONG HkTagNone = 0x656E6F4E; // "None", ExAllocatePool's own
std::string HkTagText(ULONG Tag);

// ---- fault plan. Sites are the services' names: "ExAllocatePoolWithTag",
// "ExAllocatePool", "IoAllocateIrp", "IoBuildDeviceIoControlRequest",
// "IoCreateDevice", "IoCreateSymbolicLink", "IoGetDeviceObjectPointer".
// HkReset clears the plan (all three modes) but not the systematic memory.
void HkFailNthAllocation(size_t N); // the N-th allocation from now fails, once (1 = the next)
void HkFailAllocationsFrom(const std::string& Site);
void HkClearFaultPlan();
// Systematic low resources: while on, an allocation fails the first time its
// (site, caller) pair is ever seen. Rerun a scenario (HkReset, switch on, run)
// until HkSystematicNewSitesInLastRun() is false: each site has failed once.
void HkSetSystematicLowResources(bool On);
bool HkSystematicNewSitesInLastRun(); // since the last HkReset
void HkResetSystematicSites();
size_t HkFailedAllocationCount(); // since the reset

// ---- strings. WCHAR text lives in std::u16string (never std::wstring: the
// host build's wchar_t is 16 bits and libc's wide functions disagree).
std::u16string HkWide(const std::string& Ascii);
inline PWSTR HkWcs(std::u16string& Text) { return reinterpret_cast<PWSTR>(Text.data()); }
inline PCWSTR HkWcs(const std::u16string& Text) { return reinterpret_cast<PCWSTR>(Text.c_str()); }
// A UNICODE_STRING over Text's buffer (Text must outlive it).
UNICODE_STRING HkUnicodeString(std::u16string& Text);
// UTF-8 of the first Chars characters.
std::string HkNarrow(const WCHAR* Text, size_t Chars);
std::string HkNarrow(const UNICODE_STRING& Text);
size_t HkWcsLen(const WCHAR* Text);
