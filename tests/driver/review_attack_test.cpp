// Ports that are there but cannot be had; ports reached through a filter
// that pends every read it passes on; removal while a port request is in
// the middle of its lookup; the speaker routine across a close and reopen
// and across the wrap of the system time's low part.
#include "serial_link_fixture.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

const int64_t Ms = PeerTouchController::Millisecond;
const std::vector<uint8_t> LongClick{0xA9, 0x04, 0xE8, 0x03, 0x00, 0x00}; // about 1000 Hz for a second

bool IsSerialCommLookup(const void* Path)
{
    const auto* path = static_cast<const char16_t*>(Path);
    return path != nullptr && std::u16string(path) == u"SERIALCOMM";
}

// A filter over a serial port that marks every read pending before passing
// it on and always returns STATUS_PENDING, as port monitors and redirectors
// do; everything else goes through untouched. A read the port below fails
// inside its dispatch therefore reaches the reader with PendingReturned set
// while the reader's send has not returned.
struct PendingFilter {
    PDEVICE_OBJECT Device = nullptr;
    PDEVICE_OBJECT Lower = nullptr;
    PeerSerialPort* Port = nullptr;
    std::atomic<size_t> Reads{0};
    // After this many reads the port below is healed, so that a reader that
    // never stops re-issuing still lets the test end.
    size_t HealAfter = 0;
};

PendingFilter* TheFilter = nullptr;

NTSTATUS NTAPI PendingFilterDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PendingFilter& filter = *TheFilter;
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_READ) {
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(filter.Lower, Irp);
    }
    if (++filter.Reads == filter.HealAfter) {
        filter.Port->FailReadsAtOnce(std::nullopt);
    }
    IoMarkIrpPending(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoCallDriver(filter.Lower, Irp);
    return STATUS_PENDING;
}

NTSTATUS NTAPI PendingFilterEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING)
{
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_DEVICE_CONTROL,
                        IRP_MJ_INTERNAL_DEVICE_CONTROL}) {
        Driver->MajorFunction[major] = PendingFilterDispatch;
    }
    return STATUS_SUCCESS;
}

} // namespace

class ReviewAttack : public SerialLinkTest {
protected:
    void SetUp() override
    {
        SerialLinkTest::SetUp();
        HkSetWaitWatchdog(3);
    }

    void TearDown() override
    {
        SerialLinkTest::TearDown();
        TheFilter = nullptr;
    }

    // Puts the filter on top of Port's stack, where the port lookup opens it.
    void FilterOver(PeerSerialPort& Port, size_t HealAfter)
    {
        PDRIVER_OBJECT driver =
            HkLoadDriver(PendingFilterEntry, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PendFilter");
        ASSERT_NE(driver, nullptr);
        HkDeclarePeerDriver(driver);
        ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &Filter.Device),
                  STATUS_SUCCESS);
        Filter.Lower = IoAttachDeviceToDeviceStack(Filter.Device, Port.Device());
        ASSERT_EQ(Filter.Lower, Port.Device());
        Filter.Device->Flags |= DO_BUFFERED_IO;
        Filter.Device->Flags &= ~DO_DEVICE_INITIALIZING;
        Filter.Port = &Port;
        Filter.HealAfter = HealAfter;
        TheFilter = &Filter;
    }

    PendingFilter Filter;
};

// A port listed in the serial port map but held by another program: asking
// for it must not cost the touchscreen that is working, just as a name that
// is not found does not.
TEST_F(ReviewAttack, OpenPortOfABusyPortLeavesTheRunningPortRunning)
{
    BringUpOpen();
    PeerSerialPort& com2 = AddPort("COM2", 1);
    HANDLE other = nullptr;
    ASSERT_EQ(HkOpen(com2.DeviceName().c_str(), &other), STATUS_SUCCESS);

    EXPECT_EQ(OpenPort("COM2", 9600).Status, STATUS_ACCESS_DENIED);
    EXPECT_TRUE(Port().IsOpen()) << "the running port was closed for a port that could not be opened";
    EXPECT_TRUE(Port().ReadPending());
    EXPECT_EQ(RemoveLockHolds(), 1u);
    Port().Deliver(PeerTouchPacket(100, 100));
    EXPECT_EQ(Reports().size(), 1u);
    EXPECT_EQ(HkClose(other), STATUS_SUCCESS);
}

