// The Plug and Play and power managers' requests, the test bus's answers,
// and the power rules of Windows 2000.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "io_test_support.h"

using namespace iotest;

namespace {

using Requests = std::vector<HkBusRequest>;

class IoPnp : public IoTest {
protected:
    void SetUp() override
    {
        IoTest::SetUp();
        driver = LoadScripted();
    }
    // An FDO over a bus PDO that passes everything down the way Windows 2000
    // wants it: power with PoStartNextPowerIrp and PoCallDriver.
    PDEVICE_OBJECT AddFdo(PDEVICE_OBJECT Pdo)
    {
        PDEVICE_OBJECT fdo = NewDevice(driver);
        PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
        EXPECT_EQ(lower, Pdo);
        SetHandler(fdo, [lower](PDEVICE_OBJECT, PIRP Irp) {
            if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) {
                PoStartNextPowerIrp(Irp);
                IoSkipCurrentIrpStackLocation(Irp);
                return PoCallDriver(lower, Irp);
            }
            return PassDown(lower, Irp);
        });
        return fdo;
    }
    PDRIVER_OBJECT driver = nullptr;
};

TEST_F(IoPnp, TheBusAnswersAsABusDriverAndLogsWhatItReceived)
{
    PDEVICE_OBJECT pdo = HkCreateBusPdo();
    PDEVICE_OBJECT fdo = AddFdo(pdo);
    EXPECT_EQ(HkSendPnp(fdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(HkSendPnp(fdo, IRP_MN_QUERY_DEVICE_RELATIONS), STATUS_NOT_SUPPORTED); // left as it came
    EXPECT_EQ(HkSendPower(fdo, IRP_MN_SET_POWER), STATUS_SUCCESS);
    EXPECT_EQ(HkSendPower(fdo, IRP_MN_QUERY_POWER), STATUS_SUCCESS);
    EXPECT_EQ(HkSendSystemControl(fdo), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(HkSendFlush(fdo), STATUS_SUCCESS);
    HkBusFailRequest(pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(HkSendPnp(fdo, IRP_MN_START_DEVICE), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(HkBusRequests(pdo), (Requests{{IRP_MJ_PNP, IRP_MN_START_DEVICE},
                                            {IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS},
                                            {IRP_MJ_POWER, IRP_MN_SET_POWER},
                                            {IRP_MJ_POWER, IRP_MN_QUERY_POWER},
                                            {IRP_MJ_SYSTEM_CONTROL, 0},
                                            {IRP_MJ_FLUSH_BUFFERS, 0},
                                            {IRP_MJ_PNP, IRP_MN_START_DEVICE}}));
    EXPECT_EQ(StopsAndRequests(), "");
}

TEST_F(IoPnp, RemovalFollowsThePlugAndPlayManagersSequences)
{
    PDEVICE_OBJECT pdo = HkCreateBusPdo();
    PDEVICE_OBJECT fdo = AddFdo(pdo);
    EXPECT_EQ(HkSendRemove(fdo), STATUS_SUCCESS);
    EXPECT_EQ(HkSendRemove(fdo, true), STATUS_SUCCESS);
    HkBusFailRequest(pdo, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(HkSendRemove(fdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(HkBusRequests(pdo), (Requests{{IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE},
                                            {IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE},
                                            {IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL},
                                            {IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE},
                                            {IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE},
                                            {IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE}}));
}

TEST_F(IoPnp, PendedStartsCompleteFromAnotherThreadOrWhenReleased)
{
    HkBusOptions options;
    options.Start = HkBusCompletion::OtherThread;
    PDEVICE_OBJECT fdo = AddFdo(HkCreateBusPdo(options));
    EXPECT_EQ(HkSendPnp(fdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);

    options.Start = HkBusCompletion::Held;
    PDEVICE_OBJECT pdo = HkCreateBusPdo(options);
    fdo = AddFdo(pdo);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    HkRunAsync([&] { status = HkSendPnp(fdo, IRP_MN_START_DEVICE); }, PASSIVE_LEVEL);
    while (HkBusHeldCount(pdo) == 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(status, STATUS_PENDING); // the manager still waits
    EXPECT_EQ(HkBusCompleteHeld(pdo, false), 1u);
    HkWaitAsyncIdle();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(StopsAndRequests(), "");
}

TEST_F(IoPnp, ForcePendingPendsEveryBusRequestWithTheSameResults)
{
    HkSetForcePending(true);
    EXPECT_TRUE(HkForcePending());
    HkBusOptions options;
    options.Handler = [](PIRP Irp) {
        Irp->IoStatus.Information = 0;
        const UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
        return major == IRP_MJ_DEVICE_CONTROL ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
    };
    PDEVICE_OBJECT fdo = AddFdo(HkCreateBusPdo(options));
    EXPECT_EQ(HkSendPnp(fdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(HkSendPnp(fdo, IRP_MN_QUERY_DEVICE_RELATIONS), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(HkSendPower(fdo, IRP_MN_SET_POWER), STATUS_SUCCESS);
    HANDLE handle;
    ASSERT_EQ(HkOpen("\\Device\\HkBusPdo1", &handle), STATUS_SUCCESS); // the named PDO opens the whole stack
    EXPECT_EQ(HkDeviceIoControl(handle, 0x220004, {1}, 0).Status, STATUS_INVALID_PARAMETER);
    HkClose(handle);
    HkWaitAsyncIdle();
    EXPECT_EQ(StopsAndRequests(), "");
    HkReset();
    EXPECT_FALSE(HkForcePending());
}

// ---- the power rules and the creator's duties

TEST_F(IoPnp, StopsPowerRequestsPassedWithIoCallDriver)
{
    PDEVICE_OBJECT pdo = HkCreateBusPdo();
    PDEVICE_OBJECT fdo = AddFdo(pdo);
    SetHandler(fdo, [pdo](PDEVICE_OBJECT, PIRP Irp) {
        PoStartNextPowerIrp(Irp);
        return PassDown(pdo, Irp);
    });
    ExpectStop(HkStop::IoManagerViolation::PowerViaIoCallDriver, [&] { HkSendPower(fdo, IRP_MN_SET_POWER); });
}

TEST_F(IoPnp, StopsPowerRequestsPassedOrFinishedWithoutPoStartNextPowerIrp)
{
    PDEVICE_OBJECT pdo = HkCreateBusPdo();
    PDEVICE_OBJECT fdo = AddFdo(pdo);
    SetHandler(fdo, [pdo](PDEVICE_OBJECT, PIRP Irp) {
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(pdo, Irp);
    });
    ExpectStop(HkStop::IoManagerViolation::PowerPassedBeforeStartNext, [&] { HkSendPower(fdo, IRP_MN_QUERY_POWER); });

    driver = LoadScripted();
    fdo = AddFdo(HkCreateBusPdo());
    SetHandler(fdo, [](PDEVICE_OBJECT, PIRP Irp) { return Complete(Irp, STATUS_SUCCESS); });
    ExpectStop(HkStop::IoManagerViolation::PowerFinishedWithoutStartNext, [&] { HkSendPower(fdo, IRP_MN_SET_POWER); });

    driver = LoadScripted();
    pdo = HkCreateBusPdo();
    fdo = AddFdo(pdo);
    SetHandler(fdo, [pdo](PDEVICE_OBJECT, PIRP Irp) {
        IoSkipCurrentIrpStackLocation(Irp);
        PoStartNextPowerIrp(Irp); // too late: the location is no longer its own
        return PoCallDriver(pdo, Irp);
    });
    ExpectStop(HkStop::IoManagerViolation::StartNextAfterLocationLeft, [&] { HkSendPower(fdo, IRP_MN_SET_POWER); });

    driver = LoadScripted();
    pdo = HkCreateBusPdo();
    fdo = AddFdo(pdo);
    SetHandler(fdo, [pdo](PDEVICE_OBJECT, PIRP Irp) { return PoCallDriver(pdo, Irp); });
    ExpectStop(HkStop::IoManagerViolation::PoCallDriverNotPower, [&] { HkSendFlush(fdo); });
}

NTSTATUS NTAPI StartNextInRoutine(PDEVICE_OBJECT, PIRP Irp, PVOID)
{
    PoStartNextPowerIrp(Irp); // its own location is current again
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return STATUS_SUCCESS;
}

TEST_F(IoPnp, PoStartNextPowerIrpMayComeFromTheDriversOwnCompletionRoutine)
{
    HkSetForcePending(true);
    PDEVICE_OBJECT pdo = HkCreateBusPdo();
    PDEVICE_OBJECT fdo = AddFdo(pdo);
    SetHandler(fdo, [pdo](PDEVICE_OBJECT, PIRP Irp) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, StartNextInRoutine, nullptr, TRUE, TRUE, TRUE);
        return PoCallDriver(pdo, Irp);
    });
    EXPECT_EQ(HkSendPower(fdo, IRP_MN_SET_POWER), STATUS_SUCCESS);
    HkWaitAsyncIdle();
    EXPECT_EQ(StopsAndRequests(), "");
}

PDEVICE_OBJECT Created;
NTSTATUS NTAPI SloppyAddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo)
{
    IoCreateDevice(Driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &Created);
    IoAttachDeviceToDeviceStack(Created, Pdo);
    return STATUS_SUCCESS; // DO_DEVICE_INITIALIZING left set
}

TEST_F(IoPnp, StopsAnAddDeviceThatLeavesItsDeviceInitialising)
{
    driver->DriverExtension->AddDevice = SloppyAddDevice;
    PDEVICE_OBJECT pdo = HkCreateBusPdo();
    ExpectStop(HkStop::IoManagerViolation::LeftDeviceInitializing, [&] { HkAddDevice(driver, pdo); });
}

} // namespace
