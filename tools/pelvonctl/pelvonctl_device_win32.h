// The driver's control device \\.\pelvon through DeviceIoControl, for the
// Windows programs (pelvonctl.exe, pelvoncal.exe).
#pragma once

#include <windows.h>

#include "pelvonctl_commands.h"

extern const char PelvonctlControlDevicePath[]; // "\\.\pelvon"

// Opens the device on the first request only, so --help, --dry-run and an
// unsent calibrate-points work where the driver is not installed.
class PelvonctlControlDevice {
public:
    PelvonctlControlDevice() = default;
    PelvonctlControlDevice(const PelvonctlControlDevice&) = delete;
    PelvonctlControlDevice& operator=(const PelvonctlControlDevice&) = delete;
    ~PelvonctlControlDevice();

    // Opens it now; the Win32 error when that fails, else 0.
    DWORD Open();
    PelvonctlReply Send(const PelvonctlRequest& request);
    PelvonctlTransport Transport();

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};
