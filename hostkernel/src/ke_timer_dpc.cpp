// The virtual clock behind KeQuerySystemTime: tests set and advance it, so
// every run that depends on time is reproducible.
#include "hostkernel.h"

#include <atomic>

namespace {

std::atomic<int64_t> VirtualNow{0};
// 2000-01-01 in 100-ns units since 1601: a plausible time for the platform.
std::atomic<int64_t> SystemTimeBase{0x01BF53EB256D4000LL};

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

extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = SystemTimeBase + VirtualNow;
}
