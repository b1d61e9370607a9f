// pelvoncal.exe: full screen on the touch monitor, one target at a time.
// Before the first target the driver is set to the identity calibration (its
// orientation and monitor mapping untouched), so the pointer of each touch
// tells what the calibration stage receives; the fit is kept only when the
// user says so, else the registry's calibration goes back to the driver.
//
//   pelvoncal [--timeout SECONDS] [--log FILE]
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "pelvoncal.h"
#include "touch_control.h"

namespace {

using pelvonctl::PixelPoint;
using pelvonctl::ScreenCalibration;

const UINT_PTR CountdownTimer = 1;
const char WindowClass[] = "PelvoncalWindow";
const char Title[] = "Touch screen calibration";

PelvoncalApp* TheApp = nullptr;

std::string Hex(const std::vector<std::uint8_t>& bytes)
{
    return pelvonctl::HexBytes(bytes);
}

// Sends the calibration; false (and the reason noted) when the driver refuses.
bool SendCalibration(PelvoncalApp& app, const pelvonctl::Calibration& calibration, std::string& reason)
{
    PelvonctlRequest request;
    request.Code = IOCTL_TOUCH_SET_CALIBRATION;
    request.Input = pelvonctl::EncodeCalibrationData(calibration);
    const PelvonctlReply reply = app.Device.Send(request);
    app.Note("sent IOCTL_TOUCH_SET_CALIBRATION " + Hex(request.Input) + " status " + std::to_string(reply.Status));
    if (pelvonctl::ReplySucceeded(reply)) {
        return true;
    }
    reason = (reply.Unreachable.empty() ? "the driver refused the calibration: " : reply.Unreachable + ": ") +
             pelvonctl::DescribeReplyStatus(reply);
    return false;
}

void Finish(PelvoncalApp& app, int code, const std::string& message)
{
    app.ExitCode = code;
    app.FinalMessage = message;
    app.Note(code == PelvoncalKept ? "kept" : "not kept");
    DestroyWindow(app.Window);
}

// Not kept: the driver gets back what the registry holds.
void GoBack(PelvoncalApp& app, const std::string& why)
{
    std::string reason;
    app.Note(why);
    if (!SendCalibration(app, app.Parameters.CalibrationValue, reason)) {
        Finish(app, PelvoncalFailed, "The saved calibration could not be restored: " + reason);
        return;
    }
    Finish(app, PelvoncalNotKept, "");
}

void Keep(PelvoncalApp& app)
{
    const pelvonctl::Calibration& fitted = app.Session->Result().Result;
    std::string reason;
    if (!SendCalibration(app, fitted, reason)) {
        Finish(app, PelvoncalFailed, "The new calibration could not be sent: " + reason);
        return;
    }
    const PelvonctlRegistryWrite write =
        app.Registry.Write("Calibration", {PelvonctlRegBinary, pelvonctl::EncodeCalibrationData(fitted)});
    if (!write.Ok()) {
        Finish(app, PelvoncalFailed,
               "The new calibration is in use until the device restarts, but it could not be saved under " +
                   std::string(PelvonctlParametersKeyName) + ": " + write.Reason);
        return;
    }
    app.Note("saved Calibration");
    Finish(app, PelvoncalKept, "");
}

void NoteStage(PelvoncalApp& app)
{
    const ScreenCalibration& s = *app.Session;
    std::ostringstream line;
    switch (s.CurrentStage()) {
    case ScreenCalibration::Stage::Capture:
        line << "target " << s.TargetIndex() + 1 << " at " << s.Targets()[s.TargetIndex()].X << ","
             << s.Targets()[s.TargetIndex()].Y << (s.Notice().empty() ? "" : ": " + s.Notice());
        break;
    case ScreenCalibration::Stage::Confirm: line << "confirm"; break;
    case ScreenCalibration::Stage::Unusable: line << "unusable: " << s.Problem(); break;
    }
    app.Note(line.str());
}

bool InKeepButton(const PelvoncalApp& app, const PixelPoint& p)
{
    const RECT keep = PelvoncalKeepButton(app.Session->Monitor());
    return p.X >= keep.left && p.X < keep.right && p.Y >= keep.top && p.Y < keep.bottom;
}

void OnTouch(PelvoncalApp& app, const PixelPoint& pointer)
{
    std::ostringstream line;
    line << "touch " << pointer.X << "," << pointer.Y;
    app.Note(line.str());
    switch (app.Session->CurrentStage()) {
    case ScreenCalibration::Stage::Capture:
        app.Session->Touch(pointer);
        NoteStage(app);
        if (app.Session->CurrentStage() == ScreenCalibration::Stage::Confirm) {
            app.SecondsLeft = app.Options.ConfirmSeconds;
            SetTimer(app.Window, CountdownTimer, 1000, nullptr);
        }
        break;
    case ScreenCalibration::Stage::Confirm:
        // The driver still runs the identity: the touch is placed by the new fit here.
        if (InKeepButton(app, app.Session->Lands(pointer))) {
            Keep(app);
            return;
        }
        app.HasTry = true;
        app.Try = pointer;
        app.SecondsLeft = app.Options.ConfirmSeconds;
        break;
    case ScreenCalibration::Stage::Unusable: GoBack(app, "unusable fit left"); return;
    }
    InvalidateRect(app.Window, nullptr, FALSE);
}

void OnKey(PelvoncalApp& app, WPARAM key)
{
    const ScreenCalibration::Stage stage = app.Session->CurrentStage();
    if (key == VK_ESCAPE) {
        GoBack(app, "cancelled");
    } else if (key == VK_RETURN && stage == ScreenCalibration::Stage::Confirm) {
        Keep(app);
    } else if (stage == ScreenCalibration::Stage::Unusable) {
        GoBack(app, "unusable fit left");
    }
}

void OnTimer(PelvoncalApp& app)
{
    if (app.Session->CurrentStage() != ScreenCalibration::Stage::Confirm) {
        return;
    }
    if (--app.SecondsLeft <= 0) {
        KillTimer(app.Window, CountdownTimer);
        GoBack(app, "timed out");
        return;
    }
    InvalidateRect(app.Window, nullptr, FALSE);
}

// Drawn off screen and copied in one go, so nothing flickers.
void OnPaint(const PelvoncalApp& app, HWND window)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    HDC memory = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, client.right, client.bottom);
    HGDIOBJ old = SelectObject(memory, bitmap);
    PelvoncalPaint(app, memory, client);
    BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    EndPaint(window, &paint);
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    PelvoncalApp& app = *TheApp;
    switch (message) {
    case WM_PAINT: OnPaint(app, window); return 0;
    case WM_ERASEBKGND: return 1;
    case WM_LBUTTONDOWN: SetCapture(window); return 0;
    case WM_LBUTTONUP: {
        ReleaseCapture();
        // The position where the finger lifted: the settled one, the
        // driver's smoothing having caught up with a resting finger.
        POINT at = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        ClientToScreen(window, &at);
        OnTouch(app, {static_cast<double>(at.x), static_cast<double>(at.y)});
        return 0;
    }
    case WM_KEYDOWN: OnKey(app, wParam); return 0;
    case WM_TIMER: OnTimer(app); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcA(window, message, wParam, lParam);
    }
}

} // namespace

