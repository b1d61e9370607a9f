// Requests: allocation, reuse, the call down a stack, the completion walk
// back up, cancellation and IoBuildDeviceIoControlRequest, with the checks
// Driver Verifier makes on each and a few stricter ones.
//
// Every IRP has a record on the side. A record outlives the IRP's logical
// free while a call or a completion walk is still running on it (a routine
// may free or reuse the IRP under its own caller's feet, which is legal),
// and freed IRPs sit poisoned in a quarantine so that a later use is named
// as such instead of corrupting whatever reused the memory.
#include "io_irp_internal.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace hkio {
namespace irp {
namespace {

constexpr size_t QuarantineDepth = 256;
constexpr unsigned char FreedPoison = 0xDD;
constexpr unsigned char UnwrittenBuffer = 0xCD; // system buffers are not zeroed

thread_local char ThreadToken; // Tail.Overlay.Thread of a threaded request
thread_local PIRP UserRequestOnThisThread = nullptr;

PIO_STACK_LOCATION LocationAt(PIRP Irp, int Index)
{
    return reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + (Index - 1);
}

void InitializeIrp(PIRP Irp, size_t Bytes, CCHAR StackSize)
{
    std::memset(Irp, 0, Bytes);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = static_cast<USHORT>(Bytes);
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation = LocationAt(Irp, StackSize + 1);
    Irp->ThreadListEntry.Flink = &Irp->ThreadListEntry;
    Irp->ThreadListEntry.Blink = &Irp->ThreadListEntry;
}

// Caller holds Lock().
void ReleaseMemoryLocked(const std::shared_ptr<IrpRecord>& Record)
{
    if (Record->MemoryGone) {
        return;
    }
    Record->MemoryGone = true;
    std::memset(Record->Memory, FreedPoison, Record->Bytes);
    IrpTable& table = Table();
    table.QuarantinedRecords.push_back(Record);
    while (table.QuarantinedRecords.size() > QuarantineDepth) {
        std::shared_ptr<IrpRecord> oldest = table.QuarantinedRecords.front();
        table.QuarantinedRecords.pop_front();
        table.Dead.erase(oldest->Irp);
        delete[] oldest->Memory;
        oldest->Memory = nullptr;
    }
}

// Caller holds Lock(). The IRP is gone for every later service call.
void ReleaseLocked(const std::shared_ptr<IrpRecord>& Record, const std::string& How)
{
    Table().Live.erase(Record->Irp);
    Table().Dead[Record->Irp] = How;
    Record->Released = true;
    if (Record->Users == 0) {
        ReleaseMemoryLocked(Record);
    }
}

bool TrackedPowerMinor(UCHAR Minor)
{
    return Minor == IRP_MN_QUERY_POWER || Minor == IRP_MN_SET_POWER;
}

// Found when the request leaves the location or when the dispatch returns,
// whichever comes second.
[[noreturn]] void StopUnmarkedPending(const std::string& Who, PIRP Irp)
{
    HkBugCheck(HkStop::IoManagerViolation::PendingNotMarked,
               Who + " returned STATUS_PENDING without marking " + Describe(Irp) +
                   " pending (IoMarkIrpPending, or a completion routine that propagates PendingReturned)");
}

// The walk is leaving Location: settle the calls, promises and power
// obligations tied to it.
void NoteLocationLeft(IrpRecord& Record, int Location, NTSTATUS Status, bool Pending)
{
    std::lock_guard<std::mutex> guard(Lock());
    for (CallFrame* frame : Record.Frames) {
        if (frame->Location == Location && frame->Generation == Record.Generation && !frame->Left) {
            frame->Left = true;
            frame->PendingAtLeave = Pending;
            frame->StatusAtLeave = Status;
        }
    }
    LocationLeft().notify_all();
    for (auto promise = Record.Promises.begin(); promise != Record.Promises.end();) {
        if (promise->Location != Location || promise->Generation != Record.Generation) {
            ++promise;
            continue;
        }
        if (!Pending) {
            StopUnmarkedPending(promise->Who, Record.Irp);
        }
        promise = Record.Promises.erase(promise);
    }
    while (!Record.Power.empty() && Record.Power.back().Location <= Location) {
        const PowerDelivery delivery = Record.Power.back();
        Record.Power.pop_back();
        if (!delivery.Started) {
            HkBugCheck(HkStop::IoManagerViolation::PowerFinishedWithoutStartNext,
                       DescribeDevice(delivery.Device) + " finished with power " + Describe(Record.Irp) +
                           " without calling PoStartNextPowerIrp (Windows 2000 needs it from every driver)");
        }
    }
}

// ReactOS's clearing of the location just left; a completion routine must
// not read the lower driver's location.
void ClearLocation(PIO_STACK_LOCATION Location)
{
    Location->MinorFunction = 0;
    Location->Flags = 0;
    Location->Control = 0;
    std::memset(&Location->Parameters, 0, sizeof(Location->Parameters));
    Location->FileObject = nullptr;
}

// The copy back at the top is sized by Information: more than the caller's
// buffer would overrun it.
void CheckInformation(PIRP Irp)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    const NTSTATUS status = Irp->IoStatus.Status;
    if (NT_ERROR(status)) {
        return;
    }
    const ULONG_PTR information = Irp->IoStatus.Information;
    const UCHAR major = location->MajorFunction;
    if ((major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL) &&
        (location->Parameters.DeviceIoControl.IoControlCode & 3) == METHOD_BUFFERED &&
        information > location->Parameters.DeviceIoControl.OutputBufferLength) {
        HkBugCheck(HkStop::IoManagerViolation::InformationOverOutputBuffer,
                   Describe(Irp) + " (" + MajorName(major) + ") completed with Information " +
                       std::to_string(information) + ", larger than its output buffer of " +
                       std::to_string(location->Parameters.DeviceIoControl.OutputBufferLength) + " bytes");
    }
    if (major == IRP_MJ_READ && information > location->Parameters.Read.Length) {
        HkBugCheck(HkStop::IoManagerViolation::InformationOverReadLength,
                   Describe(Irp) + " (IRP_MJ_READ) completed with Information " + std::to_string(information) +
                       ", more than the " + std::to_string(location->Parameters.Read.Length) + " bytes asked for");
    }
}

// What the I/O manager does in the caller's thread for a request built by
// IoBuildDeviceIoControlRequest.
void FinishBuiltRequest(const std::shared_ptr<IrpRecord>& Record)
{
    PIRP irp = Record->Irp;
    const NTSTATUS status = irp->IoStatus.Status;
    if ((irp->Flags & IRP_BUFFERED_IO) && (irp->Flags & IRP_INPUT_OPERATION) && !NT_ERROR(status)) {
        if (irp->IoStatus.Information > Record->OutputLength) {
            HkBugCheck(HkStop::IoManagerViolation::InformationOverBuiltOutputBuffer,
                       Describe(irp) + " came back with Information " + std::to_string(irp->IoStatus.Information) +
                           ", larger than its output buffer of " + std::to_string(Record->OutputLength) + " bytes");
        }
        if (irp->IoStatus.Information != 0) {
            std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, irp->IoStatus.Information);
        }
    }
    // A synchronous error leaves the status block and the event alone: the
    // caller learns it from IoCallDriver and must not wait.
    if (!NT_ERROR(status) || irp->PendingReturned) {
        if (irp->UserIosb != nullptr) {
            irp->UserIosb->Status = status;
            irp->UserIosb->Information = irp->IoStatus.Information;
        }
        if (irp->UserEvent != nullptr) {
            KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
        }
    }
    std::lock_guard<std::mutex> guard(Lock());
    ReleaseLocked(Record, "completed and freed by the I/O manager (it came from IoBuildDeviceIoControlRequest)");
}

