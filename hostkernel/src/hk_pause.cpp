// Pause points: a thread stopped at a chosen kernel service, as if the
// scheduler had pre-empted it there, while the test runs "another
// processor's" work in the gap. Services announce themselves with
// HkPassPausePoint; a point with no pause armed costs one atomic load.
#include "internal.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

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

PauseState& State()
{
    static PauseState& state = *new PauseState; // never destroyed: outlives every thread
    return state;
}

std::atomic<bool> AnyArmed{false};

} // namespace

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

HkPause::HkPause(const std::string& Point, std::function<bool(const void* Subject)> When)
    : Armed_(new Armed{Point, std::move(When)})
{
    PauseState& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    if (state.Current != nullptr) {
        throw std::logic_error("HkPause: one pause point at a time");
    }
    state.Current = static_cast<Armed*>(Armed_);
    AnyArmed.store(true, std::memory_order_release);
}

HkPause::~HkPause()
{
    Release();
    PauseState& state = State();
    std::unique_lock<std::mutex> guard(state.Lock);
    auto* armed = static_cast<Armed*>(Armed_);
    state.Changed.wait(guard, [armed] { return !armed->Reached || armed->Left; });
    state.Current = nullptr;
    AnyArmed.store(false, std::memory_order_release);
    delete static_cast<Armed*>(Armed_);
}

bool HkPause::WaitUntilReached(double Seconds)
{
    PauseState& state = State();
    std::unique_lock<std::mutex> guard(state.Lock);
    auto* armed = static_cast<Armed*>(Armed_);
    return state.Changed.wait_for(guard, std::chrono::duration<double>(Seconds), [armed] { return armed->Reached; });
}

bool HkPause::Reached() const
{
    std::lock_guard<std::mutex> guard(State().Lock);
    return static_cast<const Armed*>(Armed_)->Reached;
}

void HkPause::Release()
{
    PauseState& state = State();
    std::lock_guard<std::mutex> guard(state.Lock);
    static_cast<Armed*>(Armed_)->Released = true;
    state.Changed.notify_all();
}
