// Pool: tags, special-pool checks, leaks and the fault plan.
#include <gtest/gtest.h>

#include <vector>

#include "hostkernel.h"
#include "stop_rule.h"
#include "verifier.h"

namespace {

class Pool : public ::testing::Test {
protected:
    void SetUp() override { HkReset(); }
    void TearDown() override { HkReset(); }
};
using FaultPlan = Pool;

TEST_F(Pool, RecordsTagTypeAndSize)
{
    auto* tagged = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 24, HkTagDdk));
    void* plain = ExAllocatePool(PagedPool, 10);
    ASSERT_NE(tagged, nullptr);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(HkPoolBlockTag(tagged), HkTagDdk);
    EXPECT_EQ(HkTagText(HkPoolBlockTag(tagged)), "Ddk ");
    EXPECT_EQ(HkPoolBlockTag(plain), 0x656E6F4Eu); // "None"
    EXPECT_EQ(HkPoolBlockType(plain), PagedPool);
    EXPECT_EQ(HkPoolOutstanding().Blocks, 2u);
    EXPECT_EQ(HkPoolOutstanding().Bytes, 34u);
    EXPECT_EQ(HkPoolAllocationCount(), 2u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(tagged) % 8, 0u);
    // Fresh pool is not zeroed.
    int zeros = 0;
    for (int i = 0; i < 24; ++i) {
        zeros += tagged[i] == 0;
    }
    EXPECT_EQ(zeros, 0);

    ExFreePoolWithTag(tagged, HkTagDdk);
    ExFreePool(plain); // any tag
    EXPECT_EQ(HkPoolOutstanding().Blocks, 0u);
    EXPECT_THROW(HkPoolBlockTag(tagged), std::out_of_range);
}

TEST_F(Pool, PageSizedBlocksArePageAligned)
{
    void* big = ExAllocatePoolWithTag(NonPagedPool, 4096, HkTagDdk);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(big) % 4096, 0u);
    ExFreePool(big);
}

TEST_F(Pool, WritesOutsideTheBlockAreCaughtAtFree)
{
    auto* after = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 5, HkTagDdk));
    after[5] = 0;
    EXPECT_EQ(StopRule([&] { ExFreePool(after); }), HkStop::SpecialPoolCorruption::WritePastBlock);

    auto* before = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 5, HkTagDdk));
    before[-1] = 0;
    EXPECT_EQ(StopRule([&] { ExFreePool(before); }), HkStop::SpecialPoolCorruption::WriteBeforeBlock);
    EXPECT_NE(HkLeftBehind().find("write before the start"), std::string::npos);
}

TEST_F(Pool, FreeingWhatIsNotALiveBlockStops)
{
    void* block = ExAllocatePoolWithTag(NonPagedPool, 8, HkTagDdk);
    ExFreePool(block);
    EXPECT_EQ(StopRule([&] { ExFreePool(block); }), HkStop::BadPoolCaller::FreedTwice);
    int onStack = 0;
    EXPECT_EQ(StopRule([&] { ExFreePool(&onStack); }), HkStop::BadPoolCaller::FreedNonPoolAddress);
    EXPECT_EQ(StopRule([&] { ExFreePool(nullptr); }), HkStop::BadPoolCaller::FreedNull);
}

TEST_F(Pool, FreeWithAnotherTagStops)
{
    void* block = ExAllocatePoolWithTag(NonPagedPool, 8, HkTagDdk);
    EXPECT_EQ(StopRule([&] { ExFreePoolWithTag(block, HkTagNone); }), HkStop::BadPoolCaller::FreedWithWrongTag);
    ExFreePoolWithTag(block, HkTagDdk);
}

TEST_F(Pool, ZeroBytesOrMustSucceedStops)
{
    EXPECT_EQ(StopRule([] { ExAllocatePoolWithTag(NonPagedPool, 0, HkTagDdk); }),
              HkStop::DetectedViolation::ZeroByteAllocation);
    EXPECT_EQ(StopRule([] { ExAllocatePoolWithTag(NonPagedPoolMustSucceed, 8, HkTagDdk); }),
              HkStop::DetectedViolation::MustSucceedPool);
}

TEST_F(Pool, PagedPoolAboveApcLevelStops)
{
    void* paged = ExAllocatePoolWithTag(PagedPool, 8, HkTagDdk);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(StopRule([] { ExAllocatePoolWithTag(PagedPool, 8, HkTagDdk); }),
              HkStop::IrqlNotLessOrEqual::CalledAboveMaximumIrql);
    EXPECT_EQ(StopRule([&] { ExFreePool(paged); }), HkStop::IrqlNotLessOrEqual::CalledAboveMaximumIrql);
    void* nonPaged = ExAllocatePoolWithTag(NonPagedPool, 8, HkTagDdk); // fine at DISPATCH_LEVEL
    ExFreePool(nonPaged);
    KeRaiseIrql(HIGH_LEVEL, &old);
    EXPECT_EQ(StopRule([] { ExAllocatePoolWithTag(NonPagedPool, 8, HkTagDdk); }),
              HkStop::IrqlNotLessOrEqual::CalledAboveMaximumIrql);
}