void FinishManagerRequest(const std::shared_ptr<IrpRecord>& Record)
{
    PIRP irp = Record->Irp;
    std::shared_ptr<ManagerRequest> request = Record->Request;
    auto finish = [&] {
        request->Final = irp->IoStatus;
        {
            std::lock_guard<std::mutex> guard(Lock());
            ReleaseLocked(Record, "completed and freed by the I/O manager");
        }
        request->Finished = true;
        KeSetEvent(&request->Done, IO_NO_INCREMENT, FALSE);
    };
    if (request->AtTop) {
        try {
            request->AtTop(irp);
        } catch (...) {
            finish(); // the waiting sender is not left to its watchdog
            throw;
        }
    }
    finish();
}

double GraceSeconds()
{
    return std::min(1.0, HkWaitWatchdog());
}

// A dispatch routine returned Status for the request it received in Frame.
void CheckDispatchReturn(IrpRecord& Record, CallFrame& Frame, NTSTATUS Status, const std::string& Who)
{
    std::unique_lock<std::mutex> guard(Lock());
    if (Status == STATUS_PENDING) {
        if (!Frame.Left) {
            Record.Promises.push_back({Frame.Location, Frame.Generation, Who});
        } else if (!Frame.PendingAtLeave) {
            StopUnmarkedPending(Who, Record.Irp);
        }
        return;
    }
    // Another thread may still be walking past this location (a completion
    // routine that let the request go on up after waking its dispatch).
    if (!Frame.Left) {
        LocationLeft().wait_for(guard, std::chrono::duration<double>(GraceSeconds()), [&] { return Frame.Left; });
    }
    if (!Frame.Left) {
        HkBugCheck(HkStop::IoManagerViolation::KeptWithoutPending, Who + " returned " + StatusText(Status) +
                                                                       " without completing " + Describe(Record.Irp) +
                                                                       "; a request kept must return STATUS_PENDING");
    }
    if (Frame.PendingAtLeave) {
        HkBugCheck(HkStop::IoManagerViolation::MarkedPendingReturnedOther,
                   Who + " marked " + Describe(Record.Irp) + " pending but returned " + StatusText(Status) +
                       " instead of STATUS_PENDING");
    }
    if (Frame.StatusAtLeave != Status) {
        HkBugCheck(HkStop::IoManagerViolation::ReturnedOtherThanCompleted,
                   Who + " returned " + StatusText(Status) + " but " + Describe(Record.Irp) + " was completed with " +
                       StatusText(Frame.StatusAtLeave));
    }
}

