// pelvonctl.exe: the configuration tool on Windows, talking to the driver's
// control device through DeviceIoControl and, for show and --persist, to the
// service's Parameters key in the registry.
#include <string>
#include <vector>

#include "pelvonctl_device_win32.h"
#include "pelvonctl_persist.h"

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    PelvonctlControlDevice device;
    PelvonctlTransport transport = device.Transport();
    return RunPelvonctlOnStandardStreams(args, transport, PelvonctlPlatformRegistry());
}
