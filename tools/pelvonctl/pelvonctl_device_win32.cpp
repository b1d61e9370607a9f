#include "pelvonctl_device_win32.h"

#include <algorithm>
#include <string>
#include <vector>

const char PelvonctlControlDevicePath[] = "\\\\.\\pelvon";

PelvonctlControlDevice::~PelvonctlControlDevice()
{
    if (handle_ != INVALID_HANDLE_VALUE) {
        CloseHandle(handle_);
    }
}

DWORD PelvonctlControlDevice::Open()
{
    if (handle_ != INVALID_HANDLE_VALUE) {
        return ERROR_SUCCESS;
    }
    // Every control code is FILE_ANY_ACCESS, so where the device's security
    // refuses read and write a handle without access still serves.
    handle_ = CreateFileA(PelvonctlControlDevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                          nullptr);
    if (handle_ == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
        handle_ = CreateFileA(PelvonctlControlDevicePath, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    return handle_ != INVALID_HANDLE_VALUE ? ERROR_SUCCESS : GetLastError();
}

PelvonctlReply PelvonctlControlDevice::Send(const PelvonctlRequest& request)
{
    PelvonctlReply reply;
    reply.Kind = PelvonctlStatusKind::Win32Error;
    const DWORD openError = Open();
    if (openError != ERROR_SUCCESS) {
        reply.Status = openError;
        reply.Unreachable = std::string("cannot open ") + PelvonctlControlDevicePath;
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

PelvonctlTransport PelvonctlControlDevice::Transport()
{
    PelvonctlTransport transport;
    transport.Send = [this](const PelvonctlRequest& request) { return Send(request); };
    return transport;
}
