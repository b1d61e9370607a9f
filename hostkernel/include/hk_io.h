// Test-facing API of the I/O side of the stand-in: loading drivers, the
// Plug and Play manager with its test bus, requests from user mode, remove
// lock tracking and worker threads. See hostkernel.h for the rest.
#pragma once

#include <ntddk.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// ---- drivers
struct HkLoadOptions {
    // The platform does not promise room for a NUL after the registry path:
    // when set, the path DriverEntry receives has MaximumLength == Length.
    bool PathWithoutNulRoom = false;
    // Receives DriverEntry's status.
    NTSTATUS* EntryStatus = nullptr;
};
// Creates the driver object (every MajorFunction slot completing with
// STATUS_INVALID_DEVICE_REQUEST, a DRIVER_EXTENSION, the names taken from
// the service key) and calls Entry at PASSIVE_LEVEL with RegistryPath, e.g.
// "\Registry\Machine\System\CurrentControlSet\Services\pelvon". The path's
// buffer is poisoned and freed when Entry returns. Returns NULL when Entry
// fails.
PDRIVER_OBJECT HkLoadDriver(PDRIVER_INITIALIZE Entry, const char* RegistryPath, const HkLoadOptions& Options = {});
// Calls DriverUnload at PASSIVE_LEVEL, then checks that no timer or DPC is
// pending in the driver object or in a device the driver left behind.
// Returns "" when the driver unloaded cleanly, otherwise what kept it: no
// unload routine, or the device objects that remain.
std::string HkUnloadDriver(PDRIVER_OBJECT Driver);

// A model of another driver (the serial port, the mouse class driver): its
// driver object, devices and the links to them are the scenario's furniture
// and stay out of the leak check. File objects on them still count.
void HkDeclarePeerDriver(PDRIVER_OBJECT Driver);

// ---- devices and names
// The device a name reaches ("\Device\x", "\DosDevices\x", "\\.\x"), NULL
// when none does.
PDEVICE_OBJECT HkFindDevice(const char* Name);
// The top of the stack Device belongs to (IoGetAttachedDevice).
PDEVICE_OBJECT HkTopOfStack(PDEVICE_OBJECT Device);
// The device Device is attached to, NULL at the bottom.
PDEVICE_OBJECT HkLowerDevice(PDEVICE_OBJECT Device);
// Device objects of the driver that are not deleted.
std::vector<PDEVICE_OBJECT> HkDevicesOf(PDRIVER_OBJECT Driver);
// Whether Device is a device object that has not been deleted.
bool HkDeviceLive(PDEVICE_OBJECT Device);
// Target of a symbolic link ("\DosDevices\x"), "" when there is none.
std::string HkSymbolicLinkTarget(const char* Link);
// File objects open on the device (DEVICE_OBJECT.ReferenceCount).
LONG HkOpenCount(PDEVICE_OBJECT Device);

// ---- requests
// IRPs allocated and not yet freed (by the driver or the I/O manager).
size_t HkLiveIrpCount();
bool HkIrpLive(PIRP Irp);
// An IRP the driver keeps for the life of its device (the read request):
// the leak check leaves it out while no driver holds it.
void HkDeclareLongLivedIrp(PIRP Irp);

// ---- Plug and Play and power
enum class HkBusCompletion {
    Synchronous, // completed inside the dispatch routine
    OtherThread, // pended, completed at once from another thread at DISPATCH_LEVEL
    Held,        // pended until HkBusCompleteHeld
};
struct HkBusOptions {
    HkBusCompletion Start = HkBusCompletion::Synchronous;  // IRP_MN_START_DEVICE
    HkBusCompletion Others = HkBusCompletion::Synchronous; // every other request
    // Requests other than Plug and Play, power and system control: fills
    // the IRP (Information, buffers) and returns the status to complete
    // with. Unset: create, close, cleanup and flush succeed, the rest fail
    // with STATUS_INVALID_DEVICE_REQUEST.
    std::function<NTSTATUS(PIRP Irp)> Handler;
};
// A PDO of the stand-in's test bus: it completes start, stop, removal and
// query requests with STATUS_SUCCESS, power requests with STATUS_SUCCESS
// after PoStartNextPowerIrp, and leaves every other Plug and Play request
// with the status it carries.
PDEVICE_OBJECT HkCreateBusPdo(const HkBusOptions& Options = {});
// From now on the bus completes (Major, Minor) with Status (for requests
// without a minor code, Minor 0).
void HkBusFailRequest(PDEVICE_OBJECT Pdo, UCHAR Major, UCHAR Minor, NTSTATUS Status);
struct HkBusRequest {
    UCHAR Major;
    UCHAR Minor;
    bool operator==(const HkBusRequest&) const = default;
};
// Every request the PDO received, in order.
std::vector<HkBusRequest> HkBusRequests(PDEVICE_OBJECT Pdo);
size_t HkBusHeldCount(PDEVICE_OBJECT Pdo);
// Completes the held requests, from another thread or from the calling
// one raised to DISPATCH_LEVEL. Returns how many.
size_t HkBusCompleteHeld(PDEVICE_OBJECT Pdo, bool OtherThread = true);
// Stress mode: the bus (and the peers) pend every request they can and
// complete it from another thread.
void HkSetForcePending(bool On);
bool HkForcePending();

