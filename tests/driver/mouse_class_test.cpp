// The mouse class driver's side of the touch FDO: connect, attributes, the
// internal requests it does not serve, and what happens to touches while no
// class driver listens.
#include "driver_fixture.h"

#include <cstring>

namespace {

constexpr ULONG MouseCode(ULONG Function, ULONG Method)
{
    return (0x0F << 16) | (Function << 2) | Method; // FILE_DEVICE_MOUSE, FILE_ANY_ACCESS
}

} // namespace

class MouseClassTest : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        Load();
        AddAndStart();
        Mouse = std::make_unique<PeerMouseClass>();
    }

    size_t LockHolds() { return HkRemoveLockHolds(&Extension->RemoveLock); }
};

TEST_F(MouseClassTest, ConnectTakesTheClassServiceOnce)
{
    EXPECT_EQ(Extension->ConnectData.ClassService, nullptr);
    ASSERT_EQ(Mouse->Connect(Fdo), STATUS_SUCCESS);
    EXPECT_EQ(Extension->ConnectData.ClassDeviceObject, Mouse->ClassDevice());
    const PVOID service = Extension->ConnectData.ClassService;
    EXPECT_NE(service, nullptr);

    // A second connect is refused before its buffer is looked at, from the
    // same class driver or another one.
    PeerMouseClass other;
    EXPECT_EQ(Mouse->Connect(Fdo), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(other.Connect(Fdo), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(other.Connect(Fdo, 7), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Extension->ConnectData.ClassDeviceObject, Mouse->ClassDevice());
    EXPECT_EQ(Extension->ConnectData.ClassService, service);
    EXPECT_EQ(LockHolds(), 0u);
}

TEST_F(MouseClassTest, ShortConnectBufferIsRefusedAndLeavesItUnconnected)
{
    for (ULONG length : {0u, 4u, 7u}) {
        EXPECT_EQ(Mouse->Connect(Fdo, length), STATUS_INVALID_PARAMETER) << length;
        EXPECT_EQ(Extension->ConnectData.ClassService, nullptr);
        EXPECT_EQ(Extension->ConnectData.ClassDeviceObject, nullptr);
    }
    EXPECT_EQ(Mouse->Connect(Fdo), STATUS_SUCCESS);
    EXPECT_EQ(LockHolds(), 0u);
}

TEST_F(MouseClassTest, AttributesNeedTwelveBytes)
{
    const struct {
        ULONG OutputLength;
        NTSTATUS Status;
        ULONG_PTR Information;
    } cases[] = {
        {0, STATUS_BUFFER_TOO_SMALL, 0},
        {11, STATUS_BUFFER_TOO_SMALL, 0},
        {12, STATUS_SUCCESS, 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.OutputLength);
        MOUSE_ATTRIBUTES attributes;
        std::memset(&attributes, 0xEE, sizeof(attributes));
        ULONG_PTR information = 99;
        EXPECT_EQ(Mouse->QueryAttributes(Fdo, attributes, c.OutputLength, information), c.Status);
        EXPECT_EQ(information, c.Information);
        if (NT_SUCCESS(c.Status)) {
            EXPECT_EQ(attributes.MouseIdentifier, MOUSE_SERIAL_HARDWARE);
            EXPECT_EQ(attributes.NumberOfButtons, 2);
            EXPECT_EQ(attributes.SampleRate, 40);
            EXPECT_EQ(attributes.InputDataQueueLength, 0u);
        } else {
            EXPECT_EQ(attributes.MouseIdentifier, 0xEEEE);
        }
        EXPECT_EQ(LockHolds(), 0u);
    }
    // Answered the same once connected.
    ASSERT_EQ(Mouse->Connect(Fdo), STATUS_SUCCESS);
    MOUSE_ATTRIBUTES attributes{};
    ULONG_PTR information = 0;
    EXPECT_EQ(Mouse->QueryAttributes(Fdo, attributes, sizeof(attributes), information), STATUS_SUCCESS);
    EXPECT_EQ(information, sizeof(MOUSE_ATTRIBUTES));
}

TEST_F(MouseClassTest, RequestsItDoesNotServe)
{
    ASSERT_EQ(Mouse->Connect(Fdo), STATUS_SUCCESS);
    const struct {
        ULONG Code;
        NTSTATUS Status;
    } cases[] = {
        {IOCTL_INTERNAL_MOUSE_DISCONNECT, STATUS_NOT_IMPLEMENTED},
        {IOCTL_INTERNAL_MOUSE_ENABLE, STATUS_NOT_SUPPORTED},
        {IOCTL_INTERNAL_MOUSE_DISABLE, STATUS_NOT_SUPPORTED},
        {MouseCode(0x0000, 3), STATUS_INVALID_DEVICE_REQUEST}, // attributes' function, other method
        {MouseCode(0x0080, 0), STATUS_INVALID_DEVICE_REQUEST}, // connect's function, other method
        {0x000B0203, STATUS_INVALID_DEVICE_REQUEST},            // the keyboard's connect
        {IOCTL_TOUCH_SET_PORT, STATUS_INVALID_DEVICE_REQUEST},  // a control code on the internal path
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Code);
        EXPECT_EQ(Mouse->SendInternal(Fdo, c.Code), c.Status);
        EXPECT_EQ(LockHolds(), 0u);
    }
    EXPECT_EQ(Extension->TouchSettings.PortNameBuffer[0], 0);
    EXPECT_EQ(Extension->ConnectData.ClassDeviceObject, Mouse->ClassDevice());
}

TEST_F(MouseClassTest, DisconnectKeepsTheConnection)
{
    PeerSerialPort& port = AddPort("COM1", 0);
    ASSERT_EQ(Mouse->Connect(Fdo), STATUS_SUCCESS);
    EXPECT_EQ(Mouse->SendInternal(Fdo, IOCTL_INTERNAL_MOUSE_DISCONNECT), STATUS_NOT_IMPLEMENTED);
    ASSERT_EQ(OpenPort("COM1", 9600).Status, STATUS_SUCCESS);
    port.Deliver(PeerTouchPacket(1000, 1000));
    ASSERT_EQ(Reports().size(), 1u);
    EXPECT_EQ(Reports()[0].Irql, DISPATCH_LEVEL);
}

TEST_F(MouseClassTest, TouchesWithoutClassDriverAreDroppedButFollowed)
{
    PeerSerialPort& port = AddPort("COM1", 0);
    ASSERT_EQ(OpenPort("COM1", 9600).Status, STATUS_SUCCESS);
    port.Deliver(PeerTouchPacket(1000, 2000));
    EXPECT_TRUE(Reports().empty());
    const PACKET_STATE& state = Extension->PacketState;
    EXPECT_NE(state.Touching, 0);
    EXPECT_EQ(state.PreviousButtons, 1u);
    EXPECT_EQ(Extension->InputData.RawButtons, 1u);
    EXPECT_EQ(Extension->InputData.ButtonFlags, 0);
    EXPECT_EQ(Extension->InputData.LastX, LONG(state.LastX));
    EXPECT_EQ(Extension->InputData.LastY, LONG(state.LastY));
    EXPECT_NE(state.LastX, 0u);

    // The class driver arrives mid-touch: the press it missed is not
    // repeated, the release reaches it.
    ASSERT_EQ(Mouse->Connect(Fdo), STATUS_SUCCESS);
    port.Deliver(PeerTouchPacket(1000, 2000));
    port.Deliver(PeerReleasePacket());
    const auto reports = Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].Data.ButtonFlags, 0);
    EXPECT_EQ(reports[0].Data.RawButtons, 1u);
    EXPECT_EQ(reports[1].Data.ButtonFlags, MOUSE_LEFT_BUTTON_UP);
    EXPECT_EQ(reports[1].Data.RawButtons, 0u);
    EXPECT_EQ(reports[1].Data.LastX, reports[0].Data.LastX);
    EXPECT_EQ(reports[1].Data.LastY, reports[0].Data.LastY);
}
