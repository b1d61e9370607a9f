// Driver objects, device objects, names and links, stacks, and file objects
// opened with IoGetDeviceObjectPointer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "io_test_support.h"
#include "stop_rule.h"

using namespace iotest;

namespace {

const char* const ServicePath = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\probe";

struct EntrySeen {
    USHORT Length = 0;
    USHORT MaximumLength = 0;
    std::u16string Text;
    bool NulAfter = false;
    KIRQL Irql = HIGH_LEVEL;
};
EntrySeen Seen;
bool LeaveInitializing = false;

NTSTATUS NTAPI ProbeEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath)
{
    Seen.Length = RegistryPath->Length;
    Seen.MaximumLength = RegistryPath->MaximumLength;
    Seen.Text.assign(reinterpret_cast<const char16_t*>(RegistryPath->Buffer), RegistryPath->Length / 2);
    Seen.NulAfter = RegistryPath->MaximumLength >= RegistryPath->Length + 2 &&
                    RegistryPath->Buffer[RegistryPath->Length / 2] == 0;
    Seen.Irql = KeGetCurrentIrql();
    Driver->DriverUnload = ScriptedUnload; // every dispatch slot keeps the default
    PDEVICE_OBJECT device;
    EXPECT_EQ(IoCreateDevice(Driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    if (!LeaveInitializing) {
        device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FailingEntry(PDRIVER_OBJECT, PUNICODE_STRING)
{
    return STATUS_INSUFFICIENT_RESOURCES;
}

UNICODE_STRING Text(std::u16string& Storage, const char* Ascii)
{
    Storage = HkWide(Ascii);
    return HkUnicodeString(Storage);
}

class IoDevice : public IoTest {
protected:
    void SetUp() override
    {
        IoTest::SetUp();
        LeaveInitializing = false;
        driver = LoadScripted();
    }
    PDEVICE_OBJECT Create(const char* Name, ULONG ExtensionSize = 0, BOOLEAN Exclusive = FALSE,
                          NTSTATUS Expected = STATUS_SUCCESS)
    {
        std::u16string storage;
        UNICODE_STRING name = Text(storage, Name != nullptr ? Name : "");
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(driver, ExtensionSize, Name != nullptr ? &name : nullptr, FILE_DEVICE_SERIAL_PORT, 0,
                                 Exclusive, &device),
                  Expected);
        return device;
    }
    NTSTATUS Link(const char* Link, const char* Target)
    {
        std::u16string a, b;
        UNICODE_STRING link = Text(a, Link), target = Text(b, Target);
        return IoCreateSymbolicLink(&link, &target);
    }
    PDRIVER_OBJECT driver = nullptr;
};

TEST_F(IoDevice, DriverEntryGetsTheServiceKeyAtPassiveLevelAndDefaultDispatchSlots)
{
    PDRIVER_OBJECT probe = HkLoadDriver(ProbeEntry, ServicePath);
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(Seen.Text, HkWide(ServicePath));
    EXPECT_EQ(Seen.MaximumLength, Seen.Length + 2);
    EXPECT_TRUE(Seen.NulAfter);
    EXPECT_EQ(Seen.Irql, PASSIVE_LEVEL);
    EXPECT_EQ(HkNarrow(probe->DriverName), "\\Driver\\probe");
    EXPECT_EQ(HkNarrow(probe->DriverExtension->ServiceKeyName), "probe");
    EXPECT_EQ(probe->DriverExtension->DriverObject, probe);

    // A slot the driver did not fill completes with STATUS_INVALID_DEVICE_REQUEST.
    ASSERT_EQ(HkDevicesOf(probe).size(), 1u);
    EXPECT_EQ(HkSendFlush(HkDevicesOf(probe)[0]), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(HkSendPnp(HkDevicesOf(probe)[0], IRP_MN_START_DEVICE), STATUS_INVALID_DEVICE_REQUEST);

    IoDeleteDevice(HkDevicesOf(probe)[0]);
    EXPECT_EQ(HkUnloadDriver(probe), "");
    EXPECT_EQ(HkDevicesOf(probe).size(), 0u);

    HkLoadOptions tight;
    tight.PathWithoutNulRoom = true;
    PDRIVER_OBJECT second = HkLoadDriver(ProbeEntry, ServicePath, tight);
    EXPECT_EQ(Seen.MaximumLength, Seen.Length);
    IoDeleteDevice(HkDevicesOf(second)[0]);
    EXPECT_EQ(HkUnloadDriver(second), "");

    NTSTATUS status = STATUS_SUCCESS;
    HkLoadOptions reporting;
    reporting.EntryStatus = &status;
    EXPECT_EQ(HkLoadDriver(FailingEntry, ServicePath, reporting), nullptr);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(IoDevice, CreatesZeroedDevicesAndKeepsNamesAndLinksUnique)
{
    PDEVICE_OBJECT port = Create("\\Device\\Serial0", 64, TRUE);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->Flags, ULONG(DO_DEVICE_INITIALIZING | DO_EXCLUSIVE | DO_DEVICE_HAS_NAME));
    EXPECT_EQ(port->StackSize, 1);
    EXPECT_EQ(port->DriverObject, driver);
    EXPECT_EQ(port->DeviceType, ULONG(FILE_DEVICE_SERIAL_PORT));
    const auto* extension = static_cast<const unsigned char*>(port->DeviceExtension);
    EXPECT_TRUE(std::all_of(extension, extension + 64, [](unsigned char b) { return b == 0; }));
    PDEVICE_OBJECT plain = Create(nullptr);
    EXPECT_EQ(plain->DeviceExtension, nullptr);
    EXPECT_EQ(driver->DeviceObject, plain); // the newest first
    EXPECT_EQ(plain->NextDevice, port);

    EXPECT_EQ(Create("\\Device\\SERIAL0", 0, FALSE, STATUS_OBJECT_NAME_COLLISION), nullptr);
    EXPECT_EQ(Link("\\DosDevices\\COM1", "\\Device\\Serial0"), STATUS_SUCCESS);
    EXPECT_EQ(Link("\\DosDevices\\com1", "\\Device\\Serial7"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(HkSymbolicLinkTarget("\\DosDevices\\COM1"), "\\Device\\Serial0");
    EXPECT_EQ(HkFindDevice("\\\\.\\COM1"), port);
    EXPECT_EQ(HkFindDevice("\\??\\com1"), port);
    EXPECT_EQ(HkFindDevice("\\Device\\Serial1"), nullptr);

    std::u16string storage;
    UNICODE_STRING link = Text(storage, "\\DosDevices\\COM1");
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);

    // A deleted name is free again.
    port->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    IoDeleteDevice(port);
    EXPECT_NE(Create("\\Device\\Serial0"), nullptr);

    HkFailAllocationsFrom("IoCreateDevice");
    Create("\\Device\\Serial9", 0, FALSE, STATUS_INSUFFICIENT_RESOURCES);
    HkClearFaultPlan();
    HkFailAllocationsFrom("IoCreateSymbolicLink");
    EXPECT_EQ(Link("\\DosDevices\\COM9", "\\Device\\Serial9"), STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(IoDevice, AttachesAboveTheCurrentTopUnlessItIsStillInitialising)
{
    PDEVICE_OBJECT pdo = NewDevice(driver);
    PDEVICE_OBJECT filter = NewDevice(driver);
    PDEVICE_OBJECT fdo = NewDevice(driver);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, pdo), pdo);
    EXPECT_EQ(filter->StackSize, 2);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(fdo, pdo), filter); // the top, not the target
    EXPECT_EQ(fdo->StackSize, 3);
    EXPECT_EQ(HkTopOfStack(pdo), fdo);
    EXPECT_EQ(HkLowerDevice(fdo), filter);

    PDEVICE_OBJECT fresh = Create(nullptr);
    PDEVICE_OBJECT above = NewDevice(driver);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(above, fresh), nullptr);
    EXPECT_EQ(fresh->AttachedDevice, nullptr);

    IoDetachDevice(filter);
    EXPECT_EQ(filter->AttachedDevice, nullptr);
    EXPECT_EQ(HkLowerDevice(fdo), nullptr);
    IoDeleteDevice(fdo);
    EXPECT_FALSE(HkDeviceLive(fdo));
}

TEST_F(IoDevice, GetDeviceObjectPointerOpensTheStackAndTheLastDereferenceCloses)
{
    std::vector<UCHAR> seen;
    PDEVICE_OBJECT port = NewDevice(driver, {}, "\\Device\\Serial0");
    PDEVICE_OBJECT filter = NewDevice(driver, [&](PDEVICE_OBJECT, PIRP Irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
        seen.push_back(location->MajorFunction);
        EXPECT_NE(location->FileObject, nullptr);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        return Complete(Irp, STATUS_SUCCESS);
    });
    IoAttachDeviceToDeviceStack(filter, port);

    std::u16string storage;
    UNICODE_STRING name = Text(storage, "\\Device\\Serial0");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device), STATUS_SUCCESS);
    EXPECT_EQ(device, filter); // the top of the stack
    EXPECT_EQ(file->DeviceObject, port);
    EXPECT_EQ(seen, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP}));
    EXPECT_EQ(HkOpenCount(port), 1);

    ObfReferenceObject(file);
    ObfDereferenceObject(file);
    EXPECT_EQ(seen.size(), 2u);
    ObfDereferenceObject(file);
    EXPECT_EQ(seen, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(HkOpenCount(port), 0);

    // Above APC_LEVEL the close is left to a worker.
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device), STATUS_SUCCESS);
    const KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    ObfDereferenceObject(file);
    KfLowerIrql(old);
    HkWaitAsyncIdle();
    EXPECT_EQ(seen.back(), IRP_MJ_CLOSE);
    EXPECT_EQ(StopsAndRequests(), "");
    EXPECT_EQ(HkLeftBehind().find("file object"), std::string::npos);
}

