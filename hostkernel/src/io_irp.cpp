// Requests: allocation, reuse, the call down a stack, the completion walk
// back up, cancellation and IoBuildDeviceIoControlRequest, with the checks
// Driver Verifier makes on each and a few stricter ones.
//
// Every IRP has a record on the side. A record outlives the IRP's logical
// free while a call or a completion walk is still running on it (a routine
// may free or reuse the IRP under its own caller's feet, which is legal),
// and freed IRPs sit poisoned in a quarantine so that a later use is named
// as such instead of corrupting whatever reused the memory.
#include "io_internal.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <unordered_map>

namespace hkio {
namespace {

// One IofCallDriver on the stack of some thread: the location its target
// received, and what the completion walk found when it left that location.
struct CallFrame {
    int Location;
    uint64_t Generation;
    bool Left = false;
    bool PendingAtLeave = false;
    NTSTATUS StatusAtLeave = 0;
};

// A driver that received QUERY_POWER or SET_POWER at Location and has yet
// to call PoStartNextPowerIrp.
struct PowerDelivery {
    int Location;
    bool Started;
    PDEVICE_OBJECT Device;
};

// A dispatch routine returned STATUS_PENDING before the request left its
// location: the location must be marked pending by the time it does.
struct PendingPromise {
    int Location;
    uint64_t Generation;
    std::string Who;
};

struct IrpRecord {
    PIRP Irp = nullptr;
    unsigned char* Memory = nullptr;
    size_t Bytes = 0;
    IrpOrigin Origin = IrpOrigin::Driver;
    const void* Caller = nullptr;
    uint64_t Generation = 1; // IoReuseIrp starts a new one
    bool SentThisGeneration = false;
    bool Released = false;
    bool MemoryGone = false;
    bool LongLived = false;
    int Users = 0; // calls and walks still reading the memory
    std::vector<CallFrame*> Frames;
    std::vector<PowerDelivery> Power;
    std::vector<PendingPromise> Promises;
    // IoBuildDeviceIoControlRequest
    std::vector<unsigned char> SystemBuffer;
    ULONG OutputLength = 0;
    std::shared_ptr<ManagerRequest> Request;
};

struct IrpTable {
    std::unordered_map<PIRP, std::shared_ptr<IrpRecord>> Live;
    std::unordered_map<const void*, std::string> Dead; // freed, still quarantined
    std::deque<std::shared_ptr<IrpRecord>> QuarantinedRecords;
};

IrpTable& Table()
{
    static IrpTable& table = *new IrpTable; // never destroyed: outlives every thread and exit-time check
    return table;
}

constexpr size_t QuarantineDepth = 256;
constexpr unsigned char FreedPoison = 0xDD;
constexpr unsigned char UnwrittenBuffer = 0xCD; // system buffers are not zeroed

thread_local char ThreadToken; // Tail.Overlay.Thread of a threaded request

std::string Describe(PIRP Irp)
{
    return "IRP " + Hex(Irp);
}

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

// Holds a record in use for the length of a service call.
class InUse {
public:
    InUse(PIRP Irp, const char* Routine, const HkRule::Misuse& UsedAfterFree)
    {
        std::lock_guard<std::mutex> guard(Lock());
        IrpTable& table = Table();
        auto live = table.Live.find(Irp);
        if (live == table.Live.end()) {
            auto dead = table.Dead.find(Irp);
            if (dead != table.Dead.end()) {
                HkBugCheck(UsedAfterFree,
                           std::string(Routine) + " on " + Describe(Irp) + ", which was " + dead->second);
            }
            HkBugCheck(HkStop::IoManagerViolation::NotAnIrp,
                       std::string(Routine) + " on " + Hex(Irp) + ", which is not an IRP");
        }
        Record = live->second;
        ++Record->Users;
    }
    ~InUse()
    {
        std::lock_guard<std::mutex> guard(Lock());
        if (--Record->Users == 0 && Record->Released) {
            ReleaseMemoryLocked(Record);
        }
    }
    InUse(const InUse&) = delete;
    InUse& operator=(const InUse&) = delete;
    std::shared_ptr<IrpRecord> Record;
};

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

thread_local PIRP UserRequestOnThisThread = nullptr;

} // namespace

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

