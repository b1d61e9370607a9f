#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>

#include "touch_core.h"

namespace {

struct Out {
    ULONG Buttons;
    LONG X, Y;
    bool operator==(const Out&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Out& o)
{
    return os << std::hex << "{buttons " << o.Buttons << ", x " << o.X << ", y " << o.Y << "}";
}

struct History {
    USHORT InX, OutX, InY, OutY;
    bool operator==(const History&) const = default;
};

std::ostream& operator<<(std::ostream& os, const History& h)
{
    return os << std::hex << "{x in " << h.InX << " out " << h.OutX << ", y in " << h.InY << " out " << h.OutY << "}";
}

// Defaults with the axes as they come: a touch reports its raw position.
class Pipeline : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetDefaultTouchSettings(&settings);
        settings.Ltrb = 1;
    }

    // Runs one packet carrying 16-bit raw coordinates (multiples of 16).
    Out Send(ULONG rawX, ULONG rawY)
    {
        UCHAR* p = state.Packet;
        p[0] = (UCHAR)(0x40 | (rawX >> 10));
        p[1] = (UCHAR)((rawX >> 4) & 0x3F);
        p[2] = (UCHAR)(rawY >> 10);
        p[3] = (UCHAR)((rawY >> 4) & 0x3F);
        p[4] = (UCHAR)((p[0] + p[1] + p[2] + p[3]) & 0x3F);
        ProcessTouchPacket(&settings, &report, &state);
        return {report.RawButtons, report.LastX, report.LastY};
    }

    History Filter() const
    {
        return {settings.FilterPrevInputX, settings.FilterPrevOutputX, settings.FilterPrevInputY,
                settings.FilterPrevOutputY};
    }

    TOUCH_SETTINGS settings{};
    PACKET_STATE state{};
    MOUSE_INPUT_DATA report{};
};

TEST_F(Pipeline, TouchMoveReleaseAndNewTouch)
{
    EXPECT_EQ(Send(0xABC0, 0x1230), (Out{1, 0xABC0, 0x1200}));
    EXPECT_EQ(Filter(), (History{0xABC0, 0xABC0, 0x1230, 0x1230}));
    EXPECT_EQ(state.FirstSample, 1);

    // Filters to 0xABC0, 0x1230 and averages with the last report.
    EXPECT_EQ(Send(0xABC0, 0x1230), (Out{1, 0xABC0, 0x1200}));
    EXPECT_EQ(state.FirstSample, 0);

    EXPECT_EQ(Send(0xB000, 0x2000), (Out{1, 0xACC0, 0x1580}));
    EXPECT_EQ(Filter(), (History{0xB000, 0xADE0, 0x2000, 0x1918}));

    // Release repeats the last position and leaves history and FirstSample alone.
    EXPECT_EQ(Send(0, 0), (Out{0, 0xACC0, 0x1580}));
    EXPECT_EQ(state.Touching, 0);
    EXPECT_EQ(state.FirstSample, 0);
    EXPECT_EQ(Filter(), (History{0xB000, 0xADE0, 0x2000, 0x1918}));
    EXPECT_EQ(Send(0, 0), (Out{0, 0xACC0, 0x1580}));

    // A new touch is neither filtered nor averaged against the old one.
    EXPECT_EQ(Send(0x1000, 0x1000), (Out{1, 0x1000, 0x1000}));
    EXPECT_EQ(Filter(), (History{0x1000, 0x1000, 0x1000, 0x1000}));
    EXPECT_EQ(state.Touching, 1);
}

