// Shared by the stand-in's own tests: which misuse a verifier stop names.
#pragma once

#include "verifier.h"

// What StopRule returns when Action ran through.
inline constexpr HkRule::Rule NoStopRule{"no stop", 0};
inline constexpr HkRule::Misuse NoStop{&NoStopRule, 0, "NoStop"};

// The rule and subcode the verifier stops Action under, or NoStop; compare
// with the catalogue: EXPECT_EQ(StopRule(...), HkStop::Rule::Misuse).
template <class Action>
HkRule::Misuse StopRule(Action action)
{
    try {
        action();
    } catch (const HkVerifierFailure& failure) {
        return failure.Misuse;
    }
    return NoStop;
}
