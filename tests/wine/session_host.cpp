// Host-side helpers of the Wine session tests.
//   session_host hex GESTURE_FILE
//       the gesture script as touchsim's hex text (the same events, so
//       touchsim gives the same reports from either)
//   session_host random SEED REG_OUT HEX_OUT
//       random settings for one of COM1..COM4 and a random stream of touches,
//       releases, corrupt and stray bytes and controller responses, with
//       gaps; the same seed gives the same files
//   session_host requests REG_FILE accept|refuse
//       the serial requests the driver sends on the stand-in while opening
//       the registry's port, one line each as the Wine session's test port
//       logs them (COMn major code in out), with the basic-settings request
//       accepted or refused
#include "driver_rig.h"
#include "touch_control.h"
#include "touch_controller.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

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
    PeerDriverRig rig;
    PeerSerialPortConfig port;
    port.AcceptBasicSettings = Accept;
    PeerRigOptions options;
    options.RegFile = RegFile;
    options.Ports = PeerComPorts(4, port);
    options.ConnectMouse = false;
    const PeerRigResult up = rig.Open(options);
    if (up.Failed == PeerRigStep::RegFile) {
        std::cerr << RegFile << ": " << up.RegFileError->ToString() << "\n";
        return 2;
    }
    if (!up.Ok()) {
        std::cerr << "the driver did not come up\n";
        return 1;
    }
    HANDLE handle = nullptr;
    HkOpen(PeerControlDevice, &handle);
    const HkIoResult opened = HkDeviceIoControl(handle, IOCTL_TOUCH_OPEN_PORT, {}, 0);
    HkDeviceIoControl(handle, IOCTL_TOUCH_CLOSE_PORT, {}, 0);
    HkClose(handle);
    for (auto& port : rig.Ports) {
        for (const PeerSerialRequest& request : port->ControlRequests()) {
            std::printf("%s major %u code %08X in %s out %u\n", port->Config().ComName.c_str(),
                        static_cast<unsigned>(request.Major), static_cast<unsigned>(request.Code),
                        Hex(request.Input).c_str(), static_cast<unsigned>(request.OutputLength));
        }
    }
    rig.Close();
    return NT_SUCCESS(opened.Status) ? 0 : 1;
}

std::string HexBytes(const std::vector<uint8_t>& Bytes, const char* Separator)
{
    std::string text;
    char two[4];
    for (size_t i = 0; i < Bytes.size(); i++) {
        std::snprintf(two, sizeof two, "%02x", Bytes[i]);
        text += (i == 0 ? "" : Separator) + std::string(two);
    }
    return text;
}

int RandomSession(unsigned Seed, const char* RegPath, const char* HexPath)
{
    std::mt19937 random(Seed);
    auto pick = [&](uint32_t Bound) { return static_cast<uint32_t>(random() % Bound); };
    auto bytes = [&](size_t Count) {
        std::vector<uint8_t> data(Count);
        for (uint8_t& b : data) {
            b = static_cast<uint8_t>(random());
        }
        return data;
    };
    std::ofstream reg(RegPath);
    reg << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\pelvon\\Parameters]\n";
    reg << "\"PortName\"=\"COM" << 1 + pick(4) << "\"\n";
    reg << "\"BaudRate\"=dword:" << (pick(2) ? "00002580" : "00004b00") << "\n";
    // Calibration: the two inversion bytes, then per axis a scale of 0.5 to
    // 2 (integer, fraction) and an offset within +-8192.
    std::vector<uint8_t> calibration{static_cast<uint8_t>(pick(3)), static_cast<uint8_t>(pick(3))};
    for (int axis = 0; axis < 2; axis++) {
        const uint32_t integer = pick(2), fraction = integer ? pick(0x10000) : 0x8000 + pick(0x8000);
        const uint32_t offset = static_cast<uint32_t>(static_cast<int32_t>(pick(0x4000)) - 0x2000);
        for (uint32_t value : {integer, fraction}) {
            calibration.push_back(static_cast<uint8_t>(value));
            calibration.push_back(static_cast<uint8_t>(value >> 8));
        }
        for (int shift = 0; shift < 32; shift += 8) {
            calibration.push_back(static_cast<uint8_t>(offset >> shift));
        }
    }
    reg << "\"Calibration\"=hex:" << HexBytes(calibration, ",") << "\n";
    reg << "\"Filter\"=hex:" << HexBytes(bytes(8), ",") << "\n";
    reg << "\"LTRB\"=dword:0000000" << pick(2) << "\n";
    reg << "\"ButtonMode\"=dword:0000000" << pick(8) << "\n";
    reg << "\"MultiMonitor\"=dword:0000000" << pick(2) << "\n";
    reg << std::hex << std::setfill('0');
    reg << "\"TouchMonitorOx\"=dword:" << std::setw(8) << pick(2048) << "\n";
    reg << "\"TouchMonitorWidth\"=dword:" << std::setw(8) << 1 + pick(2048) << "\n";
    // 0 included: the mapping must not fault on a zero divisor.
    reg << "\"PrimaryMonitorWidth\"=dword:" << std::setw(8) << pick(3000) << "\n";

    std::ofstream hex(HexPath);
    for (int step = 0; step < 60; step++) {
        hex << "+" << 20 + pick(40) << "ms ";
        std::vector<uint8_t> data;
        switch (pick(8)) {
        case 0: data = PeerReleasePacket(); break;
        case 1: data = bytes(1 + pick(6)); break;                      // stray and out-of-place bytes
        case 2: data = {0xC1, 0x81, 0x92, 0xA3, 0xB4}; break;          // controller information
        case 3: data = {0xC2, static_cast<uint8_t>(0x81 + pick(5))}; break; // line-speed response
        case 4: data = PeerTouchPacket(pick(4096), pick(4096)); data[4] ^= 1; break; // bad checksum
        default: data = PeerTouchPacket(pick(4096), pick(4096)); break;
        }
        hex << HexBytes(data, " ") << "\n";
    }
    hex << HexBytes(PeerReleasePacket(), " ") << "\n";
    return reg && hex ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "hex" && argc == 3) {
        return GestureToHex(argv[2]);
    }
    if (mode == "random" && argc == 5) {
        return RandomSession(static_cast<unsigned>(std::strtoul(argv[2], nullptr, 0)), argv[3], argv[4]);
    }
    if (mode == "requests" && argc == 4) {
        return SerialRequests(argv[2], std::string(argv[3]) == "accept");
    }
    std::cerr << "usage: session_host hex GESTURE | session_host random SEED REG HEX | "
                 "session_host requests REG accept|refuse\n";
    return 2;
}
