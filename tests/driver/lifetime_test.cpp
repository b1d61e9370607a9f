// What must hold while the device goes away or a port closes with work in
// flight on other processors: the speaker routine, a control request
// pre-empted before it locks, a read loop still inside its send, the click,
// and user threads that could be suspended while removal waits for them.
#include "serial_link_fixture.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

const int64_t Ms = PeerTouchController::Millisecond;
const uint8_t ResponseHeader = 0xC3; // a byte that makes no report

bool InRecord(const void* P, const DEVICE_EXTENSION* Record)
{
    const auto* begin = reinterpret_cast<const unsigned char*>(Record);
    const auto* at = static_cast<const unsigned char*>(P);
    return at >= begin && at < begin + sizeof(DEVICE_EXTENSION);
}

} // namespace

class Lifetime : public SerialLinkTest {
protected:
    void SetUp() override
    {
        SerialLinkTest::SetUp();
        HkRegCreateKey(ParametersKey);
        HkSetWaitWatchdog(3);
    }

    // A thread of the test's own whose id pause predicates can ask for.
    void RunMarked(std::function<void()> Work, KIRQL Irql = PASSIVE_LEVEL)
    {
        HkRunAsync(
            [this, Work] {
                Marked = std::this_thread::get_id();
                Work();
            },
            Irql);
    }
    bool OnMarkedThread() const { return std::this_thread::get_id() == Marked.load(); }

    std::atomic<std::thread::id> Marked{};
};

// Two expiries of the speaker timer can merge into one run of its routine
// while that routine waits behind a busy processor; removal must neither
// wait for a second run that never comes nor free a routine still queued.
TEST_F(Lifetime, SpeakerRoutineHeldAcrossTwoExpiriesNeitherStallsNorOutlivesRemoval)
{
    BringUpOpen();
    HkRunClockTo(10 * Ms);
    Port().Deliver(ResponseHeader);
    HkHoldDpcs(true);
    HkRunClockTo(115 * Ms);
    HkRunClockTo(120 * Ms);
    Port().Deliver(ResponseHeader);
    HkRunClockTo(230 * Ms);
    HkHoldDpcs(false);
    HkRunQueuedDpcs();
    EXPECT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);
}

// A routine already queued when removal comes is let run (freeing the
// record under it stops the test with TIMER_OR_DPC_INVALID), and removal
// waits for that one run and nothing more.
TEST_F(Lifetime, RemovalLetsAQueuedSpeakerRoutineRunFirst)
{
    BringUpOpen();
    ASSERT_EQ(Control(IOCTL_TOUCH_SET_BEEP_ENABLE, {1}).Status, STATUS_SUCCESS);
    Port().Deliver(PeerTouchPacket(100, 100));
    ASSERT_EQ(HkPortValue(0x61) & 3, 3);
    HkHoldDpcs(true);
    HkAdvanceClock(200 * Ms);
    ASSERT_EQ(HkQueuedDpcCount(), 1u);
    std::atomic<NTSTATUS> removed{STATUS_PENDING};
    HkRunAsync([&] { removed = HkSendRemove(Fdo); }, PASSIVE_LEVEL);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(removed, STATUS_PENDING) << "removal went on with the speaker routine still queued";
    HkHoldDpcs(false);
    EXPECT_EQ(HkRunQueuedDpcs(), 1u);
    HkWaitAsyncIdle();
    EXPECT_EQ(removed, STATUS_SUCCESS);
    EXPECT_EQ(HkPortValue(0x61) & 3, 0);
}

// The routine hands its lock back as its last touch of the record; removal,
// on another processor, may free the record before the routine has returned.
TEST_F(Lifetime, RemovalMayFreeTheRecordOnceTheSpeakerRoutineLetItsLockGo)
{
    HkSetWaitWatchdog(10); // the routine stays paused while removal runs, however loaded the machine
    BringUpOpen();
    ASSERT_EQ(Control(IOCTL_TOUCH_SET_BEEP_ENABLE, {1}).Status, STATUS_SUCCESS);
    Port().Deliver(PeerTouchPacket(100, 100));
    HkHoldDpcs(true);
    HkAdvanceClock(200 * Ms);
    std::atomic<NTSTATUS> removed{STATUS_PENDING};
    HkRunAsync([&] { removed = HkSendRemove(Fdo); }, PASSIVE_LEVEL);
    const auto* record = static_cast<const DEVICE_EXTENSION*>(Fdo->DeviceExtension);
    HkPause pause("KfReleaseSpinLock.Returned",
                  [this, record](const void* Lock) { return OnMarkedThread() && Lock == &record->SpeakerTimerLock; });
    RunMarked([] {
        HkHoldDpcs(false);
        HkRunQueuedDpcs();
    });
    ASSERT_TRUE(pause.WaitUntilReached());
    for (int waited = 0; removed == STATUS_PENDING && waited < 8000; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(removed, STATUS_SUCCESS);
    pause.Release();
    HkWaitAsyncIdle();
}

// A control request reads which record it works on before it locks it; a
// thread pre-empted in between must find the device gone, not freed memory.
TEST_F(Lifetime, ControlRequestPreemptedBeforeItLocksFindsTheDeviceGone)
{
    BringUp();
    HANDLE handle = OpenControl();
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    {
        HkPause pause("IoAcquireRemoveLockEx", [this](const void*) { return OnMarkedThread(); });
        RunMarked([&] { status = HkDeviceIoControl(handle, IOCTL_TOUCH_SET_BUTTON_MODE, {2}, 0).Status; });
        ASSERT_TRUE(pause.WaitUntilReached());
        EXPECT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);
    }
    HkWaitAsyncIdle();
    EXPECT_EQ(status, STATUS_DELETE_PENDING);
    EXPECT_EQ(HkClose(handle), STATUS_SUCCESS);
}

