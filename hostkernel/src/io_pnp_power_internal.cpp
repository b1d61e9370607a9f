// A Plug and Play manager with a test bus whose PDOs answer as a real bus
// driver would: the function driver under test is added over such a PDO
// and receives the manager's requests.
#include "io_pnp_power_internal.h"

#include <optional>

namespace hkio {
namespace pnp {
namespace {

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

// How the PDO was told to answer a request.
struct BusPlan {
    HkBusCompletion Mode;
    std::function<NTSTATUS(PIRP)> Handler;
    std::optional<NTSTATUS> Failure;
};

// Logs the request and looks up how to answer it.
BusPlan LogAndPlan(PDEVICE_OBJECT Pdo, UCHAR Major, UCHAR Minor)
{
    BusPlan plan;
    {
        std::lock_guard<std::mutex> guard(TheBus().Lock);
        BusPdo& pdo = PdoLocked(Pdo);
        pdo.Log.push_back({Major, Minor});
        plan.Mode = Major == IRP_MJ_PNP && Minor == IRP_MN_START_DEVICE ? pdo.Options.Start : pdo.Options.Others;
        plan.Handler = pdo.Options.Handler;
        const UCHAR key = Major == IRP_MJ_PNP || Major == IRP_MJ_POWER || Major == IRP_MJ_SYSTEM_CONTROL ? Minor : 0;
        auto failing = pdo.Failures.find({Major, key});
        if (failing != pdo.Failures.end()) {
            plan.Failure = failing->second;
        }
    }
    if (plan.Mode == HkBusCompletion::Synchronous && ForcePending) {
        plan.Mode = HkBusCompletion::OtherThread;
    }
    return plan;
}

// The status a bus driver completes the request with.
NTSTATUS Answer(PIRP Irp, UCHAR Major, UCHAR Minor, const std::function<NTSTATUS(PIRP)>& Handler)
{
    NTSTATUS status = Irp->IoStatus.Status;
    switch (Major) {
    case IRP_MJ_PNP:
        return PnpResult(Minor, status);
    case IRP_MJ_POWER:
        PoStartNextPowerIrp(Irp);
        return Minor == IRP_MN_SET_POWER || Minor == IRP_MN_QUERY_POWER ? STATUS_SUCCESS : status;
    case IRP_MJ_SYSTEM_CONTROL:
        return status; // not a WMI provider
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_FLUSH_BUFFERS:
        return Handler ? Handler(Irp) : STATUS_SUCCESS;
    default:
        if (Handler) {
            return Handler(Irp);
        }
        Irp->IoStatus.Information = 0;
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

// Completes the request now, or pends it for another thread or the test.
NTSTATUS Complete(PDEVICE_OBJECT Pdo, PIRP Irp, HkBusCompletion Mode, NTSTATUS Status)
{
    if (Mode == HkBusCompletion::Synchronous) {
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return Status;
    }
    IoMarkIrpPending(Irp);
    if (Mode == HkBusCompletion::Held) {
        std::lock_guard<std::mutex> guard(TheBus().Lock);
        PdoLocked(Pdo).Held.push_back(Irp);
    } else {
        HkRunAsync([Irp] { IofCompleteRequest(Irp, IO_NO_INCREMENT); });
    }
    return STATUS_PENDING; // the IRP may be gone already: not touched again
}

} // namespace

std::atomic<bool> ForcePending{false};

Bus& TheBus()
{
    static Bus& bus = *new Bus; // never destroyed: outlives every thread and exit-time check
    return bus;
}

BusPdo& PdoLocked(PDEVICE_OBJECT Pdo)
{
    auto found = TheBus().Pdos.find(Pdo);
    if (found == TheBus().Pdos.end()) {
        throw std::invalid_argument(Hex(Pdo) + " is not a PDO of the test bus");
    }
    return found->second;
}

NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT Pdo, PIRP Irp)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    const UCHAR major = location->MajorFunction;
    const UCHAR minor = location->MinorFunction;
    const BusPlan plan = LogAndPlan(Pdo, major, minor);
    NTSTATUS status = Answer(Irp, major, minor, plan.Handler);
    if (plan.Failure) {
        status = *plan.Failure;
        Irp->IoStatus.Information = 0;
    }
    Irp->IoStatus.Status = status;
    return Complete(Pdo, Irp, plan.Mode, status);
}

NTSTATUS SendToStack(PDEVICE_OBJECT Device, UCHAR Major, UCHAR Minor, NTSTATUS Initial,
                     const std::function<void(PIO_STACK_LOCATION)>& Fill)
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

} // namespace pnp

void ResetBus()
{
    std::lock_guard<std::mutex> guard(pnp::TheBus().Lock);
    pnp::TheBus().Pdos.clear();
    pnp::TheBus().Driver = nullptr; // its object went with the devices' reset
    pnp::TheBus().Created = 0;
    pnp::ForcePending = false;
}

} // namespace hkio
