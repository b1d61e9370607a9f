// The verifier's stops: what a stop names and what it records.
#include <gtest/gtest.h>

#include "hostkernel.h"
#include "stop_rule.h"
#include "verifier.h"

namespace {

TEST(Verifier, AStopNamesRuleBugCheckAndSubcode)
{
    HkReset();
    try {
        KeLowerIrql(DISPATCH_LEVEL);
        ADD_FAILURE() << "no stop";
    } catch (const HkVerifierFailure& failure) {
        EXPECT_STREQ(failure.what(), "IRQL_NOT_LESS_OR_EQUAL (bug check 0x0A, subcode 0x03 LoweredToHigherIrql): "
                                     "KeLowerIrql to 2 from the lower IRQL 0");
        EXPECT_EQ(failure.Misuse, HkStop::IrqlNotLessOrEqual::LoweredToHigherIrql);
    }
    const std::vector<HkVerifierFailure> stops = HkVerifierFailures();
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].Misuse, HkStop::IrqlNotLessOrEqual::LoweredToHigherIrql);
    EXPECT_EQ(HkVerifierReport(), std::string(stops[0].what()) + "\n");
    HkReset();
}

TEST(Verifier, AStopWithoutANamedMisuseCarriesSubcodeZero)
{
    HkReset();
    const HkRule::Misuse stop = StopRule([] { HkBugCheck(HkRule::IoManagerViolation, "a model's own check"); });
    EXPECT_EQ(stop.Rule->BugCheck, 0xC9u);
    EXPECT_EQ(stop.Subcode, 0u);
    EXPECT_STREQ(stop.Name, "Unclassified");
    HkReset();
}

} // namespace
