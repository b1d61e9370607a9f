// Test API of the requests: which IRPs are alive, and the one a driver
// keeps for the life of its device.
#include "io_irp_internal.h"

using namespace hkio;
using namespace hkio::irp;

size_t HkLiveIrpCount()
{
    std::lock_guard<std::mutex> guard(Lock());
    return Table().Live.size();
}

bool HkIrpLive(PIRP Irp)
{
    std::lock_guard<std::mutex> guard(Lock());
    return Table().Live.count(Irp) != 0;
}

void HkDeclareLongLivedIrp(PIRP Irp)
{
    std::lock_guard<std::mutex> guard(Lock());
    auto live = Table().Live.find(Irp);
    if (live == Table().Live.end()) {
        throw std::out_of_range("HkDeclareLongLivedIrp: " + Hex(Irp) + " is not a live IRP");
    }
    live->second->LongLived = true;
}
