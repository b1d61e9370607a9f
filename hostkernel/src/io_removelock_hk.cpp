// Test API of the remove locks: holds of a lock, and the check that the
// driver holds none when it is declared idle.
#include "io_removelock_internal.h"

using namespace hkio::removelock;

size_t HkRemoveLockHolds(PIO_REMOVE_LOCK Lock)
{
    return HoldCount(Lock);
}

void HkCheckRemoveLocksIdle()
{
    const std::string held = HeldLocks();
    if (!held.empty()) {
        HkBugCheck(HkStop::DetectedViolation::RemoveLockHeldWhenIdle, "the driver was declared idle but " + held);
    }
}
