#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "touch_core.h"

namespace {

const UCHAR Sentinel = 0xA5;

class Framing : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetDefaultTouchSettings(&settings);
        settings.Ltrb = 1; // axes as they come, so a report shows the raw position
    }

    bool ReportWritten() const
    {
        MOUSE_INPUT_DATA untouched;
        std::memset(&untouched, Sentinel, sizeof untouched);
        return std::memcmp(&untouched, &report, sizeof report) != 0;
    }

    // One character per byte: 'T' = returned TRUE and the pipeline wrote the
    // report, '.' = returned FALSE and the report is untouched; anything else
    // ('!' TRUE without a report, 'w' FALSE with one, '?' neither TRUE nor
    // FALSE) is a fault. ByteIndex after each byte goes to `indexes`.
    std::string Feed(const std::vector<UCHAR>& bytes)
    {
        std::string trace;
        indexes.clear();
        for (UCHAR byte : bytes) {
            std::memset(&report, Sentinel, sizeof report);
            const BOOLEAN done = ParseTouchByte(&settings, &report, &state, byte);
            const bool written = ReportWritten();
            if (done == TRUE) {
                trace += written ? 'T' : '!';
            } else if (done == FALSE) {
                trace += written ? 'w' : '.';
            } else {
                trace += '?';
            }
            indexes.push_back(state.ByteIndex);
        }
        return trace;
    }

    TOUCH_SETTINGS settings{};
    PACKET_STATE state{};
    MOUSE_INPUT_DATA report{};
    std::vector<ULONG> indexes;
};

using Indexes = std::vector<ULONG>;

TEST_F(Framing, ValidPacketsReportOnTheirLastByteOnly)
{
    struct Case {
        std::vector<UCHAR> Bytes;
        ULONG Buttons;
        LONG X, Y;
    };
    const Case cases[] = {
        {{0x6A, 0x3C, 0x04, 0x23, 0x0D}, 1, 0xABC0, 0x1200},
        {{0x60, 0x00, 0x10, 0x00, 0x30}, 1, 0x8000, 0x4000},
        {{0x7F, 0x3F, 0x3F, 0x3F, 0x3C}, 1, 0xFFC0, 0xFFC0}, // the sum carries out of 8 bits
        {{0x40, 0x00, 0x00, 0x00, 0x00}, 0, 0, 0},           // release
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.Bytes));
        state = PACKET_STATE{};
        EXPECT_EQ(Feed(c.Bytes), "....T");
        EXPECT_EQ(indexes, (Indexes{1, 2, 3, 4, 0}));
        EXPECT_EQ(report.RawButtons, c.Buttons);
        EXPECT_EQ(report.LastX, c.X);
        EXPECT_EQ(report.LastY, c.Y);
        EXPECT_EQ(0, std::memcmp(state.Packet, c.Bytes.data(), 5));
        EXPECT_EQ(state.DiscardCount, 0u);
    }
}

TEST_F(Framing, BadChecksumIsDroppedUncountedAndTheNextPacketAccepted)
{
    EXPECT_EQ(Feed({0x6A, 0x3C, 0x04, 0x23, 0x0E}), ".....");
    EXPECT_EQ(indexes, (Indexes{1, 2, 3, 4, 0}));
    EXPECT_EQ(state.DiscardCount, 0u);
    EXPECT_EQ(Feed({0x6A, 0x3C, 0x04, 0x23, 0x0D}), "....T");
}

TEST_F(Framing, StartByteInsidePacketCostsBothPackets)
{
    EXPECT_EQ(Feed({0x6A, 0x3C, 0x60, 0x00, 0x10, 0x00, 0x30}), ".......");
    EXPECT_EQ(indexes, (Indexes{1, 2, 0, 0, 0, 0, 0}));
    EXPECT_EQ(state.DiscardCount, 5u);
    EXPECT_EQ(Feed({0x60, 0x00, 0x10, 0x00, 0x30}), "....T");
    EXPECT_EQ(report.LastX, 0x8000);
    EXPECT_EQ(state.DiscardCount, 5u);
}

TEST_F(Framing, StrayDataByteIsCountedAndTheCountWraps)
{
    EXPECT_EQ(Feed({0x15}), ".");
    EXPECT_EQ(state.ByteIndex, 0u);
    EXPECT_EQ(state.DiscardCount, 1u);
    state.DiscardCount = 0xFFFFFFFFu;
    EXPECT_EQ(Feed({0x3F}), ".");
    EXPECT_EQ(state.DiscardCount, 0u);
}

TEST_F(Framing, LineSpeedResponseSetsOnlyKnownCodes)
{
    const struct {
        UCHAR Code;
        ULONG Baud;
    } cases[] = {{0x81, 2400}, {0x82, 4800}, {0x83, 9600}, {0x84, 19200}, {0x80, 1234}, {0x85, 1234}, {0xBF, 1234}};
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.Code));
        settings.BaudRate = 1234;
        EXPECT_EQ(Feed({0xC2, c.Code}), "..");
        EXPECT_EQ(indexes, (Indexes{1, 0}));
        EXPECT_EQ(settings.BaudRate, c.Baud);
        // The response is over: a further response byte arrives at idle and is ignored.
        EXPECT_EQ(Feed({0x84}), ".");
        EXPECT_EQ(settings.BaudRate, c.Baud);
        EXPECT_EQ(state.DiscardCount, 0u);
    }
}

