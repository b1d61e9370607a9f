// Test API of waits: how long a blocking wait may take before the test is
// stopped as a deadlock.
#include "ke_event_internal.h"

void HkSetWaitWatchdog(double Seconds)
{
    hk::event::WatchdogSeconds = Seconds;
}

double HkWaitWatchdog()
{
    return hk::event::WatchdogSeconds;
}
