// pelvonctl.exe: the configuration tool on Windows, talking to the driver's
// control device through DeviceIoControl.
#include <windows.h>

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "pelvonctl_commands.h"
#include "pelvonctl_output.h"

namespace {

const char ControlDevicePath[] = "\\\\.\\pelvon";

// Opens the device on the first request only, so --help, --dry-run and an
// unsent calibrate-points work where the driver is not installed.
class ControlDevice {
public:
    ~ControlDevice()
    {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }

    PelvonctlReply Send(const PelvonctlRequest& request)
    {
        PelvonctlReply reply;
        reply.Kind = PelvonctlStatusKind::Win32Error;
        if (handle_ == INVALID_HANDLE_VALUE && !Open()) {
            reply.Status = GetLastError();
            reply.Unreachable = std::string("cannot open ") + ControlDevicePath;
            return reply;
        }
        std::vector<std::uint8_t> input = request.Input;
        std::vector<std::uint8_t> output(request.OutputLength);
        DWORD returned = 0;
        const BOOL ok = DeviceIoControl(handle_, request.Code, input.empty() ? nullptr : input.data(),
                                        static_cast<DWORD>(input.size()), output.empty() ? nullptr : output.data(),
                                        static_cast<DWORD>(output.size()), &returned, nullptr);
        reply.Status = ok ? ERROR_SUCCESS : GetLastError();
        reply.Information = ok ? returned : 0;
        output.resize(ok ? std::min<std::size_t>(returned, output.size()) : 0);
        reply.Output = std::move(output);
        return reply;
    }

private:
    bool Open()
    {
        // Every control code is FILE_ANY_ACCESS, so where the device's
        // security refuses read and write a handle without access still serves.
        handle_ = CreateFileA(ControlDevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
            handle_ = CreateFileA(ControlDevicePath, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        }
        return handle_ != INVALID_HANDLE_VALUE;
    }

    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    ControlDevice device;
    PelvonctlTransport transport;
    transport.Send = [&device](const PelvonctlRequest& request) { return device.Send(request); };
    ErrnoRecordingBuffer out(std::cout.rdbuf());
    ErrnoRecordingBuffer err(std::cerr.rdbuf());
    std::streambuf* const standardOut = std::cout.rdbuf(&out);
    std::streambuf* const standardErr = std::cerr.rdbuf(&err);
    const int code = RunPelvonctl(args, transport, std::cout, std::cerr);
    std::cout.rdbuf(standardOut);
    std::cerr.rdbuf(standardErr);
    return code;
}
