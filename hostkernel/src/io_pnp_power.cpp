// The power manager's two services, as the driver calls them.
#include "io_pnp_power_internal.h"

using namespace hkio;

extern "C" {

VOID NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    HkRequireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    NotePowerIrpStarted(Irp);
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    CheckTargetDevice(DeviceObject, false, "PoCallDriver");
    // A pageable stack receives its power requests at PASSIVE_LEVEL.
    if (DeviceObject->Flags & DO_POWER_PAGABLE) {
        HkRequireIrqlAtMost(PASSIVE_LEVEL, "PoCallDriver to a device with DO_POWER_PAGABLE");
    } else {
        HkRequireIrqlAtMost(DISPATCH_LEVEL, "PoCallDriver");
    }
    return CallDriver(DeviceObject, Irp, true);
}

} // extern "C"