    if (Irp->CurrentLocation <= 1) {
        HkBugCheck(HkStop::NoMoreIrpStackLocations::NoLocationLeft,
                   Describe(Irp) + " with StackCount " + std::to_string(Irp->StackCount) + " sent to " +
                       DescribeDevice(Device) + " has no stack location left");
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    const UCHAR major = next->MajorFunction;
    // The I/O manager keeps serving handles opened before a device was
    // deleted (the object lives on, delete pending, until they close): the
    // driver must answer those. Only drivers sending to a deleted device err.
    const bool throughHandle = record.Origin == IrpOrigin::Manager;
    CheckTargetDevice(Device, throughHandle, routine);
    if (Irp->CurrentLocation - 1 < Device->StackSize) {
        HkBugCheck(HkStop::NoMoreIrpStackLocations::FewerLocationsThanStack,
                   Describe(Irp) + " has " + std::to_string(Irp->CurrentLocation - 1) +
                       " stack locations left but the stack of " + DescribeDevice(Device) + " needs StackSize " +
                       std::to_string(Device->StackSize));
    }
    if (major == IRP_MJ_POWER && !ViaPoCallDriver) {
        HkBugCheck(HkStop::IoManagerViolation::PowerViaIoCallDriver,
                   "power " + Describe(Irp) + " passed to " + DescribeDevice(Device) +
                       " with IoCallDriver; Windows 2000 requires PoCallDriver");
    }
    if (major != IRP_MJ_POWER && ViaPoCallDriver) {
        HkBugCheck(HkStop::IoManagerViolation::PoCallDriverNotPower,
                   "PoCallDriver with " + Describe(Irp) + " (" + MajorName(major) + "), which is not a power request");
    }
    if (Irp->CurrentLocation == Irp->StackCount + 1 && record.Origin != IrpOrigin::Manager) {
        CheckClientStillHolds(Device);
    }

    CallFrame frame{Irp->CurrentLocation - 1, 0};
    {
        std::lock_guard<std::mutex> guard(Lock());
        if (major == IRP_MJ_POWER && TrackedPowerMinor(next->MinorFunction)) {
            if (!record.Power.empty()) {
                PowerDelivery& owner = record.Power.back();
                const bool skipped = Irp->CurrentLocation == owner.Location + 1;
                const bool ownRoutine = Irp->CurrentLocation == owner.Location && next->CompletionRoutine != nullptr &&
                                        next->Control != 0;
                // With a completion routine of its own the driver may still
                // call PoStartNextPowerIrp from that routine.
                if (!owner.Started && !ownRoutine) {
                    HkBugCheck(HkStop::IoManagerViolation::PowerPassedBeforeStartNext,
                               DescribeDevice(owner.Device) + " passed power " + Describe(Irp) +
                                   " down without calling PoStartNextPowerIrp first");
                }
                if (skipped) {
                    record.Power.pop_back();
                }
            }
            record.Power.push_back({frame.Location, false, Device});
        }
        frame.Generation = record.Generation;
        record.SentThisGeneration = true;
        record.Frames.push_back(&frame);
    }
    struct FrameGuard {
        IrpRecord& Record;
        CallFrame& Frame;
        ~FrameGuard()
        {
            std::lock_guard<std::mutex> guard(Lock());
            auto& frames = Record.Frames;
            frames.erase(std::remove(frames.begin(), frames.end(), &Frame), frames.end());
        }
    } frameGuard{record, frame};

    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    current->DeviceObject = Device;

    const std::string who = DescribeDevice(Device) + "'s dispatch routine for " + MajorName(major);
    PDRIVER_DISPATCH dispatch = Device->DriverObject->MajorFunction[major];
    if (dispatch == nullptr) {
        HkBugCheck(HkStop::IoManagerViolation::NoDispatchRoutine,
                   DescribeDriver(Device->DriverObject) + " has no dispatch routine for " + MajorName(major));
    }
    const KIRQL irql = HkIrql();
    const NTSTATUS status = dispatch(Device, Irp);
    if (HkIrql() != irql) {
        HkBugCheck(HkStop::IrqlMismatchOnReturn::DispatchRoutineChangedIrql,
                   who + " returned at IRQL " + std::to_string(HkIrql()) + ", entered at " + std::to_string(irql));
    }
    CheckDispatchReturn(record, frame, status, who);
    return status;
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

using namespace hkio;

PIRP HkUserRequestOnThisThread()
{
    return UserRequestOnThisThread;
}

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
    IrpRecord& record = *use.Record;
    CheckDriverMayRecycle(Irp, record, "IoReuseIrp", ", not IoAllocateIrp");
    const CSHORT type = Irp->Type;
    const USHORT size = Irp->Size;
    const CHAR stackCount = Irp->StackCount;
    const UCHAR allocationFlags = Irp->AllocationFlags;
    InitializeIrp(Irp, size, stackCount);
    Irp->Type = type;
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
    std::lock_guard<std::mutex> guard(Lock());
    ++record.Generation;
    record.SentThisGeneration = false;
    record.Power.clear();
    record.Promises.clear();
}

VOID NTAPI IoFreeIrp(PIRP Irp)
{
    HkRequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
    InUse use(Irp, "IoFreeIrp", HkStop::IoManagerViolation::IrpUsedAfterFree);
    IrpRecord& record = *use.Record;
    CheckDriverMayRecycle(Irp, record, "IoFreeIrp", "; the I/O manager frees it");
    std::lock_guard<std::mutex> guard(Lock());
    ReleaseLocked(use.Record, "freed by IoFreeIrp");
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
    IrpRecord& record = *use.Record;
    if (Irp->CurrentLocation > Irp->StackCount + 1) {
        HkBugCheck(HkStop::IrpCompletedTwice::CompletedPastTop,
                   Describe(Irp) + " completed again after it had reached its top");
    }
    if (Irp->CurrentLocation == Irp->StackCount + 1) {
        bool sent;
        {
            std::lock_guard<std::mutex> guard(Lock());
            sent = record.SentThisGeneration;
        }
        if (sent) {
            HkBugCheck(HkStop::IrpCompletedTwice::CompletedAfterReturnToCreator,
                       Describe(Irp) + " completed again after it had come back to its creator");
        }
        HkBugCheck(HkStop::IoManagerViolation::CompletedUnheld,
                   Describe(Irp) + " completed although no driver holds it");
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        HkBugCheck(HkStop::IoManagerViolation::CompletedWithStatusPending,
                   Describe(Irp) + " completed with STATUS_PENDING");
    }
    // IoCancelIrp may be exchanging it on another thread right now.
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr) {
        HkBugCheck(HkStop::CancelStateInCompletedIrp::CompletedWithCancelRoutine,
                   Describe(Irp) + " completed with its cancel routine still set");
    }
    CheckInformation(Irp);

