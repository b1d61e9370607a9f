// The control requests of the real-kernel comparison: every IOCTL_TOUCH_ code
// with input and output lengths below, at and above its minimum, plus codes
// the driver does not know. The host build sends them through its stand-in,
// the Wine run through DeviceIoControl, in this order, on a freshly started
// device; both write one result line per request in the same format, so the
// two files compare column by column.
//
// Port names are ones absent from SERIALCOMM on both sides: a port that is
// found would be opened, and Wine cannot open one.
#pragma once

#include "touch_control.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct ControlCase {
    std::string Label;
    std::uint32_t Code;
    std::vector<std::uint8_t> Input;
    std::uint32_t OutputLength;
};

// The name the registry gives the device (PortName) and the name the
// requests use: neither is a port on either side.
inline const char* const AbsentPortName = "COM7";

inline std::vector<std::uint8_t> CasePattern(std::size_t Length, std::uint8_t First)
{
    std::vector<std::uint8_t> bytes(Length);
    for (std::size_t i = 0; i < Length; i++) {
        bytes[i] = static_cast<std::uint8_t>(First + i);
    }
    return bytes;
}

inline std::vector<std::uint8_t> CaseText(const std::string& Text)
{
    return std::vector<std::uint8_t>(Text.begin(), Text.end());
}

// IOCTL_TOUCH_OPEN_PORT input: length, name, line speed.
inline std::vector<std::uint8_t> CasePortSettings(const std::string& Name, std::uint32_t Baud)
{
    std::vector<std::uint8_t> bytes(PORT_SETTINGS_DATA_LENGTH(Name.size()));
    bytes[PORT_SETTINGS_NAME_LENGTH_OFFSET] = static_cast<std::uint8_t>(Name.size());
    for (std::size_t i = 0; i < Name.size(); i++) {
        bytes[PORT_SETTINGS_NAME_OFFSET + i] = static_cast<std::uint8_t>(Name[i]);
    }
    for (unsigned i = 0; i < 4; i++) {
        bytes[PORT_SETTINGS_BAUD_OFFSET(Name.size()) + i] = static_cast<std::uint8_t>(Baud >> (8 * i));
    }
    return bytes;
}

