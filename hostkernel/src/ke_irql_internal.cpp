// IRQL per thread and spin locks. A spin lock here is a real lock between
// threads (completion routines and DPCs may run on other threads), and the
// checks a checked HAL makes are verifier stops.
#include "ke_irql_internal.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

namespace hk::irql {
namespace {

thread_local KIRQL CurrentIrql = PASSIVE_LEVEL;

struct SpinLocks {
    std::mutex Lock;
    std::condition_variable Released;
    std::map<const void*, std::thread::id> Owners;
};

SpinLocks& Locks()
{
    static SpinLocks& locks = *new SpinLocks; // never destroyed: outlives every thread and exit-time check
    return locks;
}

KSPIN_LOCK TheCancelSpinLock = 0;


struct Registrar {
    Registrar()
    {
        HkRegisterReset("ke_irql", [] {
            // A test stopped at DISPATCH_LEVEL or inside a lock must not
            // leave that to the next one.
            CurrentIrql = PASSIVE_LEVEL;
            SpinLocks& locks = Locks();
            std::lock_guard<std::mutex> guard(locks.Lock);
            locks.Owners.clear();
            locks.Released.notify_all();
        });
        HkRegisterLeakCheck("ke_irql", [] {
            SpinLocks& locks = Locks();
            std::lock_guard<std::mutex> guard(locks.Lock);
            std::string found;
            for (const auto& [lock, owner] : locks.Owners) {
                found += "spin lock " + HkAddress(lock) + " still held; ";
            }
            return found;
        });
    }
} registrar;

} // namespace

PKSPIN_LOCK CancelSpinLock()
{
    return &TheCancelSpinLock;
}

void TakeSpinLock(PKSPIN_LOCK SpinLock)
{
    SpinLocks& locks = Locks();
    const auto self = std::this_thread::get_id();
    std::unique_lock<std::mutex> guard(locks.Lock);
    auto held = locks.Owners.find(SpinLock);
    if (held != locks.Owners.end() && held->second == self) {
        HkBugCheck(HkStop::SpinLockAlreadyOwned::AcquiredByOwner,
                   "spin lock " + HkAddress(SpinLock) + " acquired again by the thread holding it (deadlock)");
    }
    const auto limit = std::chrono::duration<double>(HkWaitWatchdog());
    if (!locks.Released.wait_for(guard, limit, [&] { return locks.Owners.count(SpinLock) == 0; })) {
        HkBugCheck(HkStop::DetectedViolation::SpinLockDeadlock, "deadlock: spin lock " + HkAddress(SpinLock) +
                                                                    " not released within " +
                                                                    std::to_string(HkWaitWatchdog()) + " s");
    }
    locks.Owners[SpinLock] = self;
    *SpinLock = 1;
}

void GiveUpSpinLock(PKSPIN_LOCK SpinLock)
{
    SpinLocks& locks = Locks();
    std::lock_guard<std::mutex> guard(locks.Lock);
    auto held = locks.Owners.find(SpinLock);
    if (held == locks.Owners.end() || held->second != std::this_thread::get_id()) {
        HkBugCheck(HkStop::SpinLockNotOwned::ReleasedByNonOwner,
                   "spin lock " + HkAddress(SpinLock) + " released by a thread that does not hold it");
    }
    locks.Owners.erase(held);
    *SpinLock = 0;
    locks.Released.notify_all();
}

bool SpinLockOwnedByThisThread(PKSPIN_LOCK SpinLock)
{
    SpinLocks& locks = Locks();
    std::lock_guard<std::mutex> guard(locks.Lock);
    auto found = locks.Owners.find(SpinLock);
    return found != locks.Owners.end() && found->second == std::this_thread::get_id();
}

} // namespace hk::irql

KIRQL HkIrql()
{
    return hk::irql::CurrentIrql;
}

void HkSetIrql(KIRQL Irql)
{
    hk::irql::CurrentIrql = Irql;
}

void HkRequireIrqlAtMost(KIRQL MaxIrql, const char* Routine)
{
    if (HkIrql() > MaxIrql) {
        HkBugCheck(HkStop::IrqlNotLessOrEqual::CalledAboveMaximumIrql,
                   std::string(Routine) + " called at IRQL " + std::to_string(HkIrql()) + ", above " +
                       std::to_string(MaxIrql));
    }
}
