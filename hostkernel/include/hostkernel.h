// Test-facing API of the host kernel stand-in (prefix Hk). Tests, peers and
// tools use it to drive and observe what the driver does with the platform.
#pragma once

#include <ntddk.h>

#include <cstdint>
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
void HkPortReset(); // empties the log; every port reads back its initial value
std::vector<HkPortAccess> HkPortLog();
std::vector<HkPortAccess> HkPortWrites();
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

#include "hk_ex.h"
#include "hk_io.h"
#include "hk_registry.h"
