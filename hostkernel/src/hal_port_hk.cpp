// Test API of the HAL ports: their values and the log of accesses.
#include "hal_port_internal.h"

using namespace hk::port;

void HkPortReset()
{
    PortState& state = Ports();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Values.clear();
    state.Log.clear();
    state.LogLimit = HkPortLogUnbounded;
    state.Accesses = 0;
    state.Observer = nullptr;
}

std::vector<HkPortAccess> HkPortLog()
{
    PortState& state = Ports();
    std::lock_guard<std::mutex> guard(state.Lock);
    return std::vector<HkPortAccess>(state.Log.begin(), state.Log.end());
}

void HkSetPortLogLimit(size_t Limit)
{
    PortState& state = Ports();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.LogLimit = Limit;
    while (state.Log.size() > Limit) {
        state.Log.pop_front();
    }
}

void HkSetPortObserver(std::function<void(const HkPortAccess&)> Observer)
{
    PortState& state = Ports();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Observer = std::move(Observer);
}

uint64_t HkPortAccessCount()
{
    PortState& state = Ports();
    std::lock_guard<std::mutex> guard(state.Lock);
    return state.Accesses;
}

std::vector<HkPortAccess> HkPortWrites()
{
    std::vector<HkPortAccess> writes;
    for (const HkPortAccess& access : HkPortLog()) {
        if (access.Write) {
            writes.push_back(access);
        }
    }
    return writes;
}

void HkSetPortValue(uint16_t Port, uint8_t Value)
{
    PortState& state = Ports();
    std::lock_guard<std::mutex> guard(state.Lock);
    state.Values[Port] = Value;
}

uint8_t HkPortValue(uint16_t Port)
{
    PortState& state = Ports();
    std::lock_guard<std::mutex> guard(state.Lock);
    return CurrentValue(state, Port);
}