std::string OriginText(IrpOrigin Origin)
{
    switch (Origin) {
    case IrpOrigin::Driver:
        return "IoAllocateIrp";
    case IrpOrigin::Built:
        return "IoBuildDeviceIoControlRequest";
    case IrpOrigin::Manager:
        return "the I/O manager";
    }
    return "?";
}

// Stops the test when the IRP cannot go to Device: no location left for
// it, a target that is gone, power sent the wrong way, or a stack whose
// file objects the sender let go.
void CheckSend(const IrpRecord& Record, PDEVICE_OBJECT Device, bool ViaPoCallDriver, const char* Routine)
{
    PIRP irp = Record.Irp;
    if (irp->CurrentLocation <= 1) {
        HkBugCheck(HkStop::NoMoreIrpStackLocations::NoLocationLeft,
                   Describe(irp) + " with StackCount " + std::to_string(irp->StackCount) + " sent to " +
                       DescribeDevice(Device) + " has no stack location left");
    }
    const UCHAR major = IoGetNextIrpStackLocation(irp)->MajorFunction;
    // The I/O manager keeps serving handles opened before a device was
    // deleted (the object lives on, delete pending, until they close): the
    // driver must answer those. Only drivers sending to a deleted device err.
    CheckTargetDevice(Device, Record.Origin == IrpOrigin::Manager, Routine);
    if (irp->CurrentLocation - 1 < Device->StackSize) {
        HkBugCheck(HkStop::NoMoreIrpStackLocations::FewerLocationsThanStack,
                   Describe(irp) + " has " + std::to_string(irp->CurrentLocation - 1) +
                       " stack locations left but the stack of " + DescribeDevice(Device) + " needs StackSize " +
                       std::to_string(Device->StackSize));
    }
    if (major == IRP_MJ_POWER && !ViaPoCallDriver) {
        HkBugCheck(HkStop::IoManagerViolation::PowerViaIoCallDriver,
                   "power " + Describe(irp) + " passed to " + DescribeDevice(Device) +
                       " with IoCallDriver; Windows 2000 requires PoCallDriver");
    }
    if (major != IRP_MJ_POWER && ViaPoCallDriver) {
        HkBugCheck(HkStop::IoManagerViolation::PoCallDriverNotPower,
                   "PoCallDriver with " + Describe(irp) + " (" + MajorName(major) + "), which is not a power request");
    }
    if (irp->CurrentLocation == irp->StackCount + 1 && Record.Origin != IrpOrigin::Manager) {
        CheckClientStillHolds(Device);
    }
}

