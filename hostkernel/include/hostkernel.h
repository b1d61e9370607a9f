// Test-facing API of the host kernel stand-in (prefix Hk). Tests, peers and
// tools use it to drive and observe what the driver does with the platform.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

// ---- virtual clock: time in 100-ns units since the start of a scenario.
// KeQuerySystemTime returns the base plus the virtual time.
void HkSetClock(int64_t Now);
int64_t HkClock();
void HkSetSystemTimeBase(int64_t Base);
int64_t HkSystemTimeBase();

// ---- HAL port I/O, recorded with the virtual time of each access.
struct HkPortAccess {
    int64_t Time;
    uint16_t Port;
    uint8_t Value;
    bool Write;
    bool operator==(const HkPortAccess&) const = default;
};
const uint8_t HkSpeakerGateInitialValue = 0x30;
// Empties the log, makes it unbounded again and drops the observer; every
// port reads back its initial value.
void HkPortReset();
std::vector<HkPortAccess> HkPortLog();
std::vector<HkPortAccess> HkPortWrites();
// Long runs cannot keep every access: the log then keeps only the latest
// Limit accesses (0: none), and an observer sees each access as it happens,
// with the port lock held (it must not call back into the port API). Both
// last until HkPortReset.
inline constexpr size_t HkPortLogUnbounded = std::numeric_limits<size_t>::max();
void HkSetPortLogLimit(size_t Limit);
void HkSetPortObserver(std::function<void(const HkPortAccess&)> Observer);
// Accesses since the last reset, whether the log kept them or not.
uint64_t HkPortAccessCount();
void HkSetPortValue(uint16_t Port, uint8_t Value);
uint8_t HkPortValue(uint16_t Port);

// ---- scenario bookkeeping
// Returns the stand-in to its initial state: no devices, drivers, pool,
// registry, timers, failures; clock 0; ports at their initial values.
void HkReset();
#include <string>
// Everything a scenario left behind (pool blocks, remove-lock holds,
// pending timers, open objects), one line per finding; empty when clean.
std::string HkLeftBehind();
// Verifier stops recorded since the reset, then HkLeftBehind().
std::string HkVerifierReport();
#include <functional>
// Lets code outside the stand-in (peers, tools) forget what HkReset destroys.
void HkRegisterResetHook(const char* Name, std::function<void()> Reset);

// ---- pause points: a thread stopped inside a kernel service, as if
// pre-empted there, while the test does another processor's work. Points:
//   "IoAcquireRemoveLockEx"   at entry; Subject: the lock
//   "IofCallDriver.Returned"  after the target's dispatch returned, before
//                             the caller continues; Subject: the IRP
//   "KfAcquireSpinLock"       at entry, before the lock is taken; Subject:
//                             the lock (the cancel spin lock is left out)
//   "RtlQueryRegistryValues"  at entry, before the key is opened; Subject:
//                             the Path argument
// The first thread that reaches Point with When(Subject) true (or When
// empty) stops there until Release() or the destructor; one at a time.
class HkPause {
public:
    explicit HkPause(const std::string& Point, std::function<bool(const void* Subject)> When = {});
    ~HkPause();
    HkPause(const HkPause&) = delete;
    HkPause& operator=(const HkPause&) = delete;
    bool WaitUntilReached(double Seconds = 10);
    bool Reached() const;
    void Release();

private:
    void* Armed_;
};

#include "hk_ex.h"
#include "hk_io.h"
#include "hk_registry.h"
