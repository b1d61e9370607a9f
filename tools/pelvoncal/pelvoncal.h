// pelvoncal.exe: calibrating the touch screen by touching targets. The
// arithmetic and the stages are pelvonctl's (pelvonctl_screen_calibration.h);
// this program shows them full screen and talks to the driver and the
// registry.
#pragma once

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>

#include "pelvonctl_device_win32.h"
#include "pelvonctl_parameters.h"
#include "pelvonctl_screen_calibration.h"

// Exit codes.
constexpr int PelvoncalKept = 0;     // sent to the driver and saved
constexpr int PelvoncalFailed = 1;   // the driver or the registry could not be reached or written
constexpr int PelvoncalUsage = 2;    // bad command line
constexpr int PelvoncalNotKept = 3;  // cancelled, declined, timed out or unusable: the registry's calibration is back

struct PelvoncalOptions {
    int ConfirmSeconds = 30; // without a touch, the new calibration is not kept
    std::string LogPath;     // progress, one line per event, for tests and support
};

struct PelvoncalApp {
    PelvoncalOptions Options;
    PelvonctlControlDevice Device;
    PelvonctlRegistry Registry;
    pelvonctl::DriverParameters Parameters; // as the registry held them at start
    std::unique_ptr<pelvonctl::ScreenCalibration> Session;
    HWND Window = nullptr;
    int SecondsLeft = 0;
    bool HasTry = false;           // a touch in the confirm stage, shown where it lands
    pelvonctl::PixelPoint Try;
    int ExitCode = PelvoncalNotKept;
    std::string FinalMessage;      // shown after the window closes
    std::FILE* Log = nullptr;

    void Note(const std::string& line);
};

// The Keep button, in desktop pixels.
RECT PelvoncalKeepButton(const pelvonctl::PixelRect& monitor);

// Draws the whole window into Dc (client coordinates).
void PelvoncalPaint(const PelvoncalApp& app, HDC dc, const RECT& client);
