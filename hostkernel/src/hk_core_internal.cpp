// Scenario-wide bookkeeping: each component registers its reset between
// tests and its end-of-test check of what a driver left behind.
#include "hk_core_internal.h"

#include <sstream>

namespace hk::core {

Registry& Components()
{
    static Registry& registry = *new Registry; // never destroyed: outlives every thread and exit-time check
    return registry;
}

} // namespace hk::core

using namespace hk::core;

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

std::string HkAddress(const void* P)
{
    std::ostringstream text;
    text << P;
    return text.str();
}