// The first packet of a touch, with one change to the default settings.
TEST_F(Pipeline, FirstPacketUnderSingleSettingChanges)
{
    struct Case {
        const char* Name;
        void (*Change)(TOUCH_SETTINGS&);
        ULONG RawX, RawY;
        LONG X, Y;
    };
    const Case cases[] = {
        {"Ltrb 0 swaps and reverses", [](TOUCH_SETTINGS& s) { s.Ltrb = 0; }, 0xABC0, 0x1230, 0xEDC0, 0x5400},
        {"any non-zero Ltrb keeps the axes", [](TOUCH_SETTINGS& s) { s.Ltrb = 2; }, 0xABC0, 0x1230, 0xABC0, 0x1200},
        {"scale 1.25, negative offset",
         [](TOUCH_SETTINGS& s) { s.ScaleXFraction = 0x4000; s.OffsetX = -0x1000; }, 0x8000, 0x4000, 0x9000, 0x4000},
        {"InvertX 1", [](TOUCH_SETTINGS& s) { s.InvertX = 1; s.OffsetX = 0xFFFF; }, 0x1000, 0x4000, 0xEFC0, 0x4000},
        {"InvertX 2 does not invert", [](TOUCH_SETTINGS& s) { s.InvertX = 2; s.OffsetX = 0xFFFF; }, 0x1000, 0x4000, 0xFFC0, 0x4000},
        {"InvertX 0xFF does not invert", [](TOUCH_SETTINGS& s) { s.InvertX = 0xFF; s.OffsetX = 0xFFFF; }, 0x1000, 0x4000, 0xFFC0, 0x4000},
        {"InvertY 1", [](TOUCH_SETTINGS& s) { s.InvertY = 1; s.OffsetY = 0xFFFF; }, 0x4000, 0x1000, 0x4000, 0xEFC0},
        {"InvertY 2 does not invert", [](TOUCH_SETTINGS& s) { s.InvertY = 2; s.OffsetY = 0xFFFF; }, 0x4000, 0x1000, 0x4000, 0xFFC0},
        {"below 0 clamps to 0", [](TOUCH_SETTINGS& s) { s.OffsetX = -0x2000; s.OffsetY = -0x2000; }, 0x1000, 0x1000, 0, 0},
        {"above 0xFFFF clamps", [](TOUCH_SETTINGS& s) { s.ScaleXInteger = 2; s.ScaleYInteger = 2; }, 0x9000, 0x9000, 0xFFC0, 0xFFC0},
        // 0xFFFF * 0xFFF0 reads as -0x10FFF0: X shifts it to -17, Y divides it to -16.
        {"X fraction product past 2^31 shifts signed",
         [](TOUCH_SETTINGS& s) { s.ScaleXInteger = 0; s.ScaleXFraction = 0xFFFF; s.OffsetX = 0x1010; }, 0xFFF0, 0x4000, 0x0FC0, 0x4000},
        {"Y fraction product past 2^31 divides signed",
         [](TOUCH_SETTINGS& s) { s.ScaleYInteger = 0; s.ScaleYFraction = 0xFFFF; s.OffsetY = 0x1010; }, 0x4000, 0xFFF0, 0x4000, 0x1000},
        {"raw X 0 alone is a touch", [](TOUCH_SETTINGS& s) { s.ButtonMode = 5; }, 0, 0x1230, 0, 0x1200},
        {"monitor to the right of the primary",
         [](TOUCH_SETTINGS& s) { s.MultiMonitor = 1; s.TouchMonitorOx = 1024; }, 0x8000, 0x4000, 0x18000, 0x4000},
        {"monitor on the right half",
         [](TOUCH_SETTINGS& s) { s.MultiMonitor = 1; s.TouchMonitorOx = 512; s.TouchMonitorWidth = 512; }, 0x8000, 0x4000, 0xC000, 0x4000},
        {"negative primary width",
         [](TOUCH_SETTINGS& s) { s.MultiMonitor = 1; s.TouchMonitorWidth = 1; s.PrimaryMonitorWidth = -1; }, 0x8000, 0x4000, -0x8000, 0x4000},
        {"-2^31 / -1 wraps",
         [](TOUCH_SETTINGS& s) { s.MultiMonitor = 1; s.TouchMonitorOx = -32768; s.TouchMonitorWidth = 0; s.PrimaryMonitorWidth = -1; },
         0x8000, 0x4000, INT32_MIN, 0x4000},
        {"zero primary width leaves X unmapped",
         [](TOUCH_SETTINGS& s) {
             s.MultiMonitor = 1; s.TouchMonitorOx = 512; s.TouchMonitorWidth = 512; s.PrimaryMonitorWidth = 0;
             s.TouchMonitorOy = 384; s.TouchMonitorHeight = 384; },
         0x8000, 0x4000, 0x8000, 0xA000},
        {"zero primary height leaves Y unmapped",
         [](TOUCH_SETTINGS& s) {
             s.MultiMonitor = 1; s.TouchMonitorOx = 512; s.TouchMonitorWidth = 512;
             s.TouchMonitorOy = 384; s.TouchMonitorHeight = 384; s.PrimaryMonitorHeight = 0; },
         0x8000, 0x4000, 0xC000, 0x4000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        SetUp();
        state = PACKET_STATE{};
        c.Change(settings);
        EXPECT_EQ(Send(c.RawX, c.RawY), (Out{settings.ButtonMode, c.X, c.Y}));
        EXPECT_EQ(state.Touching, 1);
        EXPECT_EQ(state.LastX, (ULONG)c.X);
        EXPECT_EQ(state.LastY, (ULONG)c.Y);
    }
}

// Two identical packets; the second is filtered and averaged with the first report.
TEST_F(Pipeline, FilterArithmeticOnTheSecondPacket)
{
    struct Case {
        const char* Name;
        USHORT Current, PrevInput;
        ULONG PrevOutput;
        ULONG Raw;
        LONG Reported;
        USHORT FilterOutput;
    };
    const Case cases[] = {
        // 0xFFF0 * 0x10000 is 0xFFF00000: read unsigned it is 0xFFF0, signed it would be -16.
        {"previous-output term shifts unsigned", 0, 0, 0x10000, 0xFFF0, 0xFFC0, 0xFFF0},
        // Each input term is 0xFFEF0010 >> 16 = -17 (a division would give -16 each, -32 in all).
        {"input terms shift signed", 0xFFFF, 0xFFFF, 0, 0xFFF0, 0x7FC0, (USHORT)-34},
        // 1.5 in all: 0x7800 * 3 = 0x16800, averaged with 0xF000; nothing clamps it.
        {"weights past 1.0", 0x8000, 0x8000, 0x8000, 0xF000, 0x12C00, 0x6800},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        state = PACKET_STATE{};
        settings.FilterWeightCurrent = c.Current;
        settings.FilterWeightPrevInput = c.PrevInput;
        settings.FilterWeightPrevOutput = c.PrevOutput;
        Send(c.Raw, c.Raw);
        EXPECT_EQ(Send(c.Raw, c.Raw), (Out{1, c.Reported, c.Reported}));
        EXPECT_EQ(Filter(), (History{(USHORT)c.Raw, c.FilterOutput, (USHORT)c.Raw, c.FilterOutput}));
    }
}

TEST_F(Pipeline, NegativeMappedPositionsRoundTowardZeroAndAverageUnsigned)
{
    settings.MultiMonitor = 1;
    settings.TouchMonitorOx = -1;
    settings.TouchMonitorWidth = 1;
    settings.PrimaryMonitorWidth = 2;
    settings.OffsetX = 0xF;
    // (0xFF7F - 0x10000) / 2 = -0x40 toward zero; rounding down would give -0x41 and so -0x80.
    EXPECT_EQ(Send(0xFF70, 0x4000), (Out{1, -0x40, 0x4000}));
    // Filters to 0xFF7E, maps to -0x41; the sum 0xFFFFFF7F (mod 2^32) halves logically.
    EXPECT_EQ(Send(0xFF70, 0x4000), (Out{1, 0x7FFFFF80, 0x4000}));
}

TEST_F(Pipeline, HistoryHoldsPositionsBeforeTheMapping)
{
    settings.MultiMonitor = 1;
    settings.TouchMonitorOx = 512;
    settings.TouchMonitorWidth = 512;
    EXPECT_EQ(Send(0x8000, 0x4000), (Out{1, 0xC000, 0x4000}));
    EXPECT_EQ(Send(0x8000, 0x4000), (Out{1, 0xC000, 0x4000}));
    EXPECT_EQ(Filter(), (History{0x8000, 0x8000, 0x4000, 0x4000}));
}

} // namespace
