// Test API of the scenario bookkeeping: the reset between tests and the
// report of what a scenario left behind.
#include "hk_core_internal.h"

using namespace hk::core;

void HkReset()
{
    std::map<std::string, std::function<void()>> resets;
    {
        Registry& registry = Components();
        std::lock_guard<std::mutex> guard(registry.Lock);
        resets = registry.Resets;
    }
    for (auto& [name, reset] : resets) {
        reset();
    }
    HkVerifierResetFailures();
    HkPortReset();
    HkSetClock(0);
}

std::string HkLeftBehind()
{
    std::map<std::string, std::function<std::string()>> checks;
    {
        Registry& registry = Components();
        std::lock_guard<std::mutex> guard(registry.Lock);
        checks = registry.LeakChecks;
    }
    std::string report;
    for (auto& [name, check] : checks) {
        const std::string found = check();
        if (!found.empty()) {
            report += name + ": " + found + "\n";
        }
    }
    return report;
}

std::string HkVerifierReport()
{
    std::string report;
    for (const HkVerifierFailure& failure : HkVerifierFailures()) {
        report += std::string(failure.what()) + "\n";
    }
    return report + HkLeftBehind();
}

void HkRegisterResetHook(const char* Name, std::function<void()> Reset)
{
    HkRegisterReset(Name, std::move(Reset));
}
