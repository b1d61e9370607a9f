// Host-side helpers of the Wine session tests.
//   session_host hex GESTURE_FILE
//       the gesture script as touchsim's hex text (the same events, so
//       touchsim gives the same reports from either)
//   session_host requests REG_FILE accept|refuse
//       the serial requests the driver sends on the stand-in while opening
//       the registry's port, one line each as the Wine session's test port
//       logs them (COMn major code in out), with the basic-settings request
//       accepted or refused
#include "hostkernel.h"
#include "serial_port.h"
#include "touch_control.h"
#include "touch_controller.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <vector>

extern "C" DRIVER_INITIALIZE DriverEntry;

namespace {

int GestureToHex(const char* Path)
{
    std::ifstream file(Path);
    std::stringstream text;
    text << file.rdbuf();
    PeerTouchController controller;
    std::string error;
    if (!file || !controller.RunScript(text.str(), error)) {
        std::cerr << Path << ": " << error << "\n";
        return 2;
    }
    for (const PeerLineEvent& event : controller.Events()) {
        if (event.Gap != 0) {
            std::printf("\n+%lldms ", static_cast<long long>(event.Gap / PeerTouchController::Millisecond));
        }
        switch (event.Type) {
        case PeerLineEvent::Kind::Byte: std::printf("%02X ", event.Byte); break;
        case PeerLineEvent::Kind::FailPendingRead: std::printf("!0x%08X ", event.Status); break;
        case PeerLineEvent::Kind::FailReadInSend: std::printf("!!0x%08X ", event.Status); break;
        case PeerLineEvent::Kind::Command: std::printf("[ctl %s]\n", event.Command.c_str()); break;
        }
    }
    std::printf("\n");
    return 0;
}

std::string Hex(const std::vector<uint8_t>& Bytes)
{
    std::string text;
    char two[4];
    for (size_t i = 0; i < Bytes.size() && i < 48; i++) {
        std::snprintf(two, sizeof two, "%02X", Bytes[i]);
        text += two;
    }
    return text.empty() ? "-" : text;
}

int SerialRequests(const char* RegFile, bool Accept)
{
    HkReset();
    if (auto failure = HkRegLoadRegFileFromPath(RegFile)) {
        std::cerr << RegFile << ": " << failure->ToString() << "\n";
        return 2;
    }
    std::vector<std::unique_ptr<PeerSerialPort>> ports;
    for (unsigned i = 0; i < 4; i++) {
        PeerSerialPortConfig config;
        config.ComName = "COM" + std::to_string(i + 1);
        config.Index = i;
        config.AcceptBasicSettings = Accept;
        ports.push_back(std::make_unique<PeerSerialPort>(config));
    }
    PDRIVER_OBJECT driver = HkLoadDriver(DriverEntry, "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\pelvon");
    PDEVICE_OBJECT pdo = HkCreateBusPdo();
    if (driver == nullptr || HkAddDevice(driver, pdo) != STATUS_SUCCESS ||
        HkSendPnp(HkTopOfStack(pdo), IRP_MN_START_DEVICE) != STATUS_SUCCESS) {
        std::cerr << "the driver did not come up\n";
        return 1;
    }
    HANDLE handle = nullptr;
    HkOpen("\\\\.\\pelvon", &handle);
    const HkIoResult opened = HkDeviceIoControl(handle, IOCTL_TOUCH_OPEN_PORT, {}, 0);
    HkDeviceIoControl(handle, IOCTL_TOUCH_CLOSE_PORT, {}, 0);
    HkClose(handle);
    for (auto& port : ports) {
        for (const PeerSerialRequest& request : port->ControlRequests()) {
            std::printf("%s major %u code %08X in %s out %u\n", port->Config().ComName.c_str(),
                        static_cast<unsigned>(request.Major), static_cast<unsigned>(request.Code),
                        Hex(request.Input).c_str(), static_cast<unsigned>(request.OutputLength));
        }
        port->JoinCompletionThreads();
    }
    HkWaitAsyncIdle();
    HkSendRemove(HkTopOfStack(pdo));
    HkUnloadDriver(driver);
    return NT_SUCCESS(opened.Status) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "hex" && argc == 3) {
        return GestureToHex(argv[2]);
    }
    if (mode == "requests" && argc == 4) {
        return SerialRequests(argv[2], std::string(argv[3]) == "accept");
    }
    std::cerr << "usage: session_host hex GESTURE | session_host requests REG accept|refuse\n";
    return 2;
}
