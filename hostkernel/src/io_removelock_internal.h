// What the remove lock files share: the tracking of every lock's holds.
#pragma once

#include "io_internal.h"

namespace hkio::removelock {

// Starts tracking Lock afresh; stops the test for a wrong size or
// watermark, or a lock still held or already released for removal.
void Track(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes, ULONG HighWatermark, ULONG RemlockSize);
// Stops the test unless Lock is tracked with the right size.
void CheckTracked(PIO_REMOVE_LOCK Lock, ULONG RemlockSize, const char* Routine);
// Records an acquisition, checked against the high watermark.
void NoteAcquired(PIO_REMOVE_LOCK Lock, PVOID Tag, PCSTR File, ULONG Line, ULONG RemlockSize);
// Forgets the acquisition with Tag, checking how long the holds lasted.
// ForRemoval: IoReleaseRemoveLockAndWait, which may come once.
void NoteReleased(PIO_REMOVE_LOCK Lock, PVOID Tag, ULONG RemlockSize, const char* Routine, bool ForRemoval);
// Stops the test when a hold is still tracked once removal waited them out.
void CheckNoneHeldAfterWait(PIO_REMOVE_LOCK Lock, ULONG RemlockSize);
// Drops the lock's count, signalling removal at zero.
void Decrement(PIO_REMOVE_LOCK Lock);
// Acquisitions of Lock not yet released.
size_t HoldCount(PIO_REMOVE_LOCK Lock);
// The holds of every lock, described; "" when none.
std::string HeldLocks();

} // namespace hkio::removelock
