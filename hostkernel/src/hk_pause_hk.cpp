// Test API of the pause points: arm one, wait until a thread reaches it,
// release it.
#include "hk_pause_internal.h"

#include <chrono>

using namespace hk::pause;

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
