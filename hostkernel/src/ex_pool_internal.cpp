// Pool with tags, in the manner of Driver Verifier's special pool: guard
// bytes on both sides of every block, fresh blocks filled with a non-zero
// pattern, freed blocks poisoned and held in a quarantine so that a write
// after free shows up when the block leaves it. Also the fault plan every
// allocating service of the stand-in consults.
#include "ex_pool_internal.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace hk::pool {
namespace {

constexpr uint8_t FreshFill = 0xCD;  // drivers must not rely on zeroed pool
constexpr uint8_t GuardFill = 0xFD;
constexpr uint8_t FreedFill = 0xDD;
constexpr size_t GuardBytes = 16;
constexpr size_t PageSize = 4096;
constexpr size_t QuarantineBlocks = 256;
// No Windows 2000 pool is this large (non-paged at most 256 MB, paged about
// 470 MB): a request above it fails there, and fails here without touching
// the host's memory.
constexpr size_t LargerThanAnyPool = 256u * 1024 * 1024;

// "module+0xOFFSET" where the loader knows the module: feed it to addr2line.
std::string CallSite(const void* Caller)
{
    Dl_info info;
    if (Caller != nullptr && dladdr(Caller, &info) != 0 && info.dli_fname != nullptr) {
        const char* name = std::strrchr(info.dli_fname, '/');
        char offset[32];
        std::snprintf(offset, sizeof(offset), "+0x%zx",
                      static_cast<size_t>(static_cast<const uint8_t*>(Caller) - static_cast<const uint8_t*>(info.dli_fbase)));
        return std::string(name != nullptr ? name + 1 : info.dli_fname) + offset;
    }
    return HkAddress(Caller);
}

const char* PoolTypeName(POOL_TYPE Type)
{
    switch (Type) {
    case NonPagedPool: return "NonPagedPool";
    case PagedPool: return "PagedPool";
    case NonPagedPoolMustSucceed: return "NonPagedPoolMustSucceed";
    case NonPagedPoolCacheAligned: return "NonPagedPoolCacheAligned";
    case PagedPoolCacheAligned: return "PagedPoolCacheAligned";
    case NonPagedPoolCacheAlignedMustS: return "NonPagedPoolCacheAlignedMustS";
    }
    return "unknown pool type";
}

bool IsPaged(POOL_TYPE Type)
{
    return (Type & 1) != 0;
}

std::string Describe(const Block& B)
{
    return "block " + HkAddress(B.User()) + " tag '" + HkTagText(B.Tag) + "' " + std::to_string(B.Size) + " bytes " +
           PoolTypeName(B.Type) + " from " + B.Site + " at " + CallSite(B.Caller) + " (allocation #" +
           std::to_string(B.Serial) + ")";
}

bool AllBytes(const uint8_t* P, size_t Count, uint8_t Value)
{
    for (size_t i = 0; i < Count; ++i) {
        if (P[i] != Value) {
            return false;
        }
    }
    return true;
}

void ResetPool()
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.Lock);
    for (auto& [address, block] : pool.Live) {
        Release(block);
    }
    for (Block& block : pool.Quarantine) {
        Release(block);
    }
    pool.Live.clear();
    pool.Quarantine.clear();
    pool.Freed.clear();
    pool.Allocations = 0;
    pool.Largest = {};
}

std::string PoolLeftBehind()
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.Lock);
    std::string found;
    for (const auto& [address, block] : pool.Live) {
        const Damage damage = GuardDamage(block);
        if (damage.Found()) {
            found += damage.Text + "; ";
        }
        if (!block.LongLived) {
            found += "leaked " + Describe(block) + "; ";
        }
    }
    for (const Block& block : pool.Quarantine) {
        const Damage damage = PoisonDamage(block);
        if (damage.Found()) {
            found += damage.Text + "; ";
        }
    }
    return found;
}

struct Registrar {
    Registrar()
    {
        HkRegisterReset("ex_pool", [] {
            ResetPool();
            HkClearFaultPlan();
            FaultPlan& plan = Plan();
            std::lock_guard<std::mutex> guard(plan.Lock);
            plan.Systematic = false;
            plan.NewSiteInRun = false;
            plan.Failed = 0;
        });
        HkRegisterLeakCheck("ex_pool", PoolLeftBehind);
    }
} registrar;

} // namespace

// Never destroyed: blocks still live or quarantined when the process ends
// stay reachable, so a leak checker does not mistake them for lost memory.
Pool& ThePool()
{
    static Pool& pool = *new Pool;
    return pool;
}

FaultPlan& Plan()
{
    static FaultPlan& plan = *new FaultPlan; // never destroyed: outlives every thread and exit-time check
    return plan;
}


Damage GuardDamage(const Block& B)
{
    if (!AllBytes(B.Raw + B.Front - GuardBytes, GuardBytes, GuardFill)) {
        return {&HkStop::SpecialPoolCorruption::WriteBeforeBlock, "write before the start of " + Describe(B)};
    }
    if (!AllBytes(B.User() + B.Size, B.Back, GuardFill)) {
        return {&HkStop::SpecialPoolCorruption::WritePastBlock, "write past the end of " + Describe(B)};
    }
    return {};
}

Damage PoisonDamage(const Block& B)
{
    if (!AllBytes(B.User(), B.Size, FreedFill)) {
        return {&HkStop::SpecialPoolCorruption::WriteAfterFree, "write after free into " + Describe(B)};
    }
    return {};
}

