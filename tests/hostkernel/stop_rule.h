// Shared by the stand-in's own tests: which rule a verifier stop names.
#pragma once

#include "verifier.h"

#include <string>

// The rule the verifier stops Action under, or "no stop".
template <class Action>
std::string StopRule(Action action)
{
    try {
        action();
    } catch (const HkVerifierFailure& failure) {
        return failure.RuleName;
    }
    return "no stop";
}
