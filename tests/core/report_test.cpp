#include <gtest/gtest.h>

#include <vector>

#include "touch_core.h"

namespace {

class Report : public ::testing::Test {
protected:
    // One delivery: the transitions, what the class driver would see, then
    // the clearing that follows the class service call.
    USHORT Deliver()
    {
        report.Flags = 0xFFFF;
        PrepareReportButtons(&report, &state);
        EXPECT_EQ(report.Flags, MOUSE_MOVE_ABSOLUTE);
        EXPECT_EQ(report.ButtonData, 0);
        EXPECT_EQ(state.PreviousButtons, report.RawButtons);
        const USHORT flags = report.ButtonFlags;
        ClearReportButtons(&report);
        return flags;
    }

    std::vector<USHORT> DeliverAll(const std::vector<ULONG>& rawButtons)
    {
        std::vector<USHORT> flags;
        for (ULONG raw : rawButtons) {
            report.RawButtons = raw;
            flags.push_back(Deliver());
        }
        return flags;
    }

    PACKET_STATE state{};
    MOUSE_INPUT_DATA report{};
};

TEST_F(Report, ButtonTransitionsBecomeFlags)
{
    const struct {
        const char* Name;
        std::vector<ULONG> Raw;
        std::vector<USHORT> Flags;
    } cases[] = {
        {"left (mode 1)", {1, 1, 0}, {0x01, 0, 0x02}},
        {"right (mode 2)", {2, 2, 0}, {0x04, 0, 0x08}},
        {"left and right (mode 3)", {3, 3, 0}, {0x05, 0, 0x0A}},
        {"middle (mode 4)", {4, 0}, {0x10, 0x20}},
        {"mode 1 to 2 mid-touch", {1, 2, 0}, {0x01, 0x02 | 0x04, 0x08}},
        {"all three, then left only", {7, 1, 0}, {0x15, 0x28, 0x02}},
        {"higher bits give no flags", {0x8, 0x9, 0x1, 0x100, 0}, {0, 0x01, 0, 0x02, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        state = PACKET_STATE{};
        EXPECT_EQ(DeliverAll(c.Raw), c.Flags);
    }
}

TEST_F(Report, ButtonFieldsAloneAreTouched)
{
    report = {};
    report.UnitId = 3;
    report.RawButtons = 1;
    report.LastX = 0x1234;
    report.LastY = -5;
    report.ExtraInformation = 0xCAFE;
    PrepareReportButtons(&report, &state);
    report.ButtonData = 0x5678;
    ClearReportButtons(&report);
    EXPECT_EQ(report.ButtonFlags, 0);
    EXPECT_EQ(report.ButtonData, 0);
    EXPECT_EQ(report.Flags, MOUSE_MOVE_ABSOLUTE);
    EXPECT_EQ(report.UnitId, 3);
    EXPECT_EQ(report.RawButtons, 1u);
    EXPECT_EQ(report.LastX, 0x1234);
    EXPECT_EQ(report.LastY, -5);
    EXPECT_EQ(report.ExtraInformation, 0xCAFEu);
}

// RawButtons comes from ButtonMode as packets arrive, so a mode change shows
// at the next packet of the touch.
TEST_F(Report, ButtonModeChangeMidTouchThroughTheParser)
{
    TOUCH_SETTINGS settings{};
    SetDefaultTouchSettings(&settings);
    const auto packet = [&](std::initializer_list<UCHAR> bytes) {
        BOOLEAN done = FALSE;
        for (UCHAR byte : bytes) {
            done = ParseTouchByte(&settings, &report, &state, byte);
        }
        EXPECT_EQ(done, TRUE);
        return Deliver();
    };
    const std::initializer_list<UCHAR> touch = {0x60, 0x00, 0x10, 0x00, 0x30};
    const std::initializer_list<UCHAR> release = {0x40, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(packet(touch), MOUSE_LEFT_BUTTON_DOWN);
    EXPECT_EQ(packet(touch), 0);
    settings.ButtonMode = 2;
    EXPECT_EQ(packet(touch), MOUSE_LEFT_BUTTON_UP | MOUSE_RIGHT_BUTTON_DOWN);
    EXPECT_EQ(packet(release), MOUSE_RIGHT_BUTTON_UP);
    settings.ButtonMode = 3;
    EXPECT_EQ(packet(touch), MOUSE_LEFT_BUTTON_DOWN | MOUSE_RIGHT_BUTTON_DOWN);
}

} // namespace
