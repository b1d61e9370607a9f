// The read pump: one one-byte read always out, re-issued by whichever side
// finishes last, ended by stopping statuses, by a broken port or by a close.
#include "serial_link_fixture.h"

#include <atomic>
#include <thread>

namespace {

const int64_t Ms = PeerTouchController::Millisecond;

const NTSTATUS StoppingStatuses[] = {STATUS_CANCELLED, STATUS_DELETE_PENDING, STATUS_DEVICE_NOT_CONNECTED};

// Replays the button transitions of the reports: a button never goes down
// twice or up while up, and what the flags say matches RawButtons.
void ExpectConsistentButtons(const std::vector<PeerMouseReport>& Reports)
{
    ULONG held = 0;
    for (size_t i = 0; i < Reports.size(); i++) {
        const MOUSE_INPUT_DATA& data = Reports[i].Data;
        for (ULONG button = 0; button < 3; button++) {
            const ULONG bit = 1u << button;
            if (data.ButtonFlags & (1u << (2 * button))) {
                EXPECT_FALSE(held & bit) << "report " << i;
                held |= bit;
            }
            if (data.ButtonFlags & (2u << (2 * button))) {
                EXPECT_TRUE(held & bit) << "report " << i;
                held &= ~bit;
            }
        }
        EXPECT_EQ(held, data.RawButtons & 7) << "report " << i;
    }
    EXPECT_EQ(held, 0u);
}

// One touch of Packets packets: down, moves, up, each at DISPATCH_LEVEL.
void ExpectOneTouch(const std::vector<PeerMouseReport>& Reports, size_t Packets)
{
    ASSERT_EQ(Reports.size(), Packets);
    EXPECT_EQ(Reports.front().Data.ButtonFlags, MOUSE_LEFT_BUTTON_DOWN);
    EXPECT_EQ(Reports.back().Data.ButtonFlags, MOUSE_LEFT_BUTTON_UP);
    for (size_t i = 1; i + 1 < Reports.size(); i++) {
        ASSERT_EQ(Reports[i].Data.ButtonFlags, 0) << i;
    }
    EXPECT_TRUE(std::all_of(Reports.begin(), Reports.end(), [](const auto& R) { return R.Irql == DISPATCH_LEVEL; }));
}

} // namespace

class ReadPump : public SerialLinkTest {};

// Bytes already waiting complete each read inside its send: the issuing
// loop takes them one after the other without nesting, and allocates
// nothing per byte.
TEST_F(ReadPump, SynchronousBurstIsReadInALoop)
{
    BringUpOpen();
    // A pump that nested once per byte is caught here, before the big burst
    // would run it out of stack.
    Port().ResetStackProbe();
    Port().DeliverBurst(TouchBurst(40));
    ASSERT_LT(Port().DeepestReadGrowth(), 4096u);
    Mouse->ClearReports();

    const size_t packets = 20000; // 100,000 bytes
    const std::vector<uint8_t> burst = TouchBurst(packets);
    const size_t reads = Port().ReadsReceived();
    const size_t allocations = HkPoolAllocationCount();
    Port().ResetStackProbe();
    Port().DeliverBurst(burst);
    EXPECT_EQ(HkPoolAllocationCount(), allocations);
    EXPECT_LT(Port().DeepestReadGrowth(), 4096u);
    EXPECT_EQ(Port().ReadsReceived() - reads, burst.size());
    EXPECT_TRUE(Port().ReadPending());
    ExpectOneTouch(Reports(), packets);
}

