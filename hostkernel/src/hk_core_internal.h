// What the scenario bookkeeping files share: the resets and end-of-test
// checks the components registered.
#pragma once

#include "internal.h"

#include <map>
#include <mutex>

namespace hk::core {

struct Registry {
    std::mutex Lock;
    std::map<std::string, std::function<void()>> Resets;
    std::map<std::string, std::function<std::string()>> LeakChecks;
};

Registry& Components();

} // namespace hk::core