void StopOnDamage(const Damage& Found)
{
    if (Found.Found()) {
        HkBugCheck(*Found.Kind, Found.Text);
    }
}

void Release(Block& B)
{
    std::free(B.Raw);
}

PVOID Allocate(POOL_TYPE Type, SIZE_T Size, ULONG Tag, const char* Site, const void* Caller)
{
    switch (Type) {
    case NonPagedPool:
    case PagedPool:
    case NonPagedPoolCacheAligned:
    case PagedPoolCacheAligned:
        break;
    case NonPagedPoolMustSucceed:
    case NonPagedPoolCacheAlignedMustS:
        HkBugCheck(HkStop::DetectedViolation::MustSucceedPool, std::string(Site) + " from must-succeed pool");
    default:
        HkBugCheck(HkStop::BadPoolCaller::InvalidPoolType,
                   std::string(Site) + " with invalid pool type " + std::to_string(Type));
    }
    HkRequireIrqlAtMost(IsPaged(Type) ? APC_LEVEL : DISPATCH_LEVEL, Site);
    if (Size == 0) {
        HkBugCheck(HkStop::DetectedViolation::ZeroByteAllocation, std::string(Site) + " of zero bytes");
    }
    {
        Pool& pool = ThePool();
        std::lock_guard<std::mutex> guard(pool.Lock);
        if (Size > pool.Largest.Bytes) {
            pool.Largest = {Size, Tag, std::string(Site) + " at " + CallSite(Caller)};
        }
    }
    if (Size > LargerThanAnyPool || HkShouldFailAllocation(Site, Caller)) {
        return nullptr;
    }

    // Blocks of a page or more are page aligned, as on the platform.
    const size_t front = Size >= PageSize ? PageSize : GuardBytes;
    const size_t alignment = Size >= PageSize ? PageSize : GuardBytes;
    const size_t total = (front + Size + GuardBytes + alignment - 1) / alignment * alignment;
    auto* raw = static_cast<uint8_t*>(std::aligned_alloc(alignment, total));
    if (raw == nullptr) {
        throw std::bad_alloc();
    }
    std::memset(raw, GuardFill, total);
    std::memset(raw + front, FreshFill, Size);

    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.Lock);
    Block block{raw, front, Size, total - front - Size, Tag, Type, Caller, Site, ++pool.Allocations, false};
    pool.Live.emplace(block.User(), block);
    pool.Freed.erase(block.User());
    return block.User();
}

void Free(PVOID P, const ULONG* Tag, const char* Routine)
{
    if (P == nullptr) {
        HkBugCheck(HkStop::BadPoolCaller::FreedNull, std::string(Routine) + "(NULL)");
    }
    Pool& pool = ThePool();
    std::unique_lock<std::mutex> guard(pool.Lock);
    auto found = pool.Live.find(P);
    if (found == pool.Live.end()) {
        const bool twice = pool.Freed.count(P) != 0;
        guard.unlock();
        if (twice) {
            HkBugCheck(HkStop::BadPoolCaller::FreedTwice,
                       std::string(Routine) + " of " + HkAddress(P) + ", which was already freed");
        }
        HkBugCheck(HkStop::BadPoolCaller::FreedNonPoolAddress,
                   std::string(Routine) + " of " + HkAddress(P) + ", which is not a pool block");
    }
    Block block = found->second;
    guard.unlock();

    HkRequireIrqlAtMost(IsPaged(block.Type) ? APC_LEVEL : DISPATCH_LEVEL, Routine);
    StopOnDamage(GuardDamage(block));
    if (Tag != nullptr && *Tag != block.Tag) {
        HkBugCheck(HkStop::BadPoolCaller::FreedWithWrongTag,
                   std::string(Routine) + " with tag '" + HkTagText(*Tag) + "' of " + Describe(block));
    }

    guard.lock();
    if (pool.Live.erase(P) == 0) {
        guard.unlock();
        HkBugCheck(HkStop::BadPoolCaller::FreedTwiceAtOnce,
                   std::string(Routine) + " of " + HkAddress(P) + ", freed twice at once");
    }
    std::memset(block.User(), FreedFill, block.Size);
    pool.Freed.insert(P);
    pool.Quarantine.push_back(block);
    if (pool.Quarantine.size() <= QuarantineBlocks) {
        return;
    }
    Block oldest = pool.Quarantine.front();
    pool.Quarantine.pop_front();
    pool.Freed.erase(oldest.User());
    guard.unlock();
    const Damage afterFree = PoisonDamage(oldest);
    Release(oldest);
    StopOnDamage(afterFree);
}

} // namespace hk::pool

using namespace hk::pool;

bool HkShouldFailAllocation(const char* Site, const void* Caller)
{
    FaultPlan& plan = Plan();
    std::lock_guard<std::mutex> guard(plan.Lock);
    bool fail = false;
    if (plan.Countdown > 0 && --plan.Countdown == 0) {
        fail = true;
    }
    if (plan.FailingSites.count(Site) != 0) {
        fail = true;
    }
    if (plan.Systematic && plan.SeenSites.emplace(Site, Caller).second) {
        plan.NewSiteInRun = true;
        fail = true;
    }
    if (fail) {
        ++plan.Failed;
    }
    return fail;
}
