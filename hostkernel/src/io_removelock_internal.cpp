// Remove locks with the checked build's tag tracking always on, whatever
// size the driver was compiled with: the tracking lives in a side table
// keyed by the lock's address, and the lock keeps its free-build layout.
#include "io_removelock_internal.h"

#include <map>

namespace hkio {
namespace removelock {
namespace {

struct Hold {
    PVOID Tag;
    std::string File;
    ULONG Line;
    int64_t Since; // virtual time of the acquisition
};

struct LockInfo {
    ULONG HighWatermark = 0;
    ULONG MaxLockedMinutes = 0;
    ULONG AllocateTag = 0;
    std::vector<Hold> Holds;
    bool ReleasedAndWaited = false;
};

struct LockTable {
    std::mutex Lock;
    std::map<PIO_REMOVE_LOCK, LockInfo> Locks;
};

LockTable& Table()
{
    static LockTable& table = *new LockTable; // never destroyed: outlives every thread and exit-time check
    return table;
}

constexpr int64_t UnitsPerMinute = 60LL * 10000000LL;

std::string Describe(PIO_REMOVE_LOCK Lock)
{
    return "remove lock " + Hex(Lock);
}

std::string DescribeHold(const Hold& Held)
{
    std::string text = "tag " + Hex(Held.Tag);
    if (!Held.File.empty()) {
        text += " (" + Held.File + ":" + std::to_string(Held.Line) + ")";
    }
    return text;
}

void CheckRemlockSize(PIO_REMOVE_LOCK Lock, ULONG RemlockSize, const char* Routine)
{
    if (RemlockSize != sizeof(IO_REMOVE_LOCK)) {
        HkBugCheck(HkStop::DetectedViolation::RemoveLockSizeWrong,
                   std::string(Routine) + " on " + Describe(Lock) + " with RemlockSize " + std::to_string(RemlockSize) +
                       ", not sizeof(IO_REMOVE_LOCK) = " + std::to_string(sizeof(IO_REMOVE_LOCK)));
    }
}

// Caller holds Table().Lock.
LockInfo& Tracked(PIO_REMOVE_LOCK Lock, ULONG RemlockSize, const char* Routine)
{
    CheckRemlockSize(Lock, RemlockSize, Routine);
    auto found = Table().Locks.find(Lock);
    if (found == Table().Locks.end()) {
        HkBugCheck(HkStop::DetectedViolation::RemoveLockNotInitialized,
                   std::string(Routine) + " on " + Describe(Lock) + ", which IoInitializeRemoveLock never initialised");
    }
    return found->second;
}

// Removes the first tracking entry with Tag, checking how long the
// acquisitions have been held.
void UntrackLocked(PIO_REMOVE_LOCK Lock, LockInfo& Info, PVOID Tag, const char* Routine)
{
    if (Info.MaxLockedMinutes != 0) {
        const int64_t now = HkClock();
        for (const Hold& held : Info.Holds) {
            if (now - held.Since > Info.MaxLockedMinutes * UnitsPerMinute) {
                HkBugCheck(HkStop::DetectedViolation::RemoveLockHeldTooLong,
                           Describe(Lock) + " held with " + DescribeHold(held) + " for longer than MaxLockedMinutes (" +
                               std::to_string(Info.MaxLockedMinutes) + ")");
            }
        }
    }
    for (auto held = Info.Holds.begin(); held != Info.Holds.end(); ++held) {
        if (held->Tag == Tag) {
            Info.Holds.erase(held);
            return;
        }
    }
    HkBugCheck(HkStop::DetectedViolation::RemoveLockTagNotHeld,
               std::string(Routine) + " on " + Describe(Lock) + ": tag " + Hex(Tag) +
                   " not found in the tracking list (released without a matching acquisition, or with another tag)");
}

} // namespace

void Track(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes, ULONG HighWatermark, ULONG RemlockSize)
{
    std::lock_guard<std::mutex> guard(Table().Lock);
    CheckRemlockSize(Lock, RemlockSize, "IoInitializeRemoveLock");
    if (HighWatermark >= 0x80000000u) {
        HkBugCheck(HkStop::DetectedViolation::RemoveLockHighWatermarkInvalid,
                   "IoInitializeRemoveLock on " + Describe(Lock) + " with HighWatermark " +
                       std::to_string(HighWatermark));
    }
    auto found = Table().Locks.find(Lock);
    if (found != Table().Locks.end()) {
        if (found->second.ReleasedAndWaited) {
            HkBugCheck(HkStop::DetectedViolation::RemoveLockReinitializedAfterWait,
                       "IoInitializeRemoveLock on " + Describe(Lock) + " after IoReleaseRemoveLockAndWait");
        }
        if (!found->second.Holds.empty()) {
            HkBugCheck(HkStop::DetectedViolation::RemoveLockReinitializedWhileHeld,
                       "IoInitializeRemoveLock on " + Describe(Lock) + " while it is held with " +
                           DescribeHold(found->second.Holds.front()));
        }
    }
    LockInfo& info = Table().Locks[Lock];
    info = LockInfo{};
    info.HighWatermark = HighWatermark;
    info.MaxLockedMinutes = MaxLockedMinutes;
    info.AllocateTag = AllocateTag;
}

void CheckTracked(PIO_REMOVE_LOCK Lock, ULONG RemlockSize, const char* Routine)
{
    std::lock_guard<std::mutex> guard(Table().Lock);
    Tracked(Lock, RemlockSize, Routine);
}

void NoteAcquired(PIO_REMOVE_LOCK Lock, PVOID Tag, PCSTR File, ULONG Line, ULONG RemlockSize)
{
    std::lock_guard<std::mutex> guard(Table().Lock);
    LockInfo& info = Tracked(Lock, RemlockSize, "IoAcquireRemoveLock");
    info.Holds.push_back({Tag, File != nullptr ? File : "", Line, HkClock()});
    // The platform compares its count, which includes the lock's own bias of
    // one, so a watermark of N admits N - 1 holds at once.
    if (info.HighWatermark != 0 && info.Holds.size() + 1 > info.HighWatermark) {
        HkBugCheck(HkStop::DetectedViolation::RemoveLockAboveHighWatermark,
                   Describe(Lock) + " acquired " + std::to_string(info.Holds.size()) +
                       " times at once: its count, with the bias, is above its HighWatermark of " +
                       std::to_string(info.HighWatermark));
    }
}

void NoteReleased(PIO_REMOVE_LOCK Lock, PVOID Tag, ULONG RemlockSize, const char* Routine, bool ForRemoval)
{
    std::lock_guard<std::mutex> guard(Table().Lock);
    LockInfo& info = Tracked(Lock, RemlockSize, Routine);
    if (ForRemoval && info.ReleasedAndWaited) {
        HkBugCheck(HkStop::DetectedViolation::RemoveLockWaitedTwice,
                   std::string(Routine) + " on " + Describe(Lock) + " a second time");
    }
    UntrackLocked(Lock, info, Tag, Routine);
    info.ReleasedAndWaited = info.ReleasedAndWaited || ForRemoval;
}

void CheckNoneHeldAfterWait(PIO_REMOVE_LOCK Lock, ULONG RemlockSize)
{
    std::lock_guard<std::mutex> guard(Table().Lock);
    LockInfo& info = Tracked(Lock, RemlockSize, "IoReleaseRemoveLockAndWait");
    if (!info.Holds.empty()) {
        HkBugCheck(HkStop::DetectedViolation::RemoveLockHeldAfterWait,
                   "IoReleaseRemoveLockAndWait on " + Describe(Lock) + " returned with " +
                       DescribeHold(info.Holds.front()) + " still tracked");
    }
}

void Decrement(PIO_REMOVE_LOCK Lock)
{
    const LONG count = InterlockedDecrement(&Lock->Common.IoCount);
    if (count < 0) {
        HkBugCheck(HkStop::DetectedViolation::RemoveLockReleasedTooOften,
                   Describe(Lock) + " released more often than acquired");
    }
    if (count == 0) {
        KeSetEvent(&Lock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

size_t HoldCount(PIO_REMOVE_LOCK Lock)
{
    std::lock_guard<std::mutex> guard(Table().Lock);
    auto found = Table().Locks.find(Lock);
    return found == Table().Locks.end() ? 0 : found->second.Holds.size();
}

std::string HeldLocks()
{
    std::lock_guard<std::mutex> guard(Table().Lock);
    std::string found;
    for (const auto& [lock, info] : Table().Locks) {
        for (const Hold& held : info.Holds) {
            found += Describe(lock) + " still held with " + DescribeHold(held) + "; ";
        }
    }
    return found;
}

} // namespace removelock

using namespace removelock;

void RemoveLocksGoingAway(const void* Begin, size_t Length, const std::string& What, bool MemoryStays)
{
    std::lock_guard<std::mutex> guard(Table().Lock);
    auto& locks = Table().Locks;
    const auto* begin = static_cast<const unsigned char*>(Begin);
    for (auto entry = locks.begin(); entry != locks.end();) {
        const auto* at = reinterpret_cast<const unsigned char*>(entry->first);
        if (at < begin || at >= begin + Length) {
            ++entry;
            continue;
        }
        if (!entry->second.Holds.empty()) {
            HkBugCheck(HkStop::DetectedViolation::RemoveLockDeletedWhileHeld,
                       What + " deleted while its " + Describe(entry->first) + " is still held with " +
                           DescribeHold(entry->second.Holds.front()));
        }
        entry = MemoryStays ? std::next(entry) : locks.erase(entry);
    }
}

void ResetRemoveLocks()
{
    std::lock_guard<std::mutex> guard(Table().Lock);
    Table().Locks.clear();
}

std::string RemoveLockLeaks()
{
    return removelock::HeldLocks();
}

} // namespace hkio

using namespace hkio::removelock;

std::string HkRemoveLockHeldWithTag(const void* Tag)
{
    std::lock_guard<std::mutex> guard(Table().Lock);
    for (const auto& [lock, info] : Table().Locks) {
        for (const Hold& held : info.Holds) {
            if (held.Tag == Tag) {
                return Describe(lock) + " (" + DescribeHold(held) + ")";
            }
        }
    }
    return "";
}
