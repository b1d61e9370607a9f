// Configuring a freshly opened port: the requests, their order and bytes,
// ports that refuse some of them, pended answers, and the read request.
#include "serial_link_fixture.h"

namespace {

using Request = PeerSerialRequest;

const UCHAR DeviceControl = IRP_MJ_DEVICE_CONTROL;
const UCHAR InternalControl = IRP_MJ_INTERNAL_DEVICE_CONTROL;

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> Parts)
{
    std::vector<uint8_t> all;
    for (const auto& part : Parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// What follows the saving of the port's settings, up to the first read.
std::vector<Request> LineSetupAndFirstRead(ULONG Baud)
{
    return {
        {DeviceControl, IOCTL_SERIAL_SET_BAUD_RATE, Le32(Baud), 0},
        {DeviceControl, IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BIT_1, NO_PARITY, 8}, 0},
        {DeviceControl, IOCTL_SERIAL_SET_FIFO_CONTROL, Le32(0), 0},
        {DeviceControl, IOCTL_SERIAL_PURGE, Le32(SERIAL_PURGE_RXCLEAR), 0},
        {IRP_MJ_READ, 0, {}, 1},
    };
}

std::vector<Request> Join(std::vector<Request> First, const std::vector<Request>& Then)
{
    First.insert(First.end(), Then.begin(), Then.end());
    return First;
}

const Request WaitMaskOff{DeviceControl, IOCTL_SERIAL_SET_WAIT_MASK, Le32(0), 0};
const Request BasicSettings{InternalControl, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, {}, sizeof(SERIAL_BASIC_SETTINGS)};

} // namespace

class SerialConfig : public SerialLinkTest {};

TEST_F(SerialConfig, FreshPortGetsBasicModeLineSettingsAndOneRead)
{
    BringUp();
    ASSERT_EQ(OpenPort("COM1", 9600).Status, STATUS_SUCCESS);
    EXPECT_EQ(Port().Requests(), Join({WaitMaskOff, BasicSettings}, LineSetupAndFirstRead(9600)));
    EXPECT_EQ(Port().BaudRate(), 9600u);
    EXPECT_TRUE(Port().ReadPending());
    EXPECT_EQ(RemoveLockHolds(), 1u);
}

// Whether the refusal comes back at once or after the request went pending
// (then only its status block tells), the set-up is done by hand.
class SerialConfigRefusal : public SerialConfig, public ::testing::WithParamInterface<bool> {};

TEST_P(SerialConfigRefusal, PortWithoutBasicSettingsIsSetUpByHand)
{
    BringUpWith({.AcceptBasicSettings = false, .PendControlRequests = GetParam()});
    ASSERT_EQ(OpenPort("COM1", 9600).Status, STATUS_SUCCESS);
    const std::vector<Request> byHand = {
        WaitMaskOff,
        BasicSettings,
        {DeviceControl, IOCTL_SERIAL_GET_TIMEOUTS, {}, sizeof(SERIAL_TIMEOUTS)},
        {DeviceControl, IOCTL_SERIAL_SET_TIMEOUTS, std::vector<uint8_t>(sizeof(SERIAL_TIMEOUTS), 0), 0},
        {DeviceControl, IOCTL_SERIAL_GET_HANDFLOW, {}, sizeof(SERIAL_HANDFLOW)},
        {DeviceControl, IOCTL_SERIAL_SET_HANDFLOW,
         Concat({Le32(SERIAL_DTR_CONTROL), Le32(SERIAL_RTS_CONTROL), Le32(0), Le32(0)}), 0},
    };
    EXPECT_EQ(Port().Requests(), Join(byHand, LineSetupAndFirstRead(9600)));
    EXPECT_TRUE(Port().ReadPending());
}

INSTANTIATE_TEST_SUITE_P(AtOnceOrPended, SerialConfigRefusal, ::testing::Bool());

