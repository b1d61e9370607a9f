// What the Plug and Play and power files share: the test bus and its PDOs,
// and the manager's requests to a stack.
#pragma once

#include "io_internal.h"

#include <map>

namespace hkio::pnp {

struct BusPdo {
    HkBusOptions Options;
    std::map<std::pair<UCHAR, UCHAR>, NTSTATUS> Failures;
    std::vector<HkBusRequest> Log;
    std::vector<PIRP> Held;
};

struct Bus {
    std::mutex Lock;
    PDRIVER_OBJECT Driver = nullptr;
    std::map<PDEVICE_OBJECT, BusPdo> Pdos;
    unsigned Created = 0;
};

Bus& TheBus();
// Caller holds TheBus().Lock. std::invalid_argument for a stranger.
BusPdo& PdoLocked(PDEVICE_OBJECT Pdo);
extern std::atomic<bool> ForcePending;

// Every major function of the bus driver.
DRIVER_DISPATCH BusDispatch;
// Sends (Major, Minor) with status Initial to the top of Device's stack at
// PASSIVE_LEVEL and waits for it; Fill sets up the location.
NTSTATUS SendToStack(PDEVICE_OBJECT Device, UCHAR Major, UCHAR Minor, NTSTATUS Initial,
                     const std::function<void(PIO_STACK_LOCATION)>& Fill = {});

} // namespace hkio::pnp