void PelvoncalApp::Note(const std::string& line)
{
    if (Log != nullptr) {
        std::fprintf(Log, "%s\n", line.c_str());
        std::fflush(Log);
    }
}

// ---------------------------------------------------------------- start

namespace {

bool ParseOptions(const char* commandLine, PelvoncalOptions& options, std::string& error)
{
    std::istringstream words(commandLine);
    std::string word;
    while (words >> word) {
        std::string value;
        if ((word != "--timeout" && word != "--log") || !(words >> value)) {
            error = "Usage: pelvoncal [--timeout SECONDS] [--log FILE]";
            return false;
        }
        if (word == "--log") {
            options.LogPath = value;
            continue;
        }
        char* end = nullptr;
        const long seconds = std::strtol(value.c_str(), &end, 10);
        if (*end != '\0' || seconds < 1 || seconds > 3600) {
            error = "--timeout takes 1 to 3600 seconds";
            return false;
        }
        options.ConfirmSeconds = static_cast<int>(seconds);
    }
    return true;
}

// Everything that can fail before the screen is taken over; the message for
// the user, or empty.
std::string Prepare(PelvoncalApp& app)
{
    const DWORD openError = app.Device.Open();
    if (openError != ERROR_SUCCESS) {
        return "Cannot open the touch driver's control device \\\\.\\pelvon (Win32 error " +
               std::to_string(openError) + "). Is the driver installed and its device started?";
    }
    try {
        app.Parameters = pelvonctl::ReadDriverParameters(app.Registry);
    } catch (const pelvonctl::RegistryFailure& failure) {
        return failure.what();
    }
    const PelvonctlRegistryWrite writable = app.Registry.CheckWritable();
    if (!writable.Ok()) {
        return std::string("A calibration could not be saved under ") + PelvonctlParametersKeyName + ": " +
               writable.Reason + ".";
    }
    const pelvonctl::PixelRect monitor = pelvonctl::TouchMonitorRect(
        app.Parameters, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    const pelvonctl::Orientation orientation =
        app.Parameters.Ltrb != 0 ? pelvonctl::Orientation::AsIs : pelvonctl::Orientation::Swapped;
    app.Session = std::make_unique<ScreenCalibration>(monitor, orientation);
    std::ostringstream line;
    line << "monitor " << monitor.Left << " " << monitor.Top << " " << monitor.Width << " " << monitor.Height;
    app.Note(line.str());
    std::string reason;
    if (!SendCalibration(app, pelvonctl::Calibration{}, reason)) {
        return "The driver could not be set to the identity calibration: " + reason;
    }
    return "";
}

HWND CreateCalibrationWindow(HINSTANCE instance, const pelvonctl::PixelRect& m)
{
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursor(nullptr, IDC_CROSS);
    windowClass.lpszClassName = WindowClass;
    if (RegisterClassExA(&windowClass) == 0) {
        return nullptr;
    }
    HWND window = CreateWindowExA(WS_EX_TOPMOST, WindowClass, Title, WS_POPUP, m.Left, m.Top, m.Width, m.Height,
                                  nullptr, nullptr, instance, nullptr);
    if (window != nullptr) {
        ShowWindow(window, SW_SHOW);
        SetForegroundWindow(window);
        SetFocus(window);
    }
    return window;
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    PelvoncalApp app;
    TheApp = &app;
    std::string error;
    if (!ParseOptions(commandLine, app.Options, error)) {
        MessageBoxA(nullptr, error.c_str(), Title, MB_OK | MB_ICONERROR);
        return PelvoncalUsage;
    }
    app.Log = app.Options.LogPath.empty() ? nullptr : std::fopen(app.Options.LogPath.c_str(), "w");
    app.Registry = PelvonctlPlatformRegistry();
    error = Prepare(app);
    if (!error.empty()) {
        app.Note("failed: " + error);
        MessageBoxA(nullptr, error.c_str(), Title, MB_OK | MB_ICONERROR);
        return PelvoncalFailed;
    }
    app.Window = CreateCalibrationWindow(instance, app.Session->Monitor());
    if (app.Window == nullptr) {
        std::string reason;
        SendCalibration(app, app.Parameters.CalibrationValue, reason);
        MessageBoxA(nullptr, "The calibration window could not be opened.", Title, MB_OK | MB_ICONERROR);
        return PelvoncalFailed;
    }
    NoteStage(app);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    if (!app.FinalMessage.empty()) {
        MessageBoxA(nullptr, app.FinalMessage.c_str(), Title, MB_OK | MB_ICONERROR);
    }
    if (app.Log != nullptr) {
        std::fclose(app.Log);
    }
    return app.ExitCode;
}
