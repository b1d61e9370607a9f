// A small WDM function driver written the way the platform wants, run
// through the stand-in from load to unload: added over a test bus PDO,
// started with a synchronous forward, powered, asked for control requests
// from user mode (answered locally, after a DPC, or by the bus below with
// completions on the same or on another thread), removed and unloaded, with
// the verifier clean. Then the same driver with one bug at a time.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "io_test_support.h"

using namespace iotest;

namespace {

const ULONG IOCTL_TDRV_LOCAL = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG IOCTL_TDRV_FORWARD = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG IOCTL_TDRV_AFTER_DPC = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG IOCTL_TDRV_ASK_LOWER = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x903, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG IOCTL_TDRV_PING_LOWER = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x904, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Answered by the bus below: each input byte inverted.
const ULONG IOCTL_BUS_ECHO = CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x10, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG Tag = 0x76726474; // "tdrv"

// Bugs the misuse tests switch on, one at a time.
struct {
    bool ForgetPendingInForward = false;
    bool KeepLockInForward = false;
    bool CallPowerWithIoCallDriver = false;
} Bugs;

typedef struct _TDRV_EXTENSION {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    IO_REMOVE_LOCK RemoveLock;
    BOOLEAN Started;
    KTIMER Timer;
    KDPC Dpc;
    PIRP Parked;
} TDRV_EXTENSION, *PTDRV_EXTENSION;

UNICODE_STRING SavedPath;
WCHAR DeviceNameText[] = L"\\Device\\tdrv";
WCHAR LinkNameText[] = L"\\DosDevices\\tdrv";

PTDRV_EXTENSION Extension(PDEVICE_OBJECT Device)
{
    return static_cast<PTDRV_EXTENSION>(Device->DeviceExtension);
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Completion routine of a synchronous forward. Any IRQL up to DISPATCH_LEVEL.
NTSTATUS NTAPI ForwardedBack(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits for it to come back. PASSIVE_LEVEL.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT Lower, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, ForwardedBack, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Lower, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = Irp->IoStatus.Status;
    }
    return status;
}

// IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE. PASSIVE_LEVEL.
NTSTATUS NTAPI TdrvCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    return CompleteRequest(Irp, STATUS_SUCCESS, 0);
}

// IRP_MJ_PNP. PASSIVE_LEVEL.
NTSTATUS NTAPI TdrvPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PTDRV_EXTENSION extension = Extension(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, 0);
    }
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = ForwardAndWait(extension->Lower, Irp);
        extension->Started = NT_SUCCESS(status);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        IoReleaseRemoveLock(&extension->RemoveLock, Irp);
        return status;
    case IRP_MN_REMOVE_DEVICE: {
        IoReleaseRemoveLockAndWait(&extension->RemoveLock, Irp);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(Irp);
        PDEVICE_OBJECT lower = extension->Lower;
        status = IoCallDriver(lower, Irp);
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, LinkNameText);
        IoDeleteSymbolicLink(&link);
        IoDetachDevice(lower);
        IoDeleteDevice(DeviceObject);
        return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
        extension->Started = FALSE;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(extension->Lower, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

// IRP_MJ_POWER. PASSIVE_LEVEL (DO_POWER_PAGABLE).
NTSTATUS NTAPI TdrvPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PTDRV_EXTENSION extension = Extension(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    PoStartNextPowerIrp(Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, 0);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    status = Bugs.CallPowerWithIoCallDriver ? IoCallDriver(extension->Lower, Irp) : PoCallDriver(extension->Lower, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

// IRP_MJ_SYSTEM_CONTROL and IRP_MJ_FLUSH_BUFFERS: passed down. PASSIVE_LEVEL.
NTSTATUS NTAPI TdrvPassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PTDRV_EXTENSION extension = Extension(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, 0);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(extension->Lower, Irp);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

// Completion routine of a forwarded control request, on whatever thread the
// bus completes it, at up to DISPATCH_LEVEL.
NTSTATUS NTAPI ForwardDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PTDRV_EXTENSION extension = static_cast<PTDRV_EXTENSION>(Context);
    if (Irp->PendingReturned && !Bugs.ForgetPendingInForward) {
        IoMarkIrpPending(Irp);
    }
    if (!Bugs.KeepLockInForward) {
        IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    }
    return STATUS_SUCCESS;
}

// The DPC that finishes a parked request. DISPATCH_LEVEL.
VOID NTAPI FinishParked(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2)
{
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    PTDRV_EXTENSION extension = static_cast<PTDRV_EXTENSION>(Context);
    PIRP irp = extension->Parked;
    extension->Parked = nullptr;
    static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer)[0] = 0xD0;
    CompleteRequest(irp, STATUS_SUCCESS, 1);
    IoReleaseRemoveLock(&extension->RemoveLock, irp);
}

// Asks the bus with a request of the driver's own: the documented
// IoBuildDeviceIoControlRequest pattern. PASSIVE_LEVEL.
NTSTATUS AskLower(PTDRV_EXTENSION Extension, PUCHAR Buffer, ULONG InputLength, ULONG OutputLength, PULONG Returned)
{
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    UCHAR output[16];
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_BUS_ECHO, Extension->Lower, Buffer, InputLength, output,
                                             sizeof(output), FALSE, &event, &iosb);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = IoCallDriver(Extension->Lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
    }
    if (NT_SUCCESS(status)) {
        *Returned = static_cast<ULONG>(iosb.Information < OutputLength ? iosb.Information : OutputLength);
        RtlCopyMemory(Buffer, output, *Returned);
    }
    return status;
}