TEST_F(IoDevice, FailedOpensLeaveTheOutputsAlone)
{
    int creates = 0;
    PDEVICE_OBJECT port = NewDevice(driver, {}, "\\Device\\Serial0");
    port->Flags |= DO_EXCLUSIVE;
    SetHandler(port, [&](PDEVICE_OBJECT, PIRP Irp) {
        const UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
        creates += major == IRP_MJ_CREATE;
        return Complete(Irp, major == IRP_MJ_CREATE && creates == 1 ? STATUS_ACCESS_DENIED : STATUS_SUCCESS);
    });
    std::u16string a, b;
    UNICODE_STRING name = Text(a, "\\Device\\Serial0"), missing = Text(b, "\\Device\\Serial5");
    PFILE_OBJECT file = reinterpret_cast<PFILE_OBJECT>(0x1234);
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(0x5678);
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device), STATUS_ACCESS_DENIED);
    EXPECT_EQ(IoGetDeviceObjectPointer(&missing, FILE_ALL_ACCESS, &file, &device), STATUS_OBJECT_NAME_NOT_FOUND);
    HkFailAllocationsFrom("IoGetDeviceObjectPointer");
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device), STATUS_INSUFFICIENT_RESOURCES);
    HkClearFaultPlan();
    EXPECT_EQ(file, reinterpret_cast<PFILE_OBJECT>(0x1234));
    EXPECT_EQ(device, reinterpret_cast<PDEVICE_OBJECT>(0x5678));
    EXPECT_EQ(HkOpenCount(port), 0);

    // An exclusive device open once is refused by the I/O manager itself.
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device), STATUS_SUCCESS);
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device), STATUS_ACCESS_DENIED);
    EXPECT_EQ(creates, 2);
    ObfDereferenceObject(file);
}

