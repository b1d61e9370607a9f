// The driver rig every other suite starts the driver through: what it
// reports when a step fails, and that its teardown runs once and in order.
#include "driver_fixture.h"

#include <fstream>

namespace {

class DriverRig : public DriverTest {};

TEST_F(DriverRig, StopsAtARegFileItCannotReadBeforeAnythingIsMade)
{
    PeerRigOptions options;
    options.RegFile = ::testing::TempDir() + "driver_rig_missing.reg";
    options.Ports = PeerComPorts(2);
    const PeerRigResult up = Open(options);
    EXPECT_EQ(up.Failed, PeerRigStep::RegFile);
    ASSERT_TRUE(up.RegFileError.has_value());
    EXPECT_EQ(up.RegFileError->Line, 0);
    EXPECT_EQ(Driver, nullptr);
    EXPECT_TRUE(Ports.empty());
    EXPECT_TRUE(HkRegValueNames(PeerSerialCommKey).empty());
}

TEST_F(DriverRig, BringsTheDriverUpOnTheFilesSettingsWithNumberedPorts)
{
    const std::string path = ::testing::TempDir() + "driver_rig_settings.reg";
    std::ofstream(path) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\pelvon\\Parameters]\n"
                           "\"ButtonMode\"=dword:00000002\n";
    PeerRigOptions options;
    options.RegFile = path;
    options.Ports = PeerComPorts(3, {.AcceptBasicSettings = false});
    ASSERT_TRUE(Open(options).Ok());
    EXPECT_EQ(Settings().ButtonMode, 2);
    ASSERT_EQ(Ports.size(), 3u);
    EXPECT_EQ(Ports[2]->Config().ComName, "COM3");
    EXPECT_EQ(Ports[2]->DeviceName(), "\\Device\\Serial2");
    EXPECT_FALSE(Ports[2]->Config().AcceptBasicSettings);
    ASSERT_NE(Mouse, nullptr);
    EXPECT_EQ(Extension->ConnectData.ClassDeviceObject, Mouse->ClassDevice());
}

TEST_F(DriverRig, CloseRunsItsHookOnTheRemovedDeviceAndUnloadsOnce)
{
    ASSERT_TRUE(Open().Ok());
    const PDEVICE_OBJECT fdo = Fdo;
    std::vector<NTSTATUS> removals;
    const PeerRigTeardown ended = Close(true, [&](NTSTATUS Removal) {
        removals.push_back(Removal);
        EXPECT_FALSE(HkDeviceLive(fdo));
    });
    EXPECT_EQ(removals, std::vector<NTSTATUS>{STATUS_SUCCESS});
    EXPECT_EQ(ended.Unload, "");
    // The fixture's teardown closes again: nothing is removed or unloaded twice.
    EXPECT_EQ(Driver, nullptr);
    EXPECT_EQ(Fdo, nullptr);
}

} // namespace