// Caller holds Lock(). A driver that receives QUERY_POWER or SET_POWER owes
// PoStartNextPowerIrp before it passes the request on.
void NotePowerDeliveryLocked(IrpRecord& Record, PDEVICE_OBJECT Device, int Location)
{
    PIRP irp = Record.Irp;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    if (next->MajorFunction != IRP_MJ_POWER || !TrackedPowerMinor(next->MinorFunction)) {
        return;
    }
    if (!Record.Power.empty()) {
        PowerDelivery& owner = Record.Power.back();
        const bool skipped = irp->CurrentLocation == owner.Location + 1;
        const bool ownRoutine =
            irp->CurrentLocation == owner.Location && next->CompletionRoutine != nullptr && next->Control != 0;
        // With a completion routine of its own the driver may still
        // call PoStartNextPowerIrp from that routine.
        if (!owner.Started && !ownRoutine) {
            HkBugCheck(HkStop::IoManagerViolation::PowerPassedBeforeStartNext,
                       DescribeDevice(owner.Device) + " passed power " + Describe(irp) +
                           " down without calling PoStartNextPowerIrp first");
        }
        if (skipped) {
            Record.Power.pop_back();
        }
    }
    Record.Power.push_back({Location, false, Device});
}

// The call in Frame starts on the record's current generation.
void EnterFrame(IrpRecord& Record, CallFrame& Frame, PDEVICE_OBJECT Device)
{
    std::lock_guard<std::mutex> guard(Lock());
    NotePowerDeliveryLocked(Record, Device, Frame.Location);
    Frame.Generation = Record.Generation;
    Record.SentThisGeneration = true;
    Record.Frames.push_back(&Frame);
}

// Forgets the frame when the call returns, however it returns.
struct FrameGuard {
    IrpRecord& Record;
    CallFrame& Frame;
    ~FrameGuard()
    {
        std::lock_guard<std::mutex> guard(Lock());
        auto& frames = Record.Frames;
        frames.erase(std::remove(frames.begin(), frames.end(), &Frame), frames.end());
    }
};

// Moves the IRP to Device's location and runs its dispatch routine there.
NTSTATUS Dispatch(IrpRecord& Record, CallFrame& Frame, PDEVICE_OBJECT Device)
{
    PIRP irp = Record.Irp;
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
    current->DeviceObject = Device;
    const UCHAR major = current->MajorFunction;

    const std::string who = DescribeDevice(Device) + "'s dispatch routine for " + MajorName(major);
    PDRIVER_DISPATCH dispatch = Device->DriverObject->MajorFunction[major];
    if (dispatch == nullptr) {
        HkBugCheck(HkStop::IoManagerViolation::NoDispatchRoutine,
                   DescribeDriver(Device->DriverObject) + " has no dispatch routine for " + MajorName(major));
    }
    const KIRQL irql = HkIrql();
    const NTSTATUS status = dispatch(Device, irp);
    if (HkIrql() != irql) {
        HkBugCheck(HkStop::IrqlMismatchOnReturn::DispatchRoutineChangedIrql,
                   who + " returned at IRQL " + std::to_string(HkIrql()) + ", entered at " + std::to_string(irql));
    }
    CheckDispatchReturn(Record, Frame, status, who);
    return status;
}

bool ShouldInvoke(PIRP Irp, PIO_COMPLETION_ROUTINE Routine, UCHAR Control)
{
    const NTSTATUS status = Irp->IoStatus.Status;
    return Routine != nullptr && ((NT_SUCCESS(status) && (Control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(status) && (Control & SL_INVOKE_ON_ERROR)) ||
                                  (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) && (Control & SL_INVOKE_ON_CANCEL)));
}

