// The driver frame on the stand-in: load and unload, add-device and its
// failures, start, the requests passed down or completed, and removal.
#include "driver_fixture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

constexpr UCHAR PnpQueryDeviceState = 0x14; // IRP_MN_QUERY_PNP_DEVICE_STATE

struct IrpOutcome {
    NTSTATUS Status;
    ULONG_PTR Information;
};

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a request with no buffers straight to Device (not to the top of its
// stack), the way another driver would, and takes it back when it is done.
IrpOutcome SendIrp(PDEVICE_OBJECT Device, UCHAR Major, UCHAR Minor = 0)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(Device->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0x5A5A;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = Major;
    next->MinorFunction = Minor;
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(Device, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    const IrpOutcome outcome{irp->IoStatus.Status, irp->IoStatus.Information};
    IoFreeIrp(irp);
    return outcome;
}

// A control request sent to Device itself rather than through a handle.
HkIoResult DeviceControl(PDEVICE_OBJECT Device, ULONG Code, std::vector<uint8_t> Input, ULONG OutputLength)
{
    std::vector<uint8_t> output(OutputLength);
    KEVENT done;
    IO_STATUS_BLOCK status{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(Code, Device, Input.empty() ? nullptr : Input.data(),
                                             static_cast<ULONG>(Input.size()),
                                             output.empty() ? nullptr : output.data(), OutputLength, FALSE, &done,
                                             &status);
    NTSTATUS result = IoCallDriver(Device, irp);
    if (result == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        result = status.Status;
    }
    output.resize(NT_SUCCESS(result) ? status.Information : 0);
    return {result, status.Information, output};
}

template <class Condition>
bool WaitUntil(Condition Done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!Done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

size_t CountBusRequests(PDEVICE_OBJECT Pdo, UCHAR Major, UCHAR Minor)
{
    const auto requests = HkBusRequests(Pdo);
    return static_cast<size_t>(std::count(requests.begin(), requests.end(), HkBusRequest{Major, Minor}));
}

HkBusOptions Bus(HkBusCompletion Start, HkBusCompletion Others = HkBusCompletion::Synchronous)
{
    HkBusOptions options;
    options.Start = Start;
    options.Others = Others;
    return options;
}

PDEVICE_OBJECT ControlDevice()
{
    return HkFindDevice("\\Device\\pelvon");
}

// The touch record the control device reaches through its own.
PDEVICE_EXTENSION ControlTarget()
{
    return static_cast<PDEVICE_EXTENSION>(ControlDevice()->DeviceExtension)->ControlTarget;
}

} // namespace

class FrameTest : public DriverTest {
protected:
    // Adds over a fresh bus PDO without starting; sets Fdo on success.
    NTSTATUS AddOnly(const HkBusOptions& Bus = {})
    {
        Pdo = HkCreateBusPdo(Bus);
        const NTSTATUS status = HkAddDevice(Driver, Pdo);
        if (NT_SUCCESS(status)) {
            Fdo = HkTopOfStack(Pdo);
            Extension = static_cast<PDEVICE_EXTENSION>(Fdo->DeviceExtension);
        }
        return status;
    }

    // Nothing of a failed add-device may remain: no device, name, link,
    // registry handle or pool block besides the saved path.
    void ExpectNothingLeftOfAdd()
    {
        EXPECT_TRUE(HkDevicesOf(Driver).empty());
        EXPECT_EQ(ControlDevice(), nullptr);
        EXPECT_EQ(HkSymbolicLinkTarget("\\DosDevices\\pelvon"), "");
        EXPECT_EQ(HkTopOfStack(Pdo), Pdo);
        EXPECT_EQ(HkRegOpenHandleCount(), 0u);
        EXPECT_EQ(HkPoolOutstanding().Blocks, 1u);
    }

    // Opens COM1, touches once and expects the touch-down report.
    void ExpectTouchReachesClass(PeerSerialPort& Port)
    {
        ASSERT_EQ(OpenPort("COM1", 9600).Status, STATUS_SUCCESS);
        Port.Deliver(PeerTouchPacket(2000, 1000));
        const auto reports = Reports();
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0].Data.Flags, MOUSE_MOVE_ABSOLUTE);
        EXPECT_EQ(reports[0].Data.ButtonFlags, MOUSE_LEFT_BUTTON_DOWN);
    }
};

// ---------------------------------------------------------------- load and unload

TEST_F(FrameTest, EntrySavesRegistryPathWithRoomForNul)
{
    for (const bool withoutNulRoom : {false, true}) {
        SCOPED_TRACE(withoutNulRoom ? "path without room for a NUL" : "path with room for a NUL");
        NTSTATUS entry = STATUS_UNSUCCESSFUL;
        Driver = HkLoadDriver(DriverEntry, ServiceKey, {.PathWithoutNulRoom = withoutNulRoom, .EntryStatus = &entry});
        ASSERT_NE(Driver, nullptr);
        EXPECT_EQ(entry, STATUS_SUCCESS);
        const USHORT length = static_cast<USHORT>(std::strlen(ServiceKey) * 2);
        EXPECT_EQ(SavedRegistryPath.Length, length);
        EXPECT_EQ(SavedRegistryPath.MaximumLength, length + 2);
        ASSERT_NE(SavedRegistryPath.Buffer, nullptr);
        EXPECT_EQ(SavedRegistryPath.Buffer[length / 2], 0);
        EXPECT_EQ(HkNarrow(SavedRegistryPath), ServiceKey);
        EXPECT_EQ(HkPoolBlockTag(SavedRegistryPath.Buffer), HkTagDdk);
        EXPECT_EQ(HkPoolBlockType(SavedRegistryPath.Buffer), NonPagedPool);
        HkPoolCheckIntegrity();

        EXPECT_EQ(HkUnloadDriver(Driver), "");
        EXPECT_EQ(SavedRegistryPath.Buffer, nullptr);
        EXPECT_EQ(HkPoolOutstanding().Blocks, 0u);
        Driver = nullptr;
        EXPECT_EQ(HkVerifierReport(), "");
        HkReset();
    }
}

TEST_F(FrameTest, PathWithoutNulRoomStillReachesParameters)
{
    HkRegSetDword(ParametersKey, "ButtonMode", 3);
    Driver = HkLoadDriver(DriverEntry, ServiceKey, {.PathWithoutNulRoom = true});
    ASSERT_NE(Driver, nullptr);
    AddAndStart();
    EXPECT_EQ(Extension->TouchSettings.ButtonMode, 3);
}

TEST_F(FrameTest, EntryInstallsOnlyItsOwnHandlers)
{
    Load();
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_DEVICE_CONTROL,
                        IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_POWER, IRP_MJ_SYSTEM_CONTROL, IRP_MJ_PNP}) {
        EXPECT_NE(Driver->MajorFunction[major], Driver->MajorFunction[IRP_MJ_READ]) << int(major);
    }
    EXPECT_EQ(Driver->MajorFunction[IRP_MJ_CREATE], Driver->MajorFunction[IRP_MJ_CLOSE]);
    EXPECT_NE(Driver->DriverUnload, nullptr);
    EXPECT_NE(Driver->DriverExtension->AddDevice, nullptr);

    // Reads and writes keep the system's default answer.
    AddAndStart();
    HANDLE handle = OpenControl();
    EXPECT_EQ(HkRead(handle, 1).Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(HkWrite(handle, {0x41}).Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(HkClose(handle), STATUS_SUCCESS);
}

TEST_F(FrameTest, LoadSurvivesFailedPathCopyAndKeepsDefaults)
{
    HkRegSetDword(ParametersKey, "ButtonMode", 3);
    HkRegSetDword(ParametersKey, "BaudRate", 9600);
    HkFailAllocationsFrom("ExAllocatePoolWithTag");
    NTSTATUS entry = STATUS_UNSUCCESSFUL;
    Driver = HkLoadDriver(DriverEntry, ServiceKey, {.EntryStatus = &entry});
    HkClearFaultPlan();
    ASSERT_NE(Driver, nullptr);
    EXPECT_EQ(entry, STATUS_SUCCESS);
    EXPECT_EQ(SavedRegistryPath.Buffer, nullptr);
    EXPECT_EQ(SavedRegistryPath.Length, 0);
    EXPECT_EQ(SavedRegistryPath.MaximumLength, 0);

    AddAndStart();
    EXPECT_EQ(Extension->TouchSettings.ButtonMode, 1);
    EXPECT_EQ(Extension->TouchSettings.BaudRate, 0u);
    EXPECT_EQ(Control(IOCTL_TOUCH_SET_BUTTON_MODE, {2}).Status, STATUS_SUCCESS);
    EXPECT_EQ(Extension->TouchSettings.ButtonMode, 2);
}

// ---------------------------------------------------------------- add-device

// The control device keeps a record of its own, which outlives the touch
// device's, and reaches the FDO's record through it.
TEST_F(FrameTest, ControlDeviceReachesTheFdosRecord)
{
    Load();
    AddAndStart();
    PDEVICE_OBJECT control = ControlDevice();
    ASSERT_NE(control, nullptr);
    EXPECT_NE(control, Fdo);
    EXPECT_NE(control->DeviceExtension, Fdo->DeviceExtension);
    EXPECT_EQ(ControlTarget(), Extension);
    EXPECT_EQ(Extension->ControlDevice, control);
    EXPECT_EQ(Extension->Self, Fdo);
    EXPECT_EQ(Extension->TopOfStack, Pdo);
    EXPECT_EQ(HkLowerDevice(Fdo), Pdo);
    EXPECT_EQ(HkSymbolicLinkTarget("\\DosDevices\\pelvon"), "\\Device\\pelvon");
    EXPECT_EQ(HkDevicesOf(Driver).size(), 2u);

    EXPECT_EQ(control->DeviceType, FILE_DEVICE_UNKNOWN);
    EXPECT_EQ(Fdo->DeviceType, FILE_DEVICE_UNKNOWN);
    EXPECT_EQ(Fdo->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE), ULONG(DO_BUFFERED_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(Fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(control->Flags & DO_DEVICE_INITIALIZING, 0u);

    EXPECT_EQ(Extension->MouseAttributes.MouseIdentifier, MOUSE_SERIAL_HARDWARE);
    EXPECT_EQ(Extension->MouseAttributes.NumberOfButtons, 2);
    EXPECT_EQ(Extension->MouseAttributes.SampleRate, 40);
    EXPECT_EQ(Extension->MouseAttributes.InputDataQueueLength, 0u);
    EXPECT_EQ(Extension->SpeakerTimerDueTime.QuadPart, -1000000);
    EXPECT_EQ(Extension->SerialDevice, nullptr);
    EXPECT_EQ(Extension->ReadIrp, nullptr);

    // A request on the control device acts on the FDO's settings, and one
    // sent to the FDO is served there, never passed down.
    EXPECT_EQ(Control(IOCTL_TOUCH_SET_BUTTON_MODE, {2}).Status, STATUS_SUCCESS);
    EXPECT_EQ(Extension->TouchSettings.ButtonMode, 2);
    EXPECT_EQ(DeviceControl(Fdo, IOCTL_TOUCH_SET_LTRB, {7}, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Extension->TouchSettings.Ltrb, 7);
    EXPECT_EQ(DeviceControl(Fdo, IOCTL_TOUCH_GET_DRIVER_INFO, {}, 4).Output, (std::vector<uint8_t>{2, 1, 5, 0}));
    EXPECT_EQ(CountBusRequests(Pdo, IRP_MJ_DEVICE_CONTROL, 0), 0u);
}

TEST_F(FrameTest, FdoWorksWhenControlDeviceCannotBeCreated)
{
    AddPort("COM1", 0);
    Load();
    Pdo = HkCreateBusPdo();
    HkFailNthAllocation(1); // the control device is created first
    ASSERT_EQ(HkAddDevice(Driver, Pdo), STATUS_SUCCESS);
    Fdo = HkTopOfStack(Pdo);
    Extension = static_cast<PDEVICE_EXTENSION>(Fdo->DeviceExtension);
    EXPECT_EQ(Extension->ControlDevice, nullptr);
    EXPECT_EQ(ControlDevice(), nullptr);
    EXPECT_EQ(HkSymbolicLinkTarget("\\DosDevices\\pelvon"), "");
    HANDLE handle = nullptr;
    EXPECT_EQ(HkOpen("\\\\.\\pelvon", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(HkDevicesOf(Driver), std::vector<PDEVICE_OBJECT>{Fdo});

    ASSERT_EQ(HkSendPnp(Fdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ConnectMouse();
    const std::vector<uint8_t> openCom1{4, 'C', 'O', 'M', '1', 0x80, 0x25, 0, 0};
    ASSERT_EQ(DeviceControl(Fdo, IOCTL_TOUCH_OPEN_PORT, openCom1, 0).Status, STATUS_SUCCESS);
    Ports[0]->Deliver(PeerTouchPacket(100, 100));
    EXPECT_EQ(Reports().size(), 1u);
}

TEST_F(FrameTest, SecondDeviceRunsWithoutControlDevice)
{
    Load();
    AddAndStart();
    PDEVICE_OBJECT firstFdo = Fdo;
    PDEVICE_EXTENSION first = Extension;

    PDEVICE_OBJECT secondPdo = HkCreateBusPdo();
    ASSERT_EQ(HkAddDevice(Driver, secondPdo), STATUS_SUCCESS);
    PDEVICE_OBJECT secondFdo = HkTopOfStack(secondPdo);
    ASSERT_NE(secondFdo, firstFdo);
    auto* second = static_cast<PDEVICE_EXTENSION>(secondFdo->DeviceExtension);
    EXPECT_EQ(second->ControlDevice, nullptr);
    EXPECT_EQ(ControlTarget(), first);
    ASSERT_EQ(HkSendPnp(secondFdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);

    // Removing the second device leaves the first one's control device alone.
    EXPECT_EQ(HkSendRemove(secondFdo), STATUS_SUCCESS);
    EXPECT_FALSE(HkDeviceLive(secondFdo));
    ASSERT_NE(ControlDevice(), nullptr);
    EXPECT_EQ(Control(IOCTL_TOUCH_SET_BUTTON_MODE, {4}).Status, STATUS_SUCCESS);
    EXPECT_EQ(first->TouchSettings.ButtonMode, 4);
}

TEST_F(FrameTest, SymbolicLinkFailureFailsAddWithoutLeftovers)
{
    Load();
    HkFailAllocationsFrom("IoCreateSymbolicLink");
    EXPECT_EQ(AddOnly(), STATUS_INSUFFICIENT_RESOURCES);
    HkClearFaultPlan();
    EXPECT_EQ(Fdo, nullptr);
    ExpectNothingLeftOfAdd();

    // The name is free again for the next attempt.
    EXPECT_EQ(AddOnly(), STATUS_SUCCESS);
    EXPECT_NE(ControlDevice(), nullptr);
    EXPECT_EQ(HkSendPnp(Fdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
}

TEST_F(FrameTest, FdoCreationFailureFailsAddWithoutLeftovers)
{
    Load();
    // Control device and link are made, then the FDO fails.
    Pdo = HkCreateBusPdo();
    HkFailNthAllocation(3);
    EXPECT_EQ(HkAddDevice(Driver, Pdo), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(HkFailedAllocationCount(), 1u);
    ExpectNothingLeftOfAdd();

    // Both creations failing.
    HkFailAllocationsFrom("IoCreateDevice");
    EXPECT_EQ(HkAddDevice(Driver, Pdo), STATUS_INSUFFICIENT_RESOURCES);
    HkClearFaultPlan();
    ExpectNothingLeftOfAdd();
}

TEST_F(FrameTest, AttachFailureDeletesEverythingItMade)
{
    AddPort("COM1", 0);
    Load();
    Pdo = HkCreateBusPdo();
    // The platform refuses to attach onto a device still being initialised.
    Pdo->Flags |= DO_DEVICE_INITIALIZING;
    EXPECT_EQ(HkAddDevice(Driver, Pdo), STATUS_DEVICE_REMOVED);
    Pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    ExpectNothingLeftOfAdd();
    HANDLE handle = nullptr;
    EXPECT_EQ(HkOpen("\\\\.\\pelvon", &handle), STATUS_OBJECT_NAME_NOT_FOUND);

    AddAndStart();
    ConnectMouse();
    ExpectTouchReachesClass(*Ports[0]);
}

// Every allocation the add-device makes, failed in turn: the add either
// succeeds with a working device or fails leaving nothing behind.
TEST_F(FrameTest, AddDeviceSurvivesEachAllocationFailing)
{
    RemoveAtEnd = false;
    for (size_t n = 1;; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
        HkRegSetDword(ParametersKey, "ButtonMode", 2);
        Load();
        Pdo = HkCreateBusPdo();
        HkFailNthAllocation(n);
        const NTSTATUS status = HkAddDevice(Driver, Pdo);
        const bool anyFailed = HkFailedAllocationCount() != 0;
        HkClearFaultPlan();
        if (NT_SUCCESS(status)) {
            Fdo = HkTopOfStack(Pdo);
            EXPECT_EQ(HkSendPnp(Fdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
            PeerMouseClass mouse;
            EXPECT_EQ(mouse.Connect(Fdo), STATUS_SUCCESS);
            EXPECT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);
            EXPECT_TRUE(HkDevicesOf(Driver).empty());
        } else {
            ExpectNothingLeftOfAdd();
        }
        EXPECT_EQ(HkUnloadDriver(Driver), "");
        EXPECT_EQ(HkVerifierReport(), "");
        HkReset();
        Driver = nullptr;
        Fdo = nullptr;
        if (!anyFailed || n > 32) {
            break;
        }
    }
}

// ---------------------------------------------------------------- start

TEST_F(FrameTest, StartCompletedByTheBusInEveryWay)
{
    for (const HkBusCompletion way : {HkBusCompletion::Synchronous, HkBusCompletion::OtherThread}) {
        SCOPED_TRACE(way == HkBusCompletion::Synchronous ? "synchronous" : "other thread");
        Load();
        ASSERT_EQ(AddOnly(Bus(way)), STATUS_SUCCESS);
        EXPECT_EQ(HkSendPnp(Fdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(CountBusRequests(Pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE), 1u);
        HkWaitAsyncIdle();
        EXPECT_EQ(HkRemoveLockHolds(&Extension->RemoveLock), 0u);
        EXPECT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);
        EXPECT_EQ(HkUnloadDriver(Driver), "");
        EXPECT_EQ(HkVerifierReport(), "");
        HkReset();
    }
    Driver = nullptr;
}

TEST_F(FrameTest, StartHeldByTheBusWaitsForItsCompletion)
{
    Load();
    ASSERT_EQ(AddOnly(Bus(HkBusCompletion::Held)), STATUS_SUCCESS);
    std::atomic<bool> returned{false};
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    HkRunAsync(
        [&] {
            status = HkSendPnp(Fdo, IRP_MN_START_DEVICE);
            returned = true;
        },
        PASSIVE_LEVEL);
    ASSERT_TRUE(WaitUntil([&] { return HkBusHeldCount(Pdo) == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(returned);
    EXPECT_EQ(HkRemoveLockHolds(&Extension->RemoveLock), 1u);

    EXPECT_EQ(HkBusCompleteHeld(Pdo), 1u);
    HkWaitAsyncIdle();
    EXPECT_TRUE(returned);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(HkRemoveLockHolds(&Extension->RemoveLock), 0u);
}

TEST_F(FrameTest, FailedStartReturnsTheLowerStatus)
{
    for (const HkBusCompletion way :
         {HkBusCompletion::Synchronous, HkBusCompletion::OtherThread, HkBusCompletion::Held}) {
        SCOPED_TRACE(int(way));
        Load();
        ASSERT_EQ(AddOnly(Bus(way)), STATUS_SUCCESS);
        HkBusFailRequest(Pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_INSUFFICIENT_RESOURCES);
        std::atomic<NTSTATUS> status{STATUS_PENDING};
        HkRunAsync([&] { status = HkSendPnp(Fdo, IRP_MN_START_DEVICE); }, PASSIVE_LEVEL);
        if (way == HkBusCompletion::Held) {
            ASSERT_TRUE(WaitUntil([&] { return HkBusHeldCount(Pdo) == 1; }));
            HkBusCompleteHeld(Pdo);
        }
        HkWaitAsyncIdle();
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(HkRemoveLockHolds(&Extension->RemoveLock), 0u);
        EXPECT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);
        EXPECT_EQ(HkUnloadDriver(Driver), "");
        EXPECT_EQ(HkVerifierReport(), "");
        HkReset();
    }
    Driver = nullptr;
}

// ---------------------------------------------------------------- requests completed or passed down

TEST_F(FrameTest, CreateAndCloseSucceedOnBothDevices)
{
    Load();
    AddAndStart();
    for (PDEVICE_OBJECT device : {ControlDevice(), Fdo}) {
        for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE}) {
            const IrpOutcome outcome = SendIrp(device, major);
            EXPECT_EQ(outcome.Status, STATUS_SUCCESS);
            EXPECT_EQ(outcome.Information, 0u);
        }
    }
    HANDLE handle = nullptr;
    ASSERT_EQ(HkOpen("\\\\.\\pelvon", &handle), STATUS_SUCCESS);
    EXPECT_EQ(HkClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(CountBusRequests(Pdo, IRP_MJ_CREATE, 0), 0u);
    EXPECT_EQ(CountBusRequests(Pdo, IRP_MJ_CLOSE, 0), 0u);
}

TEST_F(FrameTest, FlushGoesDownFromFdoAndStopsAtControlDevice)
{
    Load();
    AddAndStart(Bus(HkBusCompletion::Synchronous, HkBusCompletion::OtherThread));
    EXPECT_EQ(HkSendFlush(Fdo), STATUS_SUCCESS);
    EXPECT_EQ(CountBusRequests(Pdo, IRP_MJ_FLUSH_BUFFERS, 0), 1u);
    HkBusFailRequest(Pdo, IRP_MJ_FLUSH_BUFFERS, 0, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(HkSendFlush(Fdo), STATUS_NO_SUCH_DEVICE);

    EXPECT_EQ(HkSendFlush(ControlDevice()), STATUS_SUCCESS);
    EXPECT_EQ(SendIrp(ControlDevice(), IRP_MJ_FLUSH_BUFFERS).Information, 0u);
    EXPECT_EQ(CountBusRequests(Pdo, IRP_MJ_FLUSH_BUFFERS, 0), 2u);
    HkWaitAsyncIdle();
    EXPECT_EQ(HkRemoveLockHolds(&Extension->RemoveLock), 0u);
}

TEST_F(FrameTest, PowerGoesDownFromFdoWhateverItsMinor)
{
    Load();
    AddAndStart();
    EXPECT_EQ(HkSendPower(Fdo, IRP_MN_QUERY_POWER), STATUS_SUCCESS);
    EXPECT_EQ(HkSendPower(Fdo, IRP_MN_SET_POWER), STATUS_SUCCESS);
    // Whatever the bus answers comes back unchanged.
    const struct {
        UCHAR Minor;
        NTSTATUS BusStatus;
    } cases[] = {
        {IRP_MN_WAIT_WAKE, STATUS_CANCELLED},
        {IRP_MN_POWER_SEQUENCE, STATUS_INVALID_DEVICE_REQUEST},
        {IRP_MN_SET_POWER, STATUS_UNSUCCESSFUL},
        {IRP_MN_QUERY_POWER, STATUS_DEVICE_NOT_CONNECTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.Minor));
        HkBusFailRequest(Pdo, IRP_MJ_POWER, c.Minor, c.BusStatus);
        const size_t seen = CountBusRequests(Pdo, IRP_MJ_POWER, c.Minor);
        EXPECT_EQ(HkSendPower(Fdo, c.Minor, 1, 4), c.BusStatus);
        EXPECT_EQ(CountBusRequests(Pdo, IRP_MJ_POWER, c.Minor), seen + 1);
        // The control device is in no stack: it answers with what the request carries.
        EXPECT_EQ(HkSendPower(ControlDevice(), c.Minor), STATUS_NOT_SUPPORTED);
        EXPECT_EQ(CountBusRequests(Pdo, IRP_MJ_POWER, c.Minor), seen + 1);
    }
}

TEST_F(FrameTest, PowerPendedByTheBus)
{
    Load();
    AddAndStart(Bus(HkBusCompletion::Synchronous, HkBusCompletion::OtherThread));
    EXPECT_EQ(HkSendPower(Fdo, IRP_MN_SET_POWER), STATUS_SUCCESS);
    EXPECT_EQ(HkSendPower(Fdo, IRP_MN_QUERY_POWER), STATUS_SUCCESS);
}

TEST_F(FrameTest, SystemControlGoesDownFromFdoOnly)
{
    Load();
    AddAndStart();
    HkBusFailRequest(Pdo, IRP_MJ_SYSTEM_CONTROL, 0, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(HkSendSystemControl(Fdo), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(CountBusRequests(Pdo, IRP_MJ_SYSTEM_CONTROL, 0), 1u);
    EXPECT_EQ(HkSendSystemControl(ControlDevice()), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(CountBusRequests(Pdo, IRP_MJ_SYSTEM_CONTROL, 0), 1u);
}

TEST_F(FrameTest, OtherPnpRequestsGoDownUnchanged)
{
    Load();
    AddAndStart();
    // Each minor gets its own answer from the bus, which must come back as it is.
    const struct {
        UCHAR Minor;
        NTSTATUS BusStatus;
    } cases[] = {
        {IRP_MN_QUERY_CAPABILITIES, STATUS_INSUFFICIENT_RESOURCES},
        {IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_NOT_IMPLEMENTED},
        {PnpQueryDeviceState, STATUS_INVALID_PARAMETER},
        {IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL},
        {IRP_MN_CANCEL_STOP_DEVICE, STATUS_NO_SUCH_DEVICE},
        {IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_ACCESS_DENIED},
        {0x7F, STATUS_SUCCESS}, // a minor no one knows
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.Minor));
        HkBusFailRequest(Pdo, IRP_MJ_PNP, c.Minor, c.BusStatus);
        EXPECT_EQ(HkSendPnp(Fdo, c.Minor), c.BusStatus);
        EXPECT_EQ(CountBusRequests(Pdo, IRP_MJ_PNP, c.Minor), 1u);
        EXPECT_EQ(HkSendPnp(ControlDevice(), c.Minor), STATUS_NOT_SUPPORTED);
        EXPECT_EQ(CountBusRequests(Pdo, IRP_MJ_PNP, c.Minor), 1u);
        EXPECT_EQ(HkRemoveLockHolds(&Extension->RemoveLock), 0u);
    }
    // Stopped and started again, the device still serves its class driver.
    EXPECT_EQ(HkSendPnp(Fdo, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(HkSendPnp(Fdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    ConnectMouse();
}

// ---------------------------------------------------------------- removal

TEST_F(FrameTest, RemovalWithoutPortDeletesBothDevices)
{
    Load();
    AddAndStart();
    ConnectMouse();
    EXPECT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);
    EXPECT_EQ(HkBusRequests(Pdo).back(), (HkBusRequest{IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE}));
    EXPECT_FALSE(HkDeviceLive(Fdo));
    EXPECT_EQ(HkTopOfStack(Pdo), Pdo);
    EXPECT_TRUE(HkDevicesOf(Driver).empty());
    EXPECT_EQ(ControlDevice(), nullptr);
    EXPECT_EQ(HkSymbolicLinkTarget("\\DosDevices\\pelvon"), "");
}

// A configuration tool that kept its handle across the removal reaches the
// control device's own, empty record: it must be turned away, not served.
// What adding the device and opening a port ask of the pool is small and
// tagged as the driver's: the port lookup's result (256 characters) and the
// registry's query table (13 entries) are the largest blocks.
TEST_F(FrameTest, AddingAndOpeningAskOnlyForSmallBlocks)
{
    AddPort("COM1", 0);
    Load();
    AddAndStart();
    ASSERT_EQ(OpenPort("COM1", 19200).Status, STATUS_SUCCESS);
    const HkPoolRequest largest = HkPoolLargestRequest();
    EXPECT_LE(largest.Bytes, std::max(PORT_NAME_CHARACTERS * sizeof(WCHAR), 13 * sizeof(RTL_QUERY_REGISTRY_TABLE)))
        << largest.Where;
    EXPECT_EQ(largest.Tag, HkTagDdk) << largest.Where;
}

TEST_F(FrameTest, HandleKeptAcrossRemovalIsTurnedAway)
{
    Load();
    AddAndStart();
    HANDLE handle = OpenControl();
    EXPECT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);
    for (ULONG code : {IOCTL_TOUCH_OPEN_PORT, IOCTL_TOUCH_SET_BUTTON_MODE, IOCTL_TOUCH_GET_DRIVER_INFO}) {
        const HkIoResult result = HkDeviceIoControl(handle, code, {1}, 4);
        EXPECT_EQ(result.Status, STATUS_DELETE_PENDING) << std::hex << code;
        EXPECT_EQ(result.Information, 0u);
    }
    EXPECT_EQ(HkClose(handle), STATUS_SUCCESS);
}

TEST_F(FrameTest, RemovalWithOpenPortStopsEverything)
{
    PeerSerialPort& port = AddPort("COM1", 0);
    Load();
    AddAndStart();
    ConnectMouse();
    ASSERT_EQ(Control(IOCTL_TOUCH_SET_BEEP_ENABLE, {1}).Status, STATUS_SUCCESS);
    ExpectTouchReachesClass(port);
    ASSERT_TRUE(port.ReadPending());
    ASSERT_EQ(HkPendingTimerCount(), 1u);
    ASSERT_EQ(HkPortValue(0x61) & 3, 3); // the click sounds

    EXPECT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(port.ReadPending());
    EXPECT_EQ(HkPendingTimerCount(), 0u);
    EXPECT_EQ(HkPortValue(0x61) & 3, 0);
    EXPECT_EQ(HkLiveIrpCount(), 0u);
    EXPECT_FALSE(HkDeviceLive(Fdo));

    // The line goes on talking to nobody.
    port.Deliver(PeerTouchPacket(10, 10));
    HkAdvanceClock(2000000);
    EXPECT_EQ(Reports().size(), 1u);
}

TEST_F(FrameTest, SurpriseRemovalStopsIoThenRemovalDeletes)
{
    PeerSerialPort& port = AddPort("COM1", 0);
    Load();
    AddAndStart();
    ConnectMouse();
    ExpectTouchReachesClass(port);

    EXPECT_EQ(HkSendPnp(Fdo, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(HkPendingTimerCount(), 0u);
    EXPECT_TRUE(HkDeviceLive(Fdo));
    EXPECT_EQ(HkLowerDevice(Fdo), Pdo);
    EXPECT_EQ(HkRemoveLockHolds(&Extension->RemoveLock), 0u);
    // The device is gone: the configuration tool cannot bring the port back.
    EXPECT_EQ(OpenPort("COM1", 9600).Status, STATUS_DELETE_PENDING);
    EXPECT_FALSE(port.IsOpen());

    EXPECT_EQ(HkSendPnp(Fdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(HkDeviceLive(Fdo));
    EXPECT_TRUE(HkDevicesOf(Driver).empty());
}

TEST_F(FrameTest, ManagerSurpriseRemovalSequence)
{
    PeerSerialPort& port = AddPort("COM1", 0);
    Load();
    AddAndStart();
    ConnectMouse();
    ExpectTouchReachesClass(port);
    EXPECT_EQ(HkSendRemove(Fdo, true), STATUS_SUCCESS);
    EXPECT_EQ(CountBusRequests(Pdo, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL), 1u);
    EXPECT_EQ(CountBusRequests(Pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE), 1u);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(HkDeviceLive(Fdo));
}

TEST_F(FrameTest, AddAgainAfterRemovalWorksEndToEnd)
{
    HkRegSetDword(ParametersKey, "ButtonMode", 1);
    PeerSerialPort& port = AddPort("COM1", 0);
    Load();
    AddAndStart();
    ConnectMouse();
    ExpectTouchReachesClass(port);
    ASSERT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);

    AddAndStart();
    EXPECT_NE(ControlDevice(), nullptr);
    EXPECT_EQ(ControlTarget(), Extension);
    ConnectMouse();
    ExpectTouchReachesClass(port);
    EXPECT_EQ(port.OpenCount(), 2u);
}

// The remove lock refuses requests once removal has begun. A start held by
// the bus keeps the lock, so removal waits for it with the lock closed.
TEST_F(FrameTest, RequestsAfterRemovalBeganAreRefused)
{
    PeerSerialPort& port = AddPort("COM1", 0);
    Load();
    ASSERT_EQ(AddOnly(Bus(HkBusCompletion::Held)), STATUS_SUCCESS);
    std::atomic<NTSTATUS> startStatus{STATUS_PENDING};
    std::atomic<NTSTATUS> removeStatus{STATUS_PENDING};
    HkRunAsync([&] { startStatus = HkSendPnp(Fdo, IRP_MN_START_DEVICE); }, PASSIVE_LEVEL);
    ASSERT_TRUE(WaitUntil([&] { return HkBusHeldCount(Pdo) == 1; }));
    HkRunAsync([&] { removeStatus = HkSendRemove(Fdo); }, PASSIVE_LEVEL);
    ASSERT_TRUE(WaitUntil([&] { return HkSendFlush(Fdo) == STATUS_DELETE_PENDING; }));

    const size_t busRequests = HkBusRequests(Pdo).size();
    const IrpOutcome flush = SendIrp(Fdo, IRP_MJ_FLUSH_BUFFERS);
    EXPECT_EQ(flush.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(flush.Information, 0u);
    const IrpOutcome pnp = SendIrp(Fdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);
    EXPECT_EQ(pnp.Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(pnp.Information, 0u);
    PeerMouseClass mouse;
    EXPECT_EQ(mouse.Connect(Fdo), STATUS_DELETE_PENDING);
    EXPECT_EQ(Extension->ConnectData.ClassService, nullptr);
    // A port asked for now must not outlive the device.
    EXPECT_EQ(OpenPort("COM1", 9600).Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(HkBusRequests(Pdo).size(), busRequests);

    EXPECT_EQ(HkBusCompleteHeld(Pdo), 1u);
    HkWaitAsyncIdle();
    EXPECT_EQ(startStatus, STATUS_SUCCESS);
    EXPECT_EQ(removeStatus, STATUS_SUCCESS);
    EXPECT_FALSE(HkDeviceLive(Fdo));
    EXPECT_FALSE(port.IsOpen());
}
