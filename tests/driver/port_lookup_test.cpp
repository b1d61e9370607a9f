// Finding the port by its COM name in the serial port map and opening it.
#include "serial_link_fixture.h"

namespace {

const char* const SerialCommKey = "\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM";

} // namespace

class PortLookup : public SerialLinkTest {
protected:
    // The driver with the ports already added, in the order given.
    void Start()
    {
        Load();
        AddAndStart();
        ConnectMouse();
    }

    // Which of the ports the driver holds, or -1.
    int OpenedIndex()
    {
        for (size_t i = 0; i < Ports.size(); i++) {
            if (Extension->SerialDevice == Ports[i]->Device()) {
                EXPECT_TRUE(Ports[i]->IsOpen());
                return static_cast<int>(Ports[i]->Config().Index);
            }
        }
        return -1;
    }
};

TEST_F(PortLookup, NameMatchesWhateverItsCase)
{
    AddPort("COM1", 0);
    AddPort("COM2", 2);
    Start();
    ASSERT_EQ(SetPort("com2").Status, STATUS_SUCCESS);
    EXPECT_EQ(OpenedIndex(), 2);
    ASSERT_EQ(SetPort("Com1").Status, STATUS_SUCCESS);
    EXPECT_EQ(OpenedIndex(), 0);
}

// The whole name takes part, its end included: COM1 is no prefix of COM10.
TEST_F(PortLookup, Com1IsNotCom10)
{
    AddPort("COM10", 10);
    AddPort("COM1", 1);
    Start();
    ASSERT_EQ(SetPort("COM10").Status, STATUS_SUCCESS);
    EXPECT_EQ(OpenedIndex(), 10);
    ASSERT_EQ(SetPort("COM1").Status, STATUS_SUCCESS);
    EXPECT_EQ(OpenedIndex(), 1);
    EXPECT_EQ(SetPort("COM").Status, STATUS_NOT_FOUND);
    EXPECT_EQ(SetPort("COM100").Status, STATUS_NOT_FOUND);
}

TEST_F(PortLookup, SameNameTwiceOpensTheOneListedLast)
{
    AddPort("COM3", 3);
    AddPort("COM3", 4);
    Start();
    ASSERT_EQ(SetPort("COM3").Status, STATUS_SUCCESS);
    EXPECT_EQ(OpenedIndex(), 4);
}

TEST_F(PortLookup, UnknownNameOrMissingMapIsNotFound)
{
    BringUp();
    EXPECT_EQ(SetPort("COM7").Status, STATUS_NOT_FOUND);
    EXPECT_EQ(Extension->SerialDevice, nullptr);
    ASSERT_TRUE(HkRegDeleteKey(SerialCommKey));
    EXPECT_EQ(SetPort("COM1").Status, STATUS_NOT_FOUND);
    EXPECT_EQ(Extension->SerialDevice, nullptr);
    EXPECT_EQ(Extension->SerialFileObject, nullptr);
    EXPECT_FALSE(Port().IsOpen());
}

// Data shorter than one character has nothing to differ in.
TEST_F(PortLookup, DataShorterThanACharacterMatchesAnyName)
{
    BringUp();
    HkRegSetValue(SerialCommKey, Port().DeviceName(), REG_SZ, {'X'});
    ASSERT_EQ(SetPort("WHATEVER").Status, STATUS_SUCCESS);
    EXPECT_EQ(OpenedIndex(), 0);
    // A value without data never reaches the comparison at all.
    HkRegSetValue(SerialCommKey, Port().DeviceName(), REG_SZ, {});
    EXPECT_EQ(SetPort("ANY").Status, STATUS_NOT_FOUND);
}

TEST_F(PortLookup, EmptyNameMatchesEmptyData)
{
    BringUp();
    EXPECT_EQ(SetPort("").Status, STATUS_NOT_FOUND);
    HkRegSetString(SerialCommKey, Port().DeviceName(), "");
    ASSERT_EQ(SetPort("").Status, STATUS_SUCCESS);
    EXPECT_EQ(OpenedIndex(), 0);
}

// Data of 256 characters or more (its NUL counted) cannot be compared with
// the 256-character name: it never matches, and nothing is read or written
// past either buffer.
TEST_F(PortLookup, DataTooLongForTheNameNeverMatches)
{
    BringUp();
    HkRegSetString(SerialCommKey, Port().DeviceName(), std::string(254, 'A'));
    ASSERT_EQ(SetPort(std::string(254, 'a')).Status, STATUS_SUCCESS);
    EXPECT_EQ(OpenedIndex(), 0);

    for (size_t length : {255u, 256u, 1000u}) {
        HkRegSetString(SerialCommKey, Port().DeviceName(), std::string(length, 'A'));
        EXPECT_EQ(SetPort(std::string(std::min<size_t>(length, 256), 'A')).Status, STATUS_NOT_FOUND) << length;
        EXPECT_EQ(Extension->SerialDevice, nullptr);
    }
    HkPoolCheckIntegrity();
}

// A device path of 256 characters or more does not fit the result: such a
// value never matches, and an earlier match stands.
TEST_F(PortLookup, ValueNameTooLongNeverMatches)
{
    BringUp();
    const std::string longest = "\\Device\\" + std::string(PORT_NAME_CHARACTERS - 9, 'L'); // 255 characters
    HkRegSetString(SerialCommKey, longest + "L", "COM1");
    HkRegSetString(SerialCommKey, longest + std::string(300, 'L'), "COM1");
    ASSERT_EQ(SetPort("COM1").Status, STATUS_SUCCESS);
    EXPECT_EQ(OpenedIndex(), 0);

    // One character shorter fits: it matches, and names no device.
    HkRegSetString(SerialCommKey, longest, "COM1");
    EXPECT_EQ(SetPort("COM1").Status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Extension->SerialDevice, nullptr);
    HkPoolCheckIntegrity();
}

TEST_F(PortLookup, PortHeldByAnotherClientIsRefused)
{
    BringUp();
    HANDLE other = nullptr;
    ASSERT_EQ(HkOpen(Port().DeviceName().c_str(), &other), STATUS_SUCCESS);
    EXPECT_EQ(SetPort("COM1").Status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(Extension->SerialDevice, nullptr);
    EXPECT_EQ(Extension->SerialFileObject, nullptr);
    EXPECT_EQ(Control(IOCTL_TOUCH_OPEN_PORT).Status, STATUS_ACCESS_DENIED);
    ASSERT_EQ(HkClose(other), STATUS_SUCCESS);
    ASSERT_EQ(SetPort("COM1").Status, STATUS_SUCCESS);
    EXPECT_EQ(OpenedIndex(), 0);
}

TEST_F(PortLookup, OpenThatCannotGetItsObjectChangesNothing)
{
    BringUp();
    HkFailAllocationsFrom("IoGetDeviceObjectPointer");
    EXPECT_EQ(SetPort("COM1").Status, STATUS_INSUFFICIENT_RESOURCES);
    HkClearFaultPlan();
    EXPECT_EQ(Extension->SerialDevice, nullptr);
    EXPECT_EQ(Extension->SerialFileObject, nullptr);
    EXPECT_FALSE(Port().IsOpen());
}
