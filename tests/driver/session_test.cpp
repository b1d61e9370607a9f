// Whole touches, from the controller's bytes on the line to the reports the
// mouse class receives and the click on the PC speaker.
#include "serial_link_fixture.h"

namespace {

const int64_t Ms = PeerTouchController::Millisecond;

std::vector<USHORT> FlagsOf(const std::vector<PeerMouseReport>& Reports)
{
    std::vector<USHORT> flags;
    for (const PeerMouseReport& report : Reports) {
        flags.push_back(report.Data.ButtonFlags);
    }
    return flags;
}

std::vector<HkPortAccess> WritesTo(uint16_t Port)
{
    std::vector<HkPortAccess> writes;
    for (const HkPortAccess& access : HkPortWrites()) {
        if (access.Port == Port) {
            writes.push_back(access);
        }
    }
    return writes;
}

} // namespace

// An empty "\Parameters" key: the axes as the controller reports them, the
// monitor mapping one to one.
class TouchSession : public SerialLinkTest {
protected:
    void SetUp() override
    {
        SerialLinkTest::SetUp();
        HkRegCreateKey(ParametersKey);
    }
};

TEST_F(TouchSession, DragBecomesAbsoluteReportsWithButtonTransitions)
{
    BringUpOpen();
    PeerTouchController controller;
    controller.Drag(1000, 1000, 2000, 3000, 5);
    Play(Port(), controller);

    const std::vector<PeerMouseReport> reports = Reports();
    ASSERT_EQ(reports.size(), 6u);
    EXPECT_EQ(FlagsOf(reports), (std::vector<USHORT>{MOUSE_LEFT_BUTTON_DOWN, 0, 0, 0, 0, MOUSE_LEFT_BUTTON_UP}));
    // The first sample is not smoothed: the controller's 12 bits at the top of 16.
    EXPECT_EQ(reports[0].Data.LastX, 1000 * 16);
    EXPECT_EQ(reports[0].Data.LastY, 1000 * 16);
    for (size_t i = 0; i < reports.size(); i++) {
        const MOUSE_INPUT_DATA& data = reports[i].Data;
        EXPECT_EQ(data.Flags, MOUSE_MOVE_ABSOLUTE);
        EXPECT_EQ(data.RawButtons, i + 1 < reports.size() ? 1u : 0u);
        EXPECT_EQ(reports[i].Irql, DISPATCH_LEVEL);
        if (i > 0 && i + 1 < reports.size()) {
            EXPECT_GT(data.LastX, reports[i - 1].Data.LastX);
            EXPECT_GT(data.LastY, reports[i - 1].Data.LastY);
        }
    }
    EXPECT_EQ(reports[5].Data.LastX, reports[4].Data.LastX);
    EXPECT_EQ(reports[5].Data.LastY, reports[4].Data.LastY);
    // Each report is delivered from the completion of the packet's last byte.
    EXPECT_EQ(reports[1].Time - reports[0].Time, 10 * Ms);
}

struct ButtonModeCase {
    UCHAR Mode;
    USHORT Down;
    USHORT Up;
};

class TouchSessionButtons : public TouchSession, public ::testing::WithParamInterface<ButtonModeCase> {};

TEST_P(TouchSessionButtons, TapReportsTheModesButtons)
{
    BringUpOpen();
    ASSERT_EQ(Control(IOCTL_TOUCH_SET_BUTTON_MODE, {GetParam().Mode}).Status, STATUS_SUCCESS);
    PeerTouchController controller;
    controller.Tap(2000, 2000, 30);
    Play(Port(), controller);
    EXPECT_EQ(FlagsOf(Reports()), (std::vector<USHORT>{GetParam().Down, 0, 0, GetParam().Up}));
}

INSTANTIATE_TEST_SUITE_P(Modes, TouchSessionButtons,
                         ::testing::Values(ButtonModeCase{1, 0x01, 0x02}, ButtonModeCase{2, 0x04, 0x08},
                                           ButtonModeCase{3, 0x05, 0x0A}));

