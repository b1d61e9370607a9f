// HAL port I/O: user mode cannot execute in/out, so every access is recorded
// and a port reads back the last value written to it (port 0x61 starts as
// a real machine's system control port usually reads, 0x30).
#include "hostkernel.h"

#include <deque>
#include <map>
#include <mutex>

namespace {

struct PortState {
    std::mutex Lock;
    std::map<uint16_t, uint8_t> Values;
    // A deque, so a bounded log drops its oldest access in constant time.
    std::deque<HkPortAccess> Log;
    size_t LogLimit = HkPortLogUnbounded;
    uint64_t Accesses = 0;
    std::function<void(const HkPortAccess&)> Observer;
};

PortState& Ports()
{
    static PortState& state = *new PortState; // never destroyed: outlives every thread and exit-time check
    return state;
}

uint8_t InitialValue(uint16_t Port)
{
    return Port == 0x61 ? HkSpeakerGateInitialValue : 0xFF;
}

uint8_t CurrentValue(PortState& state, uint16_t Port)
{
    auto it = state.Values.find(Port);
    return it == state.Values.end() ? InitialValue(Port) : it->second;
}

uint16_t PortNumber(PUCHAR Port)
{
    return static_cast<uint16_t>(reinterpret_cast<uintptr_t>(Port));
}

// Caller holds the lock.
void Record(PortState& state, const HkPortAccess& Access)
{
    state.Accesses++;
    if (state.Observer) {
        state.Observer(Access);
    }
    if (state.LogLimit == 0) {
        return;
    }
    if (state.Log.size() >= state.LogLimit) {
        state.Log.pop_front();
    }
    state.Log.push_back(Access);
}

} // namespace

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

extern "C" UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port)
{
    PortState& state = Ports();
    std::lock_guard<std::mutex> guard(state.Lock);
    const uint16_t number = PortNumber(Port);
    const uint8_t value = CurrentValue(state, number);
    Record(state, {HkClock(), number, value, false});
    return value;
}

extern "C" VOID NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value)
{
    PortState& state = Ports();
    std::lock_guard<std::mutex> guard(state.Lock);
    const uint16_t number = PortNumber(Port);
    state.Values[number] = Value;
    Record(state, {HkClock(), number, Value, true});
}
