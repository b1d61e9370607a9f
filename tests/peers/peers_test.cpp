// The models the driver is tested against must themselves behave like the
// real serial port driver, mouse class driver and controller.
#include "hostkernel.h"
#include "mouse_class.h"
#include "serial_port.h"
#include "touch_controller.h"
#include "verifier.h"

#include <gtest/gtest.h>

#include <ntddser.h>

#include <sstream>

namespace {

class PeerTest : public ::testing::Test {
protected:
    void SetUp() override { HkReset(); }
    void TearDown() override
    {
        EXPECT_EQ(HkVerifierReport(), "");
        HkReset();
    }
};

TEST(TouchControllerPeer, PacketsCarryTwelveBitsAndTheChecksum)
{
    EXPECT_EQ(PeerTouchPacket(0xABC, 0x123), (std::vector<uint8_t>{0x6A, 0x3C, 0x04, 0x23, 0x0D}));
    EXPECT_EQ(PeerTouchPacket(0x800, 0x400), (std::vector<uint8_t>{0x60, 0x00, 0x10, 0x00, 0x30}));
    EXPECT_EQ(PeerReleasePacket(), (std::vector<uint8_t>{0x40, 0x00, 0x00, 0x00, 0x00}));
}

TEST(TouchControllerPeer, TapIsTimedPacketsThenARelease)
{
    PeerTouchController controller(10);
    controller.Wait(5);
    controller.Tap(100, 200, 30);
    const auto& stream = controller.Stream();
    ASSERT_EQ(stream.size(), 4u * 5u); // three samples and a release
    EXPECT_EQ(stream[0].Gap, 5 * PeerTouchController::Millisecond);
    EXPECT_EQ(stream[5].Gap, 10 * PeerTouchController::Millisecond);
    EXPECT_EQ(stream[1].Gap, 0);
    EXPECT_EQ(std::vector<uint8_t>(4, 0), std::vector<uint8_t>({stream[16].Byte, stream[17].Byte, stream[18].Byte,
                                                                stream[19].Byte}));
}

TEST(TouchControllerPeer, ScriptErrorsNameTheLineAndAddNothing)
{
    PeerTouchController controller;
    std::string error;
    EXPECT_FALSE(controller.RunScript("tap 1 2\nswipe 1 2\n", error));
    EXPECT_EQ(error, "line 2: unknown command 'swipe'");
    PeerTouchController other;
    EXPECT_FALSE(other.RunScript("tap 5000 2\n", error));
    EXPECT_EQ(error, "line 1: coordinates run from 0 to 4095");
    EXPECT_TRUE(other.Stream().empty());
    EXPECT_FALSE(other.RunScript("bytes 4G\n", error));
}

// The streamed reader must split text exactly as the line reader does,
// however the lines are laid out.
TEST(TouchControllerPeer, StreamedHexTextReadsAsLineByLine)
{
    const std::vector<std::string> texts = {
        "6A 3c # comment [ctl x]\n+20ms\t40\r\n+1ms +2ms 00\n",
        "!0x102 !!0XC000009A [ctl  buttons \"right]\" ]6A [ctl info]]\n",
        "[ctl click 'o]n'] 00 #[ctl x]\n[ctlx] 00\n",
        "[ctl click off # ] cut by the comment\n",
        "[ctl] 00\n",
        "00 +5ms",
        "6A[ctl info]\n",
        "+99999999999ms\n",
    };
    for (const std::string& text : texts) {
        std::vector<PeerLineEvent> byLine;
        int64_t lineGap = 0;
        std::string lineError;
        int failedLine = 0;
        std::istringstream lines(text);
        std::string line;
        for (int number = 1; std::getline(lines, line) && failedLine == 0; number++) {
            if (!PeerReadLineEvents(line.substr(0, line.find('#')), number, true, byLine, lineGap, lineError)) {
                failedLine = number;
            }
        }
        std::vector<PeerLineEvent> streamed;
        int64_t streamGap = 0;
        std::string streamError;
        PeerInputBudget budget;
        int at = 1;
        std::istringstream in(text);
        const bool read = PeerReadEventStream(in, at, true, false, streamGap, budget,
                                              [&](PeerLineEvent& Event, std::string&) {
                                                  streamed.push_back(Event);
                                                  return true;
                                              },
                                              streamError);
        EXPECT_EQ(read, failedLine == 0) << text;
        if (read) {
            EXPECT_EQ(streamed, byLine) << text;
            EXPECT_EQ(streamGap, lineGap) << text;
        } else {
            EXPECT_EQ(at, failedLine) << text;
            EXPECT_EQ(streamError, lineError) << text;
        }
    }
}

// Limits hold before a command is expanded, so a careless script fails at
// once instead of filling memory.
TEST(TouchControllerPeer, ScriptsPastTheLimitsAreRefusedBeforeExpanding)
{
    for (const auto& [script, fragment] : std::vector<std::pair<std::string, std::string>>{
             {"every 1\nhold 5 5 4294967295\n", "line 2: 'hold' (4294967295 packets, one every 1 ms): a session sends at most 100000000 bytes"},
             {"drag 0 0 9 9 4294967295\n", "line 1: 'drag'"},
             {"wait 86400000\ntap 1 1\n", "line 2: 'tap'"},
             {"wait 4294967295\n", "at most 86400000 ms (24 hours)"},
         }) {
        PeerTouchController controller;
        std::string error;
        EXPECT_FALSE(controller.RunScript(script, error)) << script;
        EXPECT_NE(error.find(fragment), std::string::npos) << error;
        EXPECT_LT(controller.Events().size(), 10u) << script;
    }
    PeerTouchController small;
    small.SetLimits({12, 1000});
    std::string error;
    EXPECT_TRUE(small.RunScript("tap 1 1 10\nwait 980\n", error)) << error; // 10 bytes, 990 ms
    EXPECT_FALSE(small.RunScript("bytes 00 00 00\n", error));
    EXPECT_EQ(error, "line 1: 'bytes': a session sends at most 12 bytes; this would send 1 more after 12");
    EXPECT_FALSE(small.RunScript("wait 11\n", error));
    EXPECT_EQ(small.Budget().SilenceMs(), 990);
}

TEST_F(PeerTest, SerialPortIsListedAndOpensExclusively)
{
    PeerSerialPort port({.ComName = "COM3", .Index = 2});
    const auto value = HkRegGetValue("\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM", "\\Device\\Serial2");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->Data, HkRegStringData("COM3"));

    std::u16string name = HkWide("\\Device\\Serial2");
    UNICODE_STRING deviceName = HkUnicodeString(name);
    PFILE_OBJECT first = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&deviceName, FILE_ALL_ACCESS, &first, &device), STATUS_SUCCESS);
    EXPECT_EQ(device, port.Device());
    PFILE_OBJECT second = nullptr;
    EXPECT_EQ(IoGetDeviceObjectPointer(&deviceName, FILE_ALL_ACCESS, &second, &device), STATUS_ACCESS_DENIED);
    ObDereferenceObject(first);
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(PeerTest, MouseClassRefusesReportsOutsideDispatchLevel)
{
    PeerMouseClass mouse;
    MOUSE_INPUT_DATA report{};
    ULONG consumed = 0;
    EXPECT_THROW(mouse.Receive(&report, &report + 1, &consumed), HkVerifierFailure);
    HkVerifierResetFailures();
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    mouse.Receive(&report, &report + 1, &consumed);
    KeLowerIrql(irql);
    EXPECT_EQ(consumed, 1u);
    ASSERT_EQ(mouse.Reports().size(), 1u);
    EXPECT_EQ(mouse.Reports()[0].Irql, DISPATCH_LEVEL);
}

} // namespace
