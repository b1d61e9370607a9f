// What the request files share: the record every IRP has on the side, the
// call down a stack and the completion walk back up.
#pragma once

#include "io_internal.h"

#include <deque>
#include <unordered_map>

namespace hkio::irp {

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

// Caller holds Lock().
IrpTable& Table();

std::string Describe(PIRP Irp);
// A fresh request of Origin with StackSize locations.
std::shared_ptr<IrpRecord> NewIrp(CCHAR StackSize, IrpOrigin Origin, const void* Caller);
// The IRP is gone for every later service call; How says how it went.
void Release(const std::shared_ptr<IrpRecord>& Record, const std::string& How);

// Holds a record in use for the length of a service call; stops the test
// with UsedAfterFree when the IRP was freed, or when it is no IRP at all.
class InUse {
public:
    InUse(PIRP Irp, const char* Routine, const HkRule::Misuse& UsedAfterFree);
    ~InUse();
    InUse(const InUse&) = delete;
    InUse& operator=(const InUse&) = delete;
    std::shared_ptr<IrpRecord> Record;
};

// IoFreeIrp and IoReuseIrp: stops the test unless the driver may give the
// IRP back. WhoFreesIt ends the message about someone else's IRP.
void CheckDriverMayRecycle(PIRP Irp, const IrpRecord& Record, const char* Routine, const char* WhoFreesIt);
// IoReuseIrp's reinitialization: a new generation with Status.
void Reuse(IrpRecord& Record, NTSTATUS Status);

// IofCompleteRequest: stops the test unless the IRP may be completed now.
void CheckCompletable(IrpRecord& Record);
// Walks the completion up from the current location, calling the routines.
// Returns false when a routine kept the IRP (STATUS_MORE_PROCESSING_REQUIRED).
bool WalkUp(IrpRecord& Record);
// The IRP came back to whoever made it.
void ReachTop(const std::shared_ptr<IrpRecord>& Record);

// IoBuildDeviceIoControlRequest's IRP for Device, its buffers set up by the
// transfer method in Code.
PIRP NewBuiltIoControl(ULONG Code, PDEVICE_OBJECT Device, PVOID Input, ULONG InputLength, PVOID Output,
                       ULONG OutputLength, bool Internal, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock,
                       const void* Caller);

} // namespace hkio::irp