// Three pings with one request allocated and reused, the read pump's way.
// PASSIVE_LEVEL.
NTSTATUS PingLower(PTDRV_EXTENSION Extension)
{
    PIRP irp = IoAllocateIrp(Extension->Lower->StackSize, FALSE);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = STATUS_SUCCESS;
    for (int i = 0; i < 3 && NT_SUCCESS(status); ++i) {
        KEVENT event;
        KeInitializeEvent(&event, SynchronizationEvent, FALSE);
        IoReuseIrp(irp, STATUS_SUCCESS);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_BUS_ECHO;
        IoSetCompletionRoutine(irp, ForwardedBack, &event, TRUE, TRUE, TRUE);
        status = IoCallDriver(Extension->Lower, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = irp->IoStatus.Status;
        }
    }
    IoFreeIrp(irp);
    return status;
}

// IRP_MJ_DEVICE_CONTROL. PASSIVE_LEVEL.
NTSTATUS NTAPI TdrvControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PTDRV_EXTENSION extension = Extension(DeviceObject);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    const ULONG inputLength = location->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = location->Parameters.DeviceIoControl.OutputBufferLength;
    PUCHAR buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
    NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        return CompleteRequest(Irp, status, 0);
    }
    ULONG returned = 0;
    switch (location->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_TDRV_LOCAL:
        if (outputLength < 2) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        buffer[0] = 0x4C;
        buffer[1] = extension->Started;
        returned = 2;
        break;
    case IOCTL_TDRV_FORWARD:
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoGetNextIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode = IOCTL_BUS_ECHO;
        IoSetCompletionRoutine(Irp, ForwardDone, extension, TRUE, TRUE, TRUE);
        return IoCallDriver(extension->Lower, Irp); // the routine releases the lock
    case IOCTL_TDRV_AFTER_DPC: {
        if (outputLength < 1) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        IoMarkIrpPending(Irp);
        extension->Parked = Irp;
        LARGE_INTEGER due;
        due.QuadPart = -10 * 10000; // 10 ms
        KeSetTimer(&extension->Timer, due, &extension->Dpc);
        return STATUS_PENDING; // the DPC completes it and releases the lock
    }
    // Waits while holding the remove lock: the caller's process must not be
    // able to suspend the thread in between.
    case IOCTL_TDRV_ASK_LOWER:
        KeEnterCriticalRegion();
        status = AskLower(extension, buffer, inputLength, outputLength, &returned);
        KeLeaveCriticalRegion();
        break;
    case IOCTL_TDRV_PING_LOWER:
        KeEnterCriticalRegion();
        status = PingLower(extension);
        KeLeaveCriticalRegion();
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    CompleteRequest(Irp, status, returned);
    IoReleaseRemoveLock(&extension->RemoveLock, Irp);
    return status;
}

