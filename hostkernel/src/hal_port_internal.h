// What the HAL port files share: the ports' values and the access log.
#pragma once

#include "hostkernel.h"

#include <deque>
#include <functional>
#include <map>
#include <mutex>

namespace hk::port {

struct PortState {
    std::mutex Lock;
    std::map<uint16_t, uint8_t> Values;
    // A deque, so a bounded log drops its oldest access in constant time.
    std::deque<HkPortAccess> Log;
    size_t LogLimit = HkPortLogUnbounded;
    uint64_t Accesses = 0;
    std::function<void(const HkPortAccess&)> Observer;
};

PortState& Ports();
// Callers hold Ports().Lock.
uint8_t CurrentValue(PortState& State, uint16_t Port);
void Record(PortState& State, const HkPortAccess& Access);

} // namespace hk::port
