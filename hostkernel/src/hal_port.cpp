// The HAL's port I/O, as the driver calls it.
#include "hal_port_internal.h"

using namespace hk::port;

namespace {

uint16_t PortNumber(PUCHAR Port)
{
    return static_cast<uint16_t>(reinterpret_cast<uintptr_t>(Port));
}

} // namespace

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