// The running pump meets a port that fails every read inside its dispatch,
// seen through a filter that marks each read pending first. The pump must
// stop as it does without the filter; re-issuing without end pins the
// processor that completes the reads at DISPATCH_LEVEL.
TEST_F(ReviewAttack, FilterThatPendsEveryReadCannotHideAPortFailingEveryRead)
{
    PeerSerialPort& com1 = AddPort("COM1", 0);
    FilterOver(com1, 20 * READ_FAILURE_LIMIT);
    Load();
    AddAndStart();
    ConnectMouse();
    ASSERT_EQ(OpenPort("COM1", 19200).Status, STATUS_SUCCESS);
    ASSERT_TRUE(com1.ReadPending());

    const size_t reads = Filter.Reads;
    com1.FailReadsAtOnce(STATUS_INVALID_PARAMETER);
    // This one waited at the port; every read after it fails inside its send.
    ASSERT_TRUE(com1.FailPendingRead(STATUS_INVALID_PARAMETER));
    EXPECT_LE(Filter.Reads - reads, size_t{READ_FAILURE_LIMIT} + 1)
        << "reads failing inside their send were re-issued without bound";
    EXPECT_FALSE(com1.ReadPending());
    EXPECT_EQ(RemoveLockHolds(), 0u);
    com1.FailReadsAtOnce(std::nullopt);
}

