// Test API of the spin locks.
#include "ke_irql_internal.h"

bool HkSpinLockHeld(PKSPIN_LOCK SpinLock)
{
    return hk::irql::SpinLockOwnedByThisThread(SpinLock);
}
