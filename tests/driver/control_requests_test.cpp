// The configuration tool's requests, on the control device and on the FDO:
// lengths at and around each minimum, the replies, unknown codes, and the
// requests that name, open and close the serial port.
#include "serial_link_fixture.h"

#include <functional>

namespace {

using Buffer = std::vector<uint8_t>;

ULONG Le(const Buffer& In, size_t Offset, size_t Size)
{
    ULONG value = 0;
    for (size_t i = 0; i < Size; i++) {
        value |= static_cast<ULONG>(In[Offset + i]) << (8 * i);
    }
    return value;
}

Buffer Pattern(size_t Length, uint8_t First)
{
    Buffer bytes(Length);
    for (size_t i = 0; i < Length; i++) {
        bytes[i] = static_cast<uint8_t>(First + i);
    }
    return bytes;
}

struct InputRequest {
    const char* Name;
    ULONG Code;
    size_t Minimum;
    std::function<void(const TOUCH_SETTINGS&, const Buffer&)> Check;
};

const InputRequest InputRequests[] = {
    {"SetCalibration", IOCTL_TOUCH_SET_CALIBRATION, 18,
     [](const TOUCH_SETTINGS& S, const Buffer& In) {
         EXPECT_EQ(S.InvertX, In[0]);
         EXPECT_EQ(S.ScaleXInteger, Le(In, 2, 2));
         EXPECT_EQ(static_cast<ULONG>(S.OffsetX), Le(In, 6, 4));
         EXPECT_EQ(static_cast<ULONG>(S.OffsetY), Le(In, 14, 4));
     }},
    {"SetFilter", IOCTL_TOUCH_SET_FILTER, 8,
     [](const TOUCH_SETTINGS& S, const Buffer& In) {
         EXPECT_EQ(S.FilterWeightCurrent, Le(In, 0, 2));
         EXPECT_EQ(S.FilterWeightPrevOutput, Le(In, 4, 4));
     }},
    {"SetBeepEnable", IOCTL_TOUCH_SET_BEEP_ENABLE, 1,
     [](const TOUCH_SETTINGS& S, const Buffer& In) { EXPECT_EQ(S.BeepEnabled, In[0]); }},
    {"SetBeepTone", IOCTL_TOUCH_SET_BEEP_TONE, 6,
     [](const TOUCH_SETTINGS& S, const Buffer& In) {
         EXPECT_EQ(S.BeepDivisor, Le(In, 0, 2));
         EXPECT_EQ(S.BeepDurationMs, Le(In, 2, 4));
     }},
    {"SetButtonMode", IOCTL_TOUCH_SET_BUTTON_MODE, 1,
     [](const TOUCH_SETTINGS& S, const Buffer& In) { EXPECT_EQ(S.ButtonMode, In[0]); }},
    {"SetRange", IOCTL_TOUCH_SET_RANGE, 16,
     [](const TOUCH_SETTINGS& S, const Buffer& In) {
         for (size_t i = 0; i < 4; i++) {
             EXPECT_EQ(S.StoredRange[i], Le(In, 4 * i, 4));
         }
     }},
    {"SetMultiMonitor", IOCTL_TOUCH_SET_MULTI_MONITOR, 24,
     [](const TOUCH_SETTINGS& S, const Buffer& In) {
         EXPECT_EQ(static_cast<ULONG>(S.TouchMonitorOx), Le(In, 0, 4));
         EXPECT_EQ(static_cast<ULONG>(S.PrimaryMonitorHeight), Le(In, 20, 4));
         EXPECT_EQ(S.MultiMonitor, 1);
     }},
    {"SetLtrb", IOCTL_TOUCH_SET_LTRB, 1, [](const TOUCH_SETTINGS& S, const Buffer& In) { EXPECT_EQ(S.Ltrb, In[0]); }},
};

enum class Target { ControlDevice, Fdo };

std::string TargetName(Target T)
{
    return T == Target::Fdo ? "Fdo" : "ControlDevice";
}

} // namespace