// Calls the completion routine of the location just left, at Irql.
// Returns false when it kept the IRP.
bool RunCompletionRoutine(IrpRecord& Record, PIO_COMPLETION_ROUTINE Routine, PVOID Context, KIRQL Irql)
{
    PIRP irp = Record.Irp;
    // The creator's own location does not exist: its routine gets NULL.
    PDEVICE_OBJECT device =
        irp->CurrentLocation == irp->StackCount + 1 ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    uint64_t generation;
    {
        std::lock_guard<std::mutex> guard(Lock());
        generation = Record.Generation;
    }
    const NTSTATUS result = Routine(device, irp, Context);
    if (HkIrql() != Irql) {
        HkBugCheck(HkStop::IrqlMismatchOnReturn::CompletionRoutineChangedIrql,
                   "completion routine of " + Describe(irp) + " returned at IRQL " + std::to_string(HkIrql()) +
                       ", called at " + std::to_string(Irql));
    }
    if (result == STATUS_MORE_PROCESSING_REQUIRED) {
        return false; // the IRP belongs to whoever kept it
    }
    {
        std::lock_guard<std::mutex> guard(Lock());
        if (Record.Released || Record.Generation != generation) {
            HkBugCheck(HkStop::IoManagerViolation::CompletionFreedWithoutMoreProcessing,
                       "a completion routine freed or reused " + Describe(irp) + " but returned " +
                           StatusText(result) + " instead of STATUS_MORE_PROCESSING_REQUIRED");
        }
    }
    if (irp->CurrentLocation <= irp->StackCount && irp->PendingReturned &&
        (IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED) == 0) {
        HkBugCheck(HkStop::IoManagerViolation::CompletionDroppedPending,
                   "the completion routine " + DescribeDevice(device) + " set on " + Describe(irp) +
                       " returned without IoMarkIrpPending although Irp->PendingReturned is set");
    }
    return true;
}

// The walk has just moved up from a location: settles it and runs its
// completion routine. Returns false when the routine kept the IRP.
bool LeaveLocation(IrpRecord& Record, KIRQL Irql)
{
    PIRP irp = Record.Irp;
    PIO_STACK_LOCATION left = irp->Tail.Overlay.CurrentStackLocation - 1;
    irp->PendingReturned = (left->Control & SL_PENDING_RETURNED) != 0;
    NoteLocationLeft(Record, irp->CurrentLocation - 1, irp->IoStatus.Status, irp->PendingReturned);

    PIO_COMPLETION_ROUTINE routine = left->CompletionRoutine;
    PVOID context = left->Context;
    const bool invoke = ShouldInvoke(irp, routine, left->Control);
    ClearLocation(left);
    if (!invoke) {
        if (irp->CurrentLocation <= irp->StackCount && irp->PendingReturned) {
            IoMarkIrpPending(irp);
        }
        return true;
    }
    return RunCompletionRoutine(Record, routine, context, Irql);
}

// Buffers of IoBuildDeviceIoControlRequest by the transfer method in Code.
void AttachBuiltBuffers(IrpRecord& Record, ULONG Code, PVOID Input, ULONG InputLength, PVOID Output,
                        ULONG OutputLength)
{
    PIRP irp = Record.Irp;
    auto systemBuffer = [&](ULONG Bytes) {
        Record.SystemBuffer.assign(Bytes, UnwrittenBuffer);
        if (Input != nullptr && InputLength != 0) {
            std::memcpy(Record.SystemBuffer.data(), Input, InputLength);
        }
        irp->AssociatedIrp.SystemBuffer = Record.SystemBuffer.data();
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    };
    switch (Code & 3) {
    case METHOD_BUFFERED:
        if (std::max(InputLength, OutputLength) != 0) {
            systemBuffer(std::max(InputLength, OutputLength));
            if (Output != nullptr) {
                irp->Flags |= IRP_INPUT_OPERATION;
            }
        }
        break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        // The output would be described by an MDL; the stand-in has none and
        // hands the buffer itself.
        if (InputLength != 0) {
            systemBuffer(InputLength);
        }
        break;
    default:
        IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer = Input;
        break;
    }
    irp->UserBuffer = Output;
}

} // namespace

IrpTable& Table()
{
    static IrpTable& table = *new IrpTable; // never destroyed: outlives every thread and exit-time check
    return table;
}

std::string Describe(PIRP Irp)
{
    return "IRP " + Hex(Irp);
}

