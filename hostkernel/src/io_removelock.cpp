// The I/O manager's remove lock services, as the driver calls them.
#include "io_removelock_internal.h"

using namespace hkio::removelock;

extern "C" {

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "IoInitializeRemoveLock");
    Track(Lock, AllocateTag, MaxLockedMinutes, HighWatermark, RemlockSize);
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1; // the bias that release-and-wait removes
    KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                     ULONG RemlockSize)
{
    HkRequireIrqlAtMost(DISPATCH_LEVEL, "IoAcquireRemoveLock");
    HkPassPausePoint("IoAcquireRemoveLockEx", RemoveLock);
    CheckTracked(RemoveLock, RemlockSize, "IoAcquireRemoveLock");
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    if (RemoveLock->Common.Removed) {
        Decrement(RemoveLock);
        return STATUS_DELETE_PENDING;
    }
    NoteAcquired(RemoveLock, Tag, File, Line, RemlockSize);
    return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
{
    HkRequireIrqlAtMost(DISPATCH_LEVEL, "IoReleaseRemoveLock");
    NoteReleased(RemoveLock, Tag, RemlockSize, "IoReleaseRemoveLock", false);
    Decrement(RemoveLock);
}

VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "IoReleaseRemoveLockAndWait");
    NoteReleased(RemoveLock, Tag, RemlockSize, "IoReleaseRemoveLockAndWait", true);
    RemoveLock->Common.Removed = TRUE;
    Decrement(RemoveLock); // the bias
    Decrement(RemoveLock); // the caller's own acquisition
    // Every other holder releases; the last release signals.
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    CheckNoneHeldAfterWait(RemoveLock, RemlockSize);
}

} // extern "C"
