// What the pool files share: the blocks, the special-pool checks and the
// fault plan.
#pragma once

#include "internal.h"

#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <utility>

namespace hk::pool {

struct Block {
    uint8_t* Raw;
    size_t Front; // bytes from Raw to the caller's block
    size_t Size;
    size_t Back;  // guard bytes after the caller's block
    ULONG Tag;
    POOL_TYPE Type;
    const void* Caller;
    const char* Site;
    uint64_t Serial;
    bool LongLived;

    uint8_t* User() const { return Raw + Front; }
};

struct Pool {
    std::mutex Lock;
    std::map<const void*, Block> Live;
    std::deque<Block> Quarantine;
    std::set<const void*> Freed; // freed and not handed out again
    uint64_t Allocations = 0;
    HkPoolRequest Largest{};
};

Pool& ThePool();

struct FaultPlan {
    std::mutex Lock;
    size_t Countdown = 0;
    std::set<std::string> FailingSites;
    bool Systematic = false;
    std::set<std::pair<std::string, const void*>> SeenSites; // survives HkReset
    bool NewSiteInRun = false;
    size_t Failed = 0;
};

FaultPlan& Plan();

// What a check found wrong with a block; no Kind when nothing.
struct Damage {
    const HkRule::Misuse* Kind = nullptr;
    std::string Text;
    bool Found() const { return Kind != nullptr; }
};
Damage GuardDamage(const Block& B);
Damage PoisonDamage(const Block& B);
void StopOnDamage(const Damage& Found);
// Gives the block's memory back to the host.
void Release(Block& B);

PVOID Allocate(POOL_TYPE Type, SIZE_T Size, ULONG Tag, const char* Site, const void* Caller);
// Tag: the tag the caller frees with, NULL for any.
void Free(PVOID P, const ULONG* Tag, const char* Routine);

} // namespace hk::pool