// The same filter over a port that is going away: the first read ends the
// pump inside its send, and the open must say so rather than report a
// running port that reads nothing.
TEST_F(ReviewAttack, FilterThatPendsEveryReadStillFailsAStartThatEndedInsideItsSend)
{
    PeerSerialPort& com1 = AddPort("COM1", 0);
    FilterOver(com1, 0);
    Load();
    AddAndStart();
    ConnectMouse();
    com1.FailReadsAtOnce(STATUS_DELETE_PENDING);
    EXPECT_EQ(OpenPort("COM1", 19200).Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(Filter.Reads, 1u);
    EXPECT_FALSE(com1.ReadPending());
    EXPECT_EQ(RemoveLockHolds(), 0u);
}

// Removal comes while a port request, holding the port lock, is stopped at
// the start of its lookup: removal waits for the request, which opens the
// new port, and then no port outlives the device.
TEST_F(ReviewAttack, RemovalWaitsForAPortRequestInsideItsLookup)
{
    BringUpOpen();
    PeerSerialPort& com2 = AddPort("COM2", 1);
    std::atomic<NTSTATUS> opened{STATUS_PENDING};
    std::atomic<NTSTATUS> removed{STATUS_PENDING};
    {
        HkPause pause("RtlQueryRegistryValues", IsSerialCommLookup);
        HkRunAsync([&] { opened = OpenPort("COM2", 9600).Status; }, PASSIVE_LEVEL);
        ASSERT_TRUE(pause.WaitUntilReached());
        HkRunAsync([&] { removed = HkSendRemove(Fdo); }, PASSIVE_LEVEL);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(removed, STATUS_PENDING) << "removal went on under a port request";
    }
    HkWaitAsyncIdle();
    EXPECT_EQ(opened, STATUS_SUCCESS);
    EXPECT_EQ(removed, STATUS_SUCCESS);
    EXPECT_FALSE(Port().IsOpen());
    EXPECT_FALSE(com2.IsOpen());
}

// Surprise removal does not wait for control requests, only for the port
// lock: the request stopped at the start of its lookup finishes its open,
// and the surprise removal then closes that port and refuses any other.
TEST_F(ReviewAttack, SurpriseRemovalClosesThePortARequestInsideItsLookupOpened)
{
    BringUpOpen();
    PeerSerialPort& com2 = AddPort("COM2", 1);
    std::atomic<NTSTATUS> opened{STATUS_PENDING};
    {
        HkPause pause("RtlQueryRegistryValues", IsSerialCommLookup);
        HkRunAsync([&] { opened = OpenPort("COM2", 9600).Status; }, PASSIVE_LEVEL);
        ASSERT_TRUE(pause.WaitUntilReached());
        HkRunAsync([&] { EXPECT_EQ(HkSendPnp(Fdo, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS); }, PASSIVE_LEVEL);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    HkWaitAsyncIdle();
    EXPECT_EQ(opened, STATUS_SUCCESS);
    EXPECT_FALSE(Port().IsOpen());
    EXPECT_FALSE(com2.IsOpen());
    EXPECT_EQ(RemoveLockHolds(), 0u);
    EXPECT_EQ(OpenPort("COM1", 9600).Status, STATUS_DELETE_PENDING);
}

// The speaker routine is held on a busy processor across a close and a
// reopen of the port. Closing a port is not removal: the routine must
// still carry the timer on for the reads of the new port, and switch the
// click off 100 ms after the last of them.
TEST_F(ReviewAttack, SpeakerRoutineHeldAcrossACloseAndReopenKeepsTiming)
{
    BringUpOpen();
    ASSERT_EQ(Control(IOCTL_TOUCH_SET_BEEP_ENABLE, {1}).Status, STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_TOUCH_SET_BEEP_TONE, LongClick).Status, STATUS_SUCCESS);
    HkRunClockTo(10 * Ms);
    Port().Deliver(PeerTouchPacket(100, 100));
    HkHoldDpcs(true);
    HkRunClockTo(150 * Ms);
    ASSERT_EQ(HkQueuedDpcCount(), 1u);
    ASSERT_EQ(Control(IOCTL_TOUCH_CLOSE_PORT).Status, STATUS_SUCCESS);
    ASSERT_EQ(OpenPort("COM1", 19200).Status, STATUS_SUCCESS);
    Port().Deliver(PeerTouchPacket(200, 200)); // same touch: the click goes on
    HkHoldDpcs(false);
    ASSERT_EQ(HkRunQueuedDpcs(), 1u);
    EXPECT_EQ(HkPortValue(0x61) & 3, 3) << "switched off 0 ms after a read";
    HkRunClockTo(249 * Ms);
    EXPECT_EQ(HkPortValue(0x61) & 3, 3);
    HkRunClockTo(251 * Ms);
    EXPECT_EQ(HkPortValue(0x61) & 3, 0);
    EXPECT_EQ(HkPendingTimerCount(), 0u);
}

// The low 32 bits of the system time wrap between two reads and the timer
// routine: the click still ends 100 ms after the last read, not at once and
// not 429 s later.
TEST_F(ReviewAttack, SpeakerTimingAcrossTheWrapOfTheSystemTimesLowPart)
{
    HkSetSystemTimeBase(0x0000000100000000LL - 50 * Ms);
    BringUpOpen();
    ASSERT_EQ(Control(IOCTL_TOUCH_SET_BEEP_ENABLE, {1}).Status, STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_TOUCH_SET_BEEP_TONE, LongClick).Status, STATUS_SUCCESS);
    Port().Deliver(PeerTouchPacket(100, 100));
    HkRunClockTo(40 * Ms);
    Port().Deliver(PeerTouchPacket(100, 100)); // the low part wraps 10 ms later
    HkRunClockTo(139 * Ms);
    EXPECT_EQ(HkPortValue(0x61) & 3, 3);
    HkRunClockTo(141 * Ms);
    EXPECT_EQ(HkPortValue(0x61) & 3, 0);
    EXPECT_EQ(HkPendingTimerCount(), 0u);
}
