// What the IRQL and spin lock files share: which thread owns which lock.
#pragma once

#include "internal.h"

namespace hk::irql {

// The I/O manager's cancel spin lock.
PKSPIN_LOCK CancelSpinLock();
// Takes the lock for the calling thread, waiting while another thread holds
// it; stops the test when the thread holds it already or the wait outlasts
// the watchdog.
void TakeSpinLock(PKSPIN_LOCK SpinLock);
// Gives the lock up; stops the test when the calling thread does not hold it.
void GiveUpSpinLock(PKSPIN_LOCK SpinLock);
bool SpinLockOwnedByThisThread(PKSPIN_LOCK SpinLock);

} // namespace hk::irql
