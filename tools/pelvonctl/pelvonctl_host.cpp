// pelvonctl on the host: no driver to talk to outside the simulator, so it
// plans commands and prints their requests with --dry-run; show and
// --persist go to the stand-in kernel's registry, empty in a process of its own.
#include <string>
#include <vector>

#include "pelvonctl_persist.h"

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    PelvonctlTransport transport;
    transport.Send = [](const PelvonctlRequest&) {
        PelvonctlReply reply;
        reply.Kind = PelvonctlStatusKind::NtStatus;
        reply.Status = 0xC00000BBu; // STATUS_NOT_SUPPORTED
        reply.Unreachable = "no touch driver on this host (run the command inside touchsim, or add --dry-run)";
        return reply;
    };
    return RunPelvonctlOnStandardStreams(args, transport, PelvonctlPlatformRegistry());
}