TEST_F(TouchSession, ButtonModeChangedDuringATouch)
{
    BringUpOpen();
    Port().Deliver(PeerTouchPacket(2000, 2000));
    ASSERT_EQ(Control(IOCTL_TOUCH_SET_BUTTON_MODE, {2}).Status, STATUS_SUCCESS);
    Port().Deliver(PeerTouchPacket(2000, 2000));
    Port().Deliver(PeerReleasePacket());
    EXPECT_EQ(FlagsOf(Reports()), (std::vector<USHORT>{0x01, 0x02 | 0x04, 0x08}));
}

// The click: tone programmed by the request, speaker on at touch-down, and
// off 100 ms after the line last delivered a successful read.
TEST_F(TouchSession, ClickSoundsAtTouchDownAndStopsAfterTheLineFallsSilent)
{
    BringUpOpen();
    ASSERT_EQ(Control(IOCTL_TOUCH_SET_BEEP_TONE, {0xA9, 0x04, 0xE8, 0x03, 0, 0}).Status, STATUS_SUCCESS); // 1000 ms
    const std::vector<HkPortAccess> tone = HkPortWrites();
    ASSERT_EQ(tone.size(), 3u);
    EXPECT_EQ(tone[0].Port, 0x43);
    EXPECT_EQ(tone[0].Value, 0xB6);
    EXPECT_EQ(tone[1].Port, 0x42);
    EXPECT_EQ(tone[1].Value, 0xA9);
    EXPECT_EQ(tone[2].Port, 0x42);
    EXPECT_EQ(tone[2].Value, 0x04);
    EXPECT_EQ(Settings().BeepEnabled, 0);
    ASSERT_EQ(Control(IOCTL_TOUCH_SET_BEEP_ENABLE, {1}).Status, STATUS_SUCCESS);
    HkPortReset();

    PeerTouchController controller;
    controller.Hold(2000, 2000, 50); // still touching: only the timer ends the click
    Play(Port(), controller);
    const int64_t lastRead = HkClock();
    std::vector<HkPortAccess> gate = WritesTo(0x61);
    ASSERT_EQ(gate.size(), 1u);
    EXPECT_EQ(gate[0].Value, HkSpeakerGateInitialValue | 0x03);
    EXPECT_EQ(WritesTo(0x43).size(), 1u);

    HkRunClockTo(lastRead + 100 * Ms - 1);
    EXPECT_EQ(WritesTo(0x61).size(), 1u);
    HkRunClockTo(lastRead + 100 * Ms);
    gate = WritesTo(0x61);
    ASSERT_EQ(gate.size(), 2u);
    EXPECT_EQ(gate[1].Value, HkSpeakerGateInitialValue);
    EXPECT_EQ(gate[1].Time, lastRead + 100 * Ms);
    EXPECT_EQ(HkPendingTimerCount(), 0u);
}

TEST_F(TouchSession, ClearingTheClickSilencesTheSpeakerAtOnce)
{
    BringUpOpen();
    ASSERT_EQ(Control(IOCTL_TOUCH_SET_BEEP_ENABLE, {1}).Status, STATUS_SUCCESS);
    Port().Deliver(PeerTouchPacket(2000, 2000));
    ASSERT_EQ(HkPortValue(0x61), HkSpeakerGateInitialValue | 0x03);
    HkPortReset();
    HkSetPortValue(0x61, HkSpeakerGateInitialValue | 0x03);

    ASSERT_EQ(Control(IOCTL_TOUCH_SET_BEEP_ENABLE, {0}).Status, STATUS_SUCCESS);
    ASSERT_EQ(WritesTo(0x61).size(), 1u);
    EXPECT_EQ(HkPortValue(0x61), HkSpeakerGateInitialValue);

    // Off stays off: neither the touch nor the timer touches the ports now.
    PeerTouchController controller;
    controller.Tap(1000, 1000, 30);
    Play(Port(), controller);
    HkAdvanceClock(200 * Ms);
    EXPECT_EQ(HkPortWrites().size(), 1u);
    EXPECT_EQ(HkPendingTimerCount(), 0u);
    // Clearing it again is not a change and writes nothing.
    ASSERT_EQ(Control(IOCTL_TOUCH_SET_BEEP_ENABLE, {0}).Status, STATUS_SUCCESS);
    EXPECT_EQ(HkPortWrites().size(), 1u);
}