// Every request behaves the same whether it reaches the control device or
// the FDO, and none is passed down the FDO's stack.
class ControlRequestTest : public SerialLinkTest {
protected:
    HkIoResult Send(Target To, ULONG Code, const Buffer& Input = {}, ULONG OutputLength = 0)
    {
        return To == Target::Fdo ? FdoControl(Code, Input, OutputLength) : Control(Code, Input, OutputLength);
    }

    void ExpectNothingPassedDown()
    {
        for (const HkBusRequest& request : HkBusRequests(Pdo)) {
            EXPECT_NE(request.Major, IRP_MJ_DEVICE_CONTROL);
        }
    }
};

class ControlRequestLengths : public ControlRequestTest,
                              public ::testing::WithParamInterface<std::tuple<InputRequest, Target>> {};

TEST_P(ControlRequestLengths, ShortInputChangesNothingLongerInputUsesTheLayout)
{
    const auto& [request, to] = GetParam();
    BringUp();
    const Buffer before = SettingsBytes();
    const HkIoResult tooShort = Send(to, request.Code, Pattern(request.Minimum - 1, 0x21));
    EXPECT_EQ(tooShort.Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooShort.Information, 0u);
    EXPECT_EQ(SettingsBytes(), before);

    const Buffer exact = Pattern(request.Minimum, 0x21);
    const HkIoResult atMinimum = Send(to, request.Code, exact);
    EXPECT_EQ(atMinimum.Status, STATUS_SUCCESS);
    EXPECT_EQ(atMinimum.Information, 0u);
    request.Check(Settings(), exact);

    const Buffer longer = Pattern(request.Minimum + 3, 0x41);
    EXPECT_EQ(Send(to, request.Code, longer).Status, STATUS_SUCCESS);
    request.Check(Settings(), longer);
    ExpectNothingPassedDown();
}

INSTANTIATE_TEST_SUITE_P(Requests, ControlRequestLengths,
                         ::testing::Combine(::testing::ValuesIn(InputRequests),
                                            ::testing::Values(Target::ControlDevice, Target::Fdo)),
                         [](const auto& Info) {
                             return std::string(std::get<0>(Info.param).Name) + "On" +
                                    TargetName(std::get<1>(Info.param));
                         });

class ControlRequests : public ControlRequestTest, public ::testing::WithParamInterface<Target> {};

TEST_P(ControlRequests, ControllerInfoReply)
{
    BringUpOpen();
    const HkIoResult tooShort = Send(GetParam(), IOCTL_TOUCH_GET_CONTROLLER_INFO, {}, 3);
    EXPECT_EQ(tooShort.Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tooShort.Information, 0u);
    // Zeros until the controller has answered.
    HkIoResult reply = Send(GetParam(), IOCTL_TOUCH_GET_CONTROLLER_INFO, {}, 4);
    EXPECT_EQ(reply.Status, STATUS_SUCCESS);
    EXPECT_EQ(reply.Output, (Buffer{0, 0, 1, 0}));

    PeerTouchController controller;
    controller.ControllerInfo(0x12, 0x34, 0x05, 0x06);
    Play(Port(), controller);
    reply = Send(GetParam(), IOCTL_TOUCH_GET_CONTROLLER_INFO, {}, 8);
    EXPECT_EQ(reply.Status, STATUS_SUCCESS);
    EXPECT_EQ(reply.Information, 4u);
    EXPECT_EQ(reply.Output, (Buffer{0x12, 0x34, 1, 0}));
    ExpectNothingPassedDown();
}

TEST_P(ControlRequests, DriverInfoReplyNeverClaimsMoreThanItWrote)
{
    BringUp();
    EXPECT_EQ(Send(GetParam(), IOCTL_TOUCH_GET_DRIVER_INFO, {}, 2).Status, STATUS_BUFFER_TOO_SMALL);
    HkIoResult reply = Send(GetParam(), IOCTL_TOUCH_GET_DRIVER_INFO, {}, 3);
    EXPECT_EQ(reply.Status, STATUS_SUCCESS);
    EXPECT_EQ(reply.Information, 3u);
    EXPECT_EQ(reply.Output, (Buffer{2, 1, 5}));
    // The shared buffer still holds the input: the fourth byte must not echo it.
    for (ULONG out : {4u, 8u}) {
        reply = Send(GetParam(), IOCTL_TOUCH_GET_DRIVER_INFO, Buffer(8, 0xEE), out);
        EXPECT_EQ(reply.Status, STATUS_SUCCESS);
        EXPECT_EQ(reply.Information, 4u);
        EXPECT_EQ(reply.Output, (Buffer{2, 1, 5, 0}));
    }
}

