// Interfaces between the I/O manager's parts: requests (io_irp), devices and
// objects (io_device), Plug and Play and power (io_pnp_power), remove locks
// (io_removelock), user-mode requests (io_user) and worker threads
// (io_async). Not for tests or drivers.
#pragma once

#include "internal.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace hkio {

// Guards the bookkeeping of requests, devices, files and links. Never held
// while driver code runs: a dispatch, completion or cancel routine may call
// straight back into the I/O manager.
std::mutex& Lock();
// Signalled whenever a request leaves a stack location (see io_irp).
std::condition_variable& LocationLeft();

// Who made a request decides what happens when it reaches the top of its
// stack and which services may touch it.
enum class IrpOrigin {
    Driver,  // IoAllocateIrp: the driver frees or reuses it
    Built,   // IoBuildDeviceIoControlRequest: threaded, the I/O manager frees it
    Manager, // the stand-in's own (user mode, Plug and Play, power, opens)
};

// A request the stand-in itself sends and waits for.
struct ManagerRequest {
    KEVENT Done;
    std::atomic<bool> Finished{false};
    IO_STATUS_BLOCK Final{};
    // Runs when the request reaches the top, before it is freed: copies the
    // output back, as the I/O manager's completion in the caller's thread does.
    std::function<void(PIRP)> AtTop;
};

struct ManagerIrp {
    PIRP Irp = nullptr;
    std::shared_ptr<ManagerRequest> Request;
};

// A request with StackSize locations whose first location (the one the top
// device receives) carries Major and Minor and File.
ManagerIrp MakeManagerIrp(CCHAR StackSize, UCHAR Major, UCHAR Minor, PFILE_OBJECT File, KPROCESSOR_MODE Mode);
// Sends it to Target on the calling thread (PASSIVE_LEVEL), waits for it to
// come back from any thread and returns its final status.
NTSTATUS SendManagerIrp(PDEVICE_OBJECT Target, ManagerIrp& Request);

// IofCallDriver; ViaPoCallDriver says whether PoCallDriver made the call.
NTSTATUS CallDriver(PDEVICE_OBJECT Device, PIRP Irp, bool ViaPoCallDriver);
// PoStartNextPowerIrp's bookkeeping: the driver owning the current location
// has told the power manager it is ready for the next power request.
void NotePowerIrpStarted(PIRP Irp);

// ---- devices and objects (io_device)
// Stops the test unless Device is a live device of a loaded driver (the
// Manager may still send closes to a deleted device that files reference).
void CheckTargetDevice(PDEVICE_OBJECT Device, bool ManagerClose, const char* Routine);
// Stops the test when a driver sends its own request into a stack whose
// every file object it has given up (the port after its last dereference).
void CheckClientStillHolds(PDEVICE_OBJECT Device);
PDEVICE_OBJECT AttachedTop(PDEVICE_OBJECT Device);
std::string DescribeDevice(PDEVICE_OBJECT Device);
std::string DescribeDriver(PDRIVER_OBJECT Driver);
// Devices the driver owns that are not deleted.
std::vector<PDEVICE_OBJECT> LiveDevicesOf(PDRIVER_OBJECT Driver);
// After DriverEntry or AddDevice: every device the routine created (those
// not in Before) must have cleared DO_DEVICE_INITIALIZING.
void CheckInitializingCleared(PDRIVER_OBJECT Driver, const std::vector<PDEVICE_OBJECT>& Before, const char* Creator);
// A device object owned by the stand-in (the test bus's PDOs); not a leak.
PDEVICE_OBJECT CreateInternalDevice(PDRIVER_OBJECT Driver, const std::u16string& Name);
PDRIVER_OBJECT CreateInternalDriver(const std::u16string& Name, PDRIVER_DISPATCH Dispatch);

// Files: opening by name sends IRP_MJ_CREATE; ViaGetPointer marks the
// opens of IoGetDeviceObjectPointer, whose clients must keep a reference
// while they send requests into the stack.
NTSTATUS OpenFile(const std::u16string& Path, bool ViaGetPointer, PFILE_OBJECT* File);
NTSTATUS CleanupFile(PFILE_OBJECT File);
bool FileLive(PFILE_OBJECT File);
PDEVICE_OBJECT RelatedDevice(PFILE_OBJECT File); // top of the file's stack

// ---- remove locks (io_removelock): memory that is going away.
// MemoryStays: a file object still holds the device, so its locks stay
// tracked (a removed lock keeps refusing acquisitions).
void RemoveLocksGoingAway(const void* Begin, size_t Length, const std::string& What, bool MemoryStays = false);

// ---- message helpers
std::string Hex(const void* P);
std::string StatusText(NTSTATUS Status);
const char* MajorName(UCHAR Major);
std::u16string Widen(const std::string& Ascii);
std::string Narrow(const std::u16string& Text);
std::u16string FromUnicodeString(PCUNICODE_STRING Text);

// ---- resets and leak checks, in the order io_device's registrar runs them.
void ResetAsync();
void ResetBus();
void ResetUserHandles();
void ResetIrps();
void ResetDevices();
void ResetRemoveLocks();
std::string IrpLeaks();
std::string DeviceLeaks();
std::string RemoveLockLeaks();
std::string AsyncLeaks();

} // namespace hkio