// Bytes that wait when the port is opened are read inside the start, at
// PASSIVE_LEVEL; the class service still gets DISPATCH_LEVEL.
TEST_F(ReadPump, BytesWaitingAtTheOpenAreReadInsideTheStart)
{
    BringUp();
    // Keep what arrived before the open, so the first reads find it waiting.
    Port().Refuse(IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_PURGE, STATUS_NOT_SUPPORTED);
    auto openWithWaiting = [&](const std::vector<uint8_t>& Waiting) {
        EXPECT_EQ(Control(IOCTL_TOUCH_CLOSE_PORT).Status, STATUS_SUCCESS); // nobody reads while they arrive
        Port().Deliver(Waiting);
        Mouse->ClearReports();
        Port().ResetStackProbe();
        const size_t before = HkPoolAllocationCount();
        EXPECT_EQ(OpenPort("COM1", 19200).Status, STATUS_SUCCESS);
        EXPECT_EQ(Port().BufferedBytes(), 0u);
        EXPECT_TRUE(Port().ReadPending());
        return HkPoolAllocationCount() - before;
    };
    openWithWaiting({}); // makes the read request
    const size_t allocationsForFewPackets = openWithWaiting(TouchBurst(10));
    ASSERT_LT(Port().DeepestReadGrowth(), 4096u);
    const size_t packets = 2000;
    EXPECT_EQ(openWithWaiting(TouchBurst(packets)), allocationsForFewPackets);
    EXPECT_LT(Port().DeepestReadGrowth(), 4096u);
    ExpectOneTouch(Reports(), packets);
}

TEST_F(ReadPump, PendingReadsAreReissuedByTheirCompletion)
{
    BringUpOpen();
    const size_t reads = Port().ReadsReceived();
    const size_t allocations = HkPoolAllocationCount();
    const std::vector<uint8_t> stream = TouchBurst(40);
    Port().Deliver(stream);
    EXPECT_EQ(HkPoolAllocationCount(), allocations);
    EXPECT_EQ(Port().ReadsReceived() - reads, stream.size());
    EXPECT_TRUE(Port().ReadPending());
    EXPECT_EQ(Reports().size(), 40u);
    EXPECT_EQ(RemoveLockHolds(), 1u);
}

TEST_F(ReadPump, CompletionsOnAnotherThreadWhileSettingsChange)
{
    BringUpWith({.CompleteReadsOnOtherThread = true});
    ASSERT_EQ(OpenPort("COM1", 19200).Status, STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_TOUCH_SET_BEEP_ENABLE, {1}).Status, STATUS_SUCCESS);
    const size_t packets = 200;
    std::atomic<bool> delivered{false};
    HkRunAsync(
        [&] {
            Port().Deliver(TouchBurst(packets));
            delivered = true;
        },
        PASSIVE_LEVEL);
    for (UCHAR mode = 1; !delivered; mode = mode % 3 + 1) {
        EXPECT_EQ(Control(IOCTL_TOUCH_SET_BUTTON_MODE, {mode}).Status, STATUS_SUCCESS);
        EXPECT_EQ(Control(IOCTL_TOUCH_SET_BEEP_TONE, {0xA9, 0x04, 5, 0, 0, 0}).Status, STATUS_SUCCESS);
        EXPECT_EQ(Control(IOCTL_TOUCH_RESET_CALIBRATION).Status, STATUS_SUCCESS);
    }
    HkWaitAsyncIdle();
    Port().JoinCompletionThreads();

    const std::vector<PeerMouseReport> reports = Reports();
    ASSERT_EQ(reports.size(), packets);
    ExpectConsistentButtons(reports);
    EXPECT_TRUE(std::all_of(reports.begin(), reports.end(), [](const auto& R) { return R.Irql == DISPATCH_LEVEL; }));
    EXPECT_TRUE(Port().ReadPending());
}

