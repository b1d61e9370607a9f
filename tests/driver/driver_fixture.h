// A touch driver on the stand-in: the driver rig with gtest's checks on each
// step, serial ports as the test adds them, and the verifier checked at the
// end of every test.
#pragma once

#include "driver_rig.h"
#include "touch_controller.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

inline const char* const ServiceKey = PeerServiceKey;
inline const char* const ParametersKey = PeerParametersKey;

class DriverTest : public ::testing::Test, protected PeerDriverRig {
protected:
    void SetUp() override
    {
        HkReset();
    }

    void TearDown() override
    {
        const PeerRigTeardown ended = Close(RemoveAtEnd);
        EXPECT_EQ(ended.Removal, STATUS_SUCCESS);
        EXPECT_EQ(ended.Unload, "");
        ReleasePeers();
        EXPECT_EQ(HkVerifierReport(), "");
        HkReset();
    }

    // Loads the driver; the registry must be set up before.
    void Load()
    {
        ASSERT_TRUE(LoadDriver());
    }

    // Adds the device over a new bus PDO and starts it.
    void AddAndStart(const HkBusOptions& Bus = {})
    {
        ASSERT_EQ(AddDevice(Bus), STATUS_SUCCESS);
        ASSERT_NE(Fdo, Pdo);
        ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    }

    void ConnectMouse()
    {
        ASSERT_EQ(ConnectMouseClass(), STATUS_SUCCESS);
    }

    // Load, add, start and connect, with COM1 as \Device\Serial0 and the
    // registry as the test left it.
    void BringUp()
    {
        AddPort("COM1", 0);
        Load();
        AddAndStart();
        ConnectMouse();
    }

    PeerSerialPort& AddPort(const std::string& ComName, unsigned Index, PeerSerialPortConfig Config = {})
    {
        Config.ComName = ComName;
        Config.Index = Index;
        return AddSerialPort(Config);
    }

    HANDLE OpenControl()
    {
        HANDLE handle = nullptr;
        EXPECT_EQ(HkOpen("\\\\.\\pelvon", &handle), STATUS_SUCCESS);
        return handle;
    }

    HkIoResult Control(ULONG Code, const std::vector<uint8_t>& Input = {}, ULONG OutputLength = 0)
    {
        HANDLE handle = OpenControl();
        HkIoResult result = HkDeviceIoControl(handle, Code, Input, OutputLength);
        EXPECT_EQ(HkClose(handle), STATUS_SUCCESS);
        return result;
    }

    // IOCTL_TOUCH_OPEN_PORT with PORT_SETTINGS_DATA.
    HkIoResult OpenPort(const std::string& Name, ULONG Baud)
    {
        return Control(IOCTL_TOUCH_OPEN_PORT, PeerPortSettingsData(Name, Baud));
    }

    bool RemoveAtEnd = true;
};
