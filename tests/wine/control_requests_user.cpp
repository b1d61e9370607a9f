// The control requests of control_cases.h sent to the real driver through
// DeviceIoControl on \\.\pelvon; one result line per request on stdout.
// Exit code 0 when every request was sent, 1 when the device cannot be
// opened, 3 when a reply broke the buffered transfer rules (stderr says how).
#include <windows.h>

#include "control_cases.h"

#include <cstdio>
#include <vector>

int main()
{
    HANDLE device = CreateFileA("\\\\.\\pelvon", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open \\\\.\\pelvon: Win32 error %lu\n", GetLastError());
        return 1;
    }
    int broken = 0;
    for (const ControlCase& c : ControlCases()) {
        std::vector<std::uint8_t> input = c.Input;
        // A marker in the whole output buffer: bytes the driver did not
        // return must not come back.
        std::vector<std::uint8_t> output(c.OutputLength, 0xCD);
        DWORD returned = 0;
        const BOOL ok = DeviceIoControl(device, c.Code, input.empty() ? nullptr : input.data(),
                                        static_cast<DWORD>(input.size()), output.empty() ? nullptr : output.data(),
                                        static_cast<DWORD>(output.size()), &returned, nullptr);
        const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        const std::size_t shown = ok ? (returned < output.size() ? returned : output.size()) : 0;
        std::printf("%s\n", CaseResultLine(c, error, ok ? returned : 0, output.data(), shown).c_str());
        if (!ok && returned != 0) {
            std::fprintf(stderr, "%s: failed request reported %lu bytes returned\n", c.Label.c_str(), returned);
            broken++;
        }
        for (std::size_t i = shown; i < output.size(); i++) {
            if (output[i] != 0xCD) {
                std::fprintf(stderr, "%s: output byte %u changed beyond what was returned\n", c.Label.c_str(),
                             static_cast<unsigned>(i));
                broken++;
                break;
            }
        }
    }
    CloseHandle(device);
    return broken == 0 ? 0 : 3;
}