TEST_F(IoDevice, DeletedDevicesAreGoneAndTheirExtensionPoisoned)
{
    PDEVICE_OBJECT device = Create("\\Device\\Gone", 16);
    auto* extension = static_cast<unsigned char*>(device->DeviceExtension);
    IoDeleteDevice(device);
    EXPECT_EQ(extension[0], 0xDD);
    EXPECT_EQ(HkFindDevice("\\Device\\Gone"), nullptr);
    EXPECT_EQ(driver->DeviceObject, nullptr);
}

TEST_F(IoDevice, UnloadReportsDevicesLeftAndChecksTheirTimers)
{
    PDEVICE_OBJECT device = NewDevice(driver, {}, nullptr, sizeof(KTIMER));
    EXPECT_NE(HkUnloadDriver(driver).find("remains"), std::string::npos);

    driver = LoadScripted();
    device = NewDevice(driver, {}, nullptr, sizeof(KTIMER));
    auto* timer = static_cast<PKTIMER>(device->DeviceExtension);
    KeInitializeTimer(timer);
    LARGE_INTEGER due;
    due.QuadPart = -1000000;
    KeSetTimer(timer, due, nullptr);
    ExpectStop(HkStop::TimerOrDpcInvalid::FreedWithTimerPending, [&] { HkUnloadDriver(driver); });

    driver = LoadScripted();
    device = NewDevice(driver, {}, nullptr, sizeof(KTIMER));
    timer = static_cast<PKTIMER>(device->DeviceExtension);
    KeInitializeTimer(timer);
    KeSetTimer(timer, due, nullptr);
    ExpectStop(HkStop::TimerOrDpcInvalid::FreedWithTimerPending, [&] { IoDeleteDevice(device); });
}