inline std::vector<ControlCase> ControlCases()
{
    std::vector<ControlCase> cases;
    auto add = [&cases](std::string Label, std::uint32_t Code, std::vector<std::uint8_t> Input,
                        std::uint32_t Output) {
        cases.push_back({std::move(Label), Code, std::move(Input), Output});
    };

    // Requests with an input minimum: one byte short, exact, longer, and
    // exact with an output buffer offered that must stay unused.
    struct InputRequest {
        const char* Name;
        std::uint32_t Code;
        std::uint32_t Minimum;
        std::uint8_t First; // 0: all-zero input (keeps the click off)
    };
    const InputRequest inputRequests[] = {
        {"SetCalibration", IOCTL_TOUCH_SET_CALIBRATION, CALIBRATION_DATA_LENGTH, 0x21},
        {"SetFilter", IOCTL_TOUCH_SET_FILTER, FILTER_DATA_LENGTH, 0x61},
        {"SetBeepEnable", IOCTL_TOUCH_SET_BEEP_ENABLE, BYTE_SETTING_LENGTH, 0},
        {"SetBeepTone", IOCTL_TOUCH_SET_BEEP_TONE, BEEP_TONE_DATA_LENGTH, 0x11},
        {"SetButtonMode", IOCTL_TOUCH_SET_BUTTON_MODE, BYTE_SETTING_LENGTH, 0x02},
        {"SetRange", IOCTL_TOUCH_SET_RANGE, RANGE_DATA_LENGTH, 0x31},
        {"SetMultiMonitor", IOCTL_TOUCH_SET_MULTI_MONITOR, MONITOR_MAP_DATA_LENGTH, 0x01},
        {"SetLtrb", IOCTL_TOUCH_SET_LTRB, BYTE_SETTING_LENGTH, 0x01},
    };
    for (const InputRequest& r : inputRequests) {
        auto input = [&r](std::uint32_t Length) {
            return r.First == 0 ? std::vector<std::uint8_t>(Length, 0) : CasePattern(Length, r.First);
        };
        const std::string name = r.Name;
        add(name + ".Short", r.Code, input(r.Minimum - 1), 0);
        add(name + ".Exact", r.Code, input(r.Minimum), 0);
        add(name + ".Longer", r.Code, input(r.Minimum + 3), 0);
        add(name + ".ExactWithOutput", r.Code, input(r.Minimum), 8);
    }

    // Requests without input: extra input and output are ignored.
    const std::pair<const char*, std::uint32_t> bareRequests[] = {
        {"ResetCalibration", IOCTL_TOUCH_RESET_CALIBRATION},
        {"ClearMultiMonitor", IOCTL_TOUCH_CLEAR_MULTI_MONITOR},
        {"ClosePort", IOCTL_TOUCH_CLOSE_PORT},
    };
    for (const auto& [name, code] : bareRequests) {
        add(std::string(name) + ".Empty", code, {}, 0);
        add(std::string(name) + ".WithBuffers", code, CasePattern(4, 0x71), 4);
    }

    // Replies: output below, at and above the reply's length. The input
    // shares the system buffer and must not show through.
    for (std::uint32_t out : {0u, 3u, 4u, 8u}) {
        add("GetControllerInfo.Out" + std::to_string(out), IOCTL_TOUCH_GET_CONTROLLER_INFO, {}, out);
    }
    for (std::uint32_t out : {0u, 2u, 3u, 4u, 8u}) {
        add("GetDriverInfo.Out" + std::to_string(out), IOCTL_TOUCH_GET_DRIVER_INFO, {}, out);
    }
    add("GetDriverInfo.Out4OverInput", IOCTL_TOUCH_GET_DRIVER_INFO, std::vector<std::uint8_t>(8, 0xEE), 4);
    add("GetDriverInfo.Out8OverInput", IOCTL_TOUCH_GET_DRIVER_INFO, std::vector<std::uint8_t>(8, 0xEE), 8);

    // Port requests: names absent from SERIALCOMM take the not-found path.
    add("SetPort.Empty", IOCTL_TOUCH_SET_PORT, {}, 0);
    add("SetPort.Absent", IOCTL_TOUCH_SET_PORT, CaseText(AbsentPortName), 0);
    add("SetPort.Longest", IOCTL_TOUCH_SET_PORT, std::vector<std::uint8_t>(256, 'C'), 0);
    add("SetPort.TooLong", IOCTL_TOUCH_SET_PORT, std::vector<std::uint8_t>(257, 'C'), 0);
    add("SetPort.Restore", IOCTL_TOUCH_SET_PORT, CaseText(AbsentPortName), 0);
    add("OpenPort.NoInputReopensHeldName", IOCTL_TOUCH_OPEN_PORT, {}, 0);
    add("OpenPort.LengthOnly", IOCTL_TOUCH_OPEN_PORT, {0x04}, 0);
    std::vector<std::uint8_t> settings = CasePortSettings(AbsentPortName, 9600);
    add("OpenPort.Short", IOCTL_TOUCH_OPEN_PORT, std::vector<std::uint8_t>(settings.begin(), settings.end() - 1), 0);
    add("OpenPort.Exact", IOCTL_TOUCH_OPEN_PORT, settings, 0);
    std::vector<std::uint8_t> longer = settings;
    longer.insert(longer.end(), {0xAA, 0xBB, 0xCC});
    add("OpenPort.Longer", IOCTL_TOUCH_OPEN_PORT, longer, 0);
    add("OpenPort.EmptyName", IOCTL_TOUCH_OPEN_PORT, CasePortSettings("", 4800), 0);
    add("OpenPort.Restore", IOCTL_TOUCH_OPEN_PORT, settings, 4);
    add("ClosePort.AfterOpens", IOCTL_TOUCH_CLOSE_PORT, {}, 0);

    // Codes the driver does not serve: an unused function, known functions
    // with another method or access, a serial port code, 0.
    for (std::uint32_t code : {0x001A2020u, 0x001A2015u, 0x001A2016u, 0x001A2017u, 0x001A6014u, 0x001A20A9u,
                               0x001B0004u, 0u}) {
        char label[32];
        std::snprintf(label, sizeof label, "Unknown.%08X", static_cast<unsigned>(code));
        add(label, code, std::vector<std::uint8_t>(32, 1), 8);
    }

    // The settings the earlier requests left still answer the same way.
    add("GetDriverInfo.AtEnd", IOCTL_TOUCH_GET_DRIVER_INFO, {}, 3);
    add("GetControllerInfo.AtEnd", IOCTL_TOUCH_GET_CONTROLLER_INFO, {}, 4);
    return cases;
}

inline std::string CaseHex(const std::uint8_t* Bytes, std::size_t Length)
{
    if (Length == 0) {
        return "-";
    }
    std::string text;
    char byte[4];
    for (std::size_t i = 0; i < Length; i++) {
        std::snprintf(byte, sizeof byte, "%02X", Bytes[i]);
        text += byte;
    }
    return text;
}

// One result line: label, code, input length, output length, Win32 error,
// bytes returned, the returned bytes in hex ("-" for none). Tab-separated.
inline std::string CaseResultLine(const ControlCase& Case, std::uint32_t Win32Error, std::uint32_t Returned,
                                  const std::uint8_t* Output, std::size_t OutputBytes)
{
    char head[96];
    std::snprintf(head, sizeof head, "\t%08X\t%u\t%u\t%u\t%u\t", static_cast<unsigned>(Case.Code),
                  static_cast<unsigned>(Case.Input.size()), static_cast<unsigned>(Case.OutputLength),
                  static_cast<unsigned>(Win32Error), static_cast<unsigned>(Returned));
    return Case.Label + head + CaseHex(Output, OutputBytes);
}