TEST_P(ControlRequests, UnknownCodesAreRefused)
{
    BringUp();
    const Buffer before = SettingsBytes();
    // Unused function; known function with another method or access; a serial code; 0.
    for (ULONG code : {0x001A2020u, 0x001A2015u, 0x001A2016u, 0x001A6014u, 0x001A20A9u, 0x001B0004u, 0u}) {
        const HkIoResult result = Send(GetParam(), code, Buffer(32, 1), 8);
        EXPECT_EQ(result.Status, STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
        EXPECT_EQ(result.Information, 0u);
    }
    EXPECT_EQ(SettingsBytes(), before);
    ExpectNothingPassedDown();
}

TEST_P(ControlRequests, ResetCalibrationTouchesOnlyTheCalibration)
{
    BringUp();
    ASSERT_EQ(Send(GetParam(), IOCTL_TOUCH_SET_CALIBRATION, Pattern(18, 0x21)).Status, STATUS_SUCCESS);
    ASSERT_EQ(Send(GetParam(), IOCTL_TOUCH_SET_FILTER, Pattern(8, 0x61)).Status, STATUS_SUCCESS);
    TOUCH_SETTINGS expected = Settings();
    expected.InvertX = expected.InvertY = 0;
    expected.ScaleXInteger = expected.ScaleYInteger = 1;
    expected.ScaleXFraction = expected.ScaleYFraction = 0;
    expected.OffsetX = expected.OffsetY = 0;
    EXPECT_EQ(Send(GetParam(), IOCTL_TOUCH_RESET_CALIBRATION).Status, STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&Settings(), &expected, sizeof expected), 0);
}

TEST_P(ControlRequests, MultiMonitorSwitchesOnlyWithItsMapping)
{
    BringUp();
    const Buffer map = Pattern(24, 0x01);
    ASSERT_EQ(Send(GetParam(), IOCTL_TOUCH_SET_MULTI_MONITOR, map).Status, STATUS_SUCCESS);
    EXPECT_EQ(Settings().MultiMonitor, 1);
    EXPECT_EQ(Send(GetParam(), IOCTL_TOUCH_CLEAR_MULTI_MONITOR).Status, STATUS_SUCCESS);
    EXPECT_EQ(Settings().MultiMonitor, 0);
    EXPECT_EQ(static_cast<ULONG>(Settings().TouchMonitorWidth), Le(map, 8, 4));
    EXPECT_EQ(Send(GetParam(), IOCTL_TOUCH_SET_MULTI_MONITOR, Pattern(23, 0x01)).Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Settings().MultiMonitor, 0);
}

TEST_P(ControlRequests, PortRequestsWork)
{
    BringUp();
    EXPECT_EQ(Send(GetParam(), IOCTL_TOUCH_CLOSE_PORT).Status, STATUS_SUCCESS); // none open yet
    EXPECT_EQ(Send(GetParam(), IOCTL_TOUCH_SET_PORT, Bytes("COM1")).Status, STATUS_SUCCESS);
    EXPECT_TRUE(Port().ReadPending());
    EXPECT_EQ(Send(GetParam(), IOCTL_TOUCH_CLOSE_PORT).Status, STATUS_SUCCESS);
    EXPECT_FALSE(Port().IsOpen());
    ExpectNothingPassedDown();
}

INSTANTIATE_TEST_SUITE_P(Targets, ControlRequests, ::testing::Values(Target::ControlDevice, Target::Fdo),
                         [](const auto& Info) { return TargetName(Info.param); });