// A driver's DPC routine may let its device go as its last touch and return
// after the device is deleted; only writes into the memory after that stop.
struct DpcInExtension {
    KTIMER Timer;
    KDPC Dpc;
    LONG Field;
};
std::atomic<int> DpcStage{0};
bool WritesAfterDelete = false;

VOID NTAPI RoutineOutlivingItsDevice(PKDPC, PVOID Context, PVOID, PVOID)
{
    DpcStage = 1;
    while (DpcStage != 2) {
        std::this_thread::yield();
    }
    if (WritesAfterDelete) {
        static_cast<DpcInExtension*>(Context)->Field = 1;
    }
}

TEST_F(IoDevice, DeletedUnderItsRunningDpcStopsOnlyARoutineWritingIntoIt)
{
    for (bool writes : {false, true}) {
        WritesAfterDelete = writes;
        DpcStage = 0;
        PDEVICE_OBJECT device = NewDevice(driver, {}, nullptr, sizeof(DpcInExtension));
        auto* record = static_cast<DpcInExtension*>(device->DeviceExtension);
        KeInitializeTimer(&record->Timer);
        KeInitializeDpc(&record->Dpc, RoutineOutlivingItsDevice, record);
        LARGE_INTEGER due;
        due.QuadPart = -1000;
        KeSetTimer(&record->Timer, due, &record->Dpc);
        HkRule::Misuse stop = NoStop;
        std::thread processor([&] { stop = StopRule([] { HkAdvanceClock(1000); }); });
        while (DpcStage != 1) {
            std::this_thread::yield();
        }
        IoDeleteDevice(device);
        DpcStage = 2;
        processor.join();
        EXPECT_EQ(stop, writes ? HkStop::TimerOrDpcInvalid::FreedWithDpcRunning : NoStop) << writes;
    }
}

// ---- verifier stops

TEST_F(IoDevice, StopsDeletingADeviceTwiceOrWhileAttached)
{
    PDEVICE_OBJECT device = NewDevice(driver);
    IoDeleteDevice(device);
    ExpectStop(HkStop::IoManagerViolation::DeletedTwice, [&] { IoDeleteDevice(device); });

    driver = LoadScripted();
    PDEVICE_OBJECT lower = NewDevice(driver);
    PDEVICE_OBJECT upper = NewDevice(driver);
    IoAttachDeviceToDeviceStack(upper, lower);
    ExpectStop(HkStop::IoManagerViolation::DeleteWhileAttached, [&] { IoDeleteDevice(upper); });

    driver = LoadScripted();
    lower = NewDevice(driver);
    upper = NewDevice(driver);
    IoAttachDeviceToDeviceStack(upper, lower);
    ExpectStop(HkStop::IoManagerViolation::DeleteWithDeviceAbove, [&] { IoDeleteDevice(lower); });

    driver = LoadScripted();
    lower = NewDevice(driver);
    ExpectStop(HkStop::IoManagerViolation::DetachNothingAttached, [&] { IoDetachDevice(lower); });
}

TEST_F(IoDevice, StopsADriverEntryThatLeavesADeviceInitialising)
{
    LeaveInitializing = true;
    ExpectStop(HkStop::IoManagerViolation::LeftDeviceInitializing, [&] { HkLoadDriver(ProbeEntry, ServicePath); });
}