std::shared_ptr<IrpRecord> NewIrp(CCHAR StackSize, IrpOrigin Origin, const void* Caller)
{
    const int count = StackSize < 0 ? 0 : StackSize;
    const size_t bytes = sizeof(IRP) + static_cast<size_t>(count) * sizeof(IO_STACK_LOCATION);
    auto record = std::make_shared<IrpRecord>();
    record->Memory = new unsigned char[bytes];
    record->Bytes = bytes;
    record->Irp = reinterpret_cast<PIRP>(record->Memory);
    record->Origin = Origin;
    record->Caller = Caller;
    InitializeIrp(record->Irp, bytes, static_cast<CCHAR>(count));
    std::lock_guard<std::mutex> guard(Lock());
    Table().Dead.erase(record->Irp);
    Table().Live[record->Irp] = record;
    return record;
}

void Release(const std::shared_ptr<IrpRecord>& Record, const std::string& How)
{
    std::lock_guard<std::mutex> guard(Lock());
    ReleaseLocked(Record, How);
}

InUse::InUse(PIRP Irp, const char* Routine, const HkRule::Misuse& UsedAfterFree)
{
    std::lock_guard<std::mutex> guard(Lock());
    IrpTable& table = Table();
    auto live = table.Live.find(Irp);
    if (live == table.Live.end()) {
        auto dead = table.Dead.find(Irp);
        if (dead != table.Dead.end()) {
            HkBugCheck(UsedAfterFree, std::string(Routine) + " on " + Describe(Irp) + ", which was " + dead->second);
        }
        HkBugCheck(HkStop::IoManagerViolation::NotAnIrp,
                   std::string(Routine) + " on " + Hex(Irp) + ", which is not an IRP");
    }
    Record = live->second;
    ++Record->Users;
}

InUse::~InUse()
{
    std::lock_guard<std::mutex> guard(Lock());
    if (--Record->Users == 0 && Record->Released) {
        ReleaseMemoryLocked(Record);
    }
}

// IoFreeIrp and IoReuseIrp: only the driver's own IRP, back from every
// driver it went to and with no cancel routine left, may be given back.
void CheckDriverMayRecycle(PIRP Irp, const IrpRecord& Record, const char* Routine, const char* WhoFreesIt)
{
    if (Record.Origin != IrpOrigin::Driver) {
        HkBugCheck(HkStop::IoManagerViolation::ForeignIrpFreedOrReused,
                   std::string(Routine) + " on " + Describe(Irp) + ", which came from " + OriginText(Record.Origin) +
                       WhoFreesIt);
    }
    if (Irp->CurrentLocation <= Irp->StackCount) {
        HkBugCheck(HkStop::IoManagerViolation::HeldIrpFreedOrReused,
                   std::string(Routine) + " on " + Describe(Irp) + ", which " +
                       DescribeDevice(IoGetCurrentIrpStackLocation(Irp)->DeviceObject) + " still holds");
    }
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr) {
        HkBugCheck(HkStop::IoManagerViolation::IrpFreedOrReusedWithCancelRoutine,
                   std::string(Routine) + " on " + Describe(Irp) + " with a cancel routine set");
    }
}

void Reuse(IrpRecord& Record, NTSTATUS Status)
{
    PIRP irp = Record.Irp;
    const CSHORT type = irp->Type;
    const USHORT size = irp->Size;
    const CHAR stackCount = irp->StackCount;
    const UCHAR allocationFlags = irp->AllocationFlags;
    InitializeIrp(irp, size, stackCount);
    irp->Type = type;
    irp->AllocationFlags = allocationFlags;
    irp->IoStatus.Status = Status;
    std::lock_guard<std::mutex> guard(Lock());
    ++Record.Generation;
    Record.SentThisGeneration = false;
    Record.Power.clear();
    Record.Promises.clear();
}

void CheckCompletable(IrpRecord& Record)
{
    PIRP irp = Record.Irp;
    if (irp->CurrentLocation > irp->StackCount + 1) {
        HkBugCheck(HkStop::IrpCompletedTwice::CompletedPastTop,
                   Describe(irp) + " completed again after it had reached its top");
    }
    if (irp->CurrentLocation == irp->StackCount + 1) {
        bool sent;
        {
            std::lock_guard<std::mutex> guard(Lock());
            sent = Record.SentThisGeneration;
        }
        if (sent) {
            HkBugCheck(HkStop::IrpCompletedTwice::CompletedAfterReturnToCreator,
                       Describe(irp) + " completed again after it had come back to its creator");
        }
        HkBugCheck(HkStop::IoManagerViolation::CompletedUnheld, Describe(irp) + " completed although no driver holds it");
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        HkBugCheck(HkStop::IoManagerViolation::CompletedWithStatusPending, Describe(irp) + " completed with STATUS_PENDING");
    }
    // IoCancelIrp may be exchanging it on another thread right now.
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr) {
        HkBugCheck(HkStop::CancelStateInCompletedIrp::CompletedWithCancelRoutine,
                   Describe(irp) + " completed with its cancel routine still set");
    }
    CheckInformation(irp);
}

