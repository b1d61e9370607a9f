// A touch driver on the stand-in: loaded, added over a test bus PDO and
// started, with serial ports COM1..COM4 and the mouse class peer, and the
// verifier checked at the end of every test.
#pragma once

#include "hostkernel.h"
#include "mouse_class.h"
#include "serial_port.h"
#include "sermouse.h"
#include "touch_controller.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

extern "C" DRIVER_INITIALIZE DriverEntry;

inline const char* const ServiceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pelvon";
inline const char* const ParametersKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pelvon\\Parameters";

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        HkReset();
    }

    void TearDown() override
    {
        Mouse.reset();
        for (auto& port : Ports) {
            port->JoinCompletionThreads();
        }
        HkWaitAsyncIdle();
        if (Driver != nullptr && RemoveAtEnd && Fdo != nullptr && HkDeviceLive(Fdo)) {
            EXPECT_EQ(HkSendRemove(Fdo), STATUS_SUCCESS);
        }
        if (Driver != nullptr && RemoveAtEnd) {
            EXPECT_EQ(HkUnloadDriver(Driver), "");
        }
        Ports.clear();
        EXPECT_EQ(HkVerifierReport(), "");
        HkReset();
    }

    // Loads the driver; the registry must be set up before.
    void Load()
    {
        Driver = HkLoadDriver(DriverEntry, ServiceKey);
        ASSERT_NE(Driver, nullptr);
    }

    // Adds the device over a new bus PDO and starts it.
    void AddAndStart(const HkBusOptions& Bus = {})
    {
        Pdo = HkCreateBusPdo(Bus);
        ASSERT_EQ(HkAddDevice(Driver, Pdo), STATUS_SUCCESS);
        Fdo = HkTopOfStack(Pdo);
        ASSERT_NE(Fdo, Pdo);
        Extension = static_cast<PDEVICE_EXTENSION>(Fdo->DeviceExtension);
        ASSERT_EQ(HkSendPnp(Fdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    }

    void ConnectMouse()
    {
        Mouse = std::make_unique<PeerMouseClass>();
        ASSERT_EQ(Mouse->Connect(Fdo), STATUS_SUCCESS);
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
        Ports.push_back(std::make_unique<PeerSerialPort>(Config));
        return *Ports.back();
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
        std::vector<uint8_t> input{static_cast<uint8_t>(Name.size())};
        for (char c : Name) {
            input.push_back(static_cast<uint8_t>(c));
        }
        for (int i = 0; i < 4; i++) {
            input.push_back(static_cast<uint8_t>(Baud >> (8 * i)));
        }
        return Control(IOCTL_TOUCH_OPEN_PORT, input);
    }

    std::vector<PeerMouseReport> Reports() const { return Mouse ? Mouse->Reports() : std::vector<PeerMouseReport>{}; }

    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Pdo = nullptr;
    PDEVICE_OBJECT Fdo = nullptr;
    PDEVICE_EXTENSION Extension = nullptr;
    std::unique_ptr<PeerMouseClass> Mouse;
    std::vector<std::unique_ptr<PeerSerialPort>> Ports;
    bool RemoveAtEnd = true;
};