// A successful read without a byte counts as line activity but gives the
// parser nothing: a packet split around it still arrives whole.
// The speaker goes off 100 ms after the last successful read, and a read
// that brought no byte counts as one.
TEST_F(ReadPump, EmptyReadRearmsTheSpeakerTimerAndIsReissued)
{
    BringUpOpen();
    EXPECT_EQ(HkPendingTimerCount(), 0u);
    ASSERT_EQ(Control(IOCTL_TOUCH_SET_BEEP_TONE, {0xA9, 0x04, 0xE8, 0x03, 0x00, 0x00}).Status, STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_TOUCH_SET_BEEP_ENABLE, {1}).Status, STATUS_SUCCESS);
    const std::vector<uint8_t> packet = PeerTouchPacket(100, 100);
    Port().Deliver(packet);
    ASSERT_EQ(HkPortValue(0x61) & 3, 3);
    const size_t reads = Port().ReadsReceived();

    HkAdvanceClock(60 * Ms);
    ASSERT_TRUE(Port().CompleteReadEmpty());
    HkAdvanceClock(60 * Ms);
    ASSERT_TRUE(Port().CompleteReadEmpty());
    HkAdvanceClock(99 * Ms);
    EXPECT_EQ(HkPortValue(0x61) & 3, 3) << "off before 100 ms had passed since the last read";
    HkAdvanceClock(1 * Ms);
    EXPECT_EQ(HkPortValue(0x61) & 3, 0);

    EXPECT_EQ(Reports().size(), 1u);
    EXPECT_EQ(Port().ReadsReceived() - reads, 2u);
    EXPECT_TRUE(Port().ReadPending());
}

// Failures and success codes other than STATUS_SUCCESS deliver nothing, do
// not count as line activity, and the next read goes out.
TEST_F(ReadPump, FailedPendingReadIsReissuedWithoutArmingTheTimer)
{
    BringUpOpen();
    const std::vector<uint8_t> packet = PeerTouchPacket(100, 100);
    Port().Deliver({packet.begin(), packet.begin() + 2});
    const auto due = HkNextTimerDue();
    ASSERT_TRUE(due.has_value());
    HkAdvanceClock(50 * Ms);
    for (NTSTATUS status : {STATUS_INVALID_PARAMETER, STATUS_TIMEOUT, STATUS_INVALID_PARAMETER}) {
        ASSERT_TRUE(Port().FailPendingRead(status));
        EXPECT_TRUE(Port().ReadPending());
    }
    EXPECT_EQ(HkNextTimerDue(), due);
    Port().Deliver({packet.begin() + 2, packet.end()});
    EXPECT_EQ(Reports().size(), 1u);
    EXPECT_EQ(RemoveLockHolds(), 1u);
}

TEST_F(ReadPump, PortFailingEveryReadFailsTheOpen)
{
    BringUp();
    Port().FailReadsAtOnce(STATUS_INVALID_PARAMETER);
    EXPECT_EQ(OpenPort("COM1", 19200).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Port().ReadsReceived(), size_t{READ_FAILURE_LIMIT});
    EXPECT_EQ(RemoveLockHolds(), 0u);
    EXPECT_TRUE(Port().IsOpen());

    Port().FailReadsAtOnce(std::nullopt);
    ASSERT_EQ(OpenPort("COM1", 19200).Status, STATUS_SUCCESS);
    Port().Deliver(PeerTouchPacket(100, 100));
    EXPECT_EQ(Reports().size(), 1u);
}

// A port failing every read with a success-class status (a time-out) leaves
// no pump running: the open must not report that as a success.
TEST_F(ReadPump, PortTimingOutEveryReadAtOnceFailsTheOpen)
{
    BringUp();
    Port().FailReadsAtOnce(STATUS_TIMEOUT);
    const NTSTATUS status = OpenPort("COM1", 19200).Status;
    EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;
    EXPECT_EQ(Port().ReadsReceived(), size_t{READ_FAILURE_LIMIT});
    EXPECT_EQ(RemoveLockHolds(), 0u);
}

