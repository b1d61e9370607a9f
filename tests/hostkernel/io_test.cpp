// Requests through the stand-in's I/O manager: the call down a stack, the
// completion walk back up, reuse, cancellation, IoBuildDeviceIoControlRequest,
// and the verifier's stops on misuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <tuple>
#include <vector>

#include "io_test_support.h"

using namespace iotest;

namespace {

struct WalkLog {
    std::vector<PDEVICE_OBJECT> Devices;
    std::vector<int> Locations;
    std::vector<bool> Pending;
    std::vector<KIRQL> Irqls;
    std::vector<std::thread::id> Threads;
    PKEVENT Event = nullptr;
};

void Note(WalkLog* Log, PDEVICE_OBJECT Device, PIRP Irp)
{
    Log->Devices.push_back(Device);
    Log->Locations.push_back(Irp->CurrentLocation);
    Log->Pending.push_back(Irp->PendingReturned != FALSE);
    Log->Irqls.push_back(KeGetCurrentIrql());
    Log->Threads.push_back(std::this_thread::get_id());
}

// A forwarder's routine that lets the request go on up.
NTSTATUS NTAPI PassOnRoutine(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context)
{
    Note(static_cast<WalkLog*>(Context), Device, Irp);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return STATUS_SUCCESS;
}

// The allocating driver's routine: the request comes back to it.
NTSTATUS NTAPI KeepRoutine(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context)
{
    auto* log = static_cast<WalkLog*>(Context);
    Note(log, Device, Irp);
    if (log->Event != nullptr) {
        KeSetEvent(log->Event, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

PIRP NewRequest(PDEVICE_OBJECT Target, UCHAR Major, WalkLog* Creator)
{
    PIRP irp = IoAllocateIrp(Target->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = Major;
    IoSetCompletionRoutine(irp, KeepRoutine, Creator, TRUE, TRUE, TRUE);
    return irp;
}

class IoIrp : public IoTest {
protected:
    void SetUp() override
    {
        IoTest::SetUp();
        driver = LoadScripted();
    }
    // bottom <- middle <- top; the middle copies its location and sets
    // Routine, the top skips.
    void BuildStack(Handler Bottom, PIO_COMPLETION_ROUTINE Routine, WalkLog* Log)
    {
        bottom = NewDevice(driver, std::move(Bottom));
        middle = NewDevice(driver);
        ASSERT_EQ(IoAttachDeviceToDeviceStack(middle, bottom), bottom);
        top = NewDevice(driver);
        ASSERT_EQ(IoAttachDeviceToDeviceStack(top, bottom), middle);
        SetHandler(middle, [this, Routine, Log](PDEVICE_OBJECT, PIRP Irp) {
            IoCopyCurrentIrpStackLocationToNext(Irp);
            if (Routine != nullptr) {
                IoSetCompletionRoutine(Irp, Routine, Log, TRUE, TRUE, TRUE);
            }
            return IofCallDriver(bottom, Irp);
        });
        SetHandler(top, [this](PDEVICE_OBJECT, PIRP Irp) { return PassDown(middle, Irp); });
    }
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT bottom = nullptr, middle = nullptr, top = nullptr;
};

TEST_F(IoIrp, AllocatesAZeroedRequestWithNoCurrentLocationAndFollowsTheFaultPlan)
{
    PIRP irp = IoAllocateIrp(3, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->Type, IO_TYPE_IRP);
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(irp->CurrentLocation, 4);
    EXPECT_EQ(irp->Tail.Overlay.CurrentStackLocation, reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 3);
    EXPECT_EQ(irp->Tail.Overlay.Thread, nullptr);
    EXPECT_EQ(irp->IoStatus.Status, 0);
    EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
    const auto* stack = reinterpret_cast<const unsigned char*>(irp + 1);
    EXPECT_TRUE(std::all_of(stack, stack + 3 * sizeof(IO_STACK_LOCATION), [](unsigned char b) { return b == 0; }));
    IoFreeIrp(irp);
    EXPECT_EQ(HkLiveIrpCount(), 0u);

    HkFailAllocationsFrom("IoAllocateIrp");
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
}

TEST_F(IoIrp, EachDeviceGetsItsLocationAndTheWalkCallsRoutinesWithTheSettersDevice)
{
    WalkLog middleLog, creatorLog;
    int bottomLocation = 0;
    PDEVICE_OBJECT bottomSawDevice = nullptr;
    BuildStack(
        [&](PDEVICE_OBJECT Device, PIRP Irp) {
            bottomLocation = Irp->CurrentLocation;
            bottomSawDevice = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            EXPECT_EQ(IoGetCurrentIrpStackLocation(Irp)->MajorFunction, IRP_MJ_READ);
            EXPECT_EQ(Device, bottom);
            return Complete(Irp, STATUS_SUCCESS, 7);
        },
        PassOnRoutine, &middleLog);
    EXPECT_EQ(top->StackSize, 3);

    PIRP irp = NewRequest(top, IRP_MJ_READ, &creatorLog);
    IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = 8;
    EXPECT_EQ(IofCallDriver(top, irp), STATUS_SUCCESS);

    // The top skipped, so the middle received location 3 and gave the bottom 2.
    EXPECT_EQ(bottomLocation, 2);
    EXPECT_EQ(bottomSawDevice, bottom);
    ASSERT_EQ(middleLog.Devices.size(), 1u);
    EXPECT_EQ(middleLog.Devices[0], middle);
    EXPECT_EQ(middleLog.Locations[0], 3);
    // The creator kept no location: its routine gets no device.
    ASSERT_EQ(creatorLog.Devices.size(), 1u);
    EXPECT_EQ(creatorLog.Devices[0], nullptr);
    EXPECT_EQ(creatorLog.Locations[0], 4);
    EXPECT_EQ(irp->IoStatus.Information, 7u);
    IoFreeIrp(irp);
    EXPECT_EQ(StopsAndRequests(), "");
}

struct InvokeCase {
    NTSTATUS Status;
    bool Cancel;
    bool OnSuccess, OnError, OnCancel;
    bool Invoked;
};

class IoInvoke : public IoIrp, public ::testing::WithParamInterface<InvokeCase> {};

TEST_P(IoInvoke, RoutineRunsAsItsInvokeBitsSayUnderNtSuccess)
{
    const InvokeCase c = GetParam();
    WalkLog middleLog, creatorLog;
    bottom = NewDevice(driver, [&](PDEVICE_OBJECT, PIRP Irp) {
        Irp->Cancel = c.Cancel;
        return Complete(Irp, c.Status);
    });
    middle = NewDevice(driver, [&](PDEVICE_OBJECT, PIRP Irp) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, PassOnRoutine, &middleLog, c.OnSuccess, c.OnError, c.OnCancel);
        return IofCallDriver(bottom, Irp);
    });
    ASSERT_EQ(IoAttachDeviceToDeviceStack(middle, bottom), bottom);
    PIRP irp = NewRequest(middle, IRP_MJ_WRITE, &creatorLog);
    EXPECT_EQ(IofCallDriver(middle, irp), c.Status);
    EXPECT_EQ(middleLog.Devices.size(), c.Invoked ? 1u : 0u);
    EXPECT_EQ(creatorLog.Devices.size(), 1u); // 0xE0: always
    IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(
    Bits, IoInvoke,
    ::testing::Values(InvokeCase{STATUS_SUCCESS, false, true, false, false, true},
                      InvokeCase{STATUS_SUCCESS, false, false, true, true, false},
                      InvokeCase{STATUS_TIMEOUT, false, true, false, false, true},       // success severity
                      InvokeCase{STATUS_BUFFER_OVERFLOW, false, true, false, false, false}, // a warning is no success
                      InvokeCase{STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
                      InvokeCase{STATUS_CANCELLED, true, false, false, true, true},
                      InvokeCase{STATUS_CANCELLED, true, true, false, false, false},
                      InvokeCase{STATUS_SUCCESS, true, false, false, true, true})); // Cancel flag alone

TEST_F(IoIrp, PendingCompletionFromAnotherThreadPropagatesPendingUpTheStack)
{
    WalkLog creatorLog;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    creatorLog.Event = &done;
    BuildStack(
        [](PDEVICE_OBJECT, PIRP Irp) {
            IoMarkIrpPending(Irp);
            HkRunAsync([Irp] { Complete(Irp, STATUS_SUCCESS, 1); });
            return STATUS_PENDING;
        },
        nullptr, nullptr); // the middle copies without a routine: the I/O manager propagates
    PIRP irp = NewRequest(top, IRP_MJ_READ, &creatorLog);
    IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = 1;
    EXPECT_EQ(IofCallDriver(top, irp), STATUS_PENDING);
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    HkWaitAsyncIdle();
    ASSERT_EQ(creatorLog.Pending.size(), 1u);
    EXPECT_TRUE(creatorLog.Pending[0]);
    EXPECT_EQ(creatorLog.Irqls[0], DISPATCH_LEVEL);
    EXPECT_NE(creatorLog.Threads[0], std::this_thread::get_id());
    IoFreeIrp(irp);
    EXPECT_EQ(StopsAndRequests(), "");
}

// The documented synchronous forward: the routine hands the request back
// at the forwarder's location and completing it again goes on upward.
NTSTATUS NTAPI SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IoIrp, SynchronousForwardHandsTheRequestBackAtTheForwardersLocation)
{
    for (bool pend : {false, true}) {
        HkReset();
        driver = LoadScripted();
        WalkLog creatorLog;
        int locationAfterForward = 0;
        bottom = NewDevice(driver, [pend](PDEVICE_OBJECT, PIRP Irp) {
            if (!pend) {
                return Complete(Irp, STATUS_SUCCESS, 3);
            }
            IoMarkIrpPending(Irp);
            HkRunAsync([Irp] { Complete(Irp, STATUS_SUCCESS, 3); });
            return STATUS_PENDING;
        });
        middle = NewDevice(driver, [&](PDEVICE_OBJECT, PIRP Irp) {
            KEVENT event;
            KeInitializeEvent(&event, SynchronizationEvent, FALSE);
            IoCopyCurrentIrpStackLocationToNext(Irp);
            IoSetCompletionRoutine(Irp, SignalAndKeep, &event, TRUE, TRUE, TRUE);
            NTSTATUS status = IofCallDriver(bottom, Irp);
            if (status == STATUS_PENDING) {
                KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
                status = Irp->IoStatus.Status;
            }
            locationAfterForward = Irp->CurrentLocation;
            EXPECT_TRUE(creatorLog.Devices.empty()); // nothing above ran yet
            IofCompleteRequest(Irp, IO_NO_INCREMENT);
            return status;
        });
        ASSERT_EQ(IoAttachDeviceToDeviceStack(middle, bottom), bottom);
        PIRP irp = NewRequest(middle, IRP_MJ_READ, &creatorLog);
        IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = 4;
        EXPECT_EQ(IofCallDriver(middle, irp), STATUS_SUCCESS) << "pend " << pend;
        EXPECT_EQ(locationAfterForward, 2);
        EXPECT_EQ(creatorLog.Devices.size(), 1u);
        EXPECT_EQ(irp->IoStatus.Information, 3u);
        IoFreeIrp(irp);
        HkWaitAsyncIdle();
        EXPECT_EQ(StopsAndRequests(), "") << "pend " << pend;
    }
}

TEST_F(IoIrp, ReuseKeepsOnlyTheAllocationAndResetsEverythingElse)
{
    WalkLog creatorLog;
    unsigned char buffer[4];
    bottom = NewDevice(driver, [](PDEVICE_OBJECT, PIRP Irp) {
        IoMarkIrpPending(Irp);
        Irp->Cancel = TRUE;
        Complete(Irp, STATUS_SUCCESS, 1);
        return STATUS_PENDING;
    });
    PIRP irp = NewRequest(bottom, IRP_MJ_READ, &creatorLog);
    irp->AssociatedIrp.SystemBuffer = buffer;
    IoGetNextIrpStackLocation(irp)->Parameters.Read.Length = 1;
    irp->AllocationFlags = 0x04;
    EXPECT_EQ(IofCallDriver(bottom, irp), STATUS_PENDING);
    EXPECT_TRUE(irp->PendingReturned);

    IoReuseIrp(irp, STATUS_TIMEOUT);
    EXPECT_EQ(irp->Type, IO_TYPE_IRP);
    EXPECT_EQ(irp->StackCount, 1);
    EXPECT_EQ(irp->AllocationFlags, 0x04);
    EXPECT_EQ(irp->CurrentLocation, 2);
    EXPECT_EQ(irp->Tail.Overlay.CurrentStackLocation, reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 1);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_TIMEOUT);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    EXPECT_FALSE(irp->Cancel);
    EXPECT_FALSE(irp->PendingReturned);
    EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    EXPECT_EQ(location->MajorFunction, 0);
    EXPECT_EQ(location->CompletionRoutine, nullptr);
    EXPECT_EQ(location->Context, nullptr);
    EXPECT_EQ(location->Control, 0);
    IoFreeIrp(irp);
}

PIRP CancelledIrp;
VOID NTAPI CancelQueued(PDEVICE_OBJECT, PIRP Irp)
{
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL); // the cancel spin lock is held
    EXPECT_TRUE(Irp->Cancel);
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    CancelledIrp = Irp;
}

TEST_F(IoIrp, CancelCallsAndClearsTheRoutineOrOnlySetsTheFlag)
{
    WalkLog creatorLog;
    bottom = NewDevice(driver, [](PDEVICE_OBJECT, PIRP Irp) {
        IoMarkIrpPending(Irp);
        IoSetCancelRoutine(Irp, CancelQueued);
        return STATUS_PENDING;
    });
    PIRP irp = NewRequest(bottom, IRP_MJ_READ, &creatorLog);
    EXPECT_EQ(IofCallDriver(bottom, irp), STATUS_PENDING);
    CancelledIrp = nullptr;
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(CancelledIrp, irp);
    EXPECT_EQ(irp->CancelRoutine, nullptr);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(creatorLog.Devices.empty()); // cancelling does not complete
    Complete(irp, STATUS_CANCELLED);
    EXPECT_EQ(creatorLog.Devices.size(), 1u);

    // Idle in its creator's hands: only the flag, which the next reuse erases.
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    IoReuseIrp(irp, STATUS_SUCCESS);
    EXPECT_FALSE(irp->Cancel);
    IoFreeIrp(irp);
}

// ---- IoBuildDeviceIoControlRequest

struct BuiltCase {
    bool Pend;
    NTSTATUS Status;
    bool StatusBlockWritten;
};

class IoBuilt : public IoIrp, public ::testing::WithParamInterface<BuiltCase> {};

TEST_P(IoBuilt, TheTopCopiesBackAndSignalsExceptAfterASynchronousError)
{
    const BuiltCase c = GetParam();
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
    bottom = NewDevice(driver, [&](PDEVICE_OBJECT, PIRP Irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
        EXPECT_EQ(location->MajorFunction, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(location->Parameters.DeviceIoControl.InputBufferLength, 2u);
        EXPECT_EQ(location->Parameters.DeviceIoControl.OutputBufferLength, 6u);
        auto* system = static_cast<unsigned char*>(Irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(system[0], 0x11);
        EXPECT_EQ(system[1], 0x22);
        system[0] = 0xA0;
        system[1] = 0xA1;
        system[2] = 0xA2;
        Irp->IoStatus.Status = c.Status;
        Irp->IoStatus.Information = 2; // the copy back takes Information bytes, not the buffer's size
        if (!c.Pend) {
            IofCompleteRequest(Irp, IO_NO_INCREMENT);
            return c.Status;
        }
        IoMarkIrpPending(Irp);
        HkRunAsync([Irp] { IofCompleteRequest(Irp, IO_NO_INCREMENT); });
        return STATUS_PENDING;
    });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = 0x1234;
    unsigned char input[2] = {0x11, 0x22};
    unsigned char output[6] = {0, 0, 0, 0, 0, 0};
    PIRP irp = IoBuildDeviceIoControlRequest(code, bottom, input, 2, output, 6, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->Flags, ULONG(IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_INPUT_OPERATION));
    NTSTATUS status = IofCallDriver(bottom, irp);
    if (status == STATUS_PENDING) {
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    } else {
        EXPECT_EQ(status, c.Status);
    }
    HkWaitAsyncIdle();
    EXPECT_FALSE(HkIrpLive(irp)); // the I/O manager freed it
    EXPECT_EQ(KeReadStateEvent(&event) != 0, c.StatusBlockWritten);
    if (c.StatusBlockWritten) {
        EXPECT_EQ(iosb.Status, c.Status);
        EXPECT_EQ(iosb.Information, 2u);
    } else {
        EXPECT_EQ(iosb.Status, 0x1234);
    }
    const bool copied = !NT_ERROR(c.Status);
    EXPECT_EQ(output[0], copied ? 0xA0 : 0);
    EXPECT_EQ(output[1], copied ? 0xA1 : 0);
    EXPECT_EQ(output[2], 0);
    EXPECT_EQ(StopsAndRequests(), "");
}

INSTANTIATE_TEST_SUITE_P(Section5, IoBuilt,
                         ::testing::Values(BuiltCase{false, STATUS_SUCCESS, true},
                                           BuiltCase{false, STATUS_BUFFER_OVERFLOW, true}, // warnings copy
                                           BuiltCase{false, STATUS_INVALID_PARAMETER, false},
                                           BuiltCase{true, STATUS_SUCCESS, true},
                                           BuiltCase{true, STATUS_INVALID_PARAMETER, true}));

TEST_F(IoIrp, BuiltRequestsTakeTheMajorFromTheInternalFlagAndNeitherBuffersAsGiven)
{
    const ULONG neither = CTL_CODE(FILE_DEVICE_MOUSE, 0x80, METHOD_NEITHER, FILE_ANY_ACCESS);
    int input = 5, output = 0;
    bottom = NewDevice(driver, [&](PDEVICE_OBJECT, PIRP Irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
        EXPECT_EQ(location->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(location->Parameters.DeviceIoControl.Type3InputBuffer, &input);
        EXPECT_EQ(Irp->UserBuffer, &output);
        EXPECT_EQ(Irp->AssociatedIrp.SystemBuffer, nullptr);
        EXPECT_EQ(location->FileObject, nullptr);
        EXPECT_NE(Irp->Tail.Overlay.Thread, nullptr); // a threaded request
        return Complete(Irp, STATUS_SUCCESS);
    });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(neither, bottom, &input, sizeof input, &output, sizeof output, TRUE,
                                             &event, &iosb);
    EXPECT_EQ(irp->StackCount, bottom->StackSize); // no location for the caller
    EXPECT_EQ(IofCallDriver(bottom, irp), STATUS_SUCCESS);

    HkFailAllocationsFrom("IoBuildDeviceIoControlRequest");
    EXPECT_EQ(IoBuildDeviceIoControlRequest(neither, bottom, nullptr, 0, nullptr, 0, FALSE, &event, &iosb), nullptr);
}

// ---- verifier stops on requests

TEST_F(IoIrp, StopsARequestWithTooFewStackLocations)
{
    bottom = NewDevice(driver);
    middle = NewDevice(driver, [this](PDEVICE_OBJECT, PIRP Irp) { return PassDown(bottom, Irp); });
    IoAttachDeviceToDeviceStack(middle, bottom);
    ExpectStop(HkStop::NoMoreIrpStackLocations::FewerLocationsThanStack, [&] {
        PIRP irp = IoAllocateIrp(1, FALSE); // the stack needs two
        IofCallDriver(middle, irp);
    });
    driver = LoadScripted();
    bottom = NewDevice(driver);
    ExpectStop(HkStop::NoMoreIrpStackLocations::NoLocationLeft,
               [&] { IofCallDriver(bottom, IoAllocateIrp(0, FALSE)); });
}

TEST_F(IoIrp, StopsASecondCompletion)
{
    WalkLog creatorLog;
    bottom = NewDevice(driver, [](PDEVICE_OBJECT, PIRP Irp) {
        Complete(Irp, STATUS_SUCCESS);
        return Complete(Irp, STATUS_SUCCESS);
    });
    ExpectStop(HkStop::IrpCompletedTwice::CompletedAfterReturnToCreator,
               [&] { IofCallDriver(bottom, NewRequest(bottom, IRP_MJ_WRITE, &creatorLog)); });
    // A threaded request is freed at its top: completing it again is too late.
    driver = LoadScripted();
    PIRP kept = nullptr;
    bottom = NewDevice(driver, [&](PDEVICE_OBJECT, PIRP Irp) {
        kept = Irp;
        return Complete(Irp, STATUS_SUCCESS);
    });
    ExpectStop(HkStop::IrpCompletedTwice::CompletedAfterFree, [&] {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb;
        IofCallDriver(bottom,
                      IoBuildDeviceIoControlRequest(0x220000, bottom, nullptr, 0, nullptr, 0, FALSE, &event, &iosb));
        Complete(kept, STATUS_SUCCESS);
    });
}

VOID NTAPI NeverCalled(PDEVICE_OBJECT, PIRP) {}

TEST_F(IoIrp, StopsCompletionsWithPendingStatusACancelRoutineOrTooMuchInformation)
{
    WalkLog creatorLog;
    auto send = [&](Handler H, UCHAR Major = IRP_MJ_WRITE, ULONG OutputLength = 0, ULONG Code = 0) {
        driver = LoadScripted();
        bottom = NewDevice(driver, std::move(H));
        PIRP irp = NewRequest(bottom, Major, &creatorLog);
        IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength = OutputLength;
        IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode = Code;
        IofCallDriver(bottom, irp);
    };
    HkReset();
    ExpectStop(HkStop::IoManagerViolation::CompletedWithStatusPending,
               [&] { send([](PDEVICE_OBJECT, PIRP Irp) { return Complete(Irp, STATUS_PENDING); }); });
    ExpectStop(HkStop::CancelStateInCompletedIrp::CompletedWithCancelRoutine, [&] {
        send([](PDEVICE_OBJECT, PIRP Irp) {
            IoSetCancelRoutine(Irp, NeverCalled);
            return Complete(Irp, STATUS_SUCCESS);
        });
    });
    ExpectStop(HkStop::IoManagerViolation::InformationOverOutputBuffer, [&] {
        send([](PDEVICE_OBJECT, PIRP Irp) { return Complete(Irp, STATUS_SUCCESS, 5); }, IRP_MJ_DEVICE_CONTROL, 4,
             CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS));
    });
    ExpectStop(HkStop::IoManagerViolation::InformationOverReadLength,
               [&] { send([](PDEVICE_OBJECT, PIRP Irp) { return Complete(Irp, STATUS_SUCCESS, 1); }, IRP_MJ_READ); });
}

TEST_F(IoIrp, StopsADriverAllocatedRequestReachingTheIoManager)
{
    bottom = NewDevice(driver, [](PDEVICE_OBJECT, PIRP Irp) { return Complete(Irp, STATUS_SUCCESS); });
    ExpectStop(HkStop::IoManagerViolation::AllocatedIrpReachedTop, [&] {
        PIRP irp = IoAllocateIrp(1, FALSE); // no routine returns STATUS_MORE_PROCESSING_REQUIRED
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
        IofCallDriver(bottom, irp);
    });
}

TEST_F(IoIrp, StopsDispatchReturnsThatDisagreeWithTheCompletion)
{
    WalkLog creatorLog;
    auto send = [&](Handler H) {
        driver = LoadScripted();
        bottom = NewDevice(driver, std::move(H));
        IofCallDriver(bottom, NewRequest(bottom, IRP_MJ_WRITE, &creatorLog));
    };
    ExpectStop(HkStop::IoManagerViolation::PendingNotMarked, [&] {
        send([](PDEVICE_OBJECT, PIRP Irp) {
            Complete(Irp, STATUS_SUCCESS);
            return STATUS_PENDING;
        });
    });
    ExpectStop(HkStop::IoManagerViolation::ReturnedOtherThanCompleted, [&] {
        send([](PDEVICE_OBJECT, PIRP Irp) {
            Complete(Irp, STATUS_INVALID_PARAMETER);
            return STATUS_SUCCESS;
        });
    });
    ExpectStop(HkStop::IoManagerViolation::MarkedPendingReturnedOther, [&] {
        send([](PDEVICE_OBJECT, PIRP Irp) {
            IoMarkIrpPending(Irp);
            return Complete(Irp, STATUS_SUCCESS);
        });
    });
    HkSetWaitWatchdog(0.05); // bounds the grace given to other threads
    ExpectStop(HkStop::IoManagerViolation::KeptWithoutPending,
               [&] { send([](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }); });
    ExpectStop(HkStop::IrqlMismatchOnReturn::DispatchRoutineChangedIrql, [&] {
        send([](PDEVICE_OBJECT, PIRP Irp) {
            KfRaiseIrql(DISPATCH_LEVEL);
            return Complete(Irp, STATUS_SUCCESS);
        });
    });
}

TEST_F(IoIrp, StopsAPendingReturnWhoseLocationIsNeverMarkedWhenCompletedLater)
{
    WalkLog creatorLog;
    PIRP held = nullptr;
    bottom = NewDevice(driver, [&](PDEVICE_OBJECT, PIRP Irp) {
        held = Irp;
        return STATUS_PENDING; // no IoMarkIrpPending
    });
    PIRP irp = NewRequest(bottom, IRP_MJ_WRITE, &creatorLog);
    EXPECT_EQ(IofCallDriver(bottom, irp), STATUS_PENDING);
    ExpectStop(HkStop::IoManagerViolation::PendingNotMarked, [&] { Complete(held, STATUS_SUCCESS); });
}

// A forwarder's routine that forgets `if (Irp->PendingReturned) IoMarkIrpPending(Irp)`.
NTSTATUS NTAPI ForgetfulRoutine(PDEVICE_OBJECT, PIRP, PVOID)
{
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FreeButContinue(PDEVICE_OBJECT, PIRP Irp, PVOID)
{
    IoFreeIrp(Irp);
    return STATUS_SUCCESS;
}

TEST_F(IoIrp, StopsCompletionRoutinesThatBreakTheWalk)
{
    WalkLog creatorLog;
    BuildStack(
        [](PDEVICE_OBJECT, PIRP Irp) {
            IoMarkIrpPending(Irp);
            Complete(Irp, STATUS_SUCCESS);
            return STATUS_PENDING;
        },
        ForgetfulRoutine, nullptr);
    ExpectStop(HkStop::IoManagerViolation::CompletionDroppedPending,
               [&] { IofCallDriver(top, NewRequest(top, IRP_MJ_WRITE, &creatorLog)); });

    driver = LoadScripted();
    bottom = NewDevice(driver, [](PDEVICE_OBJECT, PIRP Irp) { return Complete(Irp, STATUS_SUCCESS); });
    ExpectStop(HkStop::IoManagerViolation::CompletionFreedWithoutMoreProcessing, [&] {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoSetCompletionRoutine(irp, FreeButContinue, nullptr, TRUE, TRUE, TRUE);
        IofCallDriver(bottom, irp);
    });
}

TEST_F(IoIrp, StopsReuseAndFreeOfRequestsTheDriverDoesNotOwn)
{
    WalkLog creatorLog;
    PIRP held = nullptr;
    auto holdIt = [&](PDEVICE_OBJECT, PIRP Irp) {
        held = Irp;
        IoMarkIrpPending(Irp);
        return STATUS_PENDING;
    };
    auto sendHeld = [&] {
        driver = LoadScripted();
        bottom = NewDevice(driver, holdIt);
        PIRP irp = NewRequest(bottom, IRP_MJ_WRITE, &creatorLog);
        IofCallDriver(bottom, irp);
        return irp;
    };
    HkReset();
    ExpectStop(HkStop::IoManagerViolation::HeldIrpFreedOrReused, [&] { IoReuseIrp(sendHeld(), STATUS_SUCCESS); });
    ExpectStop(HkStop::IoManagerViolation::HeldIrpFreedOrReused, [&] { IoFreeIrp(sendHeld()); });
    ExpectStop(HkStop::IoManagerViolation::IrpFreedOrReusedWithCancelRoutine, [&] {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoSetCancelRoutine(irp, NeverCalled);
        IoReuseIrp(irp, STATUS_SUCCESS);
    });
    ExpectStop(HkStop::IoManagerViolation::IrpUsedAfterFree, [&] {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoFreeIrp(irp);
        IoFreeIrp(irp);
    });
    driver = LoadScripted();
    bottom = NewDevice(driver);
    ExpectStop(HkStop::IoManagerViolation::ForeignIrpFreedOrReused, [&] {
        IO_STATUS_BLOCK iosb;
        IoReuseIrp(IoBuildDeviceIoControlRequest(0x220000, bottom, nullptr, 0, nullptr, 0, FALSE, nullptr, &iosb),
                   STATUS_SUCCESS);
    });
    driver = LoadScripted();
    bottom = NewDevice(driver);
    ExpectStop(HkStop::IoManagerViolation::ForeignIrpFreedOrReused, [&] {
        IO_STATUS_BLOCK iosb;
        IoFreeIrp(IoBuildDeviceIoControlRequest(0x220000, bottom, nullptr, 0, nullptr, 0, FALSE, nullptr, &iosb));
    });
    driver = LoadScripted();
    bottom = NewDevice(driver);
    ExpectStop(HkStop::IoManagerViolation::IrpUsedAfterFree, [&] {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoFreeIrp(irp);
        IofCallDriver(bottom, irp);
    });
}

TEST_F(IoIrp, StopsServicesCalledAboveTheirIrql)
{
    bottom = NewDevice(driver);
    ExpectStop(HkStop::IrqlNotLessOrEqual::CalledAboveMaximumIrql, [&] {
        KfRaiseIrql(DISPATCH_LEVEL);
        IoBuildDeviceIoControlRequest(0x220000, bottom, nullptr, 0, nullptr, 0, FALSE, nullptr, nullptr);
    });
    ExpectStop(HkStop::IrqlNotLessOrEqual::CalledAboveMaximumIrql, [&] {
        PIRP irp = IoAllocateIrp(1, FALSE);
        KfRaiseIrql(HIGH_LEVEL);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    });
}

TEST_F(IoIrp, LeakCheckNamesRequestsStillHeldOrNeverFreed)
{
    WalkLog creatorLog;
    bottom = NewDevice(driver, [](PDEVICE_OBJECT, PIRP Irp) {
        IoMarkIrpPending(Irp);
        return STATUS_PENDING;
    });
    PIRP held = NewRequest(bottom, IRP_MJ_WRITE, &creatorLog);
    IofCallDriver(bottom, held);
    PIRP idle = IoAllocateIrp(1, FALSE);
    PIRP longLived = IoAllocateIrp(1, FALSE);
    HkDeclareLongLivedIrp(longLived);
    auto named = [](const std::string& Report, PIRP Irp) {
        char text[32];
        std::snprintf(text, sizeof text, "IRP %p ", static_cast<void*>(Irp));
        return Report.find(text) != std::string::npos;
    };
    const std::string report = HkLeftBehind();
    EXPECT_TRUE(named(report, held)) << report;
    EXPECT_NE(report.find("still held by"), std::string::npos) << report;
    EXPECT_TRUE(named(report, idle)) << report;
    EXPECT_NE(report.find("never freed"), std::string::npos) << report;
    EXPECT_FALSE(named(report, longLived)) << report;
}

} // namespace