// AddDevice. PASSIVE_LEVEL.
NTSTATUS NTAPI TdrvAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    UNICODE_STRING name;
    UNICODE_STRING link;
    RtlInitUnicodeString(&name, DeviceNameText);
    RtlInitUnicodeString(&link, LinkNameText);
    PDEVICE_OBJECT fdo;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(TDRV_EXTENSION), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(fdo);
        return status;
    }
    PTDRV_EXTENSION extension = Extension(fdo);
    extension->Self = fdo;
    IoInitializeRemoveLock(&extension->RemoveLock, Tag, 0, 10);
    KeInitializeTimer(&extension->Timer);
    KeInitializeDpc(&extension->Dpc, FinishParked, extension);
    extension->Lower = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (extension->Lower == nullptr) {
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(fdo);
        return STATUS_DEVICE_REMOVED;
    }
    fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// DriverUnload. PASSIVE_LEVEL.
VOID NTAPI TdrvUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    if (SavedPath.Buffer != nullptr) {
        ExFreePoolWithTag(SavedPath.Buffer, Tag);
        SavedPath.Buffer = nullptr;
    }
}

// DriverEntry. PASSIVE_LEVEL.
NTSTATUS NTAPI TdrvEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    // The path is only valid during this call.
    SavedPath.Length = RegistryPath->Length;
    SavedPath.MaximumLength = static_cast<USHORT>(RegistryPath->Length + sizeof(WCHAR));
    SavedPath.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, SavedPath.MaximumLength, Tag));
    if (SavedPath.Buffer != nullptr) {
        RtlZeroMemory(SavedPath.Buffer, SavedPath.MaximumLength);
        RtlCopyMemory(SavedPath.Buffer, RegistryPath->Buffer, RegistryPath->Length);
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = TdrvCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = TdrvCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = TdrvCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TdrvControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = TdrvPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = TdrvPower;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = TdrvPassDown;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = TdrvPassDown;
    DriverObject->DriverExtension->AddDevice = TdrvAddDevice;
    DriverObject->DriverUnload = TdrvUnload;
    return STATUS_SUCCESS;
}

// ---- the harness

using Bytes = std::vector<uint8_t>;

NTSTATUS BusAnswers(PIRP Irp)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    switch (location->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL: {
        if (location->Parameters.DeviceIoControl.IoControlCode != IOCTL_BUS_ECHO) {
            Irp->IoStatus.Information = 0;
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        const ULONG length = location->Parameters.DeviceIoControl.InputBufferLength;
        if (length > location->Parameters.DeviceIoControl.OutputBufferLength) {
            Irp->IoStatus.Information = 0;
            return STATUS_BUFFER_TOO_SMALL;
        }
        auto* buffer = static_cast<uint8_t*>(Irp->AssociatedIrp.SystemBuffer);
        for (ULONG i = 0; i < length; ++i) {
            buffer[i] = static_cast<uint8_t>(~buffer[i]);
        }
        Irp->IoStatus.Information = length;
        return STATUS_SUCCESS;
    }
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        Irp->IoStatus.Information = 0;
        return STATUS_SUCCESS;
    default:
        return STATUS_SUCCESS;
    }
}

enum class Mode { SameThread, OtherThread, ForcePending };

