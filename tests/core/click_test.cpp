#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "hostkernel.h"
#include "touch_core.h"

// Readable failure output for the port log.
static void PrintTo(const HkPortAccess& a, std::ostream* os)
{
    *os << "t=" << a.Time << (a.Write ? " write 0x" : " read 0x") << std::hex << a.Port << " = 0x" << int(a.Value)
        << std::dec;
}

namespace {

using Accesses = std::vector<HkPortAccess>;

HkPortAccess Read(int64_t time, uint16_t port, uint8_t value) { return {time, port, value, false}; }
HkPortAccess Write(int64_t time, uint16_t port, uint8_t value) { return {time, port, value, true}; }

Accesses ClickStart(int64_t time, uint8_t gate)
{
    return {Write(time, 0x43, 0xB6), Write(time, 0x42, 0xA9), Write(time, 0x42, 0x04), Read(time, 0x61, gate),
            Write(time, 0x61, (uint8_t)(gate | 0x03))};
}

Accesses ClickStop(int64_t time, uint8_t gate) { return {Read(time, 0x61, gate), Write(time, 0x61, (uint8_t)(gate & 0xFC))}; }

const int64_t Ms = 10000; // 100-ns units

class Click : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedBase = HkSystemTimeBase();
        HkPortReset();
        HkSetClock(0);
        SetDefaultTouchSettings(&settings);
        settings.Ltrb = 1;
        settings.BeepEnabled = 1;
        settings.BeepDivisor = 1193;
        settings.BeepDurationMs = 50;
    }

    void TearDown() override
    {
        HkSetSystemTimeBase(savedBase);
        HkSetClock(0);
        HkPortReset();
    }

    // Feeds a whole packet at virtual time `now` through the parser.
    void PacketAt(int64_t now, std::initializer_list<UCHAR> bytes)
    {
        HkSetClock(now);
        BOOLEAN done = FALSE;
        for (UCHAR byte : bytes) {
            done = ParseTouchByte(&settings, &report, &state, byte);
        }
        EXPECT_EQ(done, TRUE);
    }
    void TouchAt(int64_t now) { PacketAt(now, {0x60, 0x00, 0x10, 0x00, 0x30}); }
    void ReleaseAt(int64_t now) { PacketAt(now, {0x40, 0x00, 0x00, 0x00, 0x00}); }

    // Port accesses made since the given log size.
    static Accesses Since(size_t from)
    {
        const Accesses log = HkPortLog();
        return Accesses(log.begin() + (std::ptrdiff_t)from, log.end());
    }

    int64_t savedBase = 0;
    TOUCH_SETTINGS settings{};
    PACKET_STATE state{};
    MOUSE_INPUT_DATA report{};
};

TEST_F(Click, TouchDownProgramsTheToneThenOpensTheGate)
{
    HkSetPortValue(0x61, 0xB4);
    TouchAt(1000);
    EXPECT_EQ(HkPortLog(), ClickStart(1000, 0xB4));
    EXPECT_EQ(HkPortValue(0x61), 0xB7);
    EXPECT_EQ(settings.BeepStartTime.QuadPart, HkSystemTimeBase() + 1000);
}

TEST_F(Click, SpeakerGoesOffOnlyOnceTheDurationIsExceeded)
{
    TouchAt(0);
    size_t seen = HkPortLog().size();
    TouchAt(40 * Ms);
    TouchAt(50 * Ms); // exactly the duration: still on
    EXPECT_EQ(Since(seen), Accesses{});
    TouchAt(50 * Ms + 1);
    EXPECT_EQ(Since(seen), ClickStop(50 * Ms + 1, 0x33));
    seen = HkPortLog().size();
    TouchAt(60 * Ms); // every later packet writes the off value again
    EXPECT_EQ(Since(seen), ClickStop(60 * Ms, 0x30));
}

TEST_F(Click, ElapsedTimeUsesTheLow32BitsAcrossTheirWrap)
{
    HkSetSystemTimeBase(0x1FFFF0000LL);
    TouchAt(0);
    EXPECT_EQ(settings.BeepStartTime.LowPart, 0xFFFF0000u);
    const size_t seen = HkPortLog().size();
    // Low part now 0x00010000: 0x20000 units (about 13.1 ms) have passed.
    settings.BeepDurationMs = 14;
    TouchAt(0x20000);
    EXPECT_EQ(Since(seen), Accesses{});
    settings.BeepDurationMs = 13;
    TouchAt(0x20000);
    EXPECT_EQ(Since(seen), ClickStop(0x20000, 0x33));
}

TEST_F(Click, DurationLimitWrapsAt32Bits)
{
    settings.BeepDurationMs = 429497; // 4,294,970,000 units, which wraps to a limit of 2704
    TouchAt(0);
    const size_t seen = HkPortLog().size();
    TouchAt(2704);
    EXPECT_EQ(Since(seen), Accesses{});
    TouchAt(2705);
    EXPECT_EQ(Since(seen), ClickStop(2705, 0x33));
}

TEST_F(Click, ReleaseSwitchesOffAtOnceAndTheNextTouchClicksAgain)
{
    TouchAt(0);
    size_t seen = HkPortLog().size();
    ReleaseAt(1 * Ms);
    EXPECT_EQ(Since(seen), ClickStop(1 * Ms, 0x33));
    seen = HkPortLog().size();
    TouchAt(2 * Ms);
    EXPECT_EQ(Since(seen), ClickStart(2 * Ms, 0x30));
    EXPECT_EQ(settings.BeepStartTime.QuadPart, HkSystemTimeBase() + 2 * Ms);
}

TEST_F(Click, DisabledClickLeavesThePortsAlone)
{
    settings.BeepEnabled = 0;
    TouchAt(0);
    TouchAt(60 * Ms);
    ReleaseAt(70 * Ms);
    SpeakerOffTimerExpired(&settings);
    EXPECT_EQ(HkPortLog(), Accesses{});
}

TEST_F(Click, TimerExpiryHonoursBeepEnabled)
{
    TouchAt(0);
    size_t seen = HkPortLog().size();
    HkSetClock(10 * Ms);
    SpeakerOffTimerExpired(&settings); // in the middle of a touch and of the click
    EXPECT_EQ(Since(seen), ClickStop(10 * Ms, 0x33));

    // Clearing BeepEnabled while the speaker sounds leaves it sounding.
    HkSetPortValue(0x61, 0x33);
    settings.BeepEnabled = 0;
    seen = HkPortLog().size();
    SpeakerOffTimerExpired(&settings);
    EXPECT_EQ(Since(seen), Accesses{});
    EXPECT_EQ(HkPortValue(0x61), 0x33);
}

} // namespace