bool WalkUp(IrpRecord& Record)
{
    PIRP irp = Record.Irp;
    const KIRQL irql = HkIrql();
    for (irp->CurrentLocation++, irp->Tail.Overlay.CurrentStackLocation++; irp->CurrentLocation <= irp->StackCount + 1;
         irp->CurrentLocation++, irp->Tail.Overlay.CurrentStackLocation++) {
        if (!LeaveLocation(Record, irql)) {
            return false;
        }
    }
    return true;
}

void ReachTop(const std::shared_ptr<IrpRecord>& Record)
{
    switch (Record->Origin) {
    case IrpOrigin::Driver:
        HkBugCheck(HkStop::IoManagerViolation::AllocatedIrpReachedTop,
                   Describe(Record->Irp) + " from IoAllocateIrp was completed all the way back to the I/O manager; "
                                           "its completion routine must return STATUS_MORE_PROCESSING_REQUIRED and "
                                           "the driver free or reuse it");
    case IrpOrigin::Built:
        FinishBuiltRequest(Record);
        return;
    case IrpOrigin::Manager:
        FinishManagerRequest(Record);
        return;
    }
}

PIRP NewBuiltIoControl(ULONG Code, PDEVICE_OBJECT Device, PVOID Input, ULONG InputLength, PVOID Output,
                       ULONG OutputLength, bool Internal, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock,
                       const void* Caller)
{
    std::shared_ptr<IrpRecord> record = NewIrp(Device->StackSize, IrpOrigin::Built, Caller);
    PIRP irp = record->Irp;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = Internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputLength;
    next->Parameters.DeviceIoControl.InputBufferLength = InputLength;
    next->Parameters.DeviceIoControl.IoControlCode = Code;
    AttachBuiltBuffers(*record, Code, Input, InputLength, Output, OutputLength);
    record->OutputLength = OutputLength;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = &ThreadToken;
    return irp;
}

} // namespace irp

using namespace irp;

std::mutex& Lock()
{
    static std::mutex lock;
    return lock;
}

std::condition_variable& LocationLeft()
{
    static std::condition_variable left;
    return left;
}

NTSTATUS CallDriver(PDEVICE_OBJECT Device, PIRP Irp, bool ViaPoCallDriver)
{
    const char* routine = ViaPoCallDriver ? "PoCallDriver" : "IoCallDriver";
    HkRequireIrqlAtMost(DISPATCH_LEVEL, routine);
    InUse use(Irp, routine, HkStop::IoManagerViolation::IrpUsedAfterFree);
    IrpRecord& record = *use.Record;
    CheckSend(record, Device, ViaPoCallDriver, routine);
    CallFrame frame{Irp->CurrentLocation - 1, 0};
    EnterFrame(record, frame, Device);
    FrameGuard frameGuard{record, frame};
    return Dispatch(record, frame, Device);
}

void NotePowerIrpStarted(PIRP Irp)
{
    InUse use(Irp, "PoStartNextPowerIrp", HkStop::IoManagerViolation::IrpUsedAfterFree);
    IrpRecord& record = *use.Record;
    std::lock_guard<std::mutex> guard(Lock());
    if (Irp->CurrentLocation > Irp->StackCount) {
        HkBugCheck(HkStop::IoManagerViolation::StartNextAfterLocationLeft,
                   "PoStartNextPowerIrp on " + Describe(Irp) +
                       " after the caller's stack location was skipped or completed; it must be called while "
                       "the current location is still the caller's");
    }
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    if (location->MajorFunction != IRP_MJ_POWER) {
        HkBugCheck(HkStop::IoManagerViolation::StartNextNotPower, "PoStartNextPowerIrp on " + Describe(Irp) + " (" +
                                                                      MajorName(location->MajorFunction) +
                                                                      "), which is not a power request");
    }
    if (!TrackedPowerMinor(location->MinorFunction)) {
        return;
    }
    for (auto delivery = record.Power.rbegin(); delivery != record.Power.rend(); ++delivery) {
        if (delivery->Location == Irp->CurrentLocation) {
            delivery->Started = true;
            return;
        }
    }
    HkBugCheck(HkStop::IoManagerViolation::StartNextFromForeignLocation,
               "PoStartNextPowerIrp on " + Describe(Irp) +
                   " from a stack location that is not the caller's (skipped first?)");
}

