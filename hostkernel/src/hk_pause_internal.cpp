// Pause points: a thread stopped at a chosen kernel service, as if the
// scheduler had pre-empted it there, while the test runs "another
// processor's" work in the gap. Services announce themselves with
// HkPassPausePoint.
#include "hk_pause_internal.h"

#include <chrono>

namespace hk::pause {

PauseState& State()
{
    static PauseState& state = *new PauseState; // never destroyed: outlives every thread
    return state;
}

std::atomic<bool> AnyArmed{false};

} // namespace hk::pause

using namespace hk::pause;

void HkPassPausePoint(const char* Point, const void* Subject)
{
    if (!AnyArmed.load(std::memory_order_acquire)) {
        return;
    }
    PauseState& state = State();
    std::unique_lock<std::mutex> guard(state.Lock);
    Armed* armed = state.Current;
    if (armed == nullptr || armed->Reached || armed->Point != Point || (armed->When && !armed->When(Subject))) {
        return;
    }
    armed->Reached = true;
    state.Changed.notify_all();
    // Bounded like every other wait: a test that forgets to release must
    // not hang the run.
    const auto limit = std::chrono::duration<double>(HkWaitWatchdog());
    const bool released = state.Changed.wait_for(guard, limit, [armed] { return armed->Released; });
    armed->Left = true;
    state.Changed.notify_all();
    if (!released) {
        guard.unlock();
        HkBugCheck(HkStop::DetectedViolation::PausePointNeverReleased,
                   std::string("pause point ") + Point + " was never released");
    }
}