class TestDriver : public IoTest {
protected:
    void SetUp() override
    {
        IoTest::SetUp();
        Bugs = {};
        SavedPath = {};
    }
    void LoadAndAdd(Mode How)
    {
        HkSetForcePending(How == Mode::ForcePending);
        HkBusOptions options;
        options.Handler = BusAnswers;
        if (How == Mode::OtherThread) {
            options.Start = HkBusCompletion::OtherThread;
            options.Others = HkBusCompletion::OtherThread;
        }
        driver = HkLoadDriver(TdrvEntry, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tdrv");
        ASSERT_NE(driver, nullptr);
        pdo = HkCreateBusPdo(options);
        ASSERT_EQ(HkAddDevice(driver, pdo), STATUS_SUCCESS);
        ASSERT_EQ(HkDevicesOf(driver).size(), 1u);
        fdo = HkDevicesOf(driver)[0];
        ASSERT_EQ(HkTopOfStack(pdo), fdo);
    }
    HkIoResult Control(ULONG Code, const Bytes& Input = {}, ULONG OutputLength = 0)
    {
        return HkDeviceIoControl(handle, Code, Input, OutputLength);
    }
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    HANDLE handle = nullptr;
};

class TestDriverModes : public TestDriver, public ::testing::WithParamInterface<Mode> {};

TEST_P(TestDriverModes, RunsFromLoadToUnloadWithTheVerifierClean)
{
    LoadAndAdd(GetParam());
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(SavedPath.Buffer)),
              u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tdrv");