ManagerIrp MakeManagerIrp(CCHAR StackSize, UCHAR Major, UCHAR Minor, PFILE_OBJECT File, KPROCESSOR_MODE Mode)
{
    std::shared_ptr<IrpRecord> record = NewIrp(StackSize, IrpOrigin::Manager, nullptr);
    record->Request = std::make_shared<ManagerRequest>();
    KeInitializeEvent(&record->Request->Done, NotificationEvent, FALSE);
    PIRP irp = record->Irp;
    irp->RequestorMode = Mode;
    irp->Tail.Overlay.Thread = &ThreadToken;
    irp->Tail.Overlay.OriginalFileObject = File;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = Major;
    next->MinorFunction = Minor;
    next->FileObject = File;
    return {irp, record->Request};
}

NTSTATUS SendManagerIrp(PDEVICE_OBJECT Target, ManagerIrp& Request)
{
    HkRequireIrqlAtMost(PASSIVE_LEVEL, "a request of the I/O manager");
    std::shared_ptr<ManagerRequest> request = Request.Request;
    const bool power = IoGetNextIrpStackLocation(Request.Irp)->MajorFunction == IRP_MJ_POWER;
    {
        // A user-mode request runs its dispatch in the caller's thread, which
        // its process can suspend.
        struct UserRequestScope {
            PIRP Saved;
            explicit UserRequestScope(PIRP Irp) : Saved(UserRequestOnThisThread)
            {
                if (Irp->RequestorMode == UserMode) {
                    UserRequestOnThisThread = Irp;
                }
            }
            ~UserRequestScope() { UserRequestOnThisThread = Saved; }
        } scope(Request.Irp);
        const int regions = HkCriticalRegionDepth();
        const UCHAR major = IoGetNextIrpStackLocation(Request.Irp)->MajorFunction;
        CallDriver(Target, Request.Irp, power);
        if (HkCriticalRegionDepth() != regions) {
            HkBugCheck(HkStop::ApcIndexMismatch::UnbalancedCriticalRegion,
                       DescribeDevice(Target) + " returned from " + MajorName(major) +
                           " with unbalanced critical regions (" + std::to_string(regions) + " before, " +
                           std::to_string(HkCriticalRegionDepth()) + " after)");
        }
    }
    if (!request->Finished) {
        KeWaitForSingleObject(&request->Done, Executive, KernelMode, FALSE, nullptr);
    }
    return request->Final.Status;
}

void ResetIrps()
{
    std::lock_guard<std::mutex> guard(Lock());
    IrpTable& table = Table();
    for (auto& [irp, record] : table.Live) {
        if (!record->MemoryGone) {
            delete[] record->Memory;
            record->Memory = nullptr;
            record->MemoryGone = true;
        }
    }
    for (auto& record : table.QuarantinedRecords) {
        delete[] record->Memory;
        record->Memory = nullptr;
    }
    table.Live.clear();
    table.Dead.clear();
    table.QuarantinedRecords.clear();
}

std::string IrpLeaks()
{
    std::lock_guard<std::mutex> guard(Lock());
    std::string found;
    for (const auto& [irp, record] : Table().Live) {
        const bool held = irp->CurrentLocation <= irp->StackCount;
        if (record->LongLived && !held) {
            continue;
        }
        found += Describe(irp) + " from " + OriginText(record->Origin);
        if (held) {
            PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
            found += " still held by " + DescribeDevice(location->DeviceObject) + " (" +
                     MajorName(location->MajorFunction) + ")";
        } else {
            found += " never freed";
        }
        found += "; ";
    }
    return found;
}

} // namespace hkio

PIRP HkUserRequestOnThisThread()
{
    return hkio::irp::UserRequestOnThisThread;
}
