// Test API of the pool: what is outstanding, integrity checks, and the
// fault plan every allocating service consults.
#include "ex_pool_internal.h"

#include <stdexcept>

using namespace hk::pool;

namespace {

const Block& LiveBlock(Pool& pool, const void* P)
{
    auto found = pool.Live.find(P);
    if (found == pool.Live.end()) {
        throw std::out_of_range(HkAddress(P) + " is not a live pool block");
    }
    return found->second;
}

} // namespace

std::string HkTagText(ULONG Tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((Tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

HkPoolUsage HkPoolOutstanding()
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.Lock);
    HkPoolUsage usage{0, 0};
    for (const auto& [address, block] : pool.Live) {
        ++usage.Blocks;
        usage.Bytes += block.Size;
    }
    return usage;
}

ULONG HkPoolBlockTag(const void* P)
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.Lock);
    return LiveBlock(pool, P).Tag;
}

POOL_TYPE HkPoolBlockType(const void* P)
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.Lock);
    return LiveBlock(pool, P).Type;
}

HkPoolRequest HkPoolLargestRequest()
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.Lock);
    return pool.Largest;
}

size_t HkPoolAllocationCount()
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.Lock);
    return pool.Allocations;
}

void HkDeclareLongLived(const void* P)
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.Lock);
    LiveBlock(pool, P); // throws for a stranger
    pool.Live.find(P)->second.LongLived = true;
}

void HkPoolCheckIntegrity()
{
    Damage damage;
    {
        Pool& pool = ThePool();
        std::lock_guard<std::mutex> guard(pool.Lock);
        for (const auto& [address, block] : pool.Live) {
            if (!damage.Found()) {
                damage = GuardDamage(block);
            }
        }
        for (const Block& block : pool.Quarantine) {
            if (!damage.Found()) {
                damage = PoisonDamage(block);
            }
        }
    }
    StopOnDamage(damage);
}

void HkPoolFlushQuarantine()
{
    std::deque<Block> flushed;
    {
        Pool& pool = ThePool();
        std::lock_guard<std::mutex> guard(pool.Lock);
        flushed.swap(pool.Quarantine);
        for (const Block& block : flushed) {
            pool.Freed.erase(block.User());
        }
    }
    Damage damage;
    for (Block& block : flushed) {
        if (!damage.Found()) {
            damage = PoisonDamage(block);
        }
        Release(block);
    }
    StopOnDamage(damage);
}

// ---- fault plan

void HkFailNthAllocation(size_t N)
{
    FaultPlan& plan = Plan();
    std::lock_guard<std::mutex> guard(plan.Lock);
    plan.Countdown = N;
}

void HkFailAllocationsFrom(const std::string& Site)
{
    FaultPlan& plan = Plan();
    std::lock_guard<std::mutex> guard(plan.Lock);
    plan.FailingSites.insert(Site);
}

void HkClearFaultPlan()
{
    FaultPlan& plan = Plan();
    std::lock_guard<std::mutex> guard(plan.Lock);
    plan.Countdown = 0;
    plan.FailingSites.clear();
    plan.Systematic = false;
}

void HkSetSystematicLowResources(bool On)
{
    FaultPlan& plan = Plan();
    std::lock_guard<std::mutex> guard(plan.Lock);
    plan.Systematic = On;
}

bool HkSystematicNewSitesInLastRun()
{
    FaultPlan& plan = Plan();
    std::lock_guard<std::mutex> guard(plan.Lock);
    return plan.NewSiteInRun;
}

void HkResetSystematicSites()
{
    FaultPlan& plan = Plan();
    std::lock_guard<std::mutex> guard(plan.Lock);
    plan.SeenSites.clear();
    plan.NewSiteInRun = false;
}

size_t HkFailedAllocationCount()
{
    FaultPlan& plan = Plan();
    std::lock_guard<std::mutex> guard(plan.Lock);
    return plan.Failed;
}
