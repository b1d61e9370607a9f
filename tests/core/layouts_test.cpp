#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "touch_core.h"

namespace {

// Compares whole records byte by byte, so a write to any other field shows.
::testing::AssertionResult SameBytes(const TOUCH_SETTINGS& actual, const TOUCH_SETTINGS& expected)
{
    const auto* a = reinterpret_cast<const UCHAR*>(&actual);
    const auto* e = reinterpret_cast<const UCHAR*>(&expected);
    for (size_t i = 0; i < sizeof(TOUCH_SETTINGS); i++) {
        if (a[i] != e[i]) {
            return ::testing::AssertionFailure() << "byte " << i << " of TOUCH_SETTINGS is 0x" << std::hex << int(a[i])
                                                 << ", expected 0x" << int(e[i]);
        }
    }
    return ::testing::AssertionSuccess();
}

// A record of `fill` bytes and an identical copy to write expectations into.
struct Pair {
    explicit Pair(UCHAR fill)
    {
        std::memset(&actual, fill, sizeof actual);
        std::memcpy(&expected, &actual, sizeof actual);
    }
    TOUCH_SETTINGS actual;
    TOUCH_SETTINGS expected;
};

std::vector<uint16_t> NameOf(const TOUCH_SETTINGS& s)
{
    return std::vector<uint16_t>(s.PortNameBuffer, s.PortNameBuffer + PORT_NAME_CHARACTERS);
}

void SetName(TOUCH_SETTINGS& s, const std::vector<uint16_t>& chars)
{
    for (size_t i = 0; i < PORT_NAME_CHARACTERS; i++) {
        s.PortNameBuffer[i] = (WCHAR)(i < chars.size() ? chars[i] : 0);
    }
}

std::vector<UCHAR> PortSettings(const std::vector<UCHAR>& name, ULONG baud)
{
    std::vector<UCHAR> bytes(name.size() + 5);
    bytes[0] = (UCHAR)name.size();
    std::copy(name.begin(), name.end(), bytes.begin() + 1);
    for (size_t i = 0; i < 4; i++) {
        bytes[name.size() + 1 + i] = (UCHAR)(baud >> (8 * i));
    }
    return bytes;
}

TEST(Layouts, DefaultsWriteTheirFieldsAndNothingElse)
{
    for (const UCHAR fill : {0x00, 0xA5}) {
        SCOPED_TRACE(int(fill));
        Pair p(fill);
        TOUCH_SETTINGS& e = p.expected;
        e.InvertX = 0, e.InvertY = 0, e.BeepEnabled = 0, e.MultiMonitor = 0;
        e.FilterWeightCurrent = 0x8000, e.FilterWeightPrevInput = 0x8000, e.FilterWeightPrevOutput = 0;
        e.TouchMonitorHeight = 768, e.PrimaryMonitorHeight = 768;
        e.ScaleXInteger = 1, e.ScaleXFraction = 0, e.OffsetX = 0;
        e.ScaleYInteger = 1, e.ScaleYFraction = 0, e.OffsetY = 0;
        e.ButtonMode = 1, e.BeepDivisor = 1, e.BeepDurationMs = 1;
        e.StoredRange[0] = 0, e.StoredRange[1] = 0xFFFF, e.StoredRange[2] = 0, e.StoredRange[3] = 0xFFFF;
        e.TouchMonitorOx = 0, e.TouchMonitorOy = 0, e.TouchMonitorWidth = 1024, e.PrimaryMonitorWidth = 1024;
        SetDefaultTouchSettings(&p.actual);
        EXPECT_TRUE(SameBytes(p.actual, p.expected));
        // No defaults for these three: the fill survives.
        EXPECT_EQ(p.actual.Ltrb, fill);
        EXPECT_EQ(p.actual.BaudRate, fill * 0x01010101u);
        EXPECT_EQ(NameOf(p.actual), std::vector<uint16_t>(PORT_NAME_CHARACTERS, (uint16_t)(fill * 0x0101)));
    }
}

TEST(Layouts, DecodersReadFixedOffsetsFromAnOddAddress)
{
    using Decoder = VOID (*)(const UCHAR*, PTOUCH_SETTINGS);
    struct Case {
        const char* Name;
        Decoder Decode;
        std::vector<UCHAR> Bytes;
        void (*Expect)(TOUCH_SETTINGS&);
    };
    const Case cases[] = {
        {"calibration", DecodeCalibrationData,
         {0x01, 0x00, 0x02, 0x00, 0x00, 0x80, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xF0, 0xFF, 0xFF, 0xFF},
         [](TOUCH_SETTINGS& s) {
             s.InvertX = 1, s.InvertY = 0, s.ScaleXInteger = 2, s.ScaleXFraction = 0x8000, s.OffsetX = 16;
             s.ScaleYInteger = 1, s.ScaleYFraction = 0, s.OffsetY = -16;
         }},
        // Every byte distinct, so a swapped field or byte order cannot pass.
        {"calibration, distinct bytes", DecodeCalibrationData,
         {0x05, 0x06, 0x01, 0x02, 0x03, 0x04, 0x07, 0x08, 0x09, 0x8A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11, 0x92},
         [](TOUCH_SETTINGS& s) {
             s.InvertX = 5, s.InvertY = 6, s.ScaleXInteger = 0x0201, s.ScaleXFraction = 0x0403, s.OffsetX = (LONG)0x8A090807;
             s.ScaleYInteger = 0x0C0B, s.ScaleYFraction = 0x0E0D, s.OffsetY = (LONG)0x9211100F;
         }},
        {"filter", DecodeFilterData, {0x00, 0x40, 0x00, 0xC0, 0x05, 0x06, 0x07, 0x88},
         [](TOUCH_SETTINGS& s) { s.FilterWeightCurrent = 0x4000, s.FilterWeightPrevInput = 0xC000, s.FilterWeightPrevOutput = 0x88070605; }},
        {"beep", DecodeBeepData, {0x01, 0xA9, 0x04, 0x32, 0x00, 0x00, 0x00},
         [](TOUCH_SETTINGS& s) { s.BeepEnabled = 1, s.BeepDivisor = 0x04A9, s.BeepDurationMs = 50; }},
        {"beep, distinct bytes", DecodeBeepData, {0x80, 0x34, 0x12, 0x78, 0x56, 0x34, 0x92},
         [](TOUCH_SETTINGS& s) { s.BeepEnabled = 0x80, s.BeepDivisor = 0x1234, s.BeepDurationMs = 0x92345678; }},
        {"beep tone leaves BeepEnabled", DecodeBeepToneData, {0xA9, 0x04, 0x32, 0x00, 0x00, 0x00},
         [](TOUCH_SETTINGS& s) { s.BeepDivisor = 0x04A9, s.BeepDurationMs = 50; }},
        {"monitor map", DecodeMonitorMapData,
         {0x00, 0x04, 0x00, 0x00, 0x00, 0xFC, 0xFF, 0xFF, 0x00, 0x02, 0x00, 0x00,
          0x80, 0x01, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00},
         [](TOUCH_SETTINGS& s) {
             s.TouchMonitorOx = 1024, s.TouchMonitorOy = -1024, s.TouchMonitorWidth = 512, s.TouchMonitorHeight = 384;
             s.PrimaryMonitorWidth = 2048, s.PrimaryMonitorHeight = 768;
         }},
        {"range", DecodeRangeData,
         {0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0x02, 0x00, 0x00, 0x80, 0x04, 0x03, 0x02, 0x01},
         [](TOUCH_SETTINGS& s) {
             s.StoredRange[0] = 1, s.StoredRange[1] = 0xFFFF, s.StoredRange[2] = 0x80000002, s.StoredRange[3] = 0x01020304;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        UCHAR buffer[64];
        std::memset(buffer, 0xEE, sizeof buffer);
        std::memcpy(buffer + 5, c.Bytes.data(), c.Bytes.size());
        Pair p(0xA5);
        c.Expect(p.expected);
        c.Decode(buffer + 5, &p.actual);
        EXPECT_TRUE(SameBytes(p.actual, p.expected));
    }
}

TEST(Layouts, PortSettingsGiveNameAndLineSpeed)
{
    const struct {
        const char* Name;
        std::vector<UCHAR> Bytes;
        std::vector<uint16_t> Port;
        ULONG Baud;
    } cases[] = {
        {"COM1 at 19200", {0x04, 0x43, 0x4F, 0x4D, 0x31, 0x00, 0x4B, 0x00, 0x00}, {'C', 'O', 'M', '1'}, 19200},
        {"bytes past the layout", {0x04, 0x43, 0x4F, 0x4D, 0x31, 0x00, 0x4B, 0x00, 0x00, 0x11, 0x22}, {'C', 'O', 'M', '1'}, 19200},
        {"n = 0", {0x00, 0x80, 0x25, 0x00, 0x00}, {}, 9600},
        {"bytes from 0x80 widen without sign", PortSettings({0xE9, 0xFF}, 0x04030201), {0x00E9, 0x00FF}, 0x04030201},
        {"255 name bytes", PortSettings(std::vector<UCHAR>(255, 'A'), 115200), std::vector<uint16_t>(255, 'A'), 115200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<UCHAR> buffer(c.Bytes.size() + 1, 0xEE);
        std::memcpy(buffer.data() + 1, c.Bytes.data(), c.Bytes.size());
        Pair p(0xA5);
        SetName(p.expected, c.Port);
        p.expected.BaudRate = c.Baud;
        EXPECT_EQ(DecodePortSettingsData(buffer.data() + 1, (ULONG)c.Bytes.size(), &p.actual), TRUE);
        EXPECT_EQ(NameOf(p.actual), NameOf(p.expected));
        EXPECT_TRUE(SameBytes(p.actual, p.expected));
    }
}

TEST(Layouts, ShortPortSettingsAreRefusedUnchanged)
{
    const std::vector<UCHAR> com1 = {0x04, 0x43, 0x4F, 0x4D, 0x31, 0x00, 0x4B, 0x00, 0x00};
    const std::vector<UCHAR> empty = {0x00, 0x80, 0x25, 0x00, 0x00};
    const std::vector<UCHAR> longest = PortSettings(std::vector<UCHAR>(255, 'A'), 1);
    const struct {
        const std::vector<UCHAR>& Bytes;
        ULONG Length;
    } cases[] = {{com1, 8}, {com1, 5}, {com1, 1}, {com1, 0}, {empty, 4}, {longest, 259}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "n " << int(c.Bytes[0]) << ", length " << c.Length);
        Pair p(0xA5);
        EXPECT_EQ(DecodePortSettingsData(c.Bytes.data(), c.Length, &p.actual), FALSE);
        EXPECT_TRUE(SameBytes(p.actual, p.expected));
    }
}

TEST(Layouts, StorePortNameReplacesTheWholeBuffer)
{
    std::vector<UCHAR> source(300);
    for (size_t i = 0; i < source.size(); i++) {
        source[i] = (UCHAR)(i % 255 + 1); // never NUL; half of them 0x80 or above
    }
    for (const ULONG length : {0u, 4u, 255u, 256u}) {
        SCOPED_TRACE(length);
        Pair p(0xA5);
        SetName(p.expected, std::vector<uint16_t>(source.begin(), source.begin() + length));
        EXPECT_EQ(StorePortName(source.data(), length, &p.actual), TRUE);
        EXPECT_TRUE(SameBytes(p.actual, p.expected));
    }
    for (const ULONG length : {257u, 1000u}) {
        SCOPED_TRACE(length);
        Pair p(0xA5);
        EXPECT_EQ(StorePortName(source.data(), length, &p.actual), FALSE);
        EXPECT_TRUE(SameBytes(p.actual, p.expected));
    }
}

TEST(Layouts, ResetCalibrationLeavesEverythingElse)
{
    Pair p(0xA5);
    TOUCH_SETTINGS& e = p.expected;
    e.InvertX = 0, e.InvertY = 0, e.ScaleXInteger = 1, e.ScaleXFraction = 0, e.OffsetX = 0;
    e.ScaleYInteger = 1, e.ScaleYFraction = 0, e.OffsetY = 0;
    ResetCalibration(&p.actual);
    EXPECT_TRUE(SameBytes(p.actual, p.expected));
}

TEST(Layouts, ControlCodes)
{
#define CODE(name, value) {#name, name, value}
    const struct {
        const char* Name;
        unsigned Code, Value;
    } codes[] = {
        CODE(IOCTL_TOUCH_SET_PORT, 0x001A2014u),
        CODE(IOCTL_TOUCH_OPEN_PORT, 0x001A2018u),
        CODE(IOCTL_TOUCH_CLOSE_PORT, 0x001A201Cu),
        CODE(IOCTL_TOUCH_SET_CALIBRATION, 0x001A2030u),
        CODE(IOCTL_TOUCH_RESET_CALIBRATION, 0x001A2058u),
        CODE(IOCTL_TOUCH_SET_FILTER, 0x001A2080u),
        CODE(IOCTL_TOUCH_SET_BEEP_ENABLE, 0x001A20A8u),
        CODE(IOCTL_TOUCH_SET_BEEP_TONE, 0x001A20D0u),
        CODE(IOCTL_TOUCH_SET_BUTTON_MODE, 0x001A20F8u),
        CODE(IOCTL_TOUCH_GET_CONTROLLER_INFO, 0x001A2120u),
        CODE(IOCTL_TOUCH_GET_DRIVER_INFO, 0x001A2124u),
        CODE(IOCTL_TOUCH_SET_RANGE, 0x001A2148u),
        CODE(IOCTL_TOUCH_SET_MULTI_MONITOR, 0x001A2170u),
        CODE(IOCTL_TOUCH_CLEAR_MULTI_MONITOR, 0x001A2198u),
        CODE(IOCTL_TOUCH_SET_LTRB, 0x001A21C0u),
    };
#undef CODE
    for (const auto& c : codes) {
        EXPECT_EQ(c.Code, c.Value) << c.Name;
    }
}

} // namespace
