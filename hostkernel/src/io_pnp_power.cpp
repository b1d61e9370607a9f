// The power manager's two services, and a Plug and Play manager with a test
// bus whose PDOs answer as a real bus driver would: the function driver
// under test is added over such a PDO and receives the manager's requests.
#include "io_internal.h"

#include <map>
#include <optional>

namespace hkio {
namespace {

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

Bus& TheBus()
{
    static Bus& bus = *new Bus; // never destroyed: outlives every thread and exit-time check
    return bus;
}

std::atomic<bool> ForcePending{false};

// Caller holds TheBus().Lock.
BusPdo& PdoLocked(PDEVICE_OBJECT Pdo)
{
    auto found = TheBus().Pdos.find(Pdo);
    if (found == TheBus().Pdos.end()) {
        throw std::invalid_argument(Hex(Pdo) + " is not a PDO of the test bus");
    }
    return found->second;
}

NTSTATUS PnpResult(UCHAR Minor, NTSTATUS Carried)
{
    switch (Minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return STATUS_SUCCESS;
    default:
        return Carried; // a bus leaves what it does not handle alone
    }
}

NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT Pdo, PIRP Irp)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR major = location->MajorFunction;
    const UCHAR minor = location->MinorFunction;
    HkBusCompletion mode;
    std::function<NTSTATUS(PIRP)> handler;
    std::optional<NTSTATUS> failure;
    {
        std::lock_guard<std::mutex> guard(TheBus().Lock);
        BusPdo& pdo = PdoLocked(Pdo);
        pdo.Log.push_back({major, minor});
        mode = major == IRP_MJ_PNP && minor == IRP_MN_START_DEVICE ? pdo.Options.Start : pdo.Options.Others;
        handler = pdo.Options.Handler;
        const UCHAR key = major == IRP_MJ_PNP || major == IRP_MJ_POWER || major == IRP_MJ_SYSTEM_CONTROL ? minor : 0;
        auto failing = pdo.Failures.find({major, key});
        if (failing != pdo.Failures.end()) {
            failure = failing->second;
        }
    }
    if (mode == HkBusCompletion::Synchronous && ForcePending) {
        mode = HkBusCompletion::OtherThread;
    }

    NTSTATUS status = Irp->IoStatus.Status;
    switch (major) {
    case IRP_MJ_PNP:
        status = PnpResult(minor, status);
        break;
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(Irp);
        if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) {
            status = STATUS_SUCCESS;
        }
        break;
    case IRP_MJ_SYSTEM_CONTROL:
        break; // not a WMI provider
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_FLUSH_BUFFERS:
        status = handler ? handler(Irp) : STATUS_SUCCESS;
        break;
    default:
        if (handler) {
            status = handler(Irp);
        } else {
            status = STATUS_INVALID_DEVICE_REQUEST;
            Irp->IoStatus.Information = 0;
        }
        break;
    }
    if (failure) {
        status = *failure;
        Irp->IoStatus.Information = 0;
    }
    Irp->IoStatus.Status = status;

    if (mode == HkBusCompletion::Synchronous) {
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    IoMarkIrpPending(Irp);
    if (mode == HkBusCompletion::Held) {
        std::lock_guard<std::mutex> guard(TheBus().Lock);
        PdoLocked(Pdo).Held.push_back(Irp);
    } else {
        HkRunAsync([Irp] { IofCompleteRequest(Irp, IO_NO_INCREMENT); });
    }
    return STATUS_PENDING; // the IRP may be gone already: not touched again
}

NTSTATUS SendToStack(PDEVICE_OBJECT Device, UCHAR Major, UCHAR Minor, NTSTATUS Initial,
                     const std::function<void(PIO_STACK_LOCATION)>& Fill = {})
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "the Plug and Play manager");
    PDEVICE_OBJECT top = AttachedTop(Device);
    ManagerIrp request = MakeManagerIrp(top->StackSize, Major, Minor, nullptr, KernelMode);
    request.Irp->IoStatus.Status = Initial;
    if (Fill) {
        Fill(IoGetNextIrpStackLocation(request.Irp));
    }
    return SendManagerIrp(top, request);
}

} // namespace

void ResetBus()
{
    std::lock_guard<std::mutex> guard(TheBus().Lock);
    TheBus().Pdos.clear();
    TheBus().Driver = nullptr; // its object went with the devices' reset
    TheBus().Created = 0;
    ForcePending = false;
}

} // namespace hkio

using namespace hkio;

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