// ---------------------------------------------------------------- port requests

class PortRequests : public SerialLinkTest {};

TEST_F(PortRequests, SetPortReplacesTheNameClosesTheOldPortAndOpensTheNew)
{
    BringUpOpen();
    PeerSerialPort& com2 = AddPort("COM2", 1);
    EXPECT_EQ(SetPort("COM2222222").Status, STATUS_NOT_FOUND);
    EXPECT_FALSE(Port().IsOpen()) << "the old port is closed even when the new one is not found";
    EXPECT_EQ(Extension->SerialDevice, nullptr);

    ASSERT_EQ(SetPort("COM2").Status, STATUS_SUCCESS);
    EXPECT_EQ(HkNarrow(Settings().PortNameBuffer, 4), "COM2");
    for (size_t i = 4; i < PORT_NAME_CHARACTERS; i++) {
        ASSERT_EQ(Settings().PortNameBuffer[i], 0) << i;
    }
    EXPECT_TRUE(com2.ReadPending());
    EXPECT_EQ(com2.BaudRate(), 19200u);
    EXPECT_EQ(RemoveLockHolds(), 1u);
}

TEST_F(PortRequests, SetPortNameLengths)
{
    BringUpOpen();
    EXPECT_EQ(SetPort(std::string(257, 'C')).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PortName(), "COM1");
    EXPECT_TRUE(Port().ReadPending()) << "a refused name leaves the port in use";

    EXPECT_EQ(SetPort(std::string(256, 'C')).Status, STATUS_NOT_FOUND);
    EXPECT_EQ(HkNarrow(Settings().PortNameBuffer, PORT_NAME_CHARACTERS), std::string(256, 'C'));
    EXPECT_FALSE(Port().IsOpen());

    EXPECT_EQ(SetPort("").Status, STATUS_NOT_FOUND);
    EXPECT_EQ(PortName(), "");
    EXPECT_EQ(RemoveLockHolds(), 0u);
}

TEST_F(PortRequests, OpenPortTakesNameAndLineSpeed)
{
    BringUp();
    const HkIoResult result = Control(IOCTL_TOUCH_OPEN_PORT, {4, 'C', 'O', 'M', '1', 0x00, 0x96, 0x00, 0x00});
    ASSERT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 0u);
    EXPECT_EQ(PortName(), "COM1");
    EXPECT_EQ(Settings().BaudRate, 38400u);
    EXPECT_EQ(Port().BaudRate(), 38400u);
    EXPECT_TRUE(Port().ReadPending());
}

TEST_F(PortRequests, OpenPortWhileOpenClosesFirst)
{
    BringUpOpen();
    PeerSerialPort& com2 = AddPort("COM2", 1);
    ASSERT_EQ(OpenPort("COM2", 9600).Status, STATUS_SUCCESS);
    EXPECT_FALSE(Port().IsOpen());
    EXPECT_FALSE(Port().ReadPending());
    EXPECT_TRUE(com2.ReadPending());
    EXPECT_EQ(com2.BaudRate(), 9600u);
    EXPECT_EQ(RemoveLockHolds(), 1u);
    com2.Deliver(PeerTouchPacket(100, 100));
    EXPECT_EQ(Reports().size(), 1u);
}

TEST_F(PortRequests, OpenPortWithoutInputReopensTheCurrentPort)
{
    BringUpOpen();
    ASSERT_EQ(OpenPort("COM1", 9600).Status, STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_TOUCH_CLOSE_PORT).Status, STATUS_SUCCESS);
    ASSERT_EQ(Control(IOCTL_TOUCH_OPEN_PORT).Status, STATUS_SUCCESS);
    EXPECT_EQ(Port().OpenCount(), 3u);
    EXPECT_EQ(Port().BaudRate(), 9600u);
    EXPECT_TRUE(Port().ReadPending());
}

