// Test API of Plug and Play and power: the test bus's PDOs, adding a driver
// over one, and the manager's requests to a stack.
#include "io_pnp_power_internal.h"

using namespace hkio;
using namespace hkio::pnp;

PDEVICE_OBJECT HkCreateBusPdo(const HkBusOptions& Options)
{
    Bus& bus = TheBus();
    std::lock_guard<std::mutex> guard(bus.Lock);
    if (bus.Driver == nullptr) {
        bus.Driver = CreateInternalDriver(u"HkBus", BusDispatch);
    }
    const std::string name = "\\Device\\HkBusPdo" + std::to_string(++bus.Created);
    PDEVICE_OBJECT pdo = CreateInternalDevice(bus.Driver, Widen(name));
    bus.Pdos[pdo].Options = Options;
    return pdo;
}

void HkBusFailRequest(PDEVICE_OBJECT Pdo, UCHAR Major, UCHAR Minor, NTSTATUS Status)
{
    std::lock_guard<std::mutex> guard(TheBus().Lock);
    PdoLocked(Pdo).Failures[{Major, Minor}] = Status;
}

std::vector<HkBusRequest> HkBusRequests(PDEVICE_OBJECT Pdo)
{
    std::lock_guard<std::mutex> guard(TheBus().Lock);
    return PdoLocked(Pdo).Log;
}

size_t HkBusHeldCount(PDEVICE_OBJECT Pdo)
{
    std::lock_guard<std::mutex> guard(TheBus().Lock);
    return PdoLocked(Pdo).Held.size();
}

size_t HkBusCompleteHeld(PDEVICE_OBJECT Pdo, bool OtherThread)
{
    std::vector<PIRP> held;
    {
        std::lock_guard<std::mutex> guard(TheBus().Lock);
        held.swap(PdoLocked(Pdo).Held);
    }
    for (PIRP irp : held) {
        if (OtherThread) {
            HkRunAsync([irp] { IofCompleteRequest(irp, IO_NO_INCREMENT); });
        } else {
            const KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            KfLowerIrql(old);
        }
    }
    return held.size();
}

void HkSetForcePending(bool On)
{
    ForcePending = On;
}

bool HkForcePending()
{
    return ForcePending;
}

NTSTATUS HkAddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "HkAddDevice");
    PDRIVER_ADD_DEVICE addDevice = Driver->DriverExtension->AddDevice;
    if (addDevice == nullptr) {
        throw std::invalid_argument(DescribeDriver(Driver) + " has no AddDevice routine");
    }
    const std::vector<PDEVICE_OBJECT> before = LiveDevicesOf(Driver);
    const KIRQL irql = HkIrql();
    const NTSTATUS status = addDevice(Driver, Pdo);
    if (HkIrql() != irql) {
        HkBugCheck(HkStop::IrqlMismatchOnReturn::AddDeviceChangedIrql,
                   "AddDevice of " + DescribeDriver(Driver) + " returned at IRQL " + std::to_string(HkIrql()));
    }
    CheckInitializingCleared(Driver, before, "AddDevice");
    return status;
}

NTSTATUS HkSendPnp(PDEVICE_OBJECT Device, UCHAR Minor)
{
    return SendToStack(Device, IRP_MJ_PNP, Minor, STATUS_NOT_SUPPORTED);
}

NTSTATUS HkSendPower(PDEVICE_OBJECT Device, UCHAR Minor, ULONG Type, ULONG State)
{
    return SendToStack(Device, IRP_MJ_POWER, Minor, STATUS_NOT_SUPPORTED, [&](PIO_STACK_LOCATION Location) {
        Location->Parameters.Power.Type = Type;
        Location->Parameters.Power.State = State;
    });
}

NTSTATUS HkSendSystemControl(PDEVICE_OBJECT Device, UCHAR Minor)
{
    return SendToStack(Device, IRP_MJ_SYSTEM_CONTROL, Minor, STATUS_NOT_SUPPORTED);
}

NTSTATUS HkSendFlush(PDEVICE_OBJECT Device)
{
    return SendToStack(Device, IRP_MJ_FLUSH_BUFFERS, 0, STATUS_SUCCESS);
}

NTSTATUS HkSendRemove(PDEVICE_OBJECT Device, bool Surprise)
{
    if (Surprise) {
        HkSendPnp(Device, IRP_MN_SURPRISE_REMOVAL);
    } else {
        const NTSTATUS query = HkSendPnp(Device, IRP_MN_QUERY_REMOVE_DEVICE);
        if (!NT_SUCCESS(query)) {
            HkSendPnp(Device, IRP_MN_CANCEL_REMOVE_DEVICE);
            return query;
        }
    }
    return HkSendPnp(Device, IRP_MN_REMOVE_DEVICE);
}
