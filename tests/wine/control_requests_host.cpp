// The host build's answers to the control requests of control_cases.h: the
// driver on the stand-in, set up from the same registry file as the Wine
// run, each NTSTATUS written as the Win32 error DeviceIoControl reports.
// Usage: control_requests_host PARAMETERS.reg OUTPUT.tsv
#include "control_cases.h"
#include "driver_rig.h"

#include <cstdio>
#include <fstream>
#include <iostream>

namespace {

struct StatusMap {
    NTSTATUS Status;
    const char* Name;
    unsigned Win32Error;
};

// The statuses the driver completes control requests with, and the error
// the system's translation gives a Win32 caller. The Wine run checks it.
const StatusMap StatusMaps[] = {
    {STATUS_SUCCESS, "STATUS_SUCCESS", 0},
    {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST", 1},
    {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL", 122},
    {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER", 87},
    {STATUS_NOT_FOUND, "STATUS_NOT_FOUND", 1168},
};

const StatusMap* FindStatus(NTSTATUS Status)
{
    for (const StatusMap& map : StatusMaps) {
        if (map.Status == Status) {
            return &map;
        }
    }
    return nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: control_requests_host PARAMETERS.reg OUTPUT.tsv\n";
        return 2;
    }
    PeerDriverRig rig;
    PeerRigOptions options;
    options.RegFile = argv[1];
    options.ConnectMouse = false;
    const PeerRigResult up = rig.Open(options);
    if (up.Failed == PeerRigStep::RegFile) {
        std::cerr << argv[1] << ": " << up.RegFileError->ToString() << "\n";
        return 2;
    }
    if (!up.Ok()) {
        std::cerr << (up.Failed == PeerRigStep::Start ? "the device did not start\n"
                                                      : "the driver did not load and add its device\n");
        return 1;
    }

    std::ofstream out(argv[2]);
    HANDLE handle = nullptr;
    if (HkOpen("\\\\.\\pelvon", &handle) != STATUS_SUCCESS) {
        std::cerr << "cannot open \\\\.\\pelvon\n";
        return 1;
    }
    int unmapped = 0;
    for (const ControlCase& c : ControlCases()) {
        const HkIoResult result = HkDeviceIoControl(handle, c.Code, c.Input, c.OutputLength);
        const StatusMap* map = FindStatus(result.Status);
        if (map == nullptr) {
            std::fprintf(stderr, "%s: status 0x%08X has no Win32 mapping here\n", c.Label.c_str(),
                         static_cast<unsigned>(result.Status));
            unmapped++;
            continue;
        }
        // A failed request returns nothing to a Win32 caller.
        const ULONG returned = NT_ERROR(result.Status) ? 0 : static_cast<ULONG>(result.Information);
        out << CaseResultLine(c, map->Win32Error, returned, result.Output.data(), result.Output.size()) << "\t"
            << map->Name << "\n";
    }
    HkClose(handle);

    const std::string unload = rig.Close().Unload;
    const std::string verifier = HkVerifierReport();
    if (!unload.empty() || !verifier.empty()) {
        std::cerr << "the host run was not clean: " << unload << verifier << "\n";
        return 1;
    }
    return unmapped == 0 && out.good() ? 0 : 1;
}
