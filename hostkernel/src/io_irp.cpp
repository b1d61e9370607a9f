// The I/O manager's request services, as the driver calls them.
#include "io_irp_internal.h"

using namespace hkio;
using namespace hkio::irp;

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    UNREFERENCED_PARAMETER(ChargeQuota);
    HkRequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    if (HkShouldFailAllocation("IoAllocateIrp", __builtin_return_address(0))) {
        return nullptr;
    }
    return NewIrp(StackSize, IrpOrigin::Driver, __builtin_return_address(0))->Irp;
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
{
    HkRequireIrqlAtMost(DISPATCH_LEVEL, "IoReuseIrp");
    InUse use(Irp, "IoReuseIrp", HkStop::IoManagerViolation::IrpUsedAfterFree);
    CheckDriverMayRecycle(Irp, *use.Record, "IoReuseIrp", ", not IoAllocateIrp");
    Reuse(*use.Record, Iostatus);
}

VOID NTAPI IoFreeIrp(PIRP Irp)
{
    HkRequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
    InUse use(Irp, "IoFreeIrp", HkStop::IoManagerViolation::IrpUsedAfterFree);
    CheckDriverMayRecycle(Irp, *use.Record, "IoFreeIrp", "; the I/O manager frees it");
    Release(use.Record, "freed by IoFreeIrp");
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    const NTSTATUS status = CallDriver(DeviceObject, Irp, false);
    // The caller may be pre-empted right after the call returns, while the
    // request is already completing elsewhere.
    HkPassPausePoint("IofCallDriver.Returned", Irp);
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    UNREFERENCED_PARAMETER(PriorityBoost);
    HkRequireIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest");
    InUse use(Irp, "IoCompleteRequest", HkStop::IrpCompletedTwice::CompletedAfterFree);
    CheckCompletable(*use.Record);
    if (WalkUp(*use.Record)) {
        ReachTop(use.Record);
    }
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    HkRequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
    InUse use(Irp, "IoCancelIrp", HkStop::IoManagerViolation::IrpUsedAfterFree);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // The owner of the request reads the flag without the cancel spin lock.
    __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        IoReleaseCancelSpinLock(irql);
        HkBugCheck(HkStop::CancelStateInCompletedIrp::CancelRoutineOnUnheldIrp,
                   Describe(Irp) + " has a cancel routine set although no driver holds it");
    }
    Irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    if (HkIrql() != irql) {
        HkBugCheck(HkStop::IrqlMismatchOnReturn::CancelRoutineChangedIrql,
                   "cancel routine of " + Describe(Irp) + " returned at IRQL " + std::to_string(HkIrql()) +
                       "; it must release the cancel spin lock with IoReleaseCancelSpinLock(Irp->CancelIrql)");
    }
    return TRUE;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    if (HkShouldFailAllocation("IoBuildDeviceIoControlRequest", __builtin_return_address(0))) {
        return nullptr;
    }
    CheckTargetDevice(DeviceObject, false, "IoBuildDeviceIoControlRequest");
    return NewBuiltIoControl(IoControlCode, DeviceObject, InputBuffer, InputBufferLength, OutputBuffer,
                             OutputBufferLength, InternalDeviceIoControl != FALSE, Event, IoStatusBlock,
                             __builtin_return_address(0));
}

} // extern "C"