TEST_F(Pool, WriteAfterFreeIsCaughtWhenTheQuarantineIsChecked)
{
    auto* block = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 16, HkTagDdk));
    ExFreePool(block);
    EXPECT_EQ(block[3], 0xDD); // poisoned, still mapped
    block[3] = 1;
    EXPECT_NE(HkLeftBehind().find("write after free"), std::string::npos);
    EXPECT_EQ(StopRule([] { HkPoolCheckIntegrity(); }), HkStop::SpecialPoolCorruption::WriteAfterFree);
    EXPECT_EQ(StopRule([] { HkPoolFlushQuarantine(); }), HkStop::SpecialPoolCorruption::WriteAfterFree);
    EXPECT_EQ(HkLeftBehind(), "");
}

TEST_F(Pool, QuarantineOverflowChecksTheOldestBlock)
{
    auto* first = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 16, HkTagDdk));
    ExFreePool(first);
    first[0] = 1;
    HkRule::Misuse stop = NoStop;
    for (int i = 0; i < 1000 && stop == NoStop; ++i) {
        void* block = ExAllocatePoolWithTag(NonPagedPool, 16, HkTagDdk);
        stop = StopRule([&] { ExFreePool(block); });
    }
    EXPECT_EQ(stop, HkStop::SpecialPoolCorruption::WriteAfterFree);
}

TEST_F(Pool, LeaksAreReportedUnlessDeclaredLongLived)
{
    void* leaked = ExAllocatePoolWithTag(NonPagedPool, 24, HkTagDdk);
    void* kept = ExAllocatePoolWithTag(PagedPool, 40, HkTagDdk);
    HkDeclareLongLived(kept);
    const std::string report = HkLeftBehind();
    EXPECT_NE(report.find("leaked block"), std::string::npos);
    EXPECT_NE(report.find("'Ddk ' 24 bytes"), std::string::npos);
    EXPECT_NE(report.find("ExAllocatePoolWithTag at "), std::string::npos);
    EXPECT_EQ(report.find("40 bytes"), std::string::npos);
    ExFreePool(leaked);
    EXPECT_EQ(HkLeftBehind(), "");
    int stranger = 0;
    EXPECT_THROW(HkDeclareLongLived(&stranger), std::out_of_range);
    ExFreePool(kept);
}

// ---------------------------------------------------------------- fault plan

TEST_F(FaultPlan, NthAllocationFailsOnce)
{
    HkFailNthAllocation(2);
    void* first = ExAllocatePoolWithTag(NonPagedPool, 8, HkTagDdk);
    void* second = ExAllocatePoolWithTag(NonPagedPool, 8, HkTagDdk);
    void* third = ExAllocatePoolWithTag(NonPagedPool, 8, HkTagDdk);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(HkFailedAllocationCount(), 1u);
    EXPECT_EQ(HkPoolAllocationCount(), 2u);
    ExFreePool(first);
    ExFreePool(third);
}

TEST_F(FaultPlan, EveryCallOfAServiceFailsUntilCleared)
{
    HkFailAllocationsFrom("ExAllocatePool");
    EXPECT_EQ(ExAllocatePool(NonPagedPool, 8), nullptr);
    EXPECT_EQ(ExAllocatePool(NonPagedPool, 8), nullptr);
    void* tagged = ExAllocatePoolWithTag(NonPagedPool, 8, HkTagDdk);
    EXPECT_NE(tagged, nullptr);
    ExFreePool(tagged);
    HkClearFaultPlan();
    void* plain = ExAllocatePool(NonPagedPool, 8);
    EXPECT_NE(plain, nullptr);
    ExFreePool(plain);

    HkFailAllocationsFrom("ExAllocatePoolWithTag");
    HkReset(); // a reset clears the plan
    tagged = ExAllocatePoolWithTag(NonPagedPool, 8, HkTagDdk);
    EXPECT_NE(tagged, nullptr);
    ExFreePool(tagged);
}

// Two allocation sites, each failure handled by freeing what was taken.
__attribute__((noinline)) NTSTATUS TwoSiteScenario()
{
    void* first = ExAllocatePoolWithTag(NonPagedPool, 8, HkTagDdk);
    if (first == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    void* second = ExAllocatePoolWithTag(PagedPool, 8, HkTagDdk);
    if (second == nullptr) {
        ExFreePool(first);
        return STATUS_NO_MEMORY;
    }
    ExFreePool(second);
    ExFreePool(first);
    return STATUS_SUCCESS;
}

TEST_F(FaultPlan, SystematicLowResourcesFailsEachSiteOnceThenRunsClean)
{
    HkResetSystematicSites();
    std::vector<NTSTATUS> results;
    for (int run = 0; run < 10; ++run) {
        HkReset();
        HkSetSystematicLowResources(true);
        results.push_back(TwoSiteScenario());
        EXPECT_EQ(HkLeftBehind(), "");
        if (!HkSystematicNewSitesInLastRun()) {
            break;
        }
    }
    EXPECT_EQ(results, (std::vector<NTSTATUS>{STATUS_INSUFFICIENT_RESOURCES, STATUS_NO_MEMORY, STATUS_SUCCESS}));

    // The memory of seen sites outlives HkReset until it is cleared.
    HkReset();
    HkSetSystematicLowResources(true);
    EXPECT_EQ(TwoSiteScenario(), STATUS_SUCCESS);
    HkResetSystematicSites();
    EXPECT_EQ(TwoSiteScenario(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(HkSystematicNewSitesInLastRun());
    HkResetSystematicSites();
}

} // namespace