// A port answering every read at once with nothing is spinning as surely
// as one failing them: the open must end the pump and say so, not spin on.
// (Twice the limit is queued, so a pump that never stops still lets the
// test end.)
TEST_F(ReadPump, PortAnsweringEveryReadAtOnceWithNothingFailsTheOpen)
{
    BringUp();
    for (int i = 0; i < 2 * READ_FAILURE_LIMIT; i++) {
        Port().FailNextReadAtOnce(STATUS_SUCCESS);
    }
    const NTSTATUS status = OpenPort("COM1", 19200).Status;
    EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;
    EXPECT_EQ(Port().ReadsReceived(), size_t{READ_FAILURE_LIMIT});
    EXPECT_EQ(RemoveLockHolds(), 0u);
}

// Reads that waited at the port and then failed (time-outs, line errors)
// never count toward the stop: such a port is not spinning, and touch input
// after them must still arrive.
TEST_F(ReadPump, ReadsThatWaitedAndFailedNeverStopThePump)
{
    BringUpOpen();
    for (int i = 0; i < 2 * READ_FAILURE_LIMIT; i++) {
        ASSERT_TRUE(Port().FailPendingRead(i % 2 ? STATUS_TIMEOUT : STATUS_INVALID_PARAMETER)) << i;
    }
    EXPECT_TRUE(Port().ReadPending());
    Port().Deliver(PeerTouchPacket(100, 100));
    EXPECT_EQ(Reports().size(), 1u);
    EXPECT_EQ(RemoveLockHolds(), 1u);
}

TEST_F(ReadPump, RunningPumpStopsWhenThePortFailsEveryReadInsideItsSend)
{
    BringUpOpen();
    const size_t reads = Port().ReadsReceived();
    Port().FailReadsAtOnce(STATUS_INVALID_PARAMETER);
    // This one waited, so it does not count; the reads after it fail at once.
    ASSERT_TRUE(Port().FailPendingRead(STATUS_INVALID_PARAMETER));
    EXPECT_FALSE(Port().ReadPending());
    EXPECT_EQ(Port().ReadsReceived() - reads, size_t{READ_FAILURE_LIMIT});
    EXPECT_EQ(RemoveLockHolds(), 0u);
    EXPECT_EQ(Control(IOCTL_TOUCH_CLOSE_PORT).Status, STATUS_SUCCESS);
    EXPECT_FALSE(Port().IsOpen());
}

// The first read goes pending and comes back cancelled on another processor
// while the open is still between its send and its hand-off: the open
// reports a running start or that status, never STATUS_PENDING, and the
// pump's hold on the device ends exactly once.
TEST_F(ReadPump, FirstReadEndedElsewhereWhileTheOpenIsStillInItsSend)
{
    BringUp();
    std::atomic<std::thread::id> opener{};
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    {
        HkPause pause("IofCallDriver.Returned", [&](const void* Irp) {
            return std::this_thread::get_id() == opener.load() && Irp == Extension->ReadIrp;
        });
        HkRunAsync(
            [&] {
                opener = std::this_thread::get_id();
                status = OpenPort("COM1", 19200).Status;
            },
            PASSIVE_LEVEL);
        ASSERT_TRUE(pause.WaitUntilReached());
        ASSERT_TRUE(Port().FailPendingRead(STATUS_CANCELLED));
    }
    HkWaitAsyncIdle();
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << std::hex << status;
    EXPECT_EQ(RemoveLockHolds(), 0u);
    EXPECT_FALSE(Port().ReadPending());
}

class ReadPumpStopping : public ReadPump, public ::testing::WithParamInterface<NTSTATUS> {};

// The stopping status comes back inside the send: the pump ends there, the
// lock is released once, and the open reports the status.
TEST_P(ReadPumpStopping, InsideTheFirstSendFailsTheOpen)
{
    BringUp();
    Port().FailReadsAtOnce(GetParam());
    EXPECT_EQ(OpenPort("COM1", 19200).Status, GetParam());
    EXPECT_EQ(Port().ReadsReceived(), 1u);
    EXPECT_EQ(RemoveLockHolds(), 0u);
}