    const KIRQL irql = HkIrql();
    for (Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++;
         Irp->CurrentLocation <= Irp->StackCount + 1;
         Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
        PIO_STACK_LOCATION left = Irp->Tail.Overlay.CurrentStackLocation - 1;
        Irp->PendingReturned = (left->Control & SL_PENDING_RETURNED) != 0;
        NoteLocationLeft(record, Irp->CurrentLocation - 1, Irp->IoStatus.Status, Irp->PendingReturned);

        const NTSTATUS status = Irp->IoStatus.Status;
        const UCHAR control = left->Control;
        PIO_COMPLETION_ROUTINE routine = left->CompletionRoutine;
        PVOID context = left->Context;
        const bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                                   (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                                   (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) &&
                                                    (control & SL_INVOKE_ON_CANCEL)));
        ClearLocation(left);
        if (!invoke) {
            if (Irp->CurrentLocation <= Irp->StackCount && Irp->PendingReturned) {
                IoMarkIrpPending(Irp);
            }
            continue;
        }

        // The creator's own location does not exist: its routine gets NULL.
        PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                    ? nullptr
                                    : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
        uint64_t generation;
        {
            std::lock_guard<std::mutex> guard(Lock());
            generation = record.Generation;
        }
        const NTSTATUS result = routine(device, Irp, context);
        if (HkIrql() != irql) {
            HkBugCheck(HkStop::IrqlMismatchOnReturn::CompletionRoutineChangedIrql,
                       "completion routine of " + Describe(Irp) + " returned at IRQL " + std::to_string(HkIrql()) +
                           ", called at " + std::to_string(irql));
        }
        if (result == STATUS_MORE_PROCESSING_REQUIRED) {
            return; // the IRP belongs to whoever kept it
        }
        {
            std::lock_guard<std::mutex> guard(Lock());
            if (record.Released || record.Generation != generation) {
                HkBugCheck(HkStop::IoManagerViolation::CompletionFreedWithoutMoreProcessing,
                           "a completion routine freed or reused " + Describe(Irp) + " but returned " +
                               StatusText(result) + " instead of STATUS_MORE_PROCESSING_REQUIRED");
            }
        }
        if (Irp->CurrentLocation <= Irp->StackCount && Irp->PendingReturned &&
            (IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED) == 0) {
            HkBugCheck(HkStop::IoManagerViolation::CompletionDroppedPending,
                       "the completion routine " + DescribeDevice(device) + " set on " + Describe(Irp) +
                           " returned without IoMarkIrpPending although Irp->PendingReturned is set");
        }
    }
    ReachTop(use.Record);
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
    std::shared_ptr<IrpRecord> record =
        NewIrp(DeviceObject->StackSize, IrpOrigin::Built, __builtin_return_address(0));
    PIRP irp = record->Irp;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;

    auto systemBuffer = [&](ULONG Bytes) {
        record->SystemBuffer.assign(Bytes, UnwrittenBuffer);
        if (InputBuffer != nullptr && InputBufferLength != 0) {
            std::memcpy(record->SystemBuffer.data(), InputBuffer, InputBufferLength);
        }
        irp->AssociatedIrp.SystemBuffer = record->SystemBuffer.data();
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    };
    switch (IoControlCode & 3) {
    case METHOD_BUFFERED:
        if (std::max(InputBufferLength, OutputBufferLength) != 0) {
            systemBuffer(std::max(InputBufferLength, OutputBufferLength));
            if (OutputBuffer != nullptr) {
                irp->Flags |= IRP_INPUT_OPERATION;
            }
        }
        irp->UserBuffer = OutputBuffer;
        break;
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        // The output would be described by an MDL; the stand-in has none and
        // hands the buffer itself.
        if (InputBufferLength != 0) {
            systemBuffer(InputBufferLength);
        }
        irp->UserBuffer = OutputBuffer;
        break;
    default:
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    record->OutputLength = OutputBufferLength;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = &ThreadToken;
    return irp;
}

} // extern "C"