TEST_F(IoDevice, StopsRequestsToDeletedDevicesAndToStacksTheSenderLetGo)
{
    PDEVICE_OBJECT device = NewDevice(driver);
    IoDeleteDevice(device);
    ExpectStop(HkStop::IoManagerViolation::TargetDeleted, [&] { IofCallDriver(device, IoAllocateIrp(1, FALSE)); });

    driver = LoadScripted();
    NewDevice(driver, {}, "\\Device\\Serial0");
    std::u16string storage;
    UNICODE_STRING name = Text(storage, "\\Device\\Serial0");
    PFILE_OBJECT file;
    PDEVICE_OBJECT port;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &port), STATUS_SUCCESS);
    ObfDereferenceObject(file);
    ExpectStop(HkStop::IoManagerViolation::SentAfterLastDereference,
               [&] { IofCallDriver(port, IoAllocateIrp(1, FALSE)); });

    driver = LoadScripted();
    device = NewDevice(driver);
    ASSERT_EQ(HkUnloadDriver(driver).find("remains") != std::string::npos, true);
    ExpectStop(HkStop::IoManagerViolation::TargetDriverUnloaded,
               [&] { IofCallDriver(device, IoAllocateIrp(1, FALSE)); });
}

TEST_F(IoDevice, StopsReferenceCountsGoingBelowZero)
{
    NewDevice(driver, {}, "\\Device\\Serial0");
    std::u16string storage;
    UNICODE_STRING name = Text(storage, "\\Device\\Serial0");
    PFILE_OBJECT file;
    PDEVICE_OBJECT port;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &port), STATUS_SUCCESS);
    ObfDereferenceObject(file);
    ExpectStop(HkStop::ReferenceByPointer::DereferencedUnreferencedFile, [&] { ObfDereferenceObject(file); });

    driver = LoadScripted();
    PDEVICE_OBJECT device = NewDevice(driver);
    ObfReferenceObject(device);
    ObfDereferenceObject(device);
    ExpectStop(HkStop::ReferenceByPointer::DereferencedUnreferencedDevice, [&] { ObfDereferenceObject(device); });
    int notAnObject = 0;
    ExpectStop(HkStop::ReferenceByPointer::ReferencedNonObject, [&] { ObfReferenceObject(&notAnObject); });
}

TEST_F(IoDevice, StopsDeviceServicesAbovePassiveLevel)
{
    ExpectStop(HkStop::IrqlNotLessOrEqual::CalledAboveMaximumIrql, [&] {
        KfRaiseIrql(DISPATCH_LEVEL);
        Create(nullptr);
    });
}

TEST_F(IoDevice, LeakCheckNamesDriversDevicesLinksAndFiles)
{
    NewDevice(driver, {}, "\\Device\\Serial0");
    Link("\\DosDevices\\COM1", "\\Device\\Serial0");
    std::u16string storage;
    UNICODE_STRING name = Text(storage, "\\Device\\Serial0");
    PFILE_OBJECT file;
    PDEVICE_OBJECT port;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &port), STATUS_SUCCESS);
    const std::string report = HkLeftBehind();
    EXPECT_NE(report.find("driver \\Driver\\scripted still loaded"), std::string::npos) << report;
    EXPECT_NE(report.find("\\Device\\Serial0 not deleted"), std::string::npos) << report;
    EXPECT_NE(report.find("symbolic link \\DosDevices\\COM1"), std::string::npos) << report;
    EXPECT_NE(report.find("still referenced (1)"), std::string::npos) << report;

    // The same objects belonging to a peer: only the file object remains a leak.
    HkDeclarePeerDriver(driver);
    const std::string peers = HkLeftBehind();
    EXPECT_EQ(peers.find("scripted"), std::string::npos) << peers;
    EXPECT_EQ(peers.find("Serial0 not deleted"), std::string::npos) << peers;
    EXPECT_EQ(peers.find("COM1"), std::string::npos) << peers;
    EXPECT_NE(peers.find("still referenced (1)"), std::string::npos) << peers;
}

} // namespace