TEST_P(ReadPumpStopping, InsideALaterSendEndsThePump)
{
    BringUpOpen();
    const size_t reads = Port().ReadsReceived();
    Port().FailReadsAtOnce(GetParam());
    ASSERT_TRUE(Port().FailPendingRead(STATUS_INVALID_PARAMETER));
    EXPECT_EQ(Port().ReadsReceived() - reads, 1u);
    EXPECT_FALSE(Port().ReadPending());
    EXPECT_EQ(RemoveLockHolds(), 0u);
    EXPECT_EQ(Control(IOCTL_TOUCH_CLOSE_PORT).Status, STATUS_SUCCESS);
}

TEST_P(ReadPumpStopping, AfterGoingPendingEndsThePump)
{
    BringUpOpen();
    const size_t reads = Port().ReadsReceived();
    ASSERT_TRUE(Port().FailPendingRead(GetParam()));
    EXPECT_EQ(Port().ReadsReceived(), reads);
    EXPECT_FALSE(Port().ReadPending());
    EXPECT_EQ(RemoveLockHolds(), 0u);
    // A new open starts a new run with the same request.
    ASSERT_EQ(OpenPort("COM1", 19200).Status, STATUS_SUCCESS);
    EXPECT_EQ(RemoveLockHolds(), 1u);
    EXPECT_TRUE(Port().ReadPending());
}

INSTANTIATE_TEST_SUITE_P(Statuses, ReadPumpStopping, ::testing::ValuesIn(StoppingStatuses));

TEST_F(ReadPump, CloseCancelsTheReadAndEndsThePumpOnce)
{
    BringUpOpen();
    EXPECT_EQ(RemoveLockHolds(), 1u);
    const size_t reads = Port().ReadsReceived();
    ASSERT_EQ(Control(IOCTL_TOUCH_CLOSE_PORT).Status, STATUS_SUCCESS);
    EXPECT_EQ(RemoveLockHolds(), 0u);
    EXPECT_FALSE(Port().ReadPending());
    EXPECT_FALSE(Port().IsOpen());
    EXPECT_EQ(Port().ReadsReceived(), reads);
    EXPECT_EQ(Extension->SerialDevice, nullptr);
    EXPECT_EQ(Extension->SerialFileObject, nullptr);

    Port().Deliver(0x40);
    EXPECT_EQ(Port().BufferedBytes(), 1u);
    EXPECT_EQ(Control(IOCTL_TOUCH_CLOSE_PORT).Status, STATUS_SUCCESS);
}

// Closing waits for the read that another thread may be completing right
// then; the port is let go only once the pump has ended.
TEST_F(ReadPump, ReopeningWhileBytesArriveOnAnotherThread)
{
    BringUpWith({.CompleteReadsOnOtherThread = true});
    ASSERT_EQ(OpenPort("COM1", 19200).Status, STATUS_SUCCESS);
    std::atomic<bool> stop{false};
    HkRunAsync(
        [&] {
            for (uint32_t x = 1; !stop; x = x % 4000 + 1) {
                if (Port().ReadPending()) {
                    Port().Deliver(PeerTouchPacket(x, x));
                } else {
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                }
            }
        },
        PASSIVE_LEVEL);
    for (int i = 0; i < 40; i++) {
        EXPECT_EQ(SetPort("COM1").Status, STATUS_SUCCESS);
        // Let some bytes through before the next close.
        const size_t reads = Port().ReadsReceived();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (Port().ReadsReceived() < reads + 8 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        if (i % 4 == 1) {
            EXPECT_EQ(Control(IOCTL_TOUCH_CLOSE_PORT).Status, STATUS_SUCCESS);
            EXPECT_EQ(RemoveLockHolds(), 0u);
        }
    }
    stop = true;
    HkWaitAsyncIdle();
    Port().JoinCompletionThreads();
    EXPECT_EQ(RemoveLockHolds(), 1u);
    EXPECT_TRUE(Port().ReadPending());
    EXPECT_FALSE(Reports().empty());
}