// The line speed is stored unchecked; the port refuses 0, and the rest of
// the set-up and the reading go on at the speed the port had.
TEST_F(SerialConfig, RefusedLineSpeedDoesNotStopTheSetUp)
{
    BringUp();
    const ULONG before = Port().BaudRate();
    ASSERT_EQ(OpenPort("COM1", 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Port().Requests(), Join({WaitMaskOff, BasicSettings}, LineSetupAndFirstRead(0)));
    EXPECT_EQ(Port().BaudRate(), before);
    Port().Deliver(PeerTouchPacket(100, 100));
    EXPECT_EQ(Reports().size(), 1u);
}

TEST_F(SerialConfig, EveryRefusedRequestStillLeavesTheReadRunning)
{
    AddPort("COM1", 0);
    for (const auto& [major, code] : std::vector<std::pair<UCHAR, ULONG>>{
             {DeviceControl, IOCTL_SERIAL_SET_WAIT_MASK}, {DeviceControl, IOCTL_SERIAL_GET_TIMEOUTS},
             {DeviceControl, IOCTL_SERIAL_SET_TIMEOUTS}, {DeviceControl, IOCTL_SERIAL_GET_HANDFLOW},
             {DeviceControl, IOCTL_SERIAL_SET_HANDFLOW}, {DeviceControl, IOCTL_SERIAL_SET_BAUD_RATE},
             {DeviceControl, IOCTL_SERIAL_SET_LINE_CONTROL}, {DeviceControl, IOCTL_SERIAL_SET_FIFO_CONTROL},
             {DeviceControl, IOCTL_SERIAL_PURGE}, {InternalControl, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS}}) {
        Port().Refuse(major, code, STATUS_NOT_SUPPORTED);
    }
    Load();
    AddAndStart();
    ConnectMouse();
    ASSERT_EQ(OpenPort("COM1", 9600).Status, STATUS_SUCCESS);
    EXPECT_EQ(Port().ControlRequests().size(), 10u);
    EXPECT_TRUE(Port().ReadPending());
}

TEST_F(SerialConfig, ReopeningReusesTheReadRequest)
{
    BringUpOpen();
    const PIRP first = Extension->ReadIrp;
    const size_t irps = HkLiveIrpCount();
    ASSERT_EQ(OpenPort("COM1", 19200).Status, STATUS_SUCCESS);
    EXPECT_EQ(Extension->ReadIrp, first);
    EXPECT_EQ(HkLiveIrpCount(), irps);
    EXPECT_EQ(Port().OpenCount(), 2u);
    EXPECT_TRUE(Port().ReadPending());
}

// A port with filters stacked over it needs a read request with a location
// for each of them, also when an earlier port needed fewer.
TEST_F(SerialConfig, DeeperPortStackGetsADeeperReadRequest)
{
    BringUp();
    PeerSerialPort& deep = AddPort("COM2", 1, {.StackSize = 3});
    ASSERT_EQ(OpenPort("COM1", 19200).Status, STATUS_SUCCESS);
    ASSERT_EQ(SetPort("COM2").Status, STATUS_SUCCESS);
    EXPECT_GE(Extension->ReadIrp->StackCount, 3);
    EXPECT_TRUE(deep.ReadPending());
    deep.Deliver(PeerTouchPacket(100, 100));
    EXPECT_EQ(Reports().size(), 1u);
}

TEST_F(SerialConfig, ReadRequestThatCannotBeMadeFailsTheOpenButKeepsThePort)
{
    BringUp();
    HkFailAllocationsFrom("IoAllocateIrp");
    EXPECT_EQ(OpenPort("COM1", 19200).Status, STATUS_UNSUCCESSFUL);
    HkClearFaultPlan();
    EXPECT_TRUE(Port().IsOpen());
    EXPECT_EQ(Extension->SerialDevice, Port().Device());
    EXPECT_EQ(RemoveLockHolds(), 0u);
    ASSERT_EQ(OpenPort("COM1", 19200).Status, STATUS_SUCCESS);
    EXPECT_TRUE(Port().ReadPending());
}

// Ports that answer later, from another thread: the set-up waits for each
// answer and keeps the same order.
class SerialConfigPended : public SerialConfig, public ::testing::WithParamInterface<bool> {};

TEST_P(SerialConfigPended, SetUpWaitsForEachAnswer)
{
    const bool forceEverything = GetParam();
    BringUpWith({.PendControlRequests = !forceEverything});
    HkSetForcePending(forceEverything);
    ASSERT_EQ(OpenPort("COM1", 9600).Status, STATUS_SUCCESS);
    Port().JoinCompletionThreads();
    EXPECT_EQ(Port().Requests(), Join({WaitMaskOff, BasicSettings}, LineSetupAndFirstRead(9600)));
    EXPECT_EQ(Port().BaudRate(), 9600u);
    Port().Deliver(PeerTouchPacket(100, 100));
    Port().JoinCompletionThreads();
    EXPECT_EQ(Reports().size(), 1u);
    EXPECT_EQ(Control(IOCTL_TOUCH_CLOSE_PORT).Status, STATUS_SUCCESS);
    EXPECT_EQ(RemoveLockHolds(), 0u);
    HkSetForcePending(false);
}

INSTANTIATE_TEST_SUITE_P(PortAnswers, SerialConfigPended, ::testing::Values(false, true),
                         [](const auto& Info) { return Info.param ? "ForcePending" : "PendControlRequests"; });
