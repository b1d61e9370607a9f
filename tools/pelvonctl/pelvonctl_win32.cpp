// pelvonctl.exe: the configuration tool on Windows, talking to the driver's
// control device through DeviceIoControl and, for show and --persist, to the
// service's Parameters key in the registry.
#include <iostream>
#include <string>
#include <vector>

#include "pelvonctl_device_win32.h"
#include "pelvonctl_output.h"
#include "pelvonctl_persist.h"

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    PelvonctlControlDevice device;
    PelvonctlTransport transport = device.Transport();
    const PelvonctlRegistry registry = PelvonctlPlatformRegistry();
    ErrnoRecordingBuffer out(std::cout.rdbuf());
    ErrnoRecordingBuffer err(std::cerr.rdbuf());
    std::streambuf* const standardOut = std::cout.rdbuf(&out);
    std::streambuf* const standardErr = std::cerr.rdbuf(&err);
    const int code = RunPelvonctl(args, transport, registry, std::cout, std::cerr);
    std::cout.rdbuf(standardOut);
    std::cerr.rdbuf(standardErr);
    return code;
}