TEST_F(PortRequests, OpenPortWithAnEmptyNameStoresTheLineSpeed)
{
    BringUpOpen();
    EXPECT_EQ(Control(IOCTL_TOUCH_OPEN_PORT, {0, 0xC0, 0x12, 0x00, 0x00}).Status, STATUS_NOT_FOUND);
    EXPECT_EQ(PortName(), "");
    EXPECT_EQ(Settings().BaudRate, 4800u);
    EXPECT_TRUE(Port().IsOpen()); // nothing was found to replace it
}

TEST_F(PortRequests, OpenPortOfAnUnknownNameKeepsWhatItWasGiven)
{
    BringUp();
    EXPECT_EQ(OpenPort("COM9", 4800).Status, STATUS_NOT_FOUND);
    EXPECT_EQ(PortName(), "COM9");
    EXPECT_EQ(Settings().BaudRate, 4800u);
    EXPECT_EQ(Extension->SerialDevice, nullptr);
}

// A mistyped name must not cost a working touchscreen: the port in use is
// closed only once the new name has been found.
TEST_F(PortRequests, OpenPortOfAnUnknownNameLeavesTheRunningPortRunning)
{
    BringUpOpen();
    EXPECT_EQ(OpenPort("COM9", 9600).Status, STATUS_NOT_FOUND);
    EXPECT_EQ(PortName(), "COM9");
    EXPECT_TRUE(Port().IsOpen());
    EXPECT_TRUE(Port().ReadPending());
    EXPECT_EQ(RemoveLockHolds(), 1u);
    Port().Deliver(PeerTouchPacket(100, 100));
    EXPECT_EQ(Reports().size(), 1u);
    // Asking for the same port again reopens it.
    EXPECT_EQ(OpenPort("COM1", 9600).Status, STATUS_SUCCESS);
    EXPECT_EQ(Port().OpenCount(), 2u);
    EXPECT_TRUE(Port().ReadPending());
}

TEST_F(PortRequests, OpenPortInputShorterThanAnnouncedChangesNothing)
{
    BringUpOpen();
    const Buffer before = SettingsBytes();
    for (const Buffer& input : {Buffer{4, 'C', 'O', 'M', '2', 0x80, 0x25, 0x00}, Buffer{0x10}, Buffer{0, 1, 2, 3}}) {
        EXPECT_EQ(Control(IOCTL_TOUCH_OPEN_PORT, input).Status, STATUS_BUFFER_TOO_SMALL);
    }
    EXPECT_EQ(SettingsBytes(), before);
    EXPECT_TRUE(Port().ReadPending());
    EXPECT_EQ(Port().OpenCount(), 1u);
}

// The controller's line-speed answer is kept for the next open only.
TEST_F(PortRequests, LineSpeedResponseAppliesAtTheNextOpen)
{
    BringUpOpen();
    PeerTouchController controller;
    controller.LineSpeedResponse(0x81);
    Play(Port(), controller);
    EXPECT_EQ(Settings().BaudRate, 2400u);
    EXPECT_EQ(Port().BaudRate(), 19200u);
    ASSERT_EQ(SetPort("COM1").Status, STATUS_SUCCESS);
    EXPECT_EQ(Port().BaudRate(), 2400u);
}

TEST_F(PortRequests, PortRequestsFromTwoThreadsLeaveOnePortInUse)
{
    BringUp();
    PeerSerialPort& com2 = AddPort("COM2", 1);
    auto churn = [this](const char* Name) {
        for (int i = 0; i < 30; i++) {
            EXPECT_EQ(OpenPort(Name, 9600).Status, STATUS_SUCCESS);
            EXPECT_EQ(SetPort(Name).Status, STATUS_SUCCESS);
            if (i % 3 == 0) {
                EXPECT_EQ(Control(IOCTL_TOUCH_CLOSE_PORT).Status, STATUS_SUCCESS);
            }
        }
    };
    HkRunAsync([&] { churn("COM2"); }, PASSIVE_LEVEL);
    churn("COM1");
    HkWaitAsyncIdle();
    EXPECT_EQ(Port().IsOpen() + com2.IsOpen(), 1);
    EXPECT_EQ(Port().ReadPending() + com2.ReadPending(), 1);
    EXPECT_EQ(RemoveLockHolds(), 1u);
}
