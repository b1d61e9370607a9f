// The models the driver is tested against must themselves behave like the
// real serial port driver, mouse class driver and controller.
#include "hostkernel.h"
#include "mouse_class.h"
#include "serial_port.h"
#include "touch_controller.h"
#include "verifier.h"

#include <gtest/gtest.h>

#include <ntddser.h>

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
