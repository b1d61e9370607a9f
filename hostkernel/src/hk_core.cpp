// Scenario-wide bookkeeping: resets between tests and the end-of-test checks
// that find what a driver left behind.
#include "internal.h"

#include <map>
#include <mutex>

namespace {

struct Registry {
    std::mutex Lock;
    std::map<std::string, std::function<void()>> Resets;
    std::map<std::string, std::function<std::string()>> LeakChecks;
};

Registry& Components()
{
    static Registry& registry = *new Registry; // never destroyed: outlives every thread and exit-time check
    return registry;
}

} // namespace

void HkRegisterReset(const char* Component, std::function<void()> Reset)
{
    Registry& registry = Components();
    std::lock_guard<std::mutex> guard(registry.Lock);
    registry.Resets[Component] = std::move(Reset);
}

void HkRegisterLeakCheck(const char* Component, std::function<std::string()> Check)
{
    Registry& registry = Components();
    std::lock_guard<std::mutex> guard(registry.Lock);
    registry.LeakChecks[Component] = std::move(Check);
}

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
