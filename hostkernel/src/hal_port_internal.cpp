// HAL port I/O: user mode cannot execute in/out, so every access is recorded
// and a port reads back the last value written to it (port 0x61 starts as
// a real machine's system control port usually reads, 0x30).
#include "hal_port_internal.h"

namespace hk::port {
namespace {

uint8_t InitialValue(uint16_t Port)
{
    return Port == 0x61 ? HkSpeakerGateInitialValue : 0xFF;
}

} // namespace

PortState& Ports()
{
    static PortState& state = *new PortState; // never destroyed: outlives every thread and exit-time check
    return state;
}

uint8_t CurrentValue(PortState& State, uint16_t Port)
{
    auto it = State.Values.find(Port);
    return it == State.Values.end() ? InitialValue(Port) : it->second;
}

void Record(PortState& State, const HkPortAccess& Access)
{
    State.Accesses++;
    if (State.Observer) {
        State.Observer(Access);
    }
    if (State.LogLimit == 0) {
        return;
    }
    if (State.Log.size() >= State.LogLimit) {
        State.Log.pop_front();
    }
    State.Log.push_back(Access);
}

} // namespace hk::port