TEST_F(Framing, ControllerInfoResponse)
{
    std::memset(settings.ControllerInfo, 9, 4);
    EXPECT_EQ(Feed({0xC1, 0x81, 0x82, 0x83, 0xBF}), ".....");
    EXPECT_EQ(indexes, (Indexes{1, 2, 3, 4, 0}));
    EXPECT_EQ(std::vector<UCHAR>(settings.ControllerInfo, settings.ControllerInfo + 4), (std::vector<UCHAR>{1, 2, 3, 0x3F}));
    EXPECT_EQ(state.ResponseType, 1u);

    // A header inside the response ends it; the data byte after it arrives at idle.
    std::memset(settings.ControllerInfo, 9, 4);
    EXPECT_EQ(Feed({0xC1, 0x85, 0xC1, 0x86}), "....");
    EXPECT_EQ(indexes, (Indexes{1, 2, 0, 0}));
    EXPECT_EQ(std::vector<UCHAR>(settings.ControllerInfo, settings.ControllerInfo + 4), (std::vector<UCHAR>{5, 9, 9, 9}));
    EXPECT_EQ(state.ResponseType, 1u);
    EXPECT_EQ(state.DiscardCount, 0u);
}

TEST_F(Framing, DatalessHeaderOnlyRecordsItsType)
{
    for (const UCHAR header : {0xC0, 0xC3, 0xFF}) {
        SCOPED_TRACE(static_cast<int>(header));
        std::memset(settings.ControllerInfo, 9, 4);
        settings.BaudRate = 1234;
        EXPECT_EQ(Feed({header, 0x81, 0x83}), "...");
        EXPECT_EQ(indexes, (Indexes{0, 0, 0}));
        EXPECT_EQ(state.ResponseType, header & 0x3Fu);
        EXPECT_EQ(settings.ControllerInfo[0], 9);
        EXPECT_EQ(settings.BaudRate, 1234u);
    }
}

TEST_F(Framing, HeaderInsidePacketAbandonsItKeepingTheOldType)
{
    settings.BaudRate = 1234;
    // 0x83 after the dropped header arrives at idle; 0x3C is then a stray data byte.
    EXPECT_EQ(Feed({0xC3, 0x6A, 0xC2, 0x83, 0x3C}), ".....");
    EXPECT_EQ(indexes, (Indexes{0, 1, 0, 0, 0}));
    EXPECT_EQ(state.ResponseType, 3u);
    EXPECT_EQ(settings.BaudRate, 1234u);
    EXPECT_EQ(state.DiscardCount, 1u);
}

TEST_F(Framing, ResponseDataInsidePacketFollowsTheLastResponseType)
{
    Feed({0xC1, 0x81, 0x82, 0x83, 0x84});
    EXPECT_EQ(Feed({0x6A, 0x90}), "..");
    EXPECT_EQ(settings.ControllerInfo[0], 0x10);
    EXPECT_EQ(state.ByteIndex, 2u);

    state = PACKET_STATE{};
    Feed({0xC2, 0x81});
    EXPECT_EQ(Feed({0x6A, 0x83, 0x3C}), "...");
    EXPECT_EQ(indexes, (Indexes{1, 0, 0}));
    EXPECT_EQ(settings.BaudRate, 9600u);
    EXPECT_EQ(state.DiscardCount, 1u);
    EXPECT_EQ(Feed({0x6A, 0x3C, 0x81}), "..."); // only index 1 carries the code
    EXPECT_EQ(indexes, (Indexes{1, 2, 0}));
    EXPECT_EQ(settings.BaudRate, 9600u);

    state = PACKET_STATE{};
    Feed({0xC3});
    EXPECT_EQ(Feed({0x6A, 0x3C, 0x84}), "...");
    EXPECT_EQ(indexes, (Indexes{1, 2, 0}));
    EXPECT_EQ(settings.BaudRate, 9600u);
}

TEST_F(Framing, TouchDataInsideResponseCompletesPacketFromWhatItHolds)
{
    EXPECT_EQ(Feed({0x6A, 0x3C, 0x04, 0x23, 0x0D}), "....T");
    // Packet[0..1] still hold 6A 3C, so the data bytes at 2..4 complete a valid packet.
    EXPECT_EQ(Feed({0xC1, 0x81, 0x04, 0x23, 0x0D}), "....T");
    EXPECT_EQ(indexes, (Indexes{1, 2, 3, 4, 0}));
    EXPECT_EQ(settings.ControllerInfo[0], 1);
    EXPECT_EQ(report.LastX, 0xABC0);
}

} // namespace