// A byte's completion sends the next read; the port takes it and the loop
// is pre-empted before it looks at the hand-off. Closing the port meanwhile
// cancels that read, but the pump is not idle until the loop is out.
TEST_F(Lifetime, PortClosedWhileTheReadLoopIsStillInItsSendWaitsForTheLoop)
{
    BringUpOpen();
    std::atomic<bool> closed{false};
    {
        HkPause pause("IofCallDriver.Returned",
                      [this](const void* Irp) { return Irp == Extension->ReadIrp && OnMarkedThread(); });
        RunMarked([&] { Port().Deliver(ResponseHeader); }, DISPATCH_LEVEL);
        ASSERT_TRUE(pause.WaitUntilReached());
        HkRunAsync(
            [&] {
                EXPECT_EQ(Control(IOCTL_TOUCH_CLOSE_PORT).Status, STATUS_SUCCESS);
                closed = true;
            },
            PASSIVE_LEVEL);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_FALSE(closed) << "the pump was reported idle while a loop was still inside its send";
    }
    HkWaitAsyncIdle();
    EXPECT_TRUE(closed);
    EXPECT_FALSE(Port().ReadPending());
    EXPECT_EQ(RemoveLockHolds(), 0u);
}

// Switching the click off while a touch-down is between deciding to click
// and sounding it: the click must not start after it was switched off.
TEST_F(Lifetime, ClickSwitchedOffDuringATouchDownStaysOff)
{
    BringUpOpen();
    ASSERT_EQ(Control(IOCTL_TOUCH_SET_BEEP_ENABLE, {1}).Status, STATUS_SUCCESS);
    const std::vector<uint8_t> packet = PeerTouchPacket(100, 100);
    Port().Deliver(std::vector<uint8_t>(packet.begin(), packet.end() - 1));
    {
        // The first spin lock outside the record on the touch-down's path
        // is the speaker's.
        HkPause pause("KfAcquireSpinLock",
                      [this](const void* Lock) { return OnMarkedThread() && !InRecord(Lock, Extension); });
        RunMarked([&] { Port().Deliver(packet.back()); }, DISPATCH_LEVEL);
        ASSERT_TRUE(pause.WaitUntilReached());
        EXPECT_EQ(Control(IOCTL_TOUCH_SET_BEEP_ENABLE, {0}).Status, STATUS_SUCCESS);
    }
    HkWaitAsyncIdle();
    EXPECT_EQ(Reports().size(), 1u);
    EXPECT_EQ(HkPortValue(0x61) & 3, 0) << "the click was left sounding";
}

// Removal silences a click this driver started, whatever the setting says.
TEST_F(Lifetime, RemovalSilencesTheClickItStarted)
{
    BringUpOpen();
    ASSERT_EQ(Control(IOCTL_TOUCH_SET_BEEP_ENABLE, {1}).Status, STATUS_SUCCESS);
    Port().Deliver(PeerTouchPacket(100, 100));
    ASSERT_EQ(HkPortValue(0x61) & 3, 3);
    Settings().BeepEnabled = 0; // as if cleared by a request that lost a race with the touch-down
    EXPECT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);
    EXPECT_EQ(HkPortValue(0x61) & 3, 0);
}

// A port request waits for the port while it keeps the device from being
// removed; its thread must not be suspendable there (the stand-in stops a
// wait of a user request that holds a remove lock outside a critical region).
TEST_F(Lifetime, PortRequestsWaitOnlyInsideACriticalRegion)
{
    PeerSerialPortConfig config;
    config.PendControlRequests = true;
    BringUpWith(config);
    EXPECT_EQ(OpenPort("COM1", 19200).Status, STATUS_SUCCESS);
    EXPECT_EQ(SetPort("COM1").Status, STATUS_SUCCESS);
    EXPECT_EQ(Control(IOCTL_TOUCH_CLOSE_PORT).Status, STATUS_SUCCESS);
}