    ASSERT_EQ(HkSendPnp(fdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(Extension(fdo)->Started);
    EXPECT_EQ(HkSendPower(fdo, IRP_MN_QUERY_POWER), STATUS_SUCCESS);
    EXPECT_EQ(HkSendPower(fdo, IRP_MN_SET_POWER), STATUS_SUCCESS);
    EXPECT_EQ(HkSendSystemControl(fdo), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(HkSendFlush(fdo), STATUS_SUCCESS);
    EXPECT_EQ(HkSendPnp(fdo, IRP_MN_QUERY_DEVICE_RELATIONS), STATUS_NOT_SUPPORTED);

    ASSERT_EQ(HkOpen("\\\\.\\tdrv", &handle), STATUS_SUCCESS);
    EXPECT_EQ(Control(IOCTL_TDRV_LOCAL, {}, 4).Output, (Bytes{0x4C, 1}));
    EXPECT_EQ(Control(IOCTL_TDRV_LOCAL, {}, 1).Status, STATUS_BUFFER_TOO_SMALL);
    HkIoResult forwarded = Control(IOCTL_TDRV_FORWARD, {0x0F, 0xF0, 0x55}, 4);
    EXPECT_EQ(forwarded.Status, STATUS_SUCCESS);
    EXPECT_EQ(forwarded.Output, (Bytes{0xF0, 0x0F, 0xAA}));
    EXPECT_EQ(Control(IOCTL_TDRV_FORWARD, {1, 2, 3}, 2).Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Control(IOCTL_TDRV_ASK_LOWER, {0x01}, 1).Output, (Bytes{0xFE}));
    EXPECT_EQ(Control(IOCTL_TDRV_PING_LOWER).Status, STATUS_SUCCESS);
    EXPECT_EQ(Control(0x22FFFC).Status, STATUS_INVALID_DEVICE_REQUEST);

    // Completed by a DPC on the virtual clock while the caller waits.
    std::atomic<bool> done{false};
    HkIoResult afterDpc{};
    HkRunAsync(
        [&] {
            afterDpc = Control(IOCTL_TDRV_AFTER_DPC, {}, 1);
            done = true;
        },
        PASSIVE_LEVEL);
    while (HkPendingTimerCount() == 0) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(done);
    HkAdvanceClock(10 * 10000);
    HkWaitAsyncIdle();
    EXPECT_EQ(afterDpc.Output, (Bytes{0xD0}));

    EXPECT_EQ(HkClose(handle), STATUS_SUCCESS);
    HkWaitAsyncIdle();
    HkCheckRemoveLocksIdle();
    EXPECT_EQ(HkSendRemove(fdo), STATUS_SUCCESS);
    EXPECT_FALSE(HkDeviceLive(fdo));
    EXPECT_EQ(HkTopOfStack(pdo), pdo);
    EXPECT_EQ(HkUnloadDriver(driver), "");
    HkWaitAsyncIdle();
    EXPECT_EQ(HkVerifierReport(), "");
}

INSTANTIATE_TEST_SUITE_P(Completions, TestDriverModes,
                         ::testing::Values(Mode::SameThread, Mode::OtherThread, Mode::ForcePending));

TEST_F(TestDriver, StartWaitsForTheBusAndSurpriseRemovalTearsDown)
{
    HkBusOptions options;
    options.Start = HkBusCompletion::Held;
    driver = HkLoadDriver(TdrvEntry, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tdrv");
    pdo = HkCreateBusPdo(options);
    ASSERT_EQ(HkAddDevice(driver, pdo), STATUS_SUCCESS);
    fdo = HkDevicesOf(driver)[0];
    std::atomic<NTSTATUS> started{STATUS_PENDING};
    HkRunAsync([&] { started = HkSendPnp(fdo, IRP_MN_START_DEVICE); }, PASSIVE_LEVEL);
    while (HkBusHeldCount(pdo) == 0) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(Extension(fdo)->Started); // the driver waits for the bus first
    HkBusCompleteHeld(pdo);
    HkWaitAsyncIdle();
    EXPECT_EQ(started, STATUS_SUCCESS);
    EXPECT_TRUE(Extension(fdo)->Started);

    EXPECT_EQ(HkSendRemove(fdo, true), STATUS_SUCCESS);
    EXPECT_FALSE(HkDeviceLive(fdo));
    EXPECT_EQ(HkUnloadDriver(driver), "");
    EXPECT_EQ(HkVerifierReport(), "");
}

TEST_F(TestDriver, AFailedAttachLeavesNothingBehind)
{
    driver = HkLoadDriver(TdrvEntry, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tdrv");
    PDEVICE_OBJECT busy = HkCreateBusPdo();
    busy->Flags |= DO_DEVICE_INITIALIZING; // still initialising: the attach returns NULL
    EXPECT_EQ(HkAddDevice(driver, busy), STATUS_DEVICE_REMOVED);
    EXPECT_TRUE(HkDevicesOf(driver).empty());
    EXPECT_EQ(HkSymbolicLinkTarget("\\DosDevices\\tdrv"), "");
    EXPECT_EQ(HkUnloadDriver(driver), "");
    EXPECT_EQ(HkVerifierReport(), "");
}

// ---- the same driver with one bug each

TEST_F(TestDriver, ForgettingToPropagatePendingIsCaughtWhenTheBusCompletesLater)
{
    Bugs.ForgetPendingInForward = true;
    LoadAndAdd(Mode::OtherThread);
    ASSERT_EQ(HkSendPnp(fdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(HkOpen("\\\\.\\tdrv", &handle), STATUS_SUCCESS);
    // The stop happens on the bus's thread, inside the completion; the caller,
    // never woken, is stopped by the wait watchdog.
    HkSetWaitWatchdog(0.5);
    HkRunAsync([&] { Control(IOCTL_TDRV_FORWARD, {1}, 1); }, PASSIVE_LEVEL);
    HkWaitAsyncIdle();
    const std::vector<HkVerifierFailure> stops = HkVerifierFailures();
    ASSERT_FALSE(stops.empty());
    EXPECT_EQ(stops[0].Misuse, HkStop::IoManagerViolation::CompletionDroppedPending) << stops[0].what();
}

TEST_F(TestDriver, ALeakedRemoveLockIsCaughtWhenTheDriverIsDeclaredIdle)
{
    Bugs.KeepLockInForward = true;
    LoadAndAdd(Mode::SameThread);
    ASSERT_EQ(HkOpen("\\\\.\\tdrv", &handle), STATUS_SUCCESS);
    Control(IOCTL_TDRV_FORWARD, {1}, 1);
    HkClose(handle);
    ExpectStop(HkStop::DetectedViolation::RemoveLockHeldWhenIdle, [] { HkCheckRemoveLocksIdle(); });
}

TEST_F(TestDriver, PassingPowerWithIoCallDriverIsCaught)
{
    Bugs.CallPowerWithIoCallDriver = true;
    LoadAndAdd(Mode::SameThread);
    ExpectStop(HkStop::IoManagerViolation::PowerViaIoCallDriver, [&] { HkSendPower(fdo, IRP_MN_SET_POWER); });
}

} // namespace