// Calls the driver's AddDevice at PASSIVE_LEVEL and checks that the devices
// it created cleared DO_DEVICE_INITIALIZING.
NTSTATUS HkAddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo);
// Each builds a request with a location for every device of the stack,
// sends it to the top of Device's stack at PASSIVE_LEVEL, waits for its
// completion (from any thread) and returns the final status. Plug and
// Play, power and system-control requests start with STATUS_NOT_SUPPORTED.
NTSTATUS HkSendPnp(PDEVICE_OBJECT Device, UCHAR Minor);
// Type and State as in Parameters.Power: Type 1 = DevicePowerState,
// State 1 = PowerDeviceD0.
NTSTATUS HkSendPower(PDEVICE_OBJECT Device, UCHAR Minor, ULONG Type = 1, ULONG State = 1);
NTSTATUS HkSendSystemControl(PDEVICE_OBJECT Device, UCHAR Minor = 0);
NTSTATUS HkSendFlush(PDEVICE_OBJECT Device);
// Removal as the Plug and Play manager does it: QUERY_REMOVE_DEVICE then
// REMOVE_DEVICE (CANCEL_REMOVE_DEVICE instead when the query fails, whose
// status is returned), or with Surprise SURPRISE_REMOVAL then REMOVE_DEVICE.
NTSTATUS HkSendRemove(PDEVICE_OBJECT Device, bool Surprise = false);

// ---- user mode. Requests run at PASSIVE_LEVEL on the calling thread and
// wait for a pended completion.
struct HkIoResult {
    NTSTATUS Status;
    ULONG_PTR Information;
    std::vector<uint8_t> Output; // the bytes the caller gets back
};
// Name: "\\.\x", "\DosDevices\x" or "\Device\x", optionally followed by a
// path that the device receives as the file object's FileName ("\Device\x\y"
// -> "\y"). Sends IRP_MJ_CREATE; on success *Handle is set.
NTSTATUS HkOpen(const char* Name, HANDLE* Handle);
// IRP_MJ_CLEANUP, then IRP_MJ_CLOSE once no reference to the file remains.
// Like CloseHandle it succeeds whatever the driver answers (a driver
// without a cleanup handler is normal); STATUS_INVALID_HANDLE otherwise.
NTSTATUS HkClose(HANDLE Handle);
PFILE_OBJECT HkFileObjectOf(HANDLE Handle);
// METHOD_BUFFERED: a system buffer of max(in, out) bytes holding the input;
// Information bytes are copied back unless the status is an error.
// METHOD_IN/OUT_DIRECT: input in the system buffer, output in place at
// UserBuffer (no MDL). METHOD_NEITHER: Type3InputBuffer and UserBuffer.
HkIoResult HkDeviceIoControl(HANDLE Handle, ULONG Code, const std::vector<uint8_t>& Input, ULONG OutputLength);
HkIoResult HkRead(HANDLE Handle, ULONG Length, int64_t Offset = 0);
HkIoResult HkWrite(HANDLE Handle, const std::vector<uint8_t>& Data, int64_t Offset = 0);
HkIoResult HkQueryInformation(HANDLE Handle, ULONG InformationClass, ULONG Length);

// ---- remove locks (tag tracking always on)
// Acquisitions of the lock not yet released.
size_t HkRemoveLockHolds(PIO_REMOVE_LOCK Lock);
// Stops with the remove-lock rule when any lock is held: the test declares
// the driver idle.
void HkCheckRemoveLocksIdle();

// ---- worker threads: "another processor". Work runs on a new thread at
// Irql; a verifier stop there is recorded (HkVerifierReport) instead of
// ending the process.
void HkRunAsync(std::function<void()> Work, KIRQL Irql = DISPATCH_LEVEL);
// Waits for every worker, including those started by workers.
void HkWaitAsyncIdle();
