// What the pause point files share: the one pause armed at a time.
#pragma once

#include "internal.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace hk::pause {

struct Armed {
    std::string Point;
    std::function<bool(const void*)> When;
    bool Reached = false;
    bool Released = false;
    bool Left = false; // the stopped thread is out and no longer reads this record
};

struct PauseState {
    std::mutex Lock;
    std::condition_variable Changed;
    Armed* Current = nullptr;
};

PauseState& State();
// Whether a pause is armed: a point with none armed costs one atomic load.
extern std::atomic<bool> AnyArmed;

} // namespace hk::pause
